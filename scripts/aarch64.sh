#!/usr/bin/env bash
# The core and its C++ tests cross-built for 64-bit ARM with Debian's
# g++-aarch64-linux-gnu (portable kernel forms only) and run under qemu-user.
# They include the golden rotation digests and the golden digests of trained
# codebooks, records and reconstructions, so passing means the same bits as
# x86-64. Two sweeps that prove no bits run on x86-64 only: every Unicode
# scalar through quote_id, and the accuracy sampling of the fdlibm functions
# (their bits are in the rotation digests). And the d = 768 cases of the
# batch-against-row and form-against-reference comparisons, which emulation
# makes the slowest tests by far: their smaller shapes run here, and the
# golden digests keep d = 768.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
make_venv "$VENV" "${PYTHONS[0]}" "${BUILD_REQUIREMENTS[@]}"
ensure_debs g++-aarch64-linux-gnu qemu-user libgtest-dev libsimde-dev

log "aarch64: cross build"
PATH="$VENV/bin:$PATH" cmake -S . -B build/aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DZORVEX_BUILD_PYTHON=OFF -DZORVEX_BUILD_TESTS=ON -DPython_EXECUTABLE="$PY" >/dev/null
PATH="$VENV/bin:$PATH" cmake --build build/aarch64 -j 2
aarch64-linux-gnu-readelf -h build/aarch64/tests/cpp/zorvex_cpp_tests | grep -E 'Class|Machine' >&2

log "aarch64: C++ tests under qemu-user"
(cd build/aarch64 && PATH="$VENV/bin:$PATH" ctest --output-on-failure --no-tests=error -j 2 \
  -E 'QuoteIdAll\.|Fdlibm\.RandomSamples|BatchRotation\.LargeMatrix|d768_(rot|wide)_|BatchRotationShapes.*/d768|BatchCodecMatchesPerRow.*_d768_')
