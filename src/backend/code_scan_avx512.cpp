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

// Q queries over the same blocks: each row of codes is loaded and split
// into nibbles once, then looked up in every query's tables.
template <int Q>
void nibbles(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups, const std::uint8_t* const* tables,
             std::uint32_t* const* sums) {
  const __m512i low4 = _mm512_set1_epi8(0x0F);
  for (std::size_t b = 0; b < nblocks; ++b) {
    const std::uint8_t* row = blocks + b * groups * kNibbleRow;
    __m256i total[Q][4];
    for (auto& t : total)
      for (auto& v : t) v = _mm256_setzero_si256();
    for (std::size_t j0 = 0; j0 < groups; j0 += 4 * kFlushEvery) {
      const std::size_t j1 = j0 + 4 * kFlushEvery < groups ? j0 + 4 * kFlushEvery : groups;
      __m512i acc[Q][4];
      for (auto& a : acc)
        for (auto& v : a) v = _mm512_setzero_si512();
      for (std::size_t j = j0; j < j1; j += 4) {
        _mm_prefetch(reinterpret_cast<const char*>(row + j * kNibbleRow + kPrefetchAhead), _MM_HINT_T0);
        const __m512i codes = _mm512_loadu_si512(row + j * kNibbleRow);
        const __m512i lo_index = _mm512_and_si512(codes, low4);
        const __m512i hi_index = _mm512_and_si512(_mm512_srli_epi16(codes, 4), low4);
#pragma GCC unroll 4
        for (int q = 0; q < Q; ++q) {
          const __m512i table = _mm512_loadu_si512(tables[q] + j * 16);
          const __m512i lo = _mm512_shuffle_epi8(table, lo_index);
          const __m512i hi = _mm512_shuffle_epi8(table, hi_index);
          // Whole 16-bit words go in: (even + 256 odd) mod 2^16, with the
          // odd bytes summed apart, so even = word - 256 odd once per flush.
          acc[q][0] = _mm512_add_epi16(acc[q][0], lo);
          acc[q][1] = _mm512_add_epi16(acc[q][1], _mm512_srli_epi16(lo, 8));
          acc[q][2] = _mm512_add_epi16(acc[q][2], hi);
          acc[q][3] = _mm512_add_epi16(acc[q][3], _mm512_srli_epi16(hi, 8));
        }
      }
      for (int q = 0; q < Q; ++q) {
        acc[q][0] = _mm512_sub_epi16(acc[q][0], _mm512_slli_epi16(acc[q][1], 8));
        acc[q][2] = _mm512_sub_epi16(acc[q][2], _mm512_slli_epi16(acc[q][3], 8));
        for (int a = 0; a < 4; ++a) total[q][a] = _mm256_add_epi32(total[q][a], widen_lanes(acc[q][a]));
      }
    }
    for (int q = 0; q < Q; ++q) {
      alignas(32) std::uint32_t t[4][8];
      for (int a = 0; a < 4; ++a) _mm256_store_si256(reinterpret_cast<__m256i*>(t[a]), total[q][a]);
      std::uint32_t* out = sums[q] + b * kNibbleBlock;
      for (std::size_t p = 0; p < 8; ++p) {
        out[2 * p] = t[0][p];
        out[2 * p + 1] = t[1][p];
        out[16 + 2 * p] = t[2][p];
        out[16 + 2 * p + 1] = t[3][p];
      }
    }
  }
}

}  // namespace

// Eight at a time, the AVX2 form's steps and rounding; the converts are the
// zero-masked ones for GCC 12's sake, as above.
std::size_t finish_scores_avx512(double a, double b, const std::int32_t* sums, const double* inv, std::size_t n,
                                 float* out) {
  const __m512d va = _mm512_set1_pd(a), vb = _mm512_set1_pd(b), zero = _mm512_setzero_pd();
  std::size_t v = 0;
  for (; v + 8 <= n; v += 8) {
    const __m512d s = _mm512_maskz_cvtepi32_pd(0xFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums + v)));
    const __m512d w = _mm512_loadu_pd(inv + v);
    const __m512d score = _mm512_mul_pd(_mm512_add_pd(_mm512_mul_pd(va, s), vb), w);
    const __mmask8 kept = _mm512_cmp_pd_mask(w, zero, _CMP_NEQ_UQ);
    _mm256_storeu_ps(out + v, _mm512_maskz_cvtpd_ps(kept, score));
  }
  return v;
}

void scan_nibbles_avx512(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                         const std::uint8_t* tables, std::uint32_t* sums) {
  nibbles<1>(blocks, nblocks, groups, &tables, &sums);
}

void scan_nibbles_multi_avx512(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                               const std::uint8_t* const* tables, std::uint32_t* const* sums, std::size_t nq) {
  std::size_t q = 0;
  for (; q + 4 <= nq; q += 4) nibbles<4>(blocks, nblocks, groups, tables + q, sums + q);
  for (; q < nq; ++q) nibbles<1>(blocks, nblocks, groups, tables + q, sums + q);
}

}  // namespace zorvex::detail
