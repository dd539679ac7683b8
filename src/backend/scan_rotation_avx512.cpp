// AVX-512 form of the scan's query rotation: sixteen outputs a vector.
// Separate multiply and add intrinsics: a fused step would change bits.
#include <immintrin.h>

#include "backend/scan_rotation.hpp"
#include "backend/scan_rotation_tile.hpp"

namespace zorvex::detail {
namespace {

struct Zmm {
  using Vec = __m512;
  static constexpr std::size_t kLanes = 16;
  static Vec zero() { return _mm512_setzero_ps(); }
  static Vec load(const float* p) { return _mm512_load_ps(p); }
  static Vec set1(float v) { return _mm512_set1_ps(v); }
  static Vec add(Vec a, Vec b) { return _mm512_add_ps(a, b); }
  static Vec mul(Vec a, Vec b) { return _mm512_mul_ps(a, b); }
  static void store(float* p, Vec v) { _mm512_storeu_ps(p, v); }
};

}  // namespace

void scan_rotate_panel_avx512(const float* panel, std::size_t d, const float* const* x, std::size_t nq,
                              float* const* y) {
  // Thirty-two registers: up to sixteen accumulators.
  std::size_t q = 0;
  for (; q + 4 <= nq; q += 4) rotate_tile<Zmm, 4, 4>(panel, d, x + q, y + q);
  switch (nq - q) {
    case 3:
      rotate_tile<Zmm, 3, 4>(panel, d, x + q, y + q);
      break;
    case 2:
      rotate_tile<Zmm, 2, 8>(panel, d, x + q, y + q);
      break;
    case 1:
      rotate_tile<Zmm, 1, 16>(panel, d, x + q, y + q);
      break;
    default:
      break;
  }
}

}  // namespace zorvex::detail
