# Shared set-up of the demo and test commands: an interpreter of 3.12 or newer,
# a virtual environment with the build and test requirements, and the wheel.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

log() { printf '\n==> %s\n' "$*" >&2; }

is_supported() {  # interpreter path -> true when it is CPython 3.12 or newer
  "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) and sys.implementation.name == "cpython" else 1)' \
    >/dev/null 2>&1
}

# Every usable interpreter, one per minor version: PATH first, then pyenv's.
find_pythons() {
  local seen="" cand path minor
  for cand in python3 python python3.14 python3.13 python3.12; do
    path="$(command -v "$cand" 2>/dev/null)" || continue
    is_supported "$path" || continue
    path="$("$path" -c 'import sys; print(sys.executable)')"
    minor="$("$path" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    case " $seen " in *" $minor "*) continue ;; esac
    seen="$seen $minor"; echo "$path"
  done
  if command -v pyenv >/dev/null 2>&1; then
    local v
    for v in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.(1[2-9]|[2-9][0-9])(\.[0-9]+)?$' | sort -t. -k2,2nr -k3,3nr); do
      path="$(PYENV_VERSION="$v" pyenv which python 2>/dev/null)" || continue
      is_supported "$path" || continue
      minor="${v%.*}"
      case " $seen " in *" $minor "*) continue ;; esac
      seen="$seen $minor"; echo "$path"
    done
  fi
}

PYTHONS=()
mapfile -t PYTHONS < <(find_pythons)
if [ "${#PYTHONS[@]}" -eq 0 ]; then
  echo "error: no CPython 3.12 or newer found on PATH or in pyenv" >&2
  exit 1
fi

# make_venv DIR PYTHON PACKAGES... : creates (or reuses) a virtual environment.
make_venv() {
  local dir="$1" python="$2"; shift 2
  if [ ! -x "$dir/bin/python" ] || ! is_supported "$dir/bin/python"; then
    log "creating $dir with $("$python" --version)"
    rm -rf "$dir"
    "$python" -m venv "$dir"
    "$dir/bin/python" -m pip install --quiet --upgrade pip
  fi
  "$dir/bin/python" -m pip install --quiet "$@"
}

BUILD_REQUIREMENTS=("scikit-build-core>=0.10" "numpy>=2.0" "cmeel-eigen>=3.4,<3.5" "cmake>=3.24" "ninja")
VENV="$ROOT/.venv"
PY="$VENV/bin/python"

# Builds the abi3 wheel into dist/ (incrementally, in build/) and installs it.
# WITH_CPP_TESTS=ON also builds the C++ tests in the same tree (GoogleTest
# needed), so the core is compiled once for both.
build_and_install() {
  make_venv "$VENV" "${PYTHONS[0]}" "${BUILD_REQUIREMENTS[@]}" "$@"
  log "building the wheel"
  rm -f dist/zorvex_rs-*.whl
  PATH="$VENV/bin:$PATH" "$PY" -m pip wheel --quiet --no-build-isolation --no-deps -w dist \
    -C cmake.define.ZORVEX_BUILD_TESTS="${WITH_CPP_TESTS:-OFF}" .
  WHEEL="$(ls dist/zorvex_rs-*.whl)"
  BUILD_TREE="$(ls -d build/cp3*-abi3-*/ | head -1)"
  "$PY" -m pip install --quiet --force-reinstall --no-deps "$WHEEL"
}

# ensure_debs PACKAGE... : installs the Debian packages not yet installed
# (needs root).
ensure_debs() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  if [ "$(id -u)" = 0 ]; then
    log "installing ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "error: missing Debian packages: ${missing[*]} (install them as root)" >&2
    exit 1
  fi
}

# Installs Debian's GoogleTest when CMake cannot find it.
ensure_gtest() {
  if ! find /usr/lib /usr/local/lib /usr/share -name GTestConfig.cmake 2>/dev/null | grep -q .; then
    ensure_debs libgtest-dev
  fi
}
