// AVX2 form of the score kernel: one ymm lane per stored vector, two ymm per
// block. Separate multiply and add intrinsics only: this file is built with
// -mfma, but a fused step would change bits.
#include <immintrin.h>

#include "backend/score_kernels.hpp"

namespace zorvex::detail {
namespace {

static_assert(kScoreLanes == 16);

inline void finish(const ScoreBlocks& in, std::size_t b, int half, __m256 dot, __m256 xx, float* out) {
  const std::size_t at = b * 16 + static_cast<std::size_t>(half) * 8;
  const __m256 zero = _mm256_setzero_ps();
  const __m256 denom = _mm256_sqrt_ps(_mm256_mul_ps(xx, _mm256_loadu_ps(in.vv + at)));
  const __m256 score = _mm256_div_ps(dot, denom);
  const __m128i flags8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in.has_nan + at));
  const __m256i flags = _mm256_cvtepu8_epi32(flags8);
  const __m256 nan = _mm256_castsi256_ps(_mm256_cmpgt_epi32(flags, _mm256_setzero_si256()));
  const __m256 drop = _mm256_or_ps(_mm256_cmp_ps(denom, zero, _CMP_EQ_OQ), nan);
  _mm256_storeu_ps(out + at, _mm256_andnot_ps(drop, score));
}

inline __m256 step(__m256 dot, __m256 xi, const float* lanes) {
  return _mm256_add_ps(dot, _mm256_mul_ps(xi, _mm256_loadu_ps(lanes)));
}

// G blocks side by side, 2G independent add chains. Rows are prefetched
// ahead, and block g runs kScoreStagger * g rows behind block 0, as in the
// AVX-512 form.
template <int G>
void score_group(const ScoreBlocks& in, std::size_t b0, const float* x, __m256 xx, float* out) {
  const std::size_t d = in.d;
  const float* p[G];
  const float* next[G];
  __m256 lo[G], hi[G];
  for (int g = 0; g < G; ++g) {
    p[g] = in.blocks[b0 + g];
    next[g] = b0 + G + g < in.nblocks ? in.blocks[b0 + G + g] : nullptr;
    lo[g] = _mm256_setzero_ps();
    hi[g] = _mm256_setzero_ps();
  }
  const auto row = [&](int g, std::size_t i) {
    prefetch_ahead(p[g], next[g], d, i);
    const __m256 xi = _mm256_set1_ps(x[i]);
    lo[g] = step(lo[g], xi, p[g] + i * 16);
    hi[g] = step(hi[g], xi, p[g] + i * 16 + 8);
  };
  staggered_rows<G>(d, row);
  for (int g = 0; g < G; ++g) {
    finish(in, b0 + g, 0, lo[g], xx, out);
    finish(in, b0 + g, 1, hi[g], xx, out);
  }
}

// Q queries against one block: each row is loaded once for all of them.
template <int Q>
void score_queries(const ScoreBlocks& in, std::size_t b, const float* const* xs, const float* xx, float* const* outs) {
  const float* p = in.blocks[b];
  __m256 lo[Q], hi[Q];
  for (int q = 0; q < Q; ++q) lo[q] = hi[q] = _mm256_setzero_ps();
  const float* x[Q];
  for (int q = 0; q < Q; ++q) x[q] = xs[q];
  for (std::size_t i = 0; i < in.d; ++i) {
    const __m256 rlo = _mm256_loadu_ps(p + i * 16), rhi = _mm256_loadu_ps(p + i * 16 + 8);
    // Unrolled, so that the sums stay in registers.
#pragma GCC unroll 8
    for (int q = 0; q < Q; ++q) {
      const __m256 xi = _mm256_set1_ps(x[q][i]);
      lo[q] = _mm256_add_ps(lo[q], _mm256_mul_ps(xi, rlo));
      hi[q] = _mm256_add_ps(hi[q], _mm256_mul_ps(xi, rhi));
    }
  }
  for (int q = 0; q < Q; ++q) {
    const __m256 xxv = _mm256_set1_ps(xx[q]);
    finish(in, b, 0, lo[q], xxv, outs[q]);
    finish(in, b, 1, hi[q], xxv, outs[q]);
  }
}

}  // namespace

void score_blocks_multi_avx2(const ScoreBlocks& in, const float* const* xs, const float* xx, std::size_t nq,
                             float* const* outs) {
  for (std::size_t b = 0; b < in.nblocks; ++b) {
    std::size_t q = 0;
    for (; q + 4 <= nq; q += 4) score_queries<4>(in, b, xs + q, xx + q, outs + q);
    for (; q < nq; ++q) score_queries<1>(in, b, xs + q, xx + q, outs + q);
  }
}

void score_blocks_avx2(const ScoreBlocks& in, const float* x, float xx, float* out) {
  const __m256 xxv = _mm256_set1_ps(xx);
  std::size_t b = 0;
  for (; b + 4 <= in.nblocks; b += 4) score_group<4>(in, b, x, xxv, out);
  for (; b < in.nblocks; ++b) score_group<1>(in, b, x, xxv, out);
}

}  // namespace zorvex::detail
