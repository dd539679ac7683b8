#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/codec/rotation_apply.hpp"
#include "core/codec/rotation_matrix.hpp"

namespace {

using zorvex::detail::RotationKernel;

// The defining orders, written out directly.
std::vector<float> forward_reference(const std::vector<double>& m, const std::vector<float>& x) {
  const std::size_t d = x.size();
  std::vector<float> y(d);
  for (std::size_t i = 0; i < d; ++i) {
    double s = 0.0;
    for (std::size_t j = 0; j < d; ++j) s = s + m[i * d + j] * static_cast<double>(x[j]);
    y[i] = static_cast<float>(s);
  }
  return y;
}

std::vector<float> inverse_reference(const std::vector<double>& m, const std::vector<float>& x) {
  const std::size_t d = x.size();
  std::vector<double> a(d, 0.0);
  for (std::size_t i = 0; i < d; ++i) {
    const double v = x[i];
    for (std::size_t j = 0; j < d; ++j) a[j] = m[i * d + j] * v + a[j];
  }
  std::vector<float> y(d);
  for (std::size_t j = 0; j < d; ++j) y[j] = static_cast<float>(a[j]);
  return y;
}

// Equal bits, except that any two NaNs match.
::testing::AssertionResult same_floats(const std::vector<float>& want, const std::vector<float>& got) {
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (std::isnan(want[i]) && std::isnan(got[i])) continue;
    if (std::bit_cast<std::uint32_t>(want[i]) != std::bit_cast<std::uint32_t>(got[i]))
      return ::testing::AssertionFailure() << "index " << i << ": want " << std::hexfloat << want[i] << ", got "
                                           << got[i];
  }
  return ::testing::AssertionSuccess();
}

std::vector<RotationKernel> kernels_here() {
  std::vector<RotationKernel> out;
  for (RotationKernel k : zorvex::detail::kRotationKernels)
    if (zorvex::detail::rotation_kernel_supported(k)) out.push_back(k);
  return out;
}

enum class MatrixKind { Rotation, WideRange };
enum class InputKind { Normal, Extreme, NonFinite };

struct KernelCase {
  std::uint32_t d;
  MatrixKind matrix;
  InputKind input;
};

std::vector<double> make_matrix(const KernelCase& c) {
  const std::size_t n = static_cast<std::size_t>(c.d) * c.d;
  if (c.matrix == MatrixKind::Rotation) {
    const auto r = zorvex::RotationMatrix::build(c.d, c.d);
    return std::vector<double>(r.data(), r.data() + n);
  }
  // Magnitudes over twelve decades with random signs: any change in the
  // order of additions shows up in the rounding.
  std::mt19937_64 rng(c.d * 31 + 7);
  std::uniform_real_distribution<double> expo(-6.0, 6.0);
  std::vector<double> m(n);
  for (double& v : m) v = ((rng() & 1) ? -1.0 : 1.0) * std::pow(10.0, expo(rng));
  if (n > 3) m[n / 3] = -0.0;
  return m;
}

std::vector<float> make_input(const KernelCase& c) {
  std::mt19937 rng(c.d * 17 + static_cast<unsigned>(c.input));
  std::normal_distribution<float> normal;
  std::vector<float> x(c.d);
  for (float& v : x) v = normal(rng);
  if (c.input == InputKind::Extreme) {
    const float extremes[] = {-0.0f,  0.0f,   3.0e38f, -3.0e38f, 1e-40f, -std::numeric_limits<float>::denorm_min(),
                              std::numeric_limits<float>::min(), 1e20f, -1e-20f};
    for (std::size_t k = 0; k < std::size(extremes); ++k) x[(k * 7919u + c.d) % c.d] = extremes[k];
  } else if (c.input == InputKind::NonFinite) {
    // One infinity (NaN for odd sizes): outputs become a mix of +-inf and NaN
    // (inf * 0 and inf - inf), which every form must reproduce.
    x[c.d / 2] = c.d % 2 ? std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::infinity();
  }
  return x;
}

class KernelsMatchReference : public ::testing::TestWithParam<KernelCase> {};

TEST_P(KernelsMatchReference, EveryFormGivesTheReferenceBits) {
  const KernelCase c = GetParam();
  const std::vector<double> m = make_matrix(c);
  const std::vector<float> x = make_input(c);
  const std::vector<float> want_fwd = forward_reference(m, x);
  const std::vector<float> want_inv = inverse_reference(m, x);
  for (RotationKernel k : kernels_here()) {
    SCOPED_TRACE(zorvex::detail::rotation_kernel_name(k));
    std::vector<float> y(c.d, 123.0f);
    zorvex::detail::rotation_forward(k, m.data(), c.d, x.data(), y.data());
    EXPECT_TRUE(same_floats(want_fwd, y)) << "forward";
    zorvex::detail::rotation_inverse(k, m.data(), c.d, x.data(), y.data());
    EXPECT_TRUE(same_floats(want_inv, y)) << "inverse";

    // In place: the input array is also the output.
    std::vector<float> z = x;
    zorvex::detail::rotation_forward(k, m.data(), c.d, z.data(), z.data());
    EXPECT_TRUE(same_floats(want_fwd, z)) << "forward in place";
    z = x;
    zorvex::detail::rotation_inverse(k, m.data(), c.d, z.data(), z.data());
    EXPECT_TRUE(same_floats(want_inv, z)) << "inverse in place";
  }
}

std::vector<KernelCase> kernel_cases() {
  std::vector<KernelCase> out;
  for (std::uint32_t d : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 12u, 15u, 16u, 17u, 23u, 24u, 25u, 31u, 33u, 63u, 64u, 65u,
                          100u, 257u, 768u})
    for (MatrixKind mk : {MatrixKind::Rotation, MatrixKind::WideRange})
      for (InputKind ik : {InputKind::Normal, InputKind::Extreme, InputKind::NonFinite}) out.push_back({d, mk, ik});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Shapes, KernelsMatchReference, ::testing::ValuesIn(kernel_cases()), [](const auto& info) {
  std::string name = "d";
  name += std::to_string(info.param.d);
  name += info.param.matrix == MatrixKind::Rotation ? "_rot" : "_wide";
  name += info.param.input == InputKind::Normal    ? "_normal"
          : info.param.input == InputKind::Extreme ? "_extreme"
                                                   : "_nonfinite";
  return name;
});

TEST(RotationKernels, ActiveFormIsTheWidestAvailable) {
  const auto here = kernels_here();
  ASSERT_FALSE(here.empty());
  EXPECT_EQ(here.front(), RotationKernel::Portable);
  EXPECT_EQ(zorvex::detail::rotation_kernel_active(), here.back());
  std::printf("[rotation] kernels here:");
  for (RotationKernel k : here) std::printf(" %s", zorvex::detail::rotation_kernel_name(k));
  std::printf(" (active: %s)\n", zorvex::detail::rotation_kernel_name(zorvex::detail::rotation_kernel_active()));
}

}  // namespace
