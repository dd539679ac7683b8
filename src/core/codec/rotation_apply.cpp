#include "core/codec/rotation_apply.hpp"

#include <memory>
#include <string>

#include "common/result.hpp"
#include "common/fp_mode.hpp"

namespace zorvex::detail {
namespace {

// d doubles of scratch; small sizes stay on the stack.
class Scratch {
 public:
  explicit Scratch(std::size_t d) {
    if (d > kInline) {
      heap_.reset(new double[d]);
      data_ = heap_.get();
    }
  }
  double* get() { return data_; }

 private:
  static constexpr std::size_t kInline = 512;
  double inline_[kInline];
  std::unique_ptr<double[]> heap_;
  double* data_ = inline_;
};

void require_supported(RotationKernel kernel) {
  if (!rotation_kernel_supported(kernel))
    panic(std::string("rotation kernel not supported on this processor: ") + rotation_kernel_name(kernel));
}

}  // namespace

void rotation_forward(RotationKernel kernel, const double* m, std::size_t d, const float* x, float* y) {
  require_supported(kernel);
  StandardFpMode fp_mode;
  const bool made_nans_only = kMatchX86MadeNans && !row_has_arm_default_nan(x, d);
  // Widening x first also makes x == y safe.
  Scratch xd(d);
  for (std::size_t j = 0; j < d; ++j) xd.get()[j] = static_cast<double>(x[j]);
  switch (kernel) {
    case RotationKernel::Portable:
      rotation_forward_portable(m, d, xd.get(), y);
      break;
    case RotationKernel::Avx2:
      rotation_forward_avx2(m, d, xd.get(), y);
      break;
    case RotationKernel::Avx512:
      rotation_forward_avx512(m, d, xd.get(), y);
      break;
  }
  if (made_nans_only) match_x86_made_nans(y, d);
}

void rotation_inverse(RotationKernel kernel, const double* m, std::size_t d, const float* x, float* y) {
  require_supported(kernel);
  StandardFpMode fp_mode;
  const bool made_nans_only = kMatchX86MadeNans && !row_has_arm_default_nan(x, d);
  Scratch acc(d);
  switch (kernel) {
    case RotationKernel::Portable:
      rotation_inverse_portable(m, d, x, acc.get(), y);
      break;
    case RotationKernel::Avx2:
      rotation_inverse_avx2(m, d, x, acc.get(), y);
      break;
    case RotationKernel::Avx512:
      rotation_inverse_avx512(m, d, x, acc.get(), y);
      break;
  }
  if (made_nans_only) match_x86_made_nans(y, d);
}

void rotation_forward_portable(const double* m, std::size_t d, const double* xd, float* y) {
  std::size_t i = 0;
  // Four rows at a time for instruction-level parallelism; each sum is still
  // one sequential chain.
  for (; i + 4 <= d; i += 4) {
    const double* r0 = m + i * d;
    const double* r1 = r0 + d;
    const double* r2 = r1 + d;
    const double* r3 = r2 + d;
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
      const double v = xd[j];
      s0 = s0 + r0[j] * v;
      s1 = s1 + r1[j] * v;
      s2 = s2 + r2[j] * v;
      s3 = s3 + r3[j] * v;
    }
    y[i] = static_cast<float>(s0);
    y[i + 1] = static_cast<float>(s1);
    y[i + 2] = static_cast<float>(s2);
    y[i + 3] = static_cast<float>(s3);
  }
  for (; i < d; ++i) {
    const double* r = m + i * d;
    double s = 0.0;
    for (std::size_t j = 0; j < d; ++j) s = s + r[j] * xd[j];
    y[i] = static_cast<float>(s);
  }
}

void rotation_inverse_portable(const double* m, std::size_t d, const float* x, double* acc, float* y) {
  for (std::size_t j = 0; j < d; ++j) acc[j] = 0.0;
  std::size_t i = 0;
  // Four rows per pass over the accumulators, applied in row order.
  for (; i + 4 <= d; i += 4) {
    const double* r0 = m + i * d;
    const double* r1 = r0 + d;
    const double* r2 = r1 + d;
    const double* r3 = r2 + d;
    const double v0 = x[i], v1 = x[i + 1], v2 = x[i + 2], v3 = x[i + 3];
    for (std::size_t j = 0; j < d; ++j) {
      double a = acc[j];
      a = r0[j] * v0 + a;
      a = r1[j] * v1 + a;
      a = r2[j] * v2 + a;
      a = r3[j] * v3 + a;
      acc[j] = a;
    }
  }
  for (; i < d; ++i) {
    const double* r = m + i * d;
    const double v = x[i];
    for (std::size_t j = 0; j < d; ++j) acc[j] = r[j] * v + acc[j];
  }
  for (std::size_t j = 0; j < d; ++j) y[j] = static_cast<float>(acc[j]);
}

}  // namespace zorvex::detail
