#include <gtest/gtest.h>

#include "fp_control.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "core/codec/chacha20.hpp"
#include "core/codec/rotation_matrix.hpp"

namespace {

using zorvex::RotationMatrix;

bool same_bits(const RotationMatrix& a, const RotationMatrix& b) {
  const std::size_t n = static_cast<std::size_t>(a.dimension()) * a.dimension();
  return a.dimension() == b.dimension() && std::memcmp(a.data(), b.data(), n * sizeof(double)) == 0;
}

std::vector<double> gaussian_matrix(std::uint64_t seed, std::uint32_t d) {
  zorvex::GaussianSource g(seed);
  std::vector<double> out(static_cast<std::size_t>(d) * d);
  for (double& v : out) v = g.next();
  return out;
}

TEST(RotationBuild, RejectsDimensionsOutsideTheRange) {
  auto message_of = [](std::uint32_t d) {
    try {
      (void)RotationMatrix::build(1, d);
    } catch (const zorvex::InternalError& e) {
      return std::string(e.what());
    }
    return std::string("no panic");
  };
  EXPECT_EQ(message_of(0), "RotationMatrix::build requires dimension > 0");
  EXPECT_EQ(message_of(16385), "RotationMatrix::build requires dimension <= 16384, got 16385");
  EXPECT_EQ(message_of(4294967295u), "RotationMatrix::build requires dimension <= 16384, got 4294967295");
}

TEST(RotationBuild, DeterministicAndSeedDependent) {
  for (std::uint32_t d : {1u, 7u, 50u}) {
    const RotationMatrix a = RotationMatrix::build(0, d);
    const RotationMatrix b = RotationMatrix::build(0, d);
    EXPECT_NE(a.data(), b.data()) << "build must not share arrays";
    EXPECT_TRUE(same_bits(a, b)) << d;
    EXPECT_EQ(a.seed(), 0u);
    EXPECT_EQ(a.dimension(), d);
    if (d > 1) {
      EXPECT_FALSE(same_bits(a, RotationMatrix::build(1, d))) << d;
    }
  }
}

TEST(RotationBuild, OneByOneIsTheSignOfTheFirstGaussian) {
  int positive = 0, negative = 0;
  for (std::uint64_t seed = 0; seed < 24; ++seed) {
    const double z0 = zorvex::GaussianSource(seed).next();
    const double m = RotationMatrix::build(seed, 1).data()[0];
    EXPECT_EQ(m, z0 >= 0 ? 1.0 : -1.0) << seed;
    (z0 >= 0 ? positive : negative)++;
  }
  EXPECT_GT(positive, 0);
  EXPECT_GT(negative, 0);
}

// G is filled row by row, so G's first column is (z0, z2) and M's first column
// is that vector normalised (the sign rule makes R[0][0] >= 0).
TEST(RotationBuild, TwoByTwoFirstColumnFollowsTheRowMajorFill) {
  for (std::uint64_t seed : {0ull, 42ull, 977ull}) {
    zorvex::GaussianSource g(seed);
    const double z0 = g.next();
    (void)g.next();
    const double z2 = g.next();
    const double norm = std::hypot(z0, z2);
    const RotationMatrix m = RotationMatrix::build(seed, 2);
    EXPECT_NEAR(m.data()[0], z0 / norm, 1e-15) << seed;
    EXPECT_NEAR(m.data()[2], z2 / norm, 1e-15) << seed;
  }
}

class RotationProperties : public ::testing::TestWithParam<std::uint32_t> {};

// Orthogonal both ways, and M^T G upper triangular with a positive diagonal:
// M is the sign-normalised Q factor of exactly this G. Dimensions straddle
// the factorisation's block size of 48.
TEST_P(RotationProperties, OrthogonalFactorOfTheGaussianMatrix) {
  const std::uint32_t d = GetParam();
  const std::uint64_t seed = 1000 + d;
  const RotationMatrix rot = RotationMatrix::build(seed, d);
  const double* m = rot.data();
  const std::vector<double> g = gaussian_matrix(seed, d);
  const double tol = 1e-13 * d;
  double worst_rows = 0, worst_cols = 0, worst_lower = 0, max_g = 0;
  for (double v : g) max_g = std::max(max_g, std::fabs(v));
  for (std::uint32_t i = 0; i < d; ++i) {
    for (std::uint32_t k = 0; k < d; ++k) {
      long double rows = 0, cols = 0, mtg = 0;
      for (std::uint32_t j = 0; j < d; ++j) {
        rows += static_cast<long double>(m[i * d + j]) * m[k * d + j];
        cols += static_cast<long double>(m[j * d + i]) * m[j * d + k];
        mtg += static_cast<long double>(m[j * d + i]) * g[j * d + k];
      }
      const double id = i == k ? 1.0 : 0.0;
      worst_rows = std::max(worst_rows, std::fabs(static_cast<double>(rows) - id));
      worst_cols = std::max(worst_cols, std::fabs(static_cast<double>(cols) - id));
      if (i > k) worst_lower = std::max(worst_lower, std::fabs(static_cast<double>(mtg)));
      if (i == k) {
        ASSERT_GT(static_cast<double>(mtg), 0.0) << "diagonal " << i;
      }
    }
  }
  EXPECT_LE(worst_rows, tol);
  EXPECT_LE(worst_cols, tol);
  EXPECT_LE(worst_lower, tol * max_g);
}

INSTANTIATE_TEST_SUITE_P(Dimensions, RotationProperties,
                         ::testing::Values(1u, 2u, 3u, 4u, 5u, 8u, 16u, 47u, 48u, 49u, 96u, 97u, 130u));

TEST(RotationApply, LengthMismatchIsAnErrorAndWritesNothing) {
  const RotationMatrix m = RotationMatrix::build(3, 4);
  const std::vector<float> in4(4, 1.0f), in5(5, 1.0f);
  struct Case {
    std::size_t in, out;
  };
  for (const Case c : {Case{5, 4}, Case{4, 5}, Case{3, 3}, Case{0, 4}}) {
    std::vector<float> in(c.in, 1.0f), out(c.out, -7.0f);
    for (int inverse = 0; inverse < 2; ++inverse) {
      const auto r = inverse ? m.apply_inverse(in, out) : m.apply(in, out);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind, zorvex::CodecError::Kind::LengthMismatch);
      EXPECT_EQ(r.error().message(), "input and output lengths disagree: " + std::to_string(c.in) + " vs " +
                                         std::to_string(c.out));
      for (float v : out) EXPECT_EQ(v, -7.0f);
    }
  }
}

TEST(RotationApply, OneByOneIsExactNegationOrIdentity) {
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    const RotationMatrix m = RotationMatrix::build(seed, 1);
    const float x[] = {3.25f, -1e-40f, std::numeric_limits<float>::max()};
    for (float v : x) {
      float y = 0, back = 0;
      ASSERT_TRUE(m.apply({&v, 1}, {&y, 1}).ok());
      ASSERT_TRUE(m.apply_inverse({&y, 1}, {&back, 1}).ok());
      EXPECT_EQ(y, m.data()[0] > 0 ? v : -v);
      EXPECT_EQ(back, v);
    }
  }
}

// With flush-to-zero / denormals-are-zero left on by someone else, results must
// not change (DAZ would read subnormal inputs as zero), and the caller's mode
// must come back.
TEST(RotationApply, IgnoresAndRestoresTheCallersFloatingPointMode) {
  const std::uint32_t d = 33;
  std::vector<float> x(d);
  for (std::uint32_t i = 0; i < d; ++i) x[i] = static_cast<float>(i + 1) * 1e-40f;  // subnormal floats
  const RotationMatrix plain = RotationMatrix::build(8, d);
  std::vector<float> want_fwd(d), want_inv(d), got_fwd(d), got_inv(d);
  ASSERT_TRUE(plain.apply(x, want_fwd).ok());
  ASSERT_TRUE(plain.apply_inverse(x, want_inv).ok());

  const unsigned saved = zorvex_test::fp_control();
  const unsigned flushing = saved | zorvex_test::kFlushToZero;  // FTZ | DAZ
  zorvex_test::set_fp_control(flushing);
  const RotationMatrix flushed = RotationMatrix::build(8, d);
  const bool fwd_ok = flushed.apply(x, got_fwd).ok();
  const bool inv_ok = flushed.apply_inverse(x, got_inv).ok();
  const unsigned after = zorvex_test::fp_control();
  zorvex_test::set_fp_control(saved);

  EXPECT_TRUE(fwd_ok && inv_ok);
  EXPECT_EQ(after & ~zorvex_test::kFpStickyFlags, flushing & ~zorvex_test::kFpStickyFlags);
  EXPECT_TRUE(same_bits(plain, flushed));
  EXPECT_EQ(std::memcmp(want_fwd.data(), got_fwd.data(), d * sizeof(float)), 0);
  EXPECT_EQ(std::memcmp(want_inv.data(), got_inv.data(), d * sizeof(float)), 0);
  bool any_nonzero = false;
  for (float v : want_fwd) any_nonzero |= v != 0.0f;
  EXPECT_TRUE(any_nonzero);
}

}  // namespace
