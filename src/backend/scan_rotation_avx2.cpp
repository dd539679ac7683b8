// AVX2 form of the scan's query rotation: eight outputs a vector, each
// lane its own chain of separate multiplies and adds (no fused steps).
#include <immintrin.h>

#include "backend/scan_rotation.hpp"

namespace zorvex::detail {
namespace {

// Q queries by V vectors of outputs: Q * V accumulators, each matrix vector
// loaded once for all Q queries.
template <std::size_t Q, std::size_t V>
void tile(const float* panel, std::size_t d, const float* const* x, float* const* y) {
  static_assert(kScanPanel % (8 * V) == 0);
  for (std::size_t w0 = 0; w0 < kScanPanel; w0 += 8 * V) {
    __m256 acc[Q][V];
#pragma GCC unroll 16
    for (std::size_t q = 0; q < Q; ++q)
#pragma GCC unroll 16
      for (std::size_t v = 0; v < V; ++v) acc[q][v] = _mm256_setzero_ps();
    const float* p = panel + w0;
    for (std::size_t j = 0; j < d; ++j, p += kScanPanel) {
      __m256 m[V];
#pragma GCC unroll 16
      for (std::size_t v = 0; v < V; ++v) m[v] = _mm256_load_ps(p + 8 * v);
#pragma GCC unroll 16
      for (std::size_t q = 0; q < Q; ++q) {
        const __m256 s = _mm256_set1_ps(x[q][j]);
#pragma GCC unroll 16
        for (std::size_t v = 0; v < V; ++v) acc[q][v] = _mm256_add_ps(acc[q][v], _mm256_mul_ps(m[v], s));
      }
    }
#pragma GCC unroll 16
    for (std::size_t q = 0; q < Q; ++q)
#pragma GCC unroll 16
      for (std::size_t v = 0; v < V; ++v) _mm256_storeu_ps(y[q] + w0 + 8 * v, acc[q][v]);
  }
}

}  // namespace

void scan_rotate_panel_avx2(const float* panel, std::size_t d, const float* const* x, std::size_t nq,
                            float* const* y) {
  std::size_t q = 0;
  // Sixteen registers: at most twelve accumulators.
  for (; q + 4 <= nq; q += 4) tile<4, 2>(panel, d, x + q, y + q);
  for (; q + 2 <= nq; q += 2) tile<2, 4>(panel, d, x + q, y + q);
  if (q < nq) tile<1, 8>(panel, d, x + q, y + q);
}

}  // namespace zorvex::detail
