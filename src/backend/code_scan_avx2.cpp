// AVX2 forms of the code scans. Integer sums only: any grouping gives the
// portable form's result.
#include <immintrin.h>

#include "backend/code_scan.hpp"

namespace zorvex::detail {

namespace {

// Byte-sized table values collect in 16-bit lanes; moved to 32-bit totals
// before 257 of them (at most 255 each) could overflow one.
constexpr std::size_t kFlushEvery = 256;

inline __m256i widen_lanes(__m256i acc16) {
  return _mm256_add_epi32(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(acc16)),
                          _mm256_cvtepu16_epi32(_mm256_extracti128_si256(acc16, 1)));
}

}  // namespace

void scan_nibbles_avx2(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                       const std::uint8_t* tables, std::uint32_t* sums) {
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  for (std::size_t b = 0; b < nblocks; ++b) {
    const std::uint8_t* row = blocks + b * groups * kNibbleRow;
    // Totals per (vector parity, half of the block): element p stands for
    // vector 2p (+1 when odd) (+16 in the high half).
    __m256i total[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                        _mm256_setzero_si256()};
    for (std::size_t j0 = 0; j0 < groups; j0 += 2 * kFlushEvery) {
      const std::size_t j1 = j0 + 2 * kFlushEvery < groups ? j0 + 2 * kFlushEvery : groups;
      __m256i acc[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                        _mm256_setzero_si256()};
      for (std::size_t j = j0; j < j1; j += 2) {
        const __m256i codes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j * kNibbleRow));
        const __m256i table = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tables + j * 16));
        const __m256i lo = _mm256_shuffle_epi8(table, _mm256_and_si256(codes, low4));
        const __m256i hi = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(codes, 4), low4));
        // Whole 16-bit words go in: (even + 256 odd) mod 2^16, with the odd
        // bytes summed apart, so even = word - 256 odd once per flush.
        acc[0] = _mm256_add_epi16(acc[0], lo);
        acc[1] = _mm256_add_epi16(acc[1], _mm256_srli_epi16(lo, 8));
        acc[2] = _mm256_add_epi16(acc[2], hi);
        acc[3] = _mm256_add_epi16(acc[3], _mm256_srli_epi16(hi, 8));
      }
      acc[0] = _mm256_sub_epi16(acc[0], _mm256_slli_epi16(acc[1], 8));
      acc[2] = _mm256_sub_epi16(acc[2], _mm256_slli_epi16(acc[3], 8));
      for (int a = 0; a < 4; ++a) total[a] = _mm256_add_epi32(total[a], widen_lanes(acc[a]));
    }
    alignas(32) std::uint32_t t[4][8];
    for (int a = 0; a < 4; ++a) _mm256_store_si256(reinterpret_cast<__m256i*>(t[a]), total[a]);
    std::uint32_t* out = sums + b * kNibbleBlock;
    for (std::size_t p = 0; p < 8; ++p) {
      out[2 * p] = t[0][p];
      out[2 * p + 1] = t[1][p];
      out[16 + 2 * p] = t[2][p];
      out[16 + 2 * p + 1] = t[3][p];
    }
  }
}

// Eight vectors at a time: each 32-bit lane holds one vector's four codes of
// a row; the values are gathered from a 32-bit copy of the table.
void scan_bytes_avx2(const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                     const std::int8_t* weights, const std::int8_t* values, std::int32_t* sums) {
  alignas(32) std::int32_t wide[256];
  for (int c = 0; c < 256; ++c) wide[c] = values[c];
  const __m256i byte = _mm256_set1_epi32(0xFF);
  for (std::size_t b = 0; b < nblocks; ++b) {
    const std::uint8_t* row = blocks + b * quads * kByteRow;
    __m256i acc[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
    for (std::size_t g = 0; g < quads; ++g, row += kByteRow) {
      for (int m = 0; m < 4; ++m) {
        // Weight in the low 16 bits, zero above: madd gives value * weight.
        const __m256i w = _mm256_set1_epi32(static_cast<std::uint16_t>(weights[4 * g + m]));
        for (int h = 0; h < 2; ++h) {
          const __m256i codes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 32 * h));
          const __m256i index = _mm256_and_si256(_mm256_srli_epi32(codes, 8 * m), byte);
          const __m256i v = _mm256_i32gather_epi32(wide, index, 4);
          acc[h] = _mm256_add_epi32(acc[h], _mm256_madd_epi16(v, w));
        }
      }
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + b * kByteBlock), acc[0]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + b * kByteBlock + 8), acc[1]);
  }
}

}  // namespace zorvex::detail
