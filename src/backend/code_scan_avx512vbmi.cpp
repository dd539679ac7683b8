// AVX-512 VBMI + VNNI forms. The byte scan: 64 codes looked up in the
// 256-value table with two two-register permutes, then multiplied by the
// weights and summed four at a time into 32-bit lanes, one lane per vector.
// The nibble scan: looked up as in the AVX-512 form (a group per 128-bit
// lane), then a vector's four groups gathered into one 32-bit lane with a
// byte permute and added there by a multiply-add with ones: three steps per
// lookup instead of five, and 32-bit sums that need no flushing.
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
    // The chain is picked by a constant: picked by g % kChains it went
    // through the stack each time.
    for (std::size_t g0 = 0; g0 < quads; g0 += kChains) {
#pragma GCC unroll 2
      for (int c = 0; c < kChains; ++c) {
        const std::size_t g = g0 + static_cast<std::size_t>(c);
        if (kChains > 1 && g >= quads) break;
        const std::uint8_t* r = row + g * kByteRow;
        _mm_prefetch(reinterpret_cast<const char*>(r + kPrefetchAhead), _MM_HINT_T0);
        const __m512i codes = _mm512_loadu_si512(r);
        const __m512i low = _mm512_permutex2var_epi8(t0, codes, t1);
        const __m512i high = _mm512_permutex2var_epi8(t2, codes, t3);
        const __m512i v = _mm512_mask_blend_epi8(_mm512_movepi8_mask(codes), low, high);
#pragma GCC unroll 8
        for (int q = 0; q < Q; ++q) {
          std::int32_t w;
          __builtin_memcpy(&w, weights[q] + 4 * g, 4);
          acc[q][c] = _mm512_dpbusd_epi32(acc[q][c], v, _mm512_set1_epi32(w));
        }
      }
    }
    for (int q = 0; q < Q; ++q) {
      __m512i total = acc[q][0];
      for (int c = 1; c < kChains; ++c) total = _mm512_add_epi32(total, acc[q][c]);
      _mm512_storeu_si512(sums[q] + b * kByteBlock, _mm512_sub_epi32(total, bias[q]));
    }
  }
}

// Q queries over the same blocks, each row of codes split into nibbles once.
// A single query runs two chains so that a multiply-add need not wait for the
// one before it.
template <int Q>
void nibbles(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups, const std::uint8_t* const* tables,
             std::uint32_t* const* sums) {
  constexpr int kChains = Q == 1 ? 2 : 1;
  constexpr std::size_t kStep = 4 * kChains;  // groups a pass of the loop takes
  const __m512i low4 = _mm512_set1_epi8(0x0F);
  const __m512i ones = _mm512_set1_epi8(1);
  // Byte 4k + l of the result is byte 16l + k of the lookup: vector k's
  // entry of group l.
  alignas(64) std::uint8_t order[64];
  for (int k = 0; k < 16; ++k)
    for (int l = 0; l < 4; ++l) order[4 * k + l] = static_cast<std::uint8_t>(16 * l + k);
  const __m512i gather = _mm512_load_si512(order);
  for (std::size_t b = 0; b < nblocks; ++b) {
    const std::uint8_t* row = blocks + b * groups * kNibbleRow;
    __m512i low[Q][kChains], high[Q][kChains];  // vectors 0-15 and 16-31
    for (int q = 0; q < Q; ++q)
      for (int c = 0; c < kChains; ++c) low[q][c] = high[q][c] = _mm512_setzero_si512();
    // groups is a multiple of 4; with two chains an odd count of fours ends
    // with one step of the first chain alone.
    for (std::size_t j = 0; j < groups; j += kStep) {
#pragma GCC unroll 2
      for (int c = 0; c < kChains; ++c) {
        const std::size_t j4 = j + 4 * static_cast<std::size_t>(c);
        if (kChains > 1 && j4 >= groups) break;
        const std::uint8_t* r = row + j4 * kNibbleRow;
        _mm_prefetch(reinterpret_cast<const char*>(r + kPrefetchAhead), _MM_HINT_T0);
        const __m512i codes = _mm512_loadu_si512(r);
        const __m512i lo_index = _mm512_and_si512(codes, low4);
        const __m512i hi_index = _mm512_and_si512(_mm512_srli_epi16(codes, 4), low4);
#pragma GCC unroll 4
        for (int q = 0; q < Q; ++q) {
          const __m512i table = _mm512_loadu_si512(tables[q] + j4 * 16);
          const __m512i lo = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, gather, _mm512_shuffle_epi8(table, lo_index));
          const __m512i hi = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, gather, _mm512_shuffle_epi8(table, hi_index));
          low[q][c] = _mm512_dpbusd_epi32(low[q][c], lo, ones);
          high[q][c] = _mm512_dpbusd_epi32(high[q][c], hi, ones);
        }
      }
    }
    for (int q = 0; q < Q; ++q) {
      for (int c = 1; c < kChains; ++c) {
        low[q][0] = _mm512_add_epi32(low[q][0], low[q][c]);
        high[q][0] = _mm512_add_epi32(high[q][0], high[q][c]);
      }
      _mm512_storeu_si512(sums[q] + b * kNibbleBlock, low[q][0]);
      _mm512_storeu_si512(sums[q] + b * kNibbleBlock + 16, high[q][0]);
    }
  }
}

}  // namespace

void scan_bytes_avx512vbmi(const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                           const std::int8_t* weights, const std::int8_t* values, std::int32_t* sums) {
  bytes<1>(blocks, nblocks, quads, &weights, values, &sums);
}

void scan_nibbles_avx512vbmi(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                             const std::uint8_t* tables, std::uint32_t* sums) {
  nibbles<1>(blocks, nblocks, groups, &tables, &sums);
}

void scan_nibbles_multi_avx512vbmi(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                                   const std::uint8_t* const* tables, std::uint32_t* const* sums, std::size_t nq) {
  std::size_t q = 0;
  for (; q + 4 <= nq; q += 4) nibbles<4>(blocks, nblocks, groups, tables + q, sums + q);
  for (; q < nq; ++q) nibbles<1>(blocks, nblocks, groups, tables + q, sums + q);
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
