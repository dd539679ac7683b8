#!/usr/bin/env bash
# libFuzzer targets on the core (fuzz/*.cpp), built with clang 14 under
# AddressSanitizer and UndefinedBehaviorSanitizer (any report aborts).
#
#   bash scripts/fuzz.sh --build                 build every target into fuzz/build/
#   bash scripts/fuzz.sh --smoke [SECONDS]       build, run each target on its inputs in
#                                                fuzz/regressions/, then on its committed
#                                                corpus (default 15 s each); fails on any
#                                                crash or finding
#   bash scripts/fuzz.sh --long TARGET SECONDS [JOBS]
#                                                one long campaign (JOBS processes, default
#                                                1; each takes a core): new inputs go to
#                                                fuzz/build/corpus/TARGET (the committed
#                                                corpus is read, not written); the final
#                                                stats line gives the execution count
#   bash scripts/fuzz.sh --minimize TARGET       merge fuzz/build/corpus/TARGET into the
#                                                committed corpus, keeping only inputs
#                                                that add coverage
#   bash scripts/fuzz.sh --repro TARGET FILE...  run a target on given inputs (for
#                                                fuzz/regressions/)
#
# Targets: byte_form quote_id codebook quantize half search collection_file. Crashes are
# written to fuzz/build/artifacts/. Installs clang-14 and its runtime with
# apt when they are missing (as root).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
OUT="$ROOT/fuzz/build"
SELF="$ROOT/scripts/fuzz.sh"
read -r -a TARGETS <<< "${FUZZ_TARGETS:-byte_form quote_id codebook quantize half search collection_file}"

log() { printf '\n==> %s\n' "$*" >&2; }

CXX="${FUZZ_CXX:-clang++-14}"
ensure_clang() {
  if command -v "$CXX" >/dev/null 2>&1 && [ -n "$(find /usr/lib/llvm-14 -name 'libclang_rt.fuzzer-x86_64.a' 2>/dev/null)" ]; then
    return
  fi
  if [ "$(id -u)" != 0 ]; then
    echo "error: clang-14 with libFuzzer is missing; install clang-14 libclang-rt-14-dev (as root)" >&2
    exit 1
  fi
  log "installing clang-14 and libclang-rt-14-dev"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
}

# The core's flags (no contraction, no value-changing optimisation) plus the
# sanitizers; the wide kernels get their instruction sets as in the main build.
COMMON=(-std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off -fno-fast-math
  -fsanitize=address,undefined -fno-sanitize-recover=undefined
  -Wall -Wextra -Wno-unknown-pragmas -Wno-unknown-warning-option -I"$ROOT/src")
AVX2=(-mavx2 -mfma)
AVX512=(-mavx512f -mavx512dq -mavx512vl -mavx512bw -mavx2 -mfma)
# Only what the targets reach: nothing that needs Eigen (the rotation).
CORE_SOURCES=(
  src/common/errors.cpp src/common/hash.cpp src/common/isa.cpp src/common/quote_id.cpp
  src/core/codec/compressed_vector.cpp src/core/codec/codebook.cpp src/core/codec/half.cpp
  src/core/codec/codebook_quantize_avx2.cpp src/core/codec/codebook_quantize_avx512.cpp
  src/io/compressed_vector/pack.cpp src/io/compressed_vector/unpack.cpp
  src/backend/brute_force.cpp src/backend/score_kernels.cpp src/backend/score_kernels_avx2.cpp
  src/backend/score_kernels_avx512.cpp src/backend/search_result.cpp
  src/common/xxh64.cpp src/common/large_alloc.cpp src/io/collection_file/reader.cpp
)

# Rebuilds an object when its source or any header under src/ or fuzz/ is newer.
newest_header() { find src fuzz \( -name '*.hpp' -o -name '*.inc' \) -printf '%T@ %p\n' | sort -n | tail -1 | cut -d' ' -f2; }

compile() {  # source object extra-flags...
  local src="$1" obj="$2"; shift 2
  if [ -f "$obj" ] && [ "$obj" -nt "$src" ] && [ "$obj" -nt "$HEADER" ] && [ "$obj" -nt "$SELF" ]; then return; fi
  mkdir -p "$(dirname "$obj")"
  "$CXX" "${COMMON[@]}" "$@" -c "$src" -o "$obj"
}

build() {
  ensure_clang
  HEADER="$(newest_header)"
  log "building fuzz targets with $("$CXX" --version | head -1)"
  local objs=() jobs=0 src obj flags
  for src in "${CORE_SOURCES[@]}"; do
    obj="$OUT/obj/${src%.cpp}.o"
    flags=(-fsanitize=fuzzer-no-link)
    case "$src" in *_avx512.cpp) flags+=("${AVX512[@]}") ;; *_avx2.cpp) flags+=("${AVX2[@]}") ;; esac
    # The selection's radix sort scans 3 x 2048 counters per search; traced
    # compares there would cost more than everything else a search does.
    case "$src" in src/backend/*) flags+=(-fno-sanitize-coverage=trace-cmp) ;; esac
    compile "$src" "$obj" "${flags[@]}" &
    objs+=("$obj")
    if (( ++jobs % 2 == 0 )); then wait -n; fi
  done
  wait
  for obj in "${objs[@]}"; do [ -f "$obj" ] || { echo "error: $obj not built" >&2; exit 1; }; done
  rm -f "$OUT/libcore.a"
  ar rcs "$OUT/libcore.a" "${objs[@]}"
  local t
  for t in "${TARGETS[@]}"; do
    # The harness itself is not traced for coverage: its plain reference code
    # would cost more than the code under test and guides nothing.
    compile "fuzz/fuzz_$t.cpp" "$OUT/obj/fuzz_$t.o" &
    if (( ++jobs % 2 == 0 )); then wait -n; fi
  done
  wait
  for t in "${TARGETS[@]}"; do
    "$CXX" "${COMMON[@]}" -fsanitize=fuzzer "$OUT/obj/fuzz_$t.o" "$OUT/libcore.a" -o "$OUT/fuzz_$t"
  done
  mkdir -p "$OUT/artifacts"
}

known_target() {
  local t
  for t in "${TARGETS[@]}"; do [ "$t" = "$1" ] && return 0; done
  echo "error: unknown target '$1' (one of: ${TARGETS[*]})" >&2
  exit 2
}

# Options every run shares: inputs stay small, so executions stay fast.
run_opts() { echo "-max_len=$(max_len "$1") -artifact_prefix=$OUT/artifacts/$1- -print_final_stats=1"; }
max_len() {
  case "$1" in
    quote_id) echo 256 ;;
    search) echo 300 ;;
    collection_file) echo 8192 ;;
    *) echo 600 ;;
  esac
}

smoke() {
  local seconds="${1:-15}" t scratch start failed=0
  build
  start=$SECONDS
  for t in "${TARGETS[@]}"; do
    # Inputs that once failed must pass.
    local regressions=()
    mapfile -t regressions < <(find fuzz/regressions -name "$t-*" -type f 2>/dev/null | sort)
    if [ "${#regressions[@]}" -gt 0 ] && ! "$OUT/fuzz_$t" "${regressions[@]}" >"$OUT/regress-$t.log" 2>&1; then
      tail -20 "$OUT/regress-$t.log" >&2
      failed=1
    fi
    scratch="$(mktemp -d)"
    log "smoke: $t for ${seconds}s"
    # New inputs go to the scratch directory; the committed corpus is only read.
    # shellcheck disable=SC2046
    if ! "$OUT/fuzz_$t" $(run_opts "$t") -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      "$scratch" "fuzz/corpus/$t" 2>"$OUT/smoke-$t.log"; then
      tail -40 "$OUT/smoke-$t.log" >&2
      failed=1
    fi
    grep -E '^stat::number_of_executed_units' "$OUT/smoke-$t.log" >&2 || true
    rm -rf "$scratch"
  done
  log "smoke run of ${#TARGETS[@]} targets took $((SECONDS - start))s"
  if [ "$failed" != 0 ]; then echo "FUZZ SMOKE FAILED (see fuzz/build/artifacts/)" >&2; exit 1; fi
  echo "fuzz smoke: all ${#TARGETS[@]} targets ran clean"
}

long() {
  local t="$1" seconds="$2" jobs="${3:-1}"
  known_target "$t"
  build
  mkdir -p "$OUT/corpus/$t"
  local parallel=()
  # Several jobs write their logs to fuzz-N.log in the current directory.
  if [ "$jobs" -gt 1 ]; then parallel=(-jobs="$jobs" -workers="$jobs"); fi
  # shellcheck disable=SC2046
  "$OUT/fuzz_$t" $(run_opts "$t") -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    "${parallel[@]}" "$OUT/corpus/$t" "fuzz/corpus/$t"
}

minimize() {
  local t="$1"
  known_target "$t"
  build
  local merged
  merged="$(mktemp -d)"
  # shellcheck disable=SC2046
  "$OUT/fuzz_$t" $(run_opts "$t") -merge=1 "$merged" "fuzz/corpus/$t" "$OUT/corpus/$t"
  rm -rf "fuzz/corpus/$t"
  mv "$merged" "fuzz/corpus/$t"
  chmod 755 "fuzz/corpus/$t"
  log "fuzz/corpus/$t: $(ls "fuzz/corpus/$t" | wc -l) files"
}

case "${1:-}" in
  --build) build ;;
  --smoke) smoke "${2:-15}" ;;
  --long) [ $# -ge 3 ] || { echo "usage: $0 --long TARGET SECONDS [JOBS]" >&2; exit 2; }; long "$2" "$3" "${4:-1}" ;;
  --minimize) [ $# -ge 2 ] || { echo "usage: $0 --minimize TARGET" >&2; exit 2; }; minimize "$2" ;;
  --repro)
    [ $# -ge 3 ] || { echo "usage: $0 --repro TARGET FILE..." >&2; exit 2; }
    known_target "$2"; build; t="$2"; shift 2
    "$OUT/fuzz_$t" "$@" ;;
  *) sed -n '2,/^set -e/{/^set -e/!p}' "$SELF" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
