#!/usr/bin/env bash
# The install routes a user takes, each in a fresh virtual environment with
# build isolation (so the build requirements come from pip, never from our
# own .venv): pip install ., pip wheel ., pip install -e ., python -m build
# (an sdist, then a wheel built from it) and pip install of that sdist. Each
# route builds from its own copy of the tracked files, as a fresh clone
# would, and the result is imported. Only pip's download cache is shared.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

WORK="$ROOT/build/routes"
rm -rf "$WORK"
mkdir -p "$WORK"
PYTHON="${PYTHONS[0]}"

# Every route compiles the same sources with the same flags: a compiler cache
# private to this run lets the later routes reuse the first one's objects. It
# answers only for identical preprocessed sources and flags, so each route
# still configures, builds and installs as a user's would. Paths under $WORK
# are hashed relative to the build tree, which every route lays out alike; pip
# and build unpack sdists and build environments under TMPDIR, hence here.
ccache_bin="$(command -v ccache || true)"
if [ -n "$ccache_bin" ]; then
  mkdir -p "$WORK/tmp"
  export TMPDIR="$WORK/tmp" CCACHE_DIR="$WORK/ccache" CCACHE_BASEDIR="$WORK" CCACHE_NOHASHDIR=1
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
fi

# fresh_tree NAME : a copy of the files a clone has (tracked, plus new files
# not yet committed), without build trees or environments. Tracked files
# deleted in the work tree are skipped, as a commit would drop them.
fresh_tree() {
  local dir="$WORK/$1"
  mkdir -p "$dir"
  git -C "$ROOT" ls-files -z --cached --others --exclude-standard |
    (cd "$ROOT" && xargs -0 cp --parents -t "$dir" 2>/dev/null || true)
  echo "$dir"
}

fresh_venv() {
  local dir="$WORK/venv-$1"
  "$PYTHON" -m venv "$dir"
  "$dir/bin/python" -m pip install --quiet --upgrade pip
  echo "$dir"
}

# check_import VENV ROUTE : the installed package works, from outside the tree.
check_import() {
  (cd "$WORK" && "$1/bin/python" - "$2" <<'PY'
import sys
import numpy as np
import zorvex_rs
from zorvex_rs.codec import Codec, CodecConfig
x = np.random.default_rng(0).standard_normal((64, 32)).astype(np.float32)
config = CodecConfig(4, seed=1, dimension=32)
codec = Codec()
records = codec.compress_batch(x, config, codec.build_codebook(x, config))
print(f"{sys.argv[1]}: zorvex_rs {zorvex_rs.__version__} from {zorvex_rs.__file__}, "
      f"{len(records)} records of {len(records[0].to_bytes())} bytes")
PY
  )
}

timed() {  # LABEL COMMAND... : runs and reports the seconds taken
  local label="$1" start=$SECONDS; shift
  "$@"
  echo "$label: $((SECONDS - start)) s" >&2
}

route_pip_install() {
  local src venv; src="$(fresh_tree pip-install)"; venv="$(fresh_venv pip-install)"
  log "route: pip install ."
  (cd "$src" && "$venv/bin/python" -m pip install --quiet .)
  check_import "$venv" "pip install ."
}

route_pip_wheel() {
  local src venv; src="$(fresh_tree pip-wheel)"; venv="$(fresh_venv pip-wheel)"
  log "route: pip wheel ."
  (cd "$src" && "$venv/bin/python" -m pip wheel --quiet --no-deps -w "$WORK/wheelhouse" .)
  "$venv/bin/python" -m pip install --quiet "$WORK"/wheelhouse/zorvex_rs-*.whl
  check_import "$venv" "pip wheel ."
}

route_editable() {
  local src venv; src="$(fresh_tree editable)"; venv="$(fresh_venv editable)"
  log "route: pip install -e ."
  (cd "$src" && "$venv/bin/python" -m pip install --quiet -e .)
  check_import "$venv" "pip install -e ."
}

route_build() {
  local src venv; src="$(fresh_tree build)"; venv="$(fresh_venv build)"
  log "route: python -m build (sdist, then a wheel from the sdist)"
  "$venv/bin/python" -m pip install --quiet build
  (cd "$src" && "$venv/bin/python" -m build --outdir "$WORK/dist" . >"$WORK/build.log" 2>&1) ||
    { cat "$WORK/build.log"; return 1; }
  SDIST="$(ls "$WORK"/dist/zorvex_rs-*.tar.gz)"
  "$venv/bin/python" -m pip install --quiet "$WORK"/dist/zorvex_rs-*.whl
  check_import "$venv" "python -m build"
  log "the sdist holds:"
  tar -tzf "$SDIST" | sed 's|^[^/]*/||' | grep -v '/$' | sort | tee "$WORK/sdist-files.txt" >&2
  if grep -E '^(build|dist|\.venv[^/]*|fuzz|data|bench|demo)/' "$WORK/sdist-files.txt"; then
    echo "error: the sdist holds build trees, environments or development-only files (above)" >&2
    return 1
  fi
}

route_sdist() {
  local venv; venv="$(fresh_venv sdist)"
  log "route: pip install <sdist>"
  "$venv/bin/python" -m pip install --quiet "$SDIST"
  check_import "$venv" "pip install <sdist>"
}

timed "pip install ." route_pip_install
timed "pip wheel ." route_pip_wheel
timed "pip install -e ." route_editable
timed "python -m build" route_build
timed "pip install <sdist>" route_sdist
[ -z "$ccache_bin" ] || "$ccache_bin" --show-stats >&2
log "install routes: all passed"
