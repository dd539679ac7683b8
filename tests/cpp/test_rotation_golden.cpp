#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <span>
#include <string>

#include "common/hash.hpp"
#include "core/codec/rotation_matrix.hpp"

namespace {

// SHA-256 of the d*d little-endian doubles, row-major. These pin the exact
// bits every build must reproduce on any x86-64 machine; the same list is in
// tests/golden_rotation_digests.txt for the Python side. A change here means
// previously compressed data no longer decompresses identically.
struct Golden {
  std::uint64_t seed;
  std::uint32_t dimension;
  const char* sha256;
};

const Golden kGolden[] = {
    {0, 1, "6c3c396ed6b5c36dcae172271f462051b1266b851e92df3deea8ac65478fd712"},
    {42, 2, "bd74dcfac8000781d5afb0436ad7162f2046d0bd44e6fc4f21f2f167af26c95e"},
    {7, 3, "19d1977ae2df479ff93949c9ae8c9a20edf5ee5373a40febcba45402b468c135"},
    {18446744073709551615ull, 5, "084ebe4e5e1e2c492aaac8fe1cdb517990dc7c11c89105058e255a8361c7d45a"},
    {12345, 64, "ba44478d088839092110d408ec3c293f75c08e51ace417dd75b6299a99e069e5"},
    {9, 200, "33ee11ddcae4635a7f15eb977e36cd616215b06808e237283c264dd9ba1623ab"},
    {42, 768, "90fa3d25fe2b4a3368ebbef7fd340382f590298e270a0da65454f4f48f51fcab"},
};

class RotationGolden : public ::testing::TestWithParam<Golden> {};

TEST_P(RotationGolden, DigestOfMatrixBytes) {
  static_assert(std::endian::native == std::endian::little, "digests are over little-endian bytes");
  const Golden g = GetParam();
  const auto m = zorvex::RotationMatrix::build(g.seed, g.dimension);
  const std::size_t n = static_cast<std::size_t>(g.dimension) * g.dimension;
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(m.data()), n * sizeof(double));
  EXPECT_EQ(zorvex::sha256_hex(bytes), g.sha256);
}

INSTANTIATE_TEST_SUITE_P(Pinned, RotationGolden, ::testing::ValuesIn(kGolden), [](const auto& info) {
  return "seed" + std::to_string(info.param.seed) + "_d" + std::to_string(info.param.dimension);
});

}  // namespace
