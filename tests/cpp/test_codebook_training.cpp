#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "core/codec/codebook_training.hpp"

namespace {

using zorvex::detail::RotationKernel;

std::vector<std::uint32_t> entry_bits(const zorvex::Codebook& codebook) {
  std::vector<std::uint32_t> out;
  for (float e : codebook.entries()) out.push_back(std::bit_cast<std::uint32_t>(e));
  return out;
}

// Every rotation form feeds Lloyd the same values, so every form gives the
// same entries; the dimension is odd so that tiles have ragged edges.
TEST(CodebookTraining, EveryRotationFormGivesTheSameEntries) {
  const std::size_t rows = 300, cols = 37;
  std::mt19937_64 rng(7);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> sample(rows * cols);
  for (std::size_t i = 0; i < sample.size(); ++i) sample[i] = normal(rng) * static_cast<float>(1 + i % cols % 5);
  for (std::uint8_t bits : {2, 4, 8}) {
    const auto config = zorvex::CodecConfig::make(bits, 11, cols, false).value();
    auto expected = zorvex::train_codebook(sample, rows, cols, config, {}, RotationKernel::Portable);
    ASSERT_TRUE(expected);
    for (RotationKernel kernel : zorvex::detail::kRotationKernels) {
      if (!zorvex::detail::rotation_kernel_supported(kernel)) continue;
      auto got = zorvex::train_codebook(sample, rows, cols, config, {}, kernel);
      ASSERT_TRUE(got);
      EXPECT_EQ(entry_bits(*got), entry_bits(*expected))
          << zorvex::detail::rotation_kernel_name(kernel) << ", bit_width " << int(bits);
    }
  }
}

}  // namespace
