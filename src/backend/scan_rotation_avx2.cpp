// AVX2 form of the scan's query rotation: eight outputs a vector. Separate
// multiply and add intrinsics: a fused step would change bits.
#include <immintrin.h>

#include "backend/scan_rotation.hpp"
#include "backend/scan_rotation_tile.hpp"

namespace zorvex::detail {
namespace {

struct Ymm {
  using Vec = __m256;
  static constexpr std::size_t kLanes = 8;
  static Vec zero() { return _mm256_setzero_ps(); }
  static Vec load(const float* p) { return _mm256_load_ps(p); }
  static Vec set1(float v) { return _mm256_set1_ps(v); }
  static Vec add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
  static Vec mul(Vec a, Vec b) { return _mm256_mul_ps(a, b); }
  static void store(float* p, Vec v) { _mm256_storeu_ps(p, v); }
};

}  // namespace

void scan_rotate_panel_avx2(const float* panel, std::size_t d, const float* const* x, std::size_t nq,
                            float* const* y) {
  // Sixteen registers: at most eight accumulators.
  std::size_t q = 0;
  for (; q + 4 <= nq; q += 4) rotate_tile<Ymm, 4, 2>(panel, d, x + q, y + q);
  for (; q + 2 <= nq; q += 2) rotate_tile<Ymm, 2, 4>(panel, d, x + q, y + q);
  if (q < nq) rotate_tile<Ymm, 1, 8>(panel, d, x + q, y + q);
}

}  // namespace zorvex::detail
