#pragma once
// The wide forms' tile of the scan's query rotation, written once over a
// vector type's traits (T: Vec, kLanes, zero, load, set1, add, mul, store):
// Q queries by V vectors of outputs, Q * V accumulators, each matrix vector
// loaded once for all Q queries, each lane its own chain of separate
// multiplies and adds. Included only by files built for T's instructions.
#include <cstddef>

#include "backend/scan_rotation.hpp"

namespace zorvex::detail {

template <class T, std::size_t Q, std::size_t V>
void rotate_tile(const float* panel, std::size_t d, const float* const* x, float* const* y) {
  using Vec = typename T::Vec;
  constexpr std::size_t L = T::kLanes;
  static_assert(kScanPanel % (L * V) == 0);
  for (std::size_t w0 = 0; w0 < kScanPanel; w0 += L * V) {
    Vec acc[Q][V];
#pragma GCC unroll 16
    for (std::size_t q = 0; q < Q; ++q)
#pragma GCC unroll 16
      for (std::size_t v = 0; v < V; ++v) acc[q][v] = T::zero();
    const float* p = panel + w0;
    for (std::size_t j = 0; j < d; ++j, p += kScanPanel) {
      Vec m[V];
#pragma GCC unroll 16
      for (std::size_t v = 0; v < V; ++v) m[v] = T::load(p + L * v);
#pragma GCC unroll 16
      for (std::size_t q = 0; q < Q; ++q) {
        const Vec s = T::set1(x[q][j]);
#pragma GCC unroll 16
        for (std::size_t v = 0; v < V; ++v) acc[q][v] = T::add(acc[q][v], T::mul(m[v], s));
      }
    }
#pragma GCC unroll 16
    for (std::size_t q = 0; q < Q; ++q)
#pragma GCC unroll 16
      for (std::size_t v = 0; v < V; ++v) T::store(y[q] + w0 + L * v, acc[q][v]);
  }
}

}  // namespace zorvex::detail
