#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/codec/chacha20.hpp"
#include "core/codec/fdlibm.hpp"

namespace {

using zorvex::ChaChaKey;

std::string block_hex(const std::uint32_t* words) {
  std::string out;
  char buf[3];
  for (int i = 0; i < 64; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", (words[i / 4] >> (8 * (i % 4))) & 0xFF);
    out += buf;
  }
  return out;
}

struct KeystreamCase {
  ChaChaKey key;  // words, i.e. key bytes read little-endian
  std::uint64_t counter, stream;
  const char* block;
};

// Published all-zero-nonce vectors: the zero key, and the key 00..00 01
// (last byte 1, so word 7 = 0x01000000) at blocks 0 and 1 (RFC 7539 A.1 #3).
// The last one (RFC 7539 A.1 #5) sets nonce byte 11, which is the top byte of
// our 64-bit stream number.
const KeystreamCase kKeystreamCases[] = {
    {{}, 0, 0,
     "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
     "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
    {{0, 0, 0, 0, 0, 0, 0, 0x01000000}, 0, 0,
     "4540f05a9f1fb296d7736e7b208e3c96eb4fe1834688d2604f450952ed432d41"
     "bbe2a0b6ea7566d2a5d1e7e20d42af2c53d792b1c43fea817e9ad275ae546963"},
    {{0, 0, 0, 0, 0, 0, 0, 0x01000000}, 1, 0,
     "3aeb5224ecf849929b9d828db1ced4dd832025e8018b8160b82284f3c949aa5a"
     "8eca00bbb4a73bdad192b5c42f73f2fd4e273644c8b36125a64addeb006c13a0"},
    {{}, 0, std::uint64_t{0x02000000} << 32,
     "c2c64d378cd536374ae204b9ef933fcd1a8b2288b3dfa49672ab765b54ee27c7"
     "8a970e0e955c14f3a88e741b97c286f75f8fc299e8148362fa198a39531bed6d"},
};

TEST(ChaCha20, PublishedKeystreamBlocks) {
  for (const auto& c : kKeystreamCases) {
    std::uint32_t out[16];
    zorvex::chacha20_block(c.key, c.counter, c.stream, out);
    EXPECT_EQ(block_hex(out), c.block);
  }
}

// Counters chosen so the four blocks carry into the high word and wrap.
TEST(ChaCha20, FourBlocksEqualFourSingleBlocks) {
  const ChaChaKey key = zorvex::pcg32_expand_seed(99);
  for (std::uint64_t counter : {0ull, 5ull, 0xFFFFFFFEull, 0x1234567800000000ull, ~0ull - 1}) {
    std::uint32_t four[64];
    zorvex::chacha20_blocks4(key, counter, 7, four);
    for (std::uint64_t b = 0; b < 4; ++b) {
      std::uint32_t one[16];
      zorvex::chacha20_block(key, counter + b, 7, one);
      EXPECT_EQ(block_hex(four + 16 * b), block_hex(one)) << counter << " + " << b;
    }
  }
}

TEST(ChaCha20, StreamDrawsAreConsecutiveWordsLowFirst) {
  const ChaChaKey key = zorvex::pcg32_expand_seed(3);
  zorvex::ChaCha20Stream stream(key);
  for (std::uint64_t block = 0; block < 40; ++block) {  // several buffer refills
    std::uint32_t w[16];
    zorvex::chacha20_block(key, block, 0, w);
    for (int i = 0; i < 16; i += 2)
      ASSERT_EQ(stream.next_u64(), w[i] | static_cast<std::uint64_t>(w[i + 1]) << 32) << block << ":" << i;
  }
}

// Expected keys computed with Python integers:
//   s = (s * 6364136223846793005 + 11634580027462260723) % 2**64
//   x = (((s >> 18) ^ s) >> 27) % 2**32; r = s >> 59
//   word = ((x >> r) | (x << ((32 - r) % 32))) % 2**32
// Seed 42's second word has r = 0 (no rotation).
TEST(Pcg32, SeedExpansion) {
  EXPECT_EQ(zorvex::pcg32_expand_seed(0),
            (ChaChaKey{0xF973F2EC, 0x45CDB581, 0x7346F087, 0xAD6CAD06, 0xE3A3D0D0, 0x67E71733, 0x72EA9BF2, 0xFE7D8AD7}));
  EXPECT_EQ(zorvex::pcg32_expand_seed(42),
            (ChaChaKey{0x7BA18FA4, 0x0A3D3258, 0xCCA1B8EA, 0xB8140169, 0x75C88C2B, 0x54F7B418, 0xA16E448D, 0xF220DFE4}));
  EXPECT_EQ(zorvex::pcg32_expand_seed(~0ull),
            (ChaChaKey{0xE392472F, 0x102810D6, 0x952D5435, 0x435EF92C, 0x7B34E99A, 0x37C5DD03, 0xB0C77A63, 0x3E612043}));
}

TEST(Uniform, Uses53HighBits) {
  EXPECT_EQ(zorvex::uniform_from_u64(0x7FF), 0.0);  // the low 11 bits are dropped
  EXPECT_EQ(zorvex::uniform_from_u64(0x800), 0x1p-53);
  EXPECT_EQ(zorvex::uniform_from_u64(~0ull), 1.0 - 0x1p-53);
}

// Replays fixed draws, and fails loudly if asked for more.
struct ScriptedDraws {
  std::vector<std::uint64_t> values;
  std::size_t next = 0;
  std::uint64_t next_u64() {
    if (next >= values.size()) throw std::out_of_range("draws exhausted");
    return values[next++];
  }
};

TEST(Gaussian, PairsAreCosThenSinAndZeroUniformRejectsBothDraws) {
  const std::uint64_t a1 = 0x9E3779B97F4A7C15, b1 = 0x3C6EF372FE94F82A;
  const std::uint64_t a3 = 0x0123456789ABCDEF, b3 = 0xFEDCBA9876543210;
  // The middle pair's first draw gives u1 = 0.
  zorvex::BasicGaussianSource<ScriptedDraws> g(ScriptedDraws{{a1, b1, 0x7FF, 0xDEADBEEFCAFEF00D, a3, b3}});
  for (auto [a, b] : {std::pair{a1, b1}, std::pair{a3, b3}}) {
    const double r = std::sqrt(zorvex::fdlibm::log(zorvex::uniform_from_u64(a)) * -2.0);
    const double theta = zorvex::uniform_from_u64(b) * 6.283185307179586;
    EXPECT_EQ(g.next(), zorvex::fdlibm::cos(theta) * r);
    EXPECT_EQ(g.next(), r * zorvex::fdlibm::sin(theta));
  }
  EXPECT_THROW(g.next(), std::out_of_range);
}

}  // namespace
