#!/usr/bin/env bash
# Builds and installs zorvex_rs, then runs every test: pytest under each
# supported interpreter found (the same abi3 wheel), and the C++ unit tests.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
TEST_REQUIREMENTS=("pytest>=8")
build_and_install "${TEST_REQUIREMENTS[@]}"

log "pytest under $("$PY" --version)"
"$PY" -m pytest -q tests "$@"

for python in "${PYTHONS[@]:1}"; do
  minor="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  venv="$ROOT/.venv-$minor"
  make_venv "$venv" "$python" "numpy" "${TEST_REQUIREMENTS[@]}"
  "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$WHEEL"
  log "pytest under $("$venv/bin/python" --version), same wheel"
  "$venv/bin/python" -m pytest -q tests "$@"
done
if [ "${#PYTHONS[@]}" -lt 2 ]; then
  log "only one supported interpreter found; the wheel was tested under $("$PY" --version) alone"
fi

log "C++ unit tests"
if ! find /usr/lib /usr/local/lib /usr/share -name GTestConfig.cmake 2>/dev/null | grep -q .; then
  if [ "$(id -u)" = 0 ]; then
    log "installing GoogleTest (libgtest-dev)"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "error: GoogleTest is missing; install libgtest-dev (as root)" >&2
    exit 1
  fi
fi
PATH="$VENV/bin:$PATH" cmake -S . -B build/cpp -G Ninja -DZORVEX_BUILD_PYTHON=OFF -DZORVEX_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$PY" >/dev/null
PATH="$VENV/bin:$PATH" cmake --build build/cpp -j 2
(cd build/cpp && PATH="$VENV/bin:$PATH" ctest --output-on-failure --no-tests=error -j 2)
