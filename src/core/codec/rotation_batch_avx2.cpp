// AVX2 tiles for the batch rotation. Separate multiply and add intrinsics
// only: this file is built with -mfma, but a fused step would change bits.
#include <immintrin.h>

#include <algorithm>

#include "core/codec/rotation_batch.hpp"

namespace zorvex::detail {
namespace {

// 6 rows x 2 vectors of 4 outputs: 12 accumulators, 2 coefficient vectors,
// the broadcast input and a product are exactly the 16 registers.
constexpr std::size_t kRows = 6;
constexpr std::size_t kVectors = 2;
constexpr std::size_t kCols = kVectors * 4;
// 128 steps x 8 coefficients = 8 KB of panel.
constexpr std::size_t kDepth = 128;

void tiles(const BatchTileJob& job) {
  constexpr std::size_t R = kRows, V = kVectors;
  for (std::size_t g = 0; g < job.groups; ++g) {
    double* part = job.partial + g * R * kCols;
    __m256d acc[R][V];
#pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 8
      for (std::size_t v = 0; v < V; ++v)
        acc[r][v] = job.first ? _mm256_setzero_pd() : _mm256_load_pd(part + r * kCols + v * 4);

    const double* b = job.panel;
    const double* xk = job.x + g * job.x_group_stride;
    for (std::size_t k = 0; k < job.depth; ++k, b += kCols, xk += R) {
      __m256d coef[V];
#pragma GCC unroll 8
      for (std::size_t v = 0; v < V; ++v) coef[v] = _mm256_load_pd(b + v * 4);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < R; ++r) {
        const __m256d s = _mm256_broadcast_sd(xk + r);
#pragma GCC unroll 8
        for (std::size_t v = 0; v < V; ++v) acc[r][v] = _mm256_add_pd(acc[r][v], _mm256_mul_pd(coef[v], s));
      }
    }

    if (!job.last) {
#pragma GCC unroll 8
      for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 8
        for (std::size_t v = 0; v < V; ++v) _mm256_store_pd(part + r * kCols + v * 4, acc[r][v]);
      continue;
    }
    const std::size_t rows = std::min(R, job.rows - g * R);
#pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r) {
      if (r >= rows) break;
      float* out = job.y + (g * R + r) * job.y_stride;
#pragma GCC unroll 8
      for (std::size_t v = 0; v < V; ++v) {
        const std::size_t c0 = v * 4;
        if (c0 >= job.cols) break;
        const __m128 f = _mm256_cvtpd_ps(acc[r][v]);
        if (c0 + 4 <= job.cols) {
          _mm_storeu_ps(out + c0, f);
        } else {
          alignas(16) float lanes[4];
          _mm_store_ps(lanes, f);
          std::copy(lanes, lanes + (job.cols - c0), out + c0);
        }
      }
    }
  }
}

}  // namespace

const BatchForm& rotation_batch_form_avx2() {
  static const BatchForm form{kRows, kCols, kDepth, &tiles};
  return form;
}

}  // namespace zorvex::detail
