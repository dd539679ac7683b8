#include <gtest/gtest.h>

#include "fp_control.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/codec/batch.hpp"
#include "core/codec/rotation_apply.hpp"
#include "core/codec/rotation_batch.hpp"
#include "core/codec/service.hpp"

namespace {

using zorvex::detail::RotationBatch;
using zorvex::detail::RotationDirection;
using zorvex::detail::RotationKernel;
constexpr RotationDirection kDirections[] = {RotationDirection::Forward, RotationDirection::Inverse};

std::vector<RotationKernel> kernels_here() {
  std::vector<RotationKernel> out;
  for (RotationKernel k : zorvex::detail::kRotationKernels)
    if (zorvex::detail::rotation_kernel_supported(k)) out.push_back(k);
  return out;
}

// Magnitudes over twelve decades with random signs.
std::vector<double> wide_matrix(std::size_t d) {
  std::mt19937_64 rng(d * 131 + 5);
  std::uniform_real_distribution<double> expo(-6.0, 6.0);
  std::vector<double> m(d * d);
  for (double& v : m) v = ((rng() & 1) ? -1.0 : 1.0) * std::pow(10.0, expo(rng));
  if (d > 1) m[d + 1] = -0.0;
  return m;
}

// Rows cycle through: plain values; signed zeros, subnormals and huge values;
// an infinity; a NaN. In the plain rows the last two inputs cancel one
// output's sum to about 2^-48 of its partial sums, so that output is made of
// rounding errors and any change in how the sum is rounded (order, fused
// steps) shows in its float bits, which plain rounding to float would hide.
std::vector<float> batch_input(RotationDirection dir, const std::vector<double>& m, std::size_t d, std::size_t rows) {
  std::mt19937 rng(static_cast<unsigned>(d * 3 + rows));
  std::normal_distribution<float> normal;
  std::vector<float> x(d * rows);
  for (float& v : x) v = normal(rng);
  const float extremes[] = {-0.0f, 0.0f, 1e-40f, -std::numeric_limits<float>::denorm_min(), 3.0e38f, -3.0e38f};
  for (std::size_t r = 0; r < rows; ++r) {
    float* row = x.data() + r * d;
    if (r % 4 == 1) {
      for (std::size_t k = 0; k < std::size(extremes); ++k) row[(k * 7919u + r) % d] = extremes[k];
    } else if (r % 4 == 2) {
      row[r % d] = (r & 4) ? -INFINITY : INFINITY;
    } else if (r % 4 == 3) {
      row[(r * 5) % d] = NAN;
    } else if (d >= 3) {
      const std::size_t out = (r * 7 + 1) % d;
      auto coef = [&](std::size_t k) { return dir == RotationDirection::Forward ? m[out * d + k] : m[k * d + out]; };
      const double c1 = coef(d - 2), c2 = coef(d - 1);
      if (c1 == 0.0 || c2 == 0.0) continue;
      double s = 0.0;
      for (std::size_t k = 0; k + 2 < d; ++k) s = s + coef(k) * static_cast<double>(row[k]);
      row[d - 2] = static_cast<float>(-s / c1);
      row[d - 1] = static_cast<float>(-(s + c1 * static_cast<double>(row[d - 2])) / c2);
    }
  }
  return x;
}

// The single-vector portable kernel, row by row.
std::vector<float> reference(RotationDirection dir, const std::vector<double>& m, std::size_t d,
                             const std::vector<float>& x, std::size_t rows) {
  std::vector<float> y(d * rows);
  for (std::size_t r = 0; r < rows; ++r) {
    const float* in = x.data() + r * d;
    if (dir == RotationDirection::Forward)
      zorvex::detail::rotation_forward(RotationKernel::Portable, m.data(), d, in, y.data() + r * d);
    else
      zorvex::detail::rotation_inverse(RotationKernel::Portable, m.data(), d, in, y.data() + r * d);
  }
  return y;
}

// Equal bits over the first n values, except that any two NaNs match.
::testing::AssertionResult same_floats(const float* want, const float* got, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(want[i]) && std::isnan(got[i])) continue;
    if (std::bit_cast<std::uint32_t>(want[i]) != std::bit_cast<std::uint32_t>(got[i]))
      return ::testing::AssertionFailure() << "value " << i << ": want " << std::hexfloat << want[i] << ", got "
                                           << got[i];
  }
  return ::testing::AssertionSuccess();
}

void rotate_many(RotationKernel k, RotationDirection dir, const std::vector<double>& m, std::size_t d, const float* x,
                 std::size_t rows, float* y) {
  if (dir == RotationDirection::Forward)
    zorvex::detail::rotation_forward_many(k, m.data(), d, x, rows, y);
  else
    zorvex::detail::rotation_inverse_many(k, m.data(), d, x, rows, y);
}

class BatchRotationShapes : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(BatchRotationShapes, EveryFormMatchesTheSingleVectorKernel) {
  const std::size_t d = GetParam();
  const std::vector<double> m = wide_matrix(d);
  for (RotationDirection dir : kDirections) {
    const std::vector<float> x = batch_input(dir, m, d, 100);
    const std::vector<float> want = reference(dir, m, d, x, 100);
    for (RotationKernel k : kernels_here()) {
      for (std::size_t rows : {0u, 1u, 2u, 3u, 5u, 8u, 13u, 64u, 100u}) {
        SCOPED_TRACE(std::string(zorvex::detail::rotation_kernel_name(k)) + (dir == kDirections[0] ? " fwd " : " inv ") +
                     std::to_string(rows) + " rows");
        // The spare row catches writes from padding rows or columns.
        std::vector<float> y(d * (rows + 1), 123.0f);
        rotate_many(k, dir, m, d, x.data(), rows, y.data());
        EXPECT_TRUE(same_floats(want.data(), y.data(), rows * d));
        EXPECT_TRUE(same_floats(std::vector<float>(d, 123.0f).data(), y.data() + rows * d, d));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Dimensions, BatchRotationShapes,
                         ::testing::Values(1u, 2u, 3u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 63u, 64u, 65u, 127u,
                                           129u, 255u, 257u, 768u),
                         [](const auto& info) {
                           std::string name = "d";
                           name += std::to_string(info.param);
                           return name;
                         });

TEST(BatchRotation, LargeMatrixInPlaceOverPassesWithReusedScratch) {
  for (std::size_t d : {33u, 2100u}) {
    const std::vector<double> m = wide_matrix(d);
    // 2100 is too large to pack once: panels are packed as they are used.
    if (d > 1000) {
      ASSERT_GT(d * d * sizeof(double), RotationBatch::kPackOnceBytes);
    }
    for (RotationDirection dir : kDirections) {
      for (RotationKernel k : kernels_here()) {
        SCOPED_TRACE(std::string(zorvex::detail::rotation_kernel_name(k)) + " d" + std::to_string(d));
        RotationBatch batch(k, m.data(), d, dir);
        // Several passes where that is cheap to check.
        const std::size_t rows = d < 1000 ? 2 * batch.pass_rows() + 7 : 7;
        const std::vector<float> x = batch_input(dir, m, d, rows);
        const std::vector<float> want = reference(dir, m, d, x, rows);
        std::vector<float> y(3 * d);  // small first: the scratch must grow
        batch.apply(x.data() + d, 3, y.data());
        EXPECT_TRUE(same_floats(want.data() + d, y.data(), 3 * d));
        std::vector<float> z = x;
        batch.apply(z.data(), rows, z.data());
        EXPECT_TRUE(same_floats(want.data(), z.data(), rows * d));
      }
    }
  }
}

#if defined(__x86_64__) || defined(__aarch64__)
TEST(BatchRotation, IgnoresAndRestoresTheCallersFlushToZeroMode) {
  constexpr std::size_t d = 40, rows = 9;
  const std::vector<double> m = wide_matrix(d);
  for (RotationDirection dir : kDirections) {
    std::vector<float> x = batch_input(dir, m, d, rows);
    for (std::size_t i = 0; i < x.size(); i += 3) x[i] = 1e-41f;
    const std::vector<float> want = reference(dir, m, d, x, rows);
    for (RotationKernel k : kernels_here()) {
      const unsigned saved = zorvex_test::fp_control();
      zorvex_test::set_fp_control(saved | zorvex_test::kFlushToZero);  // FTZ and DAZ
      std::vector<float> y(d * rows);
      rotate_many(k, dir, m, d, x.data(), rows, y.data());
      const unsigned during = zorvex_test::fp_control();
      zorvex_test::set_fp_control(saved);
      EXPECT_EQ(during & 0xFFC0u, (saved | zorvex_test::kFlushToZero) & 0xFFC0u);
      EXPECT_TRUE(same_floats(want.data(), y.data(), rows * d)) << zorvex::detail::rotation_kernel_name(k);
    }
  }
}
#endif

// ---- Whole codec batches against the single-vector codec.

zorvex::Codebook spread_codebook(std::uint8_t bit_width) {
  const std::size_t n = std::size_t{1} << bit_width;
  std::vector<float> entries(n);
  for (std::size_t i = 0; i < n; ++i) entries[i] = -2.5f + 5.0f * (static_cast<float>(i) + 0.5f) / n;
  return zorvex::Codebook::make(entries, bit_width).value();
}

struct CodecCase {
  std::uint8_t bit_width;
  bool residual;
  std::uint32_t d;
  std::size_t rows;
};

class BatchCodecMatchesPerRow : public ::testing::TestWithParam<CodecCase> {};

TEST_P(BatchCodecMatchesPerRow, CompressAndDecompress) {
  const CodecCase c = GetParam();
  const auto config = zorvex::CodecConfig::make(c.bit_width, 1234, c.d, c.residual).value();
  const zorvex::Codebook codebook = spread_codebook(c.bit_width);
  std::mt19937 rng(c.d);
  std::normal_distribution<float> normal;
  std::vector<float> x(c.rows * c.d);
  for (float& v : x) v = normal(rng);

  auto batch = zorvex::compress_batch(x.data(), c.rows, c.d, config, codebook);
  ASSERT_TRUE(batch);
  ASSERT_EQ(batch->size(), c.rows);
  std::vector<float> want(c.rows * c.d);
  for (std::size_t r = 0; r < c.rows; ++r) {
    const auto single = zorvex::compress(std::span(x.data() + r * c.d, c.d), config, codebook).value();
    const auto& got = (*batch)[r];
    ASSERT_EQ(single.indices(), got.indices()) << r;
    ASSERT_EQ(single.has_residual(), got.has_residual()) << r;
    if (single.has_residual()) {
      ASSERT_EQ(single.residual(), got.residual()) << r;
    }
    ASSERT_EQ(*single.config_hash(), *got.config_hash());
    ASSERT_TRUE(zorvex::decompress(single, config, codebook, std::span(want.data() + r * c.d, c.d)));
  }
  std::vector<float> got(c.rows * c.d, 123.0f);
  ASSERT_TRUE(zorvex::decompress_batch(*batch, config, codebook, got));
  EXPECT_TRUE(same_floats(want.data(), got.data(), got.size()));
}

// 2100 rows at d = 17 run over more than one pass of the batch rotation.
INSTANTIATE_TEST_SUITE_P(Settings, BatchCodecMatchesPerRow,
                         ::testing::Values(CodecCase{4, false, 768, 150}, CodecCase{8, true, 768, 70},
                                           CodecCase{2, true, 17, 2100}, CodecCase{4, true, 1, 5},
                                           CodecCase{8, false, 129, 13}),
                         [](const auto& info) {
                           std::string name = "b";
                           name += std::to_string(info.param.bit_width);
                           name += info.param.residual ? "_res_d" : "_d";
                           name += std::to_string(info.param.d);
                           name += "_rows";
                           name += std::to_string(info.param.rows);
                           return name;
                         });

TEST(BatchCodec, FirstFailingRecordDecidesTheError) {
  constexpr std::uint32_t d = 16;
  const auto config = zorvex::CodecConfig::make(4, 5, d, false).value();
  const auto other = zorvex::CodecConfig::make(4, 6, d, false).value();
  const zorvex::Codebook codebook = spread_codebook(4);
  std::vector<float> x(3 * d, 0.25f);
  const auto good = zorvex::compress_batch(x.data(), 3, d, config, codebook).value();
  const auto foreign = zorvex::compress(std::span(x.data(), d), other, codebook).value();
  std::vector<std::uint8_t> raw(d, 1);
  raw[3] = 16;  // past the 16 entries
  const auto indices = zorvex::SharedBytes::copy_of(raw);
  const auto out_of_range = zorvex::CompressedVector::make(indices, zorvex::SharedBytes(), config.config_hash(), d, 4).value();

  auto error_of = [&](std::vector<zorvex::CompressedVector> records) {
    std::vector<float> out(records.size() * d);
    auto done = zorvex::decompress_batch(records, config, codebook, out);
    return done ? std::string("ok") : done.error().message();
  };
  auto single_error = [&](const zorvex::CompressedVector& r) {
    std::vector<float> out(d);
    return zorvex::decompress(r, config, codebook, out).error().message();
  };
  EXPECT_EQ(error_of({good[0], good[1], out_of_range, foreign, good[2]}), single_error(out_of_range));
  EXPECT_EQ(error_of({good[0], foreign, out_of_range}), single_error(foreign));
  EXPECT_EQ(error_of({good[0], good[1], good[2]}), "ok");
  std::vector<float> short_out(3 * d - 1);
  EXPECT_EQ(zorvex::decompress_batch(good, config, codebook, short_out).error().kind,
            zorvex::CodecError::Kind::LengthMismatch);
}

}  // namespace
