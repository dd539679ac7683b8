#pragma once
// Element-wise quantize/dequantize loops of Codebook, in a baseline form and
// wider vector forms picked once per process. All forms give the same bytes.
//
// Quantize is defined as a linear scan: j = first index where value > e[j]
// fails, hi = min(j, n-1), lo = max(hi-1, 0), then the nearer of the two
// (ties and NaN distances to hi). In a valid codebook NaN entries can only
// sit at the ends (negative NaNs first, positive NaNs last) and the other
// entries never decrease under IEEE order (-0.0 and +0.0 compare equal).
// So, unless e[0] is NaN, value > e[k] holds for a prefix of the entries
// only and j is the number of entries below the value: a count or a binary
// search finds it. With e[0] NaN the scan stops at once and every value
// gives 0; callers handle that case before reaching the search forms.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/errors.hpp"
#include "common/isa.hpp"
#include "common/result.hpp"

namespace zorvex {
class Codebook;
}

namespace zorvex::detail {

using CodebookKernel = Isa;
inline constexpr const Isa (&kCodebookKernels)[3] = kIsas;
inline const char* codebook_kernel_name(Isa kernel) { return isa_name(kernel); }
inline bool codebook_kernel_supported(Isa kernel) { return isa_supported(kernel); }
inline Isa codebook_kernel_active() { return isa_best(); }

// The element-wise Codebook operations run with a given form. Panics if the
// form is not supported here.
Result<Unit, CodecError> codebook_quantize(CodebookKernel kernel, const Codebook& codebook,
                                           std::span<const float> input, std::span<std::uint8_t> output);
Result<Unit, CodecError> codebook_dequantize(CodebookKernel kernel, const Codebook& codebook,
                                             std::span<const std::uint8_t> input, std::span<float> output);

// The nearer of e[hi-1] and e[hi] (hi when tied or unordered), where hi is
// the count of entries below value capped at n-1.
inline std::uint8_t quantize_pick(const float* e, std::uint32_t n, std::uint32_t below, float value) {
  const std::uint32_t hi = below < n ? below : n - 1;
  const std::uint32_t lo = hi - static_cast<std::uint32_t>(hi > 0);
  const float d_lo = std::fabs(value - e[lo]);
  const float d_hi = std::fabs(value - e[hi]);
  return static_cast<std::uint8_t>(hi - static_cast<std::uint32_t>(d_hi > d_lo) * (hi - lo));
}

// One value; N is 4, 16 or 256 and e[0] is not NaN. Masks instead of
// branches throughout: on real data every comparison is a coin flip.
template <std::uint32_t N>
inline std::uint8_t quantize_one(const float* e, float value) {
  std::uint32_t below = 0;
  if constexpr (N <= 16) {
    // Independent compares beat a chain of dependent loads at this size.
    for (std::uint32_t k = 0; k < N; ++k) below += static_cast<std::uint32_t>(value > e[k]);
  } else {
    // Invariant: base <= count of entries below value <= base + 2*half.
    std::uint32_t base = 0;
    for (std::uint32_t half = N / 2; half > 0; half /= 2)
      base += half & (0u - static_cast<std::uint32_t>(value > e[base + half - 1]));
    below = base + static_cast<std::uint32_t>(value > e[base]);
  }
  return quantize_pick(e, N, below, value);
}

inline std::uint8_t quantize_one(const float* e, std::uint32_t n, float value) {
  switch (n) {
    case 4:
      return quantize_one<4>(e, value);
    case 16:
      return quantize_one<16>(e, value);
    default:
      return quantize_one<256>(e, value);
  }
}

// The forms. Quantize: n is 4, 16 or 256 and e[0] is not NaN. Dequantize:
// returns count when every index is below n, else the position of the first
// that is not (outputs before it may have been written).
void quantize_portable(const float* e, std::uint32_t n, const float* x, std::uint8_t* out, std::size_t count);
void quantize_avx2(const float* e, std::uint32_t n, const float* x, std::uint8_t* out, std::size_t count);
void quantize_avx512(const float* e, std::uint32_t n, const float* x, std::uint8_t* out, std::size_t count);
std::size_t dequantize_portable(const float* e, std::uint32_t n, const std::uint8_t* idx, float* out,
                                std::size_t count);
std::size_t dequantize_avx2(const float* e, std::uint32_t n, const std::uint8_t* idx, float* out,
                            std::size_t count);
std::size_t dequantize_avx512(const float* e, std::uint32_t n, const std::uint8_t* idx, float* out,
                              std::size_t count);

}  // namespace zorvex::detail
