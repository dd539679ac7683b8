// AVX-512 form of the score kernel: one zmm lane per stored vector. Separate
// multiply and add intrinsics only: this file is built with -mfma, but a
// fused step would change bits.
#include <immintrin.h>

#include "backend/score_kernels.hpp"

namespace zorvex::detail {
namespace {

static_assert(kScoreLanes == 16);

inline void finish(const ScoreBlocks& in, std::size_t b, __m512 dot, __m512 xx, float* out) {
  // The zero-masked form with every lane selected: GCC 12 warns about the
  // plain form's undefined pass-through operand.
  const __m512 denom = _mm512_maskz_sqrt_ps(0xFFFF, _mm512_mul_ps(xx, _mm512_loadu_ps(in.vv + b * 16)));
  const __m512 score = _mm512_div_ps(dot, denom);
  const __mmask16 zero = _mm512_cmp_ps_mask(denom, _mm512_setzero_ps(), _CMP_EQ_OQ);
  const __m128i flags = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in.has_nan + b * 16));
  const __mmask16 nan = _mm_test_epi8_mask(flags, flags);
  _mm512_storeu_ps(out + b * 16, _mm512_maskz_mov_ps(static_cast<__mmask16>(~(zero | nan)), score));
}

inline __m512 step(__m512 dot, __m512 xi, const float* row) {
  return _mm512_add_ps(dot, _mm512_mul_ps(xi, _mm512_loadu_ps(row)));
}

// G blocks side by side: G independent add chains hide the add latency.
// Each row of a block is one cache line; the hardware prefetcher alone does
// not keep G streams far enough ahead, so rows kScorePrefetchRows ahead are
// requested, running on into the next group's blocks near the end. The
// blocks run staggered (staggered_rows); each block's sum keeps its order.
template <int G>
void score_group(const ScoreBlocks& in, std::size_t b0, const float* x, __m512 xx, float* out) {
  const std::size_t d = in.d;
  const float* p[G];
  const float* next[G];
  __m512 dot[G];
  for (int g = 0; g < G; ++g) {
    p[g] = in.blocks[b0 + g];
    next[g] = b0 + G + g < in.nblocks ? in.blocks[b0 + G + g] : nullptr;
    dot[g] = _mm512_setzero_ps();
  }
  const auto row = [&](int g, std::size_t i) {
    prefetch_ahead(p[g], next[g], d, i);
    dot[g] = step(dot[g], _mm512_set1_ps(x[i]), p[g] + i * 16);
  };
  staggered_rows<G>(d, row);
  for (int g = 0; g < G; ++g) finish(in, b0 + g, dot[g], xx, out);
}

// Q queries against one block: each row is loaded once for all of them.
template <int Q>
void score_queries(const ScoreBlocks& in, std::size_t b, const float* const* xs, const float* xx, float* const* outs) {
  const float* p = in.blocks[b];
  __m512 dot[Q];
  for (int q = 0; q < Q; ++q) dot[q] = _mm512_setzero_ps();
  const float* x[Q];
  for (int q = 0; q < Q; ++q) x[q] = xs[q];
  for (std::size_t i = 0; i < in.d; ++i) {
    const __m512 row = _mm512_loadu_ps(p + i * 16);
    // Unrolled, so that the sums stay in registers.
#pragma GCC unroll 8
    for (int q = 0; q < Q; ++q) dot[q] = _mm512_add_ps(dot[q], _mm512_mul_ps(_mm512_set1_ps(x[q][i]), row));
  }
  for (int q = 0; q < Q; ++q) finish(in, b, dot[q], _mm512_set1_ps(xx[q]), outs[q]);
}

}  // namespace

void score_blocks_multi_avx512(const ScoreBlocks& in, const float* const* xs, const float* xx, std::size_t nq,
                               float* const* outs) {
  for (std::size_t b = 0; b < in.nblocks; ++b) {
    std::size_t q = 0;
    for (; q + 8 <= nq; q += 8) score_queries<8>(in, b, xs + q, xx + q, outs + q);
    for (; q + 4 <= nq; q += 4) score_queries<4>(in, b, xs + q, xx + q, outs + q);
    for (; q < nq; ++q) score_queries<1>(in, b, xs + q, xx + q, outs + q);
  }
}

void score_blocks_avx512(const ScoreBlocks& in, const float* x, float xx, float* out) {
  const __m512 xxv = _mm512_set1_ps(xx);
  std::size_t b = 0;
  for (; b + 4 <= in.nblocks; b += 4) score_group<4>(in, b, x, xxv, out);
  for (; b < in.nblocks; ++b) score_group<1>(in, b, x, xxv, out);
}

}  // namespace zorvex::detail
