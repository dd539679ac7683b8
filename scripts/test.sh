#!/usr/bin/env bash
# Builds zorvex_rs once, then runs every test against that one abi3 wheel:
# pytest under each supported interpreter found (newest NumPy) and under
# Python 3.12 with NumPy 1.26, the C++ unit tests, the whole suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, and a short fuzzing
# run on the committed corpora.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
TEST_REQUIREMENTS=("pytest>=8" "dask[distributed]==2026.11.0" "mypy==2.4.1")
build_and_install "${TEST_REQUIREMENTS[@]}"
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

log "C++ unit tests"
ensure_gtest
PATH="$VENV/bin:$PATH" cmake -S . -B build/cpp -G Ninja -DZORVEX_BUILD_PYTHON=OFF -DZORVEX_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$PY" >/dev/null
PATH="$VENV/bin:$PATH" cmake --build build/cpp -j 2
(cd build/cpp && PATH="$VENV/bin:$PATH" ctest --output-on-failure --no-tests=error -j 2)

# Sanitized build and suite, and the fuzz targets on their committed corpora;
# separate scripts so that each can also be run alone.
bash scripts/sanitize.sh
bash scripts/fuzz.sh --smoke

log "all passed; pytest ran under: $(printf '%s; ' "${TESTED[@]}")"
