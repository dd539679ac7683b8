#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "backend/brute_force.hpp"
#include "backend/score_kernels.hpp"
#include "backend/search_result.hpp"

namespace {

using zorvex::detail::ScoreKernel;
constexpr float kInf = std::numeric_limits<float>::infinity();

// The defining order, written out directly.
float reference_score(const std::vector<float>& x, const std::vector<float>& v) {
  for (std::size_t i = 0; i < x.size(); ++i)
    if (std::isnan(x[i]) || std::isnan(v[i])) return 0.0f;
  float dot = 0.0f, xx = 0.0f, vv = 0.0f;
  for (std::size_t i = 0; i < x.size(); ++i) {
    dot = dot + x[i] * v[i];
    xx = xx + x[i] * x[i];
    vv = vv + v[i] * v[i];
  }
  const float denom = std::sqrt(xx * vv);
  return denom == 0.0f ? 0.0f : dot / denom;
}

enum class Values { Gaussian, WideRange, Special };

// WideRange spans many decades with random signs, so any other summation
// order shows in the rounding; Special mixes signed zeros, subnormals,
// infinities, NaNs and values whose products overflow.
float draw(std::mt19937& rng, Values kind) {
  std::normal_distribution<float> normal;
  if (kind == Values::WideRange)
    return (rng() & 1 ? -1.0f : 1.0f) * std::exp2(static_cast<float>(rng() % 80) - 40.0f) * (1.0f + normal(rng));
  if (kind == Values::Special) {
    const float special[] = {0.0f, -0.0f, 7e-45f, kInf, -kInf, 3e38f, std::numeric_limits<float>::quiet_NaN()};
    const unsigned pick = rng() % 40;
    if (pick < 7) return special[pick];
  }
  return normal(rng);
}

struct KernelCase {
  std::size_t n;
  std::size_t d;
  Values kind;
};

void PrintTo(const KernelCase& c, std::ostream* os) {
  *os << "n=" << c.n << " d=" << c.d << " kind=" << static_cast<int>(c.kind);
}

class ScoreKernels : public ::testing::TestWithParam<KernelCase> {};

TEST_P(ScoreKernels, EveryFormMatchesTheDefiningOrderBitForBit) {
  const auto [n, d, kind] = GetParam();
  std::mt19937 rng(static_cast<unsigned>(n * 131 + d));
  zorvex::IngestPairs pairs;
  for (std::size_t k = 0; k < n; ++k) {
    std::vector<float> v(d, 0.0f);  // every 11th stays zero, every 7th repeats its predecessor
    if (k % 7 == 3) {
      v = pairs.back().second;
    } else if (k % 11 != 5) {
      for (float& e : v) e = draw(rng, kind);
    }
    pairs.emplace_back(zorvex::make_text(std::to_string(k)), std::move(v));
  }
  zorvex::BruteForceIndex index;
  ASSERT_TRUE(index.ingest(pairs).ok());
  std::vector<std::vector<float>> queries = {pairs[n / 2].second, std::vector<float>(d, 0.0f)};
  for (int q = 0; q < 3; ++q) {
    queries.emplace_back(d);
    for (float& e : queries.back()) e = draw(rng, kind);
  }
  for (ScoreKernel kernel : zorvex::detail::kScoreKernels) {
    if (!zorvex::detail::score_kernel_supported(kernel)) continue;
    SCOPED_TRACE(zorvex::detail::score_kernel_name(kernel));
    for (const auto& x : queries) {
      auto results = index.search(x, std::numeric_limits<std::uint64_t>::max(), kernel);
      ASSERT_TRUE(results.ok());
      ASSERT_EQ(results->size(), n);
      std::map<std::string, float> got;
      for (const auto& r : *results) got[*r.vector_id] = r.score;
      for (const auto& [id, v] : pairs) {
        const float want = reference_score(x, v), have = got.at(*id);
        if (std::isnan(want) && std::isnan(have)) continue;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(want), std::bit_cast<std::uint32_t>(have))
            << "vector " << *id << ": want " << std::hexfloat << want << ", got " << have;
      }
    }
  }
}

// Sizes around the 16-lane blocks and the groups of four blocks.
INSTANTIATE_TEST_SUITE_P(
    Sizes, ScoreKernels,
    ::testing::Values(KernelCase{1, 1, Values::Gaussian}, KernelCase{15, 3, Values::Gaussian},
                      KernelCase{16, 8, Values::WideRange}, KernelCase{17, 33, Values::WideRange},
                      KernelCase{64, 1, Values::WideRange}, KernelCase{83, 384, Values::Gaussian},
                      KernelCase{150, 97, Values::WideRange}, KernelCase{70, 12, Values::Special},
                      KernelCase{300, 5, Values::Special}));

TEST(ScoreKernels, ActiveFormIsTheWidestSupported) {
  ScoreKernel widest = ScoreKernel::Portable;
  for (ScoreKernel k : zorvex::detail::kScoreKernels)
    if (zorvex::detail::score_kernel_supported(k)) widest = k;
  EXPECT_EQ(zorvex::detail::score_kernel_active(), widest);
}

struct TextCase {
  float value;
  const char* text;
};

class ScoreText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ScoreText, IsShortestPositionalDecimal) { EXPECT_EQ(zorvex::format_score(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Values, ScoreText,
    ::testing::Values(TextCase{1.0f, "1"}, TextCase{0.5f, "0.5"}, TextCase{0.1f, "0.1"}, TextCase{1e-7f, "0.0000001"},
                      TextCase{-0.0f, "-0"}, TextCase{0.0f, "0"}, TextCase{-1.5f, "-1.5"},
                      TextCase{1.0000001f, "1.0000001"}, TextCase{123456.79f, "123456.79"},
                      TextCase{1e10f, "10000000000"}, TextCase{16777216.0f, "16777216"},
                      TextCase{3e38f, "300000000000000000000000000000000000000"},
                      TextCase{std::numeric_limits<float>::max(), "340282350000000000000000000000000000000"},
                      TextCase{1e-45f, "0.000000000000000000000000000000000000000000001"}, TextCase{kInf, "inf"},
                      TextCase{-kInf, "-inf"}, TextCase{std::numeric_limits<float>::quiet_NaN(), "NaN"},
                      TextCase{-std::numeric_limits<float>::quiet_NaN(), "NaN"}));

TEST(ScoreText, ReadsBackAsTheSameFloat) {
  std::mt19937 rng(9);
  for (int k = 0; k < 20000; ++k) {
    const float v = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    if (!std::isfinite(v)) continue;
    const std::string text = zorvex::format_score(v);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(std::strtof(text.c_str(), nullptr)), std::bit_cast<std::uint32_t>(v))
        << text;
  }
}

}  // namespace
