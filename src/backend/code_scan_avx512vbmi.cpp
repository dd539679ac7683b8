// AVX-512 VBMI + VNNI form of the byte scan: 64 codes looked up in the
// 256-value table with two two-register permutes, then multiplied by the
// weights and summed four at a time into 32-bit lanes, one lane per vector.
#include <immintrin.h>

#include "backend/code_scan.hpp"

namespace zorvex::detail {

namespace {

// Q queries over the same blocks: the values of a row of codes do not depend
// on the query, so each row is looked up once and weighted Q times.
template <int Q>
void bytes(const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads, const std::int8_t* const* weights,
           const std::int8_t* values, std::int32_t* const* sums) {
  // The multiply takes unsigned bytes on one side: values are shifted by
  // 128 into [1, 255], and 128 * (sum of the weights) taken off at the end.
  alignas(64) std::uint8_t shifted[256];
  for (int c = 0; c < 256; ++c) shifted[c] = static_cast<std::uint8_t>(values[c] + 128);
  const __m512i t0 = _mm512_load_si512(shifted), t1 = _mm512_load_si512(shifted + 64);
  const __m512i t2 = _mm512_load_si512(shifted + 128), t3 = _mm512_load_si512(shifted + 192);
  __m512i bias[Q];
  for (int q = 0; q < Q; ++q) {
    std::int32_t weight_sum = 0;
    for (std::size_t i = 0; i < 4 * quads; ++i) weight_sum += weights[q][i];
    bias[q] = _mm512_set1_epi32(128 * weight_sum);
  }
  // With one query, two chains, so that one multiply-add need not wait for the last.
  constexpr int kChains = Q == 1 ? 2 : 1;
  for (std::size_t b = 0; b < nblocks; ++b) {
    const std::uint8_t* row = blocks + b * quads * kByteRow;
    __m512i acc[Q][kChains];
    for (auto& a : acc)
      for (auto& v : a) v = _mm512_setzero_si512();
    for (std::size_t g = 0; g < quads; ++g, row += kByteRow) {
      _mm_prefetch(reinterpret_cast<const char*>(row + kPrefetchAhead), _MM_HINT_T0);
      const __m512i codes = _mm512_loadu_si512(row);
      const __m512i low = _mm512_permutex2var_epi8(t0, codes, t1);
      const __m512i high = _mm512_permutex2var_epi8(t2, codes, t3);
      const __m512i v = _mm512_mask_blend_epi8(_mm512_movepi8_mask(codes), low, high);
#pragma GCC unroll 8
      for (int q = 0; q < Q; ++q) {
        std::int32_t w;
        __builtin_memcpy(&w, weights[q] + 4 * g, 4);
        __m512i& a = acc[q][g % kChains];
        a = _mm512_dpbusd_epi32(a, v, _mm512_set1_epi32(w));
      }
    }
    for (int q = 0; q < Q; ++q) {
      __m512i total = acc[q][0];
      for (int c = 1; c < kChains; ++c) total = _mm512_add_epi32(total, acc[q][c]);
      _mm512_storeu_si512(sums[q] + b * kByteBlock, _mm512_sub_epi32(total, bias[q]));
    }
  }
}

}  // namespace

void scan_bytes_avx512vbmi(const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                           const std::int8_t* weights, const std::int8_t* values, std::int32_t* sums) {
  bytes<1>(blocks, nblocks, quads, &weights, values, &sums);
}

void scan_bytes_multi_avx512vbmi(const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                                 const std::int8_t* const* weights, const std::int8_t* values,
                                 std::int32_t* const* sums, std::size_t nq) {
  std::size_t q = 0;
  for (; q + 8 <= nq; q += 8) bytes<8>(blocks, nblocks, quads, weights + q, values, sums + q);
  for (; q + 4 <= nq; q += 4) bytes<4>(blocks, nblocks, quads, weights + q, values, sums + q);
  for (; q < nq; ++q) bytes<1>(blocks, nblocks, quads, weights + q, values, sums + q);
}

}  // namespace zorvex::detail
