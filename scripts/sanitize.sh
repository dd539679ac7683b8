#!/usr/bin/env bash
# Builds zorvex_rs and its C++ unit tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test under them. Any sanitizer
# report fails the run. Arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

VENV="$ROOT/.venv-asan"
PY="$VENV/bin/python"
# The test requirements are the package's "test" extra.
mapfile -t TEST_REQUIREMENTS < <("${PYTHONS[0]}" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))')
make_venv "$VENV" "${PYTHONS[0]}" "${BUILD_REQUIREMENTS[@]}" "${TEST_REQUIREMENTS[@]}"
export PATH="$VENV/bin:$PATH"

ensure_gtest
# One build tree for the wheel and the C++ tests, so the core is compiled once.
log "building the sanitized wheel and C++ tests"
rm -rf dist-asan
"$PY" -m pip wheel --quiet --no-build-isolation --no-deps -w dist-asan -C build-dir=build/asan \
  -C cmake.define.ZORVEX_SANITIZE=ON -C cmake.define.ZORVEX_BUILD_TESTS=ON -C install.strip=false .
"$PY" -m pip install --quiet --force-reinstall --no-deps dist-asan/zorvex_rs-*.whl

# The interpreter is not instrumented, so the runtimes the module was linked
# against must be loaded first; ldd names exactly those.
MODULE="$(ls "$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"/zorvex_rs/_core*.so)"
RUNTIMES="$(ldd "$MODULE" | awk '/lib(asan|ubsan)\.so/ {print $3}' | tr '\n' ' ')"
case "$RUNTIMES" in *libasan*) ;; *) echo "error: $MODULE is not linked against libasan" >&2; exit 1 ;; esac

# Exit-time leak checking is off because the interpreter does not free all of
# its own memory at exit; instead the pytest run ends with an explicit leak
# check while the interpreter is still alive, when everything it holds is
# reachable and anything unreachable was lost by someone.
# allocator_may_return_null: a failed allocation must become MemoryError, as
# it does without ASan, not abort the process.
export ASAN_OPTIONS="detect_leaks=1:leak_check_at_exit=0:allocator_may_return_null=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export ZORVEX_SANITIZED=1

log "pytest under $("$PY" --version), sanitized"
# --capture=sys: a report aborts the process, and one written into pytest's
# captured stderr would vanish with it. Reports from child processes whose exit
# status nobody checks (cluster workers) still reach the log, hence the grep.
# -c rather than a script on stdin: multiprocessing's spawn re-runs a main
# script by path.
LOG=build/asan/pytest.log
PYTHONMALLOC=malloc LD_PRELOAD="$RUNTIMES" "$PY" -c '
import ctypes, gc, sys
import pytest

status = pytest.main(["-q", "-p", "no:cacheprovider", "--capture=sys", "tests", *sys.argv[1:]])
gc.collect()
if ctypes.CDLL(None).__lsan_do_recoverable_leak_check():
    print("error: LeakSanitizer found leaks (reported above)", file=sys.stderr)
    sys.exit(int(status) or 1)
sys.exit(int(status))
' "$@" 2>&1 | tee "$LOG"
if grep -qE 'ERROR: (Address|Leak)Sanitizer|: runtime error: ' "$LOG"; then
  echo "error: sanitizer reports in $LOG" >&2
  exit 1
fi

log "C++ unit tests, sanitized"
# The test binary is instrumented itself: leaks are checked at its exit. The
# exhaustive comparison of every float with the conversion instruction takes
# minutes under ASan and exercises no memory handling; the plain run and the
# half-precision fuzz target cover it.
ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1" \
  ctest --test-dir build/asan --output-on-failure --no-tests=error -j 2 -E 'F32ToF16ExhaustiveAgainstHardware'
