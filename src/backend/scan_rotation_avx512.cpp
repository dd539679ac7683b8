// AVX-512 form of the scan's query rotation: sixteen outputs a vector, each
// lane its own chain of separate multiplies and adds (no fused steps).
#include <immintrin.h>

#include "backend/scan_rotation.hpp"

namespace zorvex::detail {
namespace {

// Q queries by V vectors of outputs: Q * V accumulators, each matrix vector
// loaded once for all Q queries.
template <std::size_t Q, std::size_t V>
void tile(const float* panel, std::size_t d, const float* const* x, float* const* y) {
  static_assert(kScanPanel % (16 * V) == 0);
  for (std::size_t w0 = 0; w0 < kScanPanel; w0 += 16 * V) {
    __m512 acc[Q][V];
#pragma GCC unroll 16
    for (std::size_t q = 0; q < Q; ++q)
#pragma GCC unroll 16
      for (std::size_t v = 0; v < V; ++v) acc[q][v] = _mm512_setzero_ps();
    const float* p = panel + w0;
    for (std::size_t j = 0; j < d; ++j, p += kScanPanel) {
      __m512 m[V];
#pragma GCC unroll 16
      for (std::size_t v = 0; v < V; ++v) m[v] = _mm512_load_ps(p + 16 * v);
#pragma GCC unroll 16
      for (std::size_t q = 0; q < Q; ++q) {
        const __m512 s = _mm512_set1_ps(x[q][j]);
#pragma GCC unroll 16
        for (std::size_t v = 0; v < V; ++v) acc[q][v] = _mm512_add_ps(acc[q][v], _mm512_mul_ps(m[v], s));
      }
    }
#pragma GCC unroll 16
    for (std::size_t q = 0; q < Q; ++q)
#pragma GCC unroll 16
      for (std::size_t v = 0; v < V; ++v) _mm512_storeu_ps(y[q] + w0 + 16 * v, acc[q][v]);
  }
}

}  // namespace

void scan_rotate_panel_avx512(const float* panel, std::size_t d, const float* const* x, std::size_t nq,
                              float* const* y) {
  std::size_t q = 0;
  for (; q + 4 <= nq; q += 4) tile<4, 4>(panel, d, x + q, y + q);
  switch (nq - q) {
    case 3:
      tile<3, 4>(panel, d, x + q, y + q);
      break;
    case 2:
      tile<2, 8>(panel, d, x + q, y + q);
      break;
    case 1:
      tile<1, 16>(panel, d, x + q, y + q);
      break;
    default:
      break;
  }
}

}  // namespace zorvex::detail
