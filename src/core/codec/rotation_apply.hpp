#pragma once
// Kernels for y = M x and y = M^T x with a row-major d x d double matrix.
// The sums run in the one order that defines the result (forward: j = 0..d-1
// from 0.0; inverse: rows i = 0..d-1 into accumulators starting at 0.0, each
// step (M[i][j] * v) + a[j]); the wide forms only work on several independent
// sums at once, so every form gives the same bits.
#include <bit>
#include <cstddef>
#include <cstdint>

#include "common/isa.hpp"

namespace zorvex::detail {

using RotationKernel = Isa;
inline constexpr const Isa (&kRotationKernels)[3] = kIsas;
inline const char* rotation_kernel_name(Isa kernel) { return isa_name(kernel); }
inline bool rotation_kernel_supported(Isa kernel) { return isa_supported(kernel); }
inline Isa rotation_kernel_active() { return isa_best(); }

// x and y hold d values each and may be the same array. Panics if the kernel
// is not supported here.
void rotation_forward(RotationKernel kernel, const double* m, std::size_t d, const float* x, float* y);
void rotation_inverse(RotationKernel kernel, const double* m, std::size_t d, const float* x, float* y);

// A NaN the arithmetic makes (inf - inf) is 0xFFC00000 on x86-64 and
// 0x7FC00000 (the same with the sign clear) on other processors, and a
// record's residual keeps it. Elsewhere, where no input value is 0x7FC00000,
// every 0x7FC00000 in the output was made so and takes x86-64's bits; a NaN
// passed on from the input keeps its own. Test the input before the output is
// written: x may be y.
#if defined(__x86_64__) || defined(__i386__)
inline constexpr bool kMatchX86MadeNans = false;
#else
inline constexpr bool kMatchX86MadeNans = true;
#endif
inline constexpr std::uint32_t kArmDefaultNan = 0x7FC00000u;
inline bool row_has_arm_default_nan(const float* x, std::size_t n) {
  bool found = false;
  for (std::size_t i = 0; i < n; ++i) found |= std::bit_cast<std::uint32_t>(x[i]) == kArmDefaultNan;
  return found;
}
inline void match_x86_made_nans(float* y, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (std::bit_cast<std::uint32_t>(y[i]) == kArmDefaultNan) y[i] = std::bit_cast<float>(0xFFC00000u);
}

// The forms themselves. Forward takes x already widened to double; inverse
// takes a scratch array of d doubles for its accumulators.
void rotation_forward_portable(const double* m, std::size_t d, const double* xd, float* y);
void rotation_inverse_portable(const double* m, std::size_t d, const float* x, double* acc, float* y);
void rotation_forward_avx2(const double* m, std::size_t d, const double* xd, float* y);
void rotation_inverse_avx2(const double* m, std::size_t d, const float* x, double* acc, float* y);
void rotation_forward_avx512(const double* m, std::size_t d, const double* xd, float* y);
void rotation_inverse_avx512(const double* m, std::size_t d, const float* x, double* acc, float* y);

}  // namespace zorvex::detail
