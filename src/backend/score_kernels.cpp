#include "backend/score_kernels.hpp"

#include <cmath>
#include <string>

#include "common/result.hpp"

namespace zorvex::detail {

void score_blocks(ScoreKernel kernel, const ScoreBlocks& in, const float* x, float xx, float* out) {
  if (!score_kernel_supported(kernel))
    panic(std::string("score kernel not supported on this processor: ") + score_kernel_name(kernel));
  switch (kernel) {
    case ScoreKernel::Portable:
      score_blocks_portable(in, x, xx, out);
      break;
    case ScoreKernel::Avx2:
      score_blocks_avx2(in, x, xx, out);
      break;
    case ScoreKernel::Avx512:
      score_blocks_avx512(in, x, xx, out);
      break;
  }
}

void score_blocks_multi(ScoreKernel kernel, const ScoreBlocks& in, const float* const* xs, const float* xx,
                        std::size_t nq, float* const* outs) {
  if (!score_kernel_supported(kernel))
    panic(std::string("score kernel not supported on this processor: ") + score_kernel_name(kernel));
  switch (kernel) {
    case ScoreKernel::Portable:
      for (std::size_t q = 0; q < nq; ++q) score_blocks_portable(in, xs[q], xx[q], outs[q]);
      break;
    case ScoreKernel::Avx2:
      score_blocks_multi_avx2(in, xs, xx, nq, outs);
      break;
    case ScoreKernel::Avx512:
      score_blocks_multi_avx512(in, xs, xx, nq, outs);
      break;
  }
}

float sum_of_squares(const float* v, std::size_t d) {
  float s = 0.0f;
  for (std::size_t i = 0; i < d; ++i) s = s + v[i] * v[i];
  return s;
}

bool any_nan(const float* v, std::size_t d) {
  bool nan = false;
  for (std::size_t i = 0; i < d; ++i) nan |= std::isnan(v[i]);
  return nan;
}

void score_blocks_portable(const ScoreBlocks& in, const float* x, float xx, float* out) {
  constexpr std::size_t L = kScoreLanes;
  for (std::size_t b = 0; b < in.nblocks; ++b) {
    const float* block = in.blocks[b];
    // One independent sum per lane; the compiler may run lanes side by side.
    float dot[L] = {};
    for (std::size_t i = 0; i < in.d; ++i) {
      const float xi = x[i];
      const float* row = block + i * L;
      for (std::size_t l = 0; l < L; ++l) dot[l] = dot[l] + xi * row[l];
    }
    const float* vv = in.vv + b * L;
    const std::uint8_t* nan = in.has_nan + b * L;
    float* o = out + b * L;
    for (std::size_t l = 0; l < L; ++l) {
      const float denom = std::sqrt(xx * vv[l]);
      o[l] = (nan[l] != 0 || denom == 0.0f) ? 0.0f : dot[l] / denom;
    }
  }
}

}  // namespace zorvex::detail
