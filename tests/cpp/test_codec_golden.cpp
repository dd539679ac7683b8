#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "common/hash.hpp"
#include "core/codec/batch.hpp"
#include "core/codec/codebook.hpp"
#include "core/codec/config.hpp"
#include "io/compressed_vector/pack.hpp"

namespace {

// SHA-256 of the trained codebook's entries, every record's byte form and the
// decompressed floats, for fixed inputs: the bits records made on x86-64 carry,
// which every build on any processor must reproduce.
struct Golden {
  std::uint8_t bit_width;
  bool residual;
  std::uint32_t dimension;
  const char* sha256;
};

// Inputs from a counter hash (no library generator, whose sequence may vary),
// with specials: infinities, signed zeros, a subnormal, a huge value.
std::vector<float> fixed_inputs(std::uint32_t rows, std::uint32_t d) {
  std::vector<float> x(static_cast<std::size_t>(rows) * d);
  std::uint64_t s = 0x9E3779B97F4A7C15ull * d;
  for (auto& v : x) {
    s ^= s >> 31;
    s *= 0xBF58476D1CE4E5B9ull;
    s ^= s >> 29;
    v = static_cast<float>(static_cast<std::int64_t>(s >> 40) - (1ll << 23)) / static_cast<float>(1 << 22);
  }
  const float specials[] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(), 0.0f,
                            -0.0f, 1e-42f, 3e38f};
  for (std::size_t k = 0; k < std::size(specials); ++k) x[(k * 7) % d] = specials[k];  // row 0
  return x;
}

class CodecGolden : public ::testing::TestWithParam<Golden> {};

TEST_P(CodecGolden, DigestOfCodebookRecordsAndReconstructions) {
  static_assert(std::endian::native == std::endian::little, "digests are over little-endian bytes");
  const Golden g = GetParam();
  constexpr std::uint32_t rows = 40;
  const std::vector<float> x = fixed_inputs(rows, g.dimension);
  auto config = zorvex::CodecConfig::make(g.bit_width, 42, g.dimension, g.residual);
  ASSERT_TRUE(config.ok());
  // Trained on the rows after the first, which holds the infinities.
  const std::vector<double> sample(x.begin() + g.dimension, x.end());
  auto codebook = zorvex::Codebook::train(sample, g.bit_width);
  ASSERT_TRUE(codebook.ok()) << codebook.error().message();
  auto records = zorvex::compress_batch(x.data(), rows, g.dimension, *config, *codebook);
  ASSERT_TRUE(records.ok()) << records.error().message();
  std::vector<float> back(x.size());
  ASSERT_TRUE(zorvex::decompress_batch(*records, *config, *codebook, back).ok());

  std::vector<std::uint8_t> all;
  auto append = [&](const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    all.insert(all.end(), b, b + n);
  };
  append(codebook->entries().data(), codebook->entries().size_bytes());
  for (const auto& r : *records) {
    const std::vector<std::uint8_t> bytes = zorvex::encode(r);
    append(bytes.data(), bytes.size());
  }
  append(back.data(), back.size() * sizeof(float));
  EXPECT_EQ(zorvex::sha256_hex(std::span<const std::uint8_t>(all)), g.sha256);
}

const Golden kGolden[] = {
    {2, false, 5, "ef82b6e170e09deb19c19211a5c914fc157479f6f2c97a59e2a54b99dcc97fdd"},
    {2, true, 64, "c37beddf880696295e819ceff7faa1c7ebf1215884461a18604f8cbf9b12e58c"},
    {4, false, 64, "1d8f57ea8add2b8c0add90840f2bf11be7f830d060122432288b859eabef432d"},
    {4, true, 384, "3e713bcdb9ee7a4937c2ecfcc0affa2ff7cb67382324339f560adae166e1e574"},
    {8, false, 384, "c27d455f704f879242ab6a1ae40ca7b2997a78a455f974b32a1926efbad9da67"},
    {8, true, 77, "7ed26ac84836081e9ecc06330d3b596669fc1a9093b77f6a3e96fd2f00280d05"},
};

INSTANTIATE_TEST_SUITE_P(Pinned, CodecGolden, ::testing::ValuesIn(kGolden), [](const auto& info) {
  std::string name = "b";
  name += std::to_string(info.param.bit_width);
  if (info.param.residual) name += "_res";
  name += "_d";
  name += std::to_string(info.param.dimension);
  return name;
});

}  // namespace
