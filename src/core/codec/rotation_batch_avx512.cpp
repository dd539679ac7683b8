// AVX-512 tiles for the batch rotation. Separate multiply and add intrinsics
// only: this file is built with -mfma, but a fused step would change bits.
// GCC 12 reports its own intrinsics' undefined pass-through operands as
// (maybe-)uninitialised once inlined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>

#include "core/codec/rotation_batch.hpp"

namespace zorvex::detail {
namespace {

// 4 rows x 6 vectors of 8 outputs: 24 accumulators, 6 coefficient vectors,
// the broadcast input and a product use the 32 registers. A step is 48
// arithmetic instructions (the two vector ports' worth for 24 cycles)
// against 10 loads, and 24 independent chains hide the addition latency.
constexpr std::size_t kRows = 4;
constexpr std::size_t kVectors = 6;
constexpr std::size_t kCols = kVectors * 8;
// 64 steps x 48 coefficients = 24 KB of panel, half of L1.
constexpr std::size_t kDepth = 64;

void tiles(const BatchTileJob& job) {
  constexpr std::size_t R = kRows, V = kVectors;
  for (std::size_t g = 0; g < job.groups; ++g) {
    double* part = job.partial + g * R * kCols;
    __m512d acc[R][V];
#pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 8
      for (std::size_t v = 0; v < V; ++v)
        acc[r][v] = job.first ? _mm512_setzero_pd() : _mm512_load_pd(part + r * kCols + v * 8);

    const double* b = job.panel;
    const double* xk = job.x + g * job.x_group_stride;
    for (std::size_t k = 0; k < job.depth; ++k, b += kCols, xk += R) {
      __m512d coef[V];
#pragma GCC unroll 8
      for (std::size_t v = 0; v < V; ++v) coef[v] = _mm512_load_pd(b + v * 8);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < R; ++r) {
        const __m512d s = _mm512_set1_pd(xk[r]);
#pragma GCC unroll 8
        for (std::size_t v = 0; v < V; ++v) acc[r][v] = _mm512_add_pd(acc[r][v], _mm512_mul_pd(coef[v], s));
      }
    }

    if (!job.last) {
#pragma GCC unroll 8
      for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 8
        for (std::size_t v = 0; v < V; ++v) _mm512_store_pd(part + r * kCols + v * 8, acc[r][v]);
      continue;
    }
    const std::size_t rows = std::min(R, job.rows - g * R);
#pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r) {
      if (r >= rows) break;
      float* out = job.y + (g * R + r) * job.y_stride;
#pragma GCC unroll 8
      for (std::size_t v = 0; v < V; ++v) {
        const std::size_t c0 = v * 8;
        if (c0 >= job.cols) break;
        const __m256 f = _mm512_cvtpd_ps(acc[r][v]);
        if (c0 + 8 <= job.cols)
          _mm256_storeu_ps(out + c0, f);
        else
          _mm256_mask_storeu_ps(out + c0, static_cast<__mmask8>((1u << (job.cols - c0)) - 1u), f);
      }
    }
  }
}

}  // namespace

const BatchForm& rotation_batch_form_avx512() {
  static const BatchForm form{kRows, kCols, kDepth, &tiles};
  return form;
}

}  // namespace zorvex::detail
