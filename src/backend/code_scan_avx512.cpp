// AVX-512 form of the nibble scan: four groups per register, one per
// 128-bit lane. Integer sums only, so the result is the portable form's.
#include <immintrin.h>

#include "backend/code_scan.hpp"

namespace zorvex::detail {

namespace {

// As in the AVX2 form: 16-bit lanes take at most 256 values before a flush.
constexpr std::size_t kFlushEvery = 256;

// 32 16-bit lanes (4 groups x 8 vectors) to 8 32-bit totals, one per vector.
// Zero-masked forms with every lane selected: GCC 12 warns about the plain
// forms' undefined pass-through operand.
inline __m256i half(__m512i v, int upper) {
  return upper ? _mm512_maskz_extracti64x4_epi64(0xF, v, 1) : _mm512_maskz_extracti64x4_epi64(0xF, v, 0);
}

inline __m256i widen_lanes(__m512i acc16) {
  const __m512i lo = _mm512_maskz_cvtepu16_epi32(0xFFFF, half(acc16, 0));
  const __m512i hi = _mm512_maskz_cvtepu16_epi32(0xFFFF, half(acc16, 1));
  const __m512i both = _mm512_add_epi32(lo, hi);
  return _mm256_add_epi32(half(both, 0), half(both, 1));
}

}  // namespace

void scan_nibbles_avx512(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                         const std::uint8_t* tables, std::uint32_t* sums) {
  const __m512i low4 = _mm512_set1_epi8(0x0F);
  for (std::size_t b = 0; b < nblocks; ++b) {
    const std::uint8_t* row = blocks + b * groups * kNibbleRow;
    __m256i total[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                        _mm256_setzero_si256()};
    for (std::size_t j0 = 0; j0 < groups; j0 += 4 * kFlushEvery) {
      const std::size_t j1 = j0 + 4 * kFlushEvery < groups ? j0 + 4 * kFlushEvery : groups;
      __m512i acc[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                        _mm512_setzero_si512()};
      for (std::size_t j = j0; j < j1; j += 4) {
        const __m512i codes = _mm512_loadu_si512(row + j * kNibbleRow);
        const __m512i table = _mm512_loadu_si512(tables + j * 16);
        const __m512i lo = _mm512_shuffle_epi8(table, _mm512_and_si512(codes, low4));
        const __m512i hi = _mm512_shuffle_epi8(table, _mm512_and_si512(_mm512_srli_epi16(codes, 4), low4));
        // Whole 16-bit words go in: (even + 256 odd) mod 2^16, with the odd
        // bytes summed apart, so even = word - 256 odd once per flush.
        acc[0] = _mm512_add_epi16(acc[0], lo);
        acc[1] = _mm512_add_epi16(acc[1], _mm512_srli_epi16(lo, 8));
        acc[2] = _mm512_add_epi16(acc[2], hi);
        acc[3] = _mm512_add_epi16(acc[3], _mm512_srli_epi16(hi, 8));
      }
      acc[0] = _mm512_sub_epi16(acc[0], _mm512_slli_epi16(acc[1], 8));
      acc[2] = _mm512_sub_epi16(acc[2], _mm512_slli_epi16(acc[3], 8));
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

}  // namespace zorvex::detail
