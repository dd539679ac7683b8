#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "fp_control.hpp"

#include "core/codec/codebook.hpp"
#include "core/codec/codebook_kernels.hpp"

namespace {

using zorvex::Codebook;
using zorvex::detail::CodebookKernel;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kMax = std::numeric_limits<float>::max();
constexpr float kDenormMin = std::numeric_limits<float>::denorm_min();

float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }
const float kNegNan = from_bits(0xFFC00001u);
const float kPosNan = from_bits(0x7FC00000u);

std::vector<CodebookKernel> supported_kernels() {
  std::vector<CodebookKernel> out;
  for (auto k : zorvex::detail::kCodebookKernels)
    if (zorvex::detail::codebook_kernel_supported(k)) out.push_back(k);
  return out;
}

Codebook make_ok(const std::vector<float>& entries, std::uint8_t bw) {
  auto r = Codebook::make(entries, bw);
  if (!r) throw std::runtime_error("codebook rejected: " + r.error().message());
  return r.value();
}

// ---------------------------------------------------------------- construction

struct MakeCase {
  const char* name;
  std::vector<float> entries;
  std::uint8_t bit_width;
  const char* error;  // nullptr: accepted
};

class CodebookMake : public ::testing::TestWithParam<MakeCase> {};

// A codebook with exactly these entries (bit for bit), or the error message.
void expect_codebook(const zorvex::Result<Codebook, zorvex::CodecError>& r, const std::vector<float>& entries,
                     const char* error) {
  if (error != nullptr) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), error);
    return;
  }
  ASSERT_TRUE(r.ok()) << r.error().message();
  std::vector<std::uint32_t> want, got;
  for (float f : entries) want.push_back(bits(f));
  for (float f : r->entries()) got.push_back(bits(f));
  EXPECT_EQ(got, want);
}

TEST_P(CodebookMake, ChecksInOrder) {
  const MakeCase& c = GetParam();
  auto r = Codebook::make(c.entries, c.bit_width);
  expect_codebook(r, c.entries, c.error);
  if (r.ok()) {
    EXPECT_EQ(r->bit_width(), c.bit_width);
  }
}

std::vector<float> ramp(int n) {
  std::vector<float> v(n);
  std::iota(v.begin(), v.end(), 0.0f);
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Codebook, CodebookMake,
    ::testing::Values(
        MakeCase{"ramp4", {0, 1, 2, 3}, 2, nullptr}, MakeCase{"ramp16", ramp(16), 4, nullptr},
        MakeCase{"ramp256", ramp(256), 8, nullptr}, MakeCase{"signed_zeros", {-0.0f, 0.0f, 1, 2}, 2, nullptr},
        MakeCase{"nans_at_ends", {kNegNan, -kInf, kInf, kPosNan}, 2, nullptr},
        MakeCase{"repeat_later", {0, 1, 1, 2}, 2, "codebook must contain 4 distinct values, got 2"},
        MakeCase{"repeat_first_pair", {1, 1, 0, 2}, 2, "codebook must contain 4 distinct values, got 1"},
        MakeCase{"descending", {0, 2, 1, 3}, 2, "codebook entries must be sorted ascending"},
        MakeCase{"descending_before_repeat", {0, 2, 1, 1}, 2, "codebook entries must be sorted ascending"},
        MakeCase{"zeros_reversed", {0.0f, -0.0f, 1, 2}, 2, "codebook entries must be sorted ascending"},
        MakeCase{"positive_nan_first", {kPosNan, 0, 1, 2}, 2, "codebook entries must be sorted ascending"},
        MakeCase{"same_nan_twice", {0, 1, kPosNan, kPosNan}, 2, "codebook must contain 4 distinct values, got 3"},
        MakeCase{"too_few", {0, 1, 2}, 2, "codebook must have 4 entries for bit_width=2, got 3"},
        MakeCase{"wrong_count_bw4", ramp(4), 4, "codebook must have 16 entries for bit_width=4, got 4"},
        MakeCase{"bit_width_3", ramp(8), 3, "bit_width must be one of [2, 4, 8], got 3"},
        MakeCase{"bit_width_before_count", ramp(3), 0, "bit_width must be one of [2, 4, 8], got 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CodebookCopies, ShareEntriesAndOutliveInput) {
  std::vector<float> src = {0, 1, 2, 3};
  Codebook a = make_ok(src, 2);
  src[0] = 42;
  Codebook b = a;
  EXPECT_EQ(a.entries().data(), b.entries().data());
  EXPECT_EQ(b.entries()[0], 0.0f);
}

// -------------------------------------------------------------------- training

struct TrainCase {
  const char* name;
  std::vector<double> values;
  std::uint8_t bit_width;
  std::vector<float> entries;  // empty: error expected
  const char* error;
};

class CodebookTrain : public ::testing::TestWithParam<TrainCase> {};

TEST_P(CodebookTrain, Quantiles) {
  const TrainCase& c = GetParam();
  expect_codebook(Codebook::train(c.values, c.bit_width), c.entries, c.error);
}

std::vector<double> ramp_d(int n) {
  std::vector<double> v(n);
  std::iota(v.begin(), v.end(), 0.0);
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Codebook, CodebookTrain,
    ::testing::Values(
        TrainCase{"ten_values", {3, 9, 0, 5, 1, 8, 2, 7, 4, 6}, 2, {0, 3, 6, 9}, nullptr},
        TrainCase{"interpolated", {10, 0}, 2, {0, 3.3333333f, 6.6666665f, 10}, nullptr},
        // k/15 * 1 lands between the two values; the quotient is rounded before scaling.
        TrainCase{"two_values_bw4",
                  {-1, 1},
                  4,
                  {-1.0f, -0.8666667f, -0.73333335f, -0.6f, -0.46666667f, -0.33333334f, -0.2f, -0.06666667f,
                   0.06666667f, 0.2f, 0.33333334f, 0.46666667f, 0.6f, 0.73333335f, 0.8666667f, 1.0f},
                  nullptr},
        // NaN anywhere is refused before sorting, so it can never become an entry.
        TrainCase{"nan_first", {std::nan(""), 0, 3, 6, 9, 12, 15}, 2, {},
                  "training data must not contain NaN: value 0 of 7 (row-major) is NaN"},
        TrainCase{"nan_last", {0, 3, 6, 9, 12, 15, std::nan("")}, 2, {},
                  "training data must not contain NaN: value 6 of 7 (row-major) is NaN"},
        TrainCase{"nan_only", {std::nan("")}, 8, {},
                  "training data must not contain NaN: value 0 of 1 (row-major) is NaN"},
        TrainCase{"negative_nan_payload", {0, 3, kNegNan, 9, -INFINITY}, 2, {},
                  "training data must not contain NaN: value 2 of 5 (row-major) is NaN"},
        TrainCase{"empty", {}, 2, {}, "insufficient training data for 4 distinct entries"},
        TrainCase{"all_equal", {2.5, 2.5, 2.5, 2.5}, 2, {}, "insufficient training data for 4 distinct entries"},
        // Quantile positions 0, 3, 6, 9 all fall on the run of zeros.
        TrainCase{"clumped", {0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 2, {},
                  "insufficient training data for 4 distinct entries"},
        // Values distinct as doubles collapse when rounded to float.
        TrainCase{"collapse_in_float", {1.0, 1.0 + 1e-12, 1.0 + 2e-12, 1.0 + 3e-12}, 2, {},
                  "insufficient training data for 4 distinct entries"},
        // Both ends are an infinity plus (an infinite difference) * 0: the same NaN twice.
        TrainCase{"infinite_ends", {-INFINITY, 0, 1, INFINITY}, 2, {},
                  "insufficient training data for 4 distinct entries"},
        // One infinite end: inf + (inf - inf) * 0 is x86-64's default NaN (sign set), which sorts first.
        TrainCase{"infinite_top", {0, 1, 2, 3, 4, 5, INFINITY}, 2, {from_bits(0xFFC00000u), 0, 2, 4}, nullptr},
        TrainCase{"all_equal_bw8", {2.5, 2.5}, 8, {}, "insufficient training data for 256 distinct entries"},
        // -0.0 + (0.0 - -0.0) * 0 is +0.0: the two zeros of the sample become one entry.
        TrainCase{"signed_zeros_merge", {1, 0.0, -1, -0.0}, 2, {}, "insufficient training data for 4 distinct entries"},
        TrainCase{"bad_bit_width", ramp_d(10), 5, {}, "bit_width must be one of [2, 4, 8], got 5"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CodebookTrainSample, EndsAreExtremesAndOrderDoesNotMatter) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> dist(0.0, 3.0);
  std::vector<double> values(5000);
  for (auto& v : values) v = static_cast<float>(dist(rng));
  for (std::uint8_t bw : {2, 4, 8}) {
    auto a = Codebook::train(values, bw);
    ASSERT_TRUE(a.ok()) << a.error().message();
    std::vector<double> shuffled = values;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    auto b = Codebook::train(shuffled, bw);
    ASSERT_TRUE(b.ok());
    ASSERT_TRUE(std::equal(a->entries().begin(), a->entries().end(), b->entries().begin()));
    EXPECT_EQ(a->entries().front(), *std::min_element(values.begin(), values.end()));
    EXPECT_EQ(a->entries().back(), *std::max_element(values.begin(), values.end()));
    EXPECT_EQ(a->num_entries(), 1u << bw);
  }
}

// -------------------------------------------------------------------- quantize

// The definition, as plainly as it reads.
std::uint8_t quantize_by_scan(std::span<const float> e, float value) {
  const std::size_t n = e.size();
  std::size_t j = 0;
  while (j < n && value > e[j]) ++j;
  const std::size_t hi = std::min(j, n - 1);
  const std::size_t lo = hi > 0 ? hi - 1 : 0;
  const float d_lo = std::fabs(value - e[lo]);
  const float d_hi = std::fabs(value - e[hi]);
  return static_cast<std::uint8_t>(d_hi > d_lo ? lo : hi);
}

// Every way of quantizing must agree with the scan on every value.
void expect_all_forms_match_scan(const Codebook& cb, const std::vector<float>& values, const std::string& label) {
  std::vector<std::uint8_t> want(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) want[i] = quantize_by_scan(cb.entries(), values[i]);
  for (std::size_t i = 0; i < values.size(); ++i)
    ASSERT_EQ(cb.quantize(values[i]), want[i]) << label << " scalar, value bits 0x" << std::hex << bits(values[i]);
  for (auto kernel : supported_kernels()) {
    // Odd lengths and offsets reach the scalar tails and unaligned loads.
    for (std::size_t offset : {std::size_t{0}, std::size_t{3}}) {
      if (offset > values.size()) continue;
      const std::span<const float> in(values.data() + offset, values.size() - offset);
      std::vector<std::uint8_t> got(in.size(), 0xEE);
      ASSERT_TRUE(zorvex::detail::codebook_quantize(kernel, cb, in, got).ok());
      for (std::size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(got[i], want[offset + i]) << label << " " << zorvex::detail::codebook_kernel_name(kernel)
                                            << ", value bits 0x" << std::hex << bits(in[i]);
    }
  }
}

TEST(CodebookQuantize, DocumentedExamples) {
  const Codebook cb = make_ok({0, 1, 2, 3}, 2);
  const std::vector<std::pair<float, int>> cases = {
      {0.5f, 1}, {2.5f, 3}, {-5.0f, 0}, {10.0f, 3}, {kPosNan, 0}, {kInf, 3}, {-kInf, 0}, {1.4f, 1}, {1.6f, 2}};
  std::vector<float> values;
  for (auto [v, want] : cases) {
    EXPECT_EQ(cb.quantize(v), want) << v;
    values.push_back(v);
  }
  expect_all_forms_match_scan(cb, values, "examples");
}

// Neighbours, midpoints and specials around the entries, plus random patterns.
std::vector<float> probe_values(std::span<const float> e, std::mt19937_64& rng, std::size_t random_count) {
  std::vector<float> v = {0.0f,    -0.0f,   kInf,       -kInf,     kPosNan,           kNegNan,
                          kMax,    -kMax,   kDenormMin, -kDenormMin, from_bits(0x7F800001u), from_bits(0xFF800001u),
                          1.0f,    -1.0f};
  for (std::size_t i = 0; i < e.size(); ++i) {
    const float x = e[i];
    v.push_back(x);
    v.push_back(std::nextafter(x, kInf));
    v.push_back(std::nextafter(x, -kInf));
    if (i + 1 < e.size()) {
      const float mid = static_cast<float>((static_cast<double>(x) + e[i + 1]) / 2.0);
      v.push_back(mid);
      v.push_back(std::nextafter(mid, kInf));
      v.push_back(std::nextafter(mid, -kInf));
      v.push_back(x + (e[i + 1] - x) / 2);  // float midpoint, may overflow to inf
    }
  }
  std::uniform_int_distribution<std::uint32_t> any;
  for (std::size_t i = 0; i < random_count; ++i) v.push_back(from_bits(any(rng)));
  if (!e.empty()) {
    std::uniform_real_distribution<double> near(-0.25, 1.25);
    const double a = std::isfinite(e.front()) ? e.front() : -1.0, b = std::isfinite(e.back()) ? e.back() : 1.0;
    for (std::size_t i = 0; i < random_count; ++i) v.push_back(static_cast<float>(a + (b - a) * near(rng)));
  }
  return v;
}

std::int64_t total_order_key(float v) {
  const auto k = std::bit_cast<std::int32_t>(v);
  return k ^ ((k >> 31) & 0x7FFFFFFF);
}

// n distinct floats, ascending under totalOrder, drawn by `draw` and then
// forced to include `must` (a few specials).
template <class Draw>
std::vector<float> random_entries(std::size_t n, std::mt19937_64& rng, Draw draw, std::vector<float> must) {
  std::vector<float> pool = must;
  auto key_less = [](float a, float b) { return total_order_key(a) < total_order_key(b); };
  auto key_eq = [](float a, float b) { return total_order_key(a) == total_order_key(b); };
  while (true) {
    std::sort(pool.begin(), pool.end(), key_less);
    pool.erase(std::unique(pool.begin(), pool.end(), key_eq), pool.end());
    if (pool.size() >= n) break;
    pool.push_back(draw(rng));
  }
  // Keep the specials, drop random others until n remain.
  while (pool.size() > n) {
    const std::size_t i = std::uniform_int_distribution<std::size_t>(0, pool.size() - 1)(rng);
    if (std::find_if(must.begin(), must.end(), [&](float m) { return key_eq(m, pool[i]); }) == must.end())
      pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return pool;
}

struct Family {
  const char* name;
  std::function<float(std::mt19937_64&)> draw;
  std::vector<float> must;
};

TEST(CodebookQuantize, FastFormsMatchDefinitionOnRandomCodebooks) {
  std::mt19937_64 rng(20240611);
  std::uniform_int_distribution<std::uint32_t> any_bits;
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_int_distribution<std::uint32_t> denorm_bits(1, 0x007FFFFFu);
  std::uniform_int_distribution<std::uint32_t> huge_bits(0x74000000u, 0x7F7FFFFFu);
  const std::vector<Family> families = {
      {"any_bits", [&](auto& r) { return from_bits(any_bits(r)); }, {}},
      {"normal", [&](auto& r) { return normal(r); }, {}},
      {"signed_zeros", [&](auto& r) { return normal(r); }, {-0.0f, 0.0f}},
      {"neg_nan_first", [&](auto& r) { return normal(r); }, {kNegNan}},
      {"pos_nan_last", [&](auto& r) { return normal(r); }, {kPosNan, from_bits(0x7F800005u)}},
      {"nans_both_ends", [&](auto& r) { return normal(r); }, {kNegNan, kPosNan, -0.0f, 0.0f}},
      {"infinities", [&](auto& r) { return normal(r); }, {-kInf, kInf}},
      {"denormals",
       [&](auto& r) {
         const float f = from_bits(denorm_bits(r));
         return (r() & 1) ? -f : f;
       },
       {-0.0f, 0.0f}},
      {"huge",
       [&](auto& r) {
         const float f = from_bits(huge_bits(r));
         return (r() & 1) ? -f : f;
       },
       {-kMax, kMax}},
      {"only_inf_and_nan_extremes", [&](auto& r) { return from_bits(any_bits(r)); }, {-kInf, kInf, kPosNan}},
  };
  for (std::uint8_t bw : {2, 4, 8}) {
    const std::size_t n = std::size_t{1} << bw;
    for (const Family& fam : families) {
      for (int rep = 0; rep < 4; ++rep) {
        const std::vector<float> entries = random_entries(n, rng, fam.draw, fam.must);
        const Codebook cb = make_ok(entries, bw);
        const std::vector<float> values = probe_values(cb.entries(), rng, 3000);
        expect_all_forms_match_scan(cb, values, std::string(fam.name) + " bw" + std::to_string(bw));
        if (HasFatalFailure()) return;
      }
    }
  }
}

#if defined(__x86_64__) || defined(__aarch64__)
// A host library built with fast-math options may leave flush-to-zero and
// denormals-are-zero on; results must not change.
TEST(CodebookQuantize, IgnoresFlushToZeroModes) {
  const float d = kDenormMin;
  const Codebook cb = make_ok({-4 * d, -d, 2 * d, 5 * d}, 2);
  std::vector<float> values;
  for (int k = -12; k <= 12; ++k) values.push_back(static_cast<float>(k) * d / 2);
  std::vector<std::uint8_t> want(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) want[i] = quantize_by_scan(cb.entries(), values[i]);
  const unsigned saved = zorvex_test::fp_control();
  zorvex_test::set_fp_control(saved | zorvex_test::kFlushToZero);  // FTZ | DAZ
  std::vector<std::uint8_t> scalar(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) scalar[i] = cb.quantize(values[i]);
  std::vector<std::vector<std::uint8_t>> forms;
  for (auto kernel : supported_kernels()) {
    forms.emplace_back(values.size());
    (void)zorvex::detail::codebook_quantize(kernel, cb, values, forms.back());
  }
  zorvex_test::set_fp_control(saved);
  EXPECT_EQ(scalar, want);
  for (const auto& got : forms) EXPECT_EQ(got, want);
}
#endif

TEST(CodebookQuantize, LengthMismatch) {
  const Codebook cb = make_ok({0, 1, 2, 3}, 2);
  const std::vector<float> in(5);
  std::vector<std::uint8_t> out(4);
  for (auto kernel : supported_kernels()) {
    auto r = zorvex::detail::codebook_quantize(kernel, cb, in, out);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "input and output lengths disagree: 5 vs 4");
  }
  auto r = cb.quantize(in, out);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "input and output lengths disagree: 5 vs 4");
}

// ------------------------------------------------------------------ dequantize

TEST(CodebookDequantize, ScalarRange) {
  const Codebook cb = make_ok({-0.0f, 0.0f, 1, 2}, 2);
  EXPECT_EQ(bits(cb.dequantize(0).value()), 0x80000000u);
  EXPECT_EQ(cb.dequantize(3).value(), 2.0f);
  auto r = cb.dequantize(4);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "index 4 is out of range [0, 4)");
}

TEST(CodebookDequantize, ElementWiseAllForms) {
  std::mt19937_64 rng(5);
  for (std::uint8_t bw : {2, 4, 8}) {
    const std::size_t n = std::size_t{1} << bw;
    const auto draw = [](auto& r) { return from_bits(static_cast<std::uint32_t>(r())); };
    const Codebook cb = make_ok(random_entries(n, rng, draw, {}), bw);
    std::vector<std::uint8_t> idx(1000);
    for (auto& i : idx) i = static_cast<std::uint8_t>(rng() % n);
    for (auto kernel : supported_kernels()) {
      const std::string label = std::string(zorvex::detail::codebook_kernel_name(kernel)) + " bw" + std::to_string(bw);
      std::vector<float> out(idx.size());
      ASSERT_TRUE(zorvex::detail::codebook_dequantize(kernel, cb, idx, out).ok()) << label;
      for (std::size_t i = 0; i < idx.size(); ++i) ASSERT_EQ(bits(out[i]), bits(cb.entries()[idx[i]])) << label;

      std::vector<float> short_out(idx.size() - 1);
      auto mismatch = zorvex::detail::codebook_dequantize(kernel, cb, idx, short_out);
      ASSERT_FALSE(mismatch.ok());
      EXPECT_EQ(mismatch.error().message(), "input and output lengths disagree: 1000 vs 999") << label;

      if (n == 256) continue;
      // The first bad index is reported, wherever it falls in a vector block.
      for (std::size_t pos : {std::size_t{0}, std::size_t{7}, std::size_t{21}, std::size_t{998}}) {
        std::vector<std::uint8_t> bad = idx;
        bad[pos] = static_cast<std::uint8_t>(n + pos % 3);
        bad[pos + 1] = 255;
        auto r = zorvex::detail::codebook_dequantize(kernel, cb, bad, out);
        ASSERT_FALSE(r.ok()) << label;
        EXPECT_EQ(r.error().message(), "index " + std::to_string(n + pos % 3) + " is out of range [0, " +
                                           std::to_string(n) + ")")
            << label << " pos " << pos;
      }
    }
  }
}

}  // namespace
