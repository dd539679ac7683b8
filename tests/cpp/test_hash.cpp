#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/hash.hpp"

namespace {

std::string repeat(char c, std::size_t n) { return std::string(n, c); }

struct ShaCase {
  std::string input;
  const char* digest;
};

// FIPS 180-4 examples and the classic long-message vectors; lengths around the
// 55/56/64-byte padding boundaries are where implementations break.
TEST(Sha256, PublishedVectors) {
  const std::vector<ShaCase> cases = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {repeat('a', 1000000), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) EXPECT_EQ(zorvex::sha256_hex(c.input), c.digest) << c.input.size();
}

TEST(Sha256, DigestBytesMatchHex) {
  auto d = zorvex::sha256(std::string_view("abc"));
  EXPECT_EQ(d[0], 0xba);
  EXPECT_EQ(d[31], 0xad);
}

// The reference SipHash-2-4 vectors: key 00..0f, messages 00..(n-1).
TEST(SipHash, Reference24Vectors) {
  const std::uint64_t k0 = 0x0706050403020100ULL, k1 = 0x0f0e0d0c0b0a0908ULL;
  std::vector<std::uint8_t> msg;
  for (int i = 0; i < 16; ++i) msg.push_back(static_cast<std::uint8_t>(i));
  struct Case {
    std::size_t len;
    std::uint64_t want;
  };
  const Case cases[] = {
      {0, 0x726fdb47dd0e0e31ULL},
      {1, 0x74f839c593dc67fdULL},
      {7, 0xab0200f58b01d137ULL},
      {8, 0x93f5f5799a932462ULL},
      {15, 0xa129ca6149be45e5ULL},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zorvex::siphash(2, 4, k0, k1, std::span(msg.data(), c.len)), c.want) << c.len;
  }
}

// Fixed hash values of the three policy ordinals (8 little-endian bytes each),
// which callers may have stored.
TEST(SipHash, Stable13OverOrdinals) {
  const std::int64_t want[] = {-4800647303603446203LL, 2206609067086327257LL, -6569889354672326634LL};
  for (std::uint8_t ordinal = 0; ordinal < 3; ++ordinal) {
    std::uint8_t msg[8] = {ordinal, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(zorvex::stable_hash(msg), want[ordinal]);
  }
}

}  // namespace
