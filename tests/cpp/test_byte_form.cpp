#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/codec/compressed_vector.hpp"
#include "io/compressed_vector/pack.hpp"
#include "io/compressed_vector/unpack.hpp"

namespace {

using zorvex::CompressedVector;
using Bytes = std::vector<std::uint8_t>;

const std::string kHex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

CompressedVector make_record(Bytes indices, std::optional<Bytes> residual, std::string hash, std::uint8_t bw) {
  const auto dim = static_cast<std::uint32_t>(indices.size());
  auto r = CompressedVector::make(zorvex::SharedBytes::copy_of(indices),
                                  residual ? zorvex::SharedBytes::copy_of(*residual) : zorvex::SharedBytes(),
                                  zorvex::make_text(hash), dim, bw);
  if (!r) throw std::runtime_error(r.error().message());
  return r.value();
}

// 70-byte header; `hash` is written raw and NUL-padded to 64.
Bytes header(std::uint8_t version, const std::string& hash, std::uint32_t dim, std::uint8_t bw) {
  Bytes out(70, 0);
  out[0] = version;
  for (std::size_t i = 0; i < hash.size() && i < 64; ++i) out[1 + i] = static_cast<std::uint8_t>(hash[i]);
  for (int i = 0; i < 4; ++i) out[65 + i] = static_cast<std::uint8_t>(dim >> (8 * i));
  out[69] = bw;
  return out;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void expect_same(const CompressedVector& a, const CompressedVector& b) {
  EXPECT_EQ(a.indices(), b.indices());
  ASSERT_EQ(a.has_residual(), b.has_residual());
  if (a.has_residual()) {
    EXPECT_EQ(a.residual(), b.residual());
  }
  EXPECT_EQ(*a.config_hash(), *b.config_hash());
  EXPECT_EQ(a.dimension(), b.dimension());
  EXPECT_EQ(a.bit_width(), b.bit_width());
}

TEST(ByteForm, WorkedExamples) {
  const Bytes h = header(1, kHex, 5, 2);
  EXPECT_EQ(zorvex::encode(make_record({1, 2, 3, 0, 1}, std::nullopt, kHex, 2)), cat(h, {0x39, 0x01, 0x00}));

  // 0.5 and -0.25 as binary16, low byte first.
  const Bytes with_residual = zorvex::encode(make_record({3, 10}, Bytes{0x00, 0x38, 0x00, 0xB4}, kHex, 4));
  EXPECT_EQ(with_residual, cat(header(1, kHex, 2, 4), {0xA3, 0x01, 0x04, 0, 0, 0, 0x00, 0x38, 0x00, 0xB4}));
  EXPECT_EQ(with_residual.size(), 80u);

  EXPECT_EQ(zorvex::encode(make_record({7, 200, 3}, std::nullopt, kHex, 8)), cat(header(1, kHex, 3, 8), {7, 0xC8, 3, 0}));
  // Out-of-range indices keep only their low bits.
  EXPECT_EQ(zorvex::encode(make_record({0xFF, 0x05}, std::nullopt, "h", 2)), cat(header(1, "h", 2, 2), {0x07, 0}));
  // A hash longer than the field is cut to 64 bytes.
  EXPECT_EQ(zorvex::encode(make_record({}, std::nullopt, kHex + "xyz", 8)), cat(header(1, kHex, 0, 8), {0}));
}

TEST(ByteForm, SizesFollowSizeBytes) {
  const auto plain = make_record(Bytes(768, 5), std::nullopt, kHex, 4);
  const auto full = make_record(Bytes(768, 5), Bytes(1536, 1), kHex, 4);
  EXPECT_EQ(plain.size_bytes(), 384u);
  EXPECT_EQ(full.size_bytes(), 1920u);
  EXPECT_EQ(zorvex::encode(plain).size(), 455u);
  EXPECT_EQ(zorvex::encode(full).size(), 1995u);
  EXPECT_EQ(make_record(Bytes(5, 0), std::nullopt, kHex, 2).size_bytes(), 2u);
}

struct MakeCase {
  std::size_t count;
  std::uint32_t dim;
  std::uint8_t bw;
  std::optional<std::size_t> residual;
  const char* message;
};

class CompressedVectorMake : public testing::TestWithParam<MakeCase> {};

TEST_P(CompressedVectorMake, RejectsInOrder) {
  const auto& c = GetParam();
  auto r = CompressedVector::make(zorvex::SharedBytes::copy_of(Bytes(c.count, 0)),
                                  c.residual ? zorvex::SharedBytes::copy_of(Bytes(*c.residual, 0))
                                             : zorvex::SharedBytes(),
                                  zorvex::make_text(kHex), c.dim, c.bw);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    All, CompressedVectorMake,
    testing::Values(MakeCase{3, 4, 3, 1, "bit_width must be one of [2, 4, 8], got 3"},
                    MakeCase{3, 3, 0, std::nullopt, "bit_width must be one of [2, 4, 8], got 0"},
                    MakeCase{3, 4, 2, 1, "vector length 3 does not match config dimension 4"},
                    MakeCase{3, 3, 8, 5, "input and output lengths disagree: 5 vs 6"},
                    MakeCase{0, 0, 4, 1, "input and output lengths disagree: 1 vs 0"}));

std::string decode_error(const Bytes& data) {
  auto r = zorvex::decode(data);
  return r ? "<ok>" : r.error().message();
}

struct FailCase {
  const char* name;
  Bytes data;
  std::string message;
};

void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }

class ByteFormDecodeFailure : public testing::TestWithParam<FailCase> {};

TEST_P(ByteFormDecodeFailure, ReportsFirstFailure) { EXPECT_EQ(decode_error(GetParam().data), GetParam().message); }

const std::string kUtf8 = "invalid UTF-8 in config hash";

INSTANTIATE_TEST_SUITE_P(
    All, ByteFormDecodeFailure,
    testing::Values(
        FailCase{"empty", {}, "data too short: needed 70 bytes, got 0"},
        FailCase{"b69", Bytes(69, 1), "data too short: needed 70 bytes, got 69"},
        FailCase{"header_only", header(1, kHex, 0, 2), "data too short: needed 71 bytes, got 70"},
        FailCase{"no_flag", cat(header(1, kHex, 5, 2), {0x39, 0x01}), "data too short: needed 73 bytes, got 72"},
        FailCase{"version", cat(header(2, kHex, 0, 2), {0}), "unknown format version 0x02"},
        FailCase{"version_hex", header(0xAB, kHex, 0, 2), "unknown format version 0xab"},
        FailCase{"utf8_before_version", header(2, "ab\xff", 0, 2), kUtf8},
        FailCase{"version_before_bw", header(0, kHex, 0, 3), "unknown format version 0x00"},
        FailCase{"bw3", header(1, kHex, 1, 3), "invalid bit_width 3 in serialized data"},
        FailCase{"bw16", header(1, kHex, 1, 16), "invalid bit_width 16 in serialized data"},
        FailCase{"flag2", cat(header(1, kHex, 0, 2), {2}),
                 "decode error: invalid residual flag: expected 0x00 or 0x01, got 0x02"},
        FailCase{"flagff", cat(header(1, kHex, 1, 8), {9, 0xFF}),
                 "decode error: invalid residual flag: expected 0x00 or 0x01, got 0xff"},
        FailCase{"no_length", cat(header(1, kHex, 2, 4), {0xA3, 1, 4, 0, 0}), "data too short: needed 76 bytes, got 75"},
        FailCase{"short_residual", cat(header(1, kHex, 2, 4), {0xA3, 1, 4, 0, 0, 0, 1, 2, 3}),
                 "data too short: needed 80 bytes, got 79"},
        FailCase{"max_length", cat(header(1, kHex, 0, 8), {1, 0xFF, 0xFF, 0xFF, 0xFF}),
                 "data too short: needed 4294967370 bytes, got 75"},
        FailCase{"wrong_length", cat(header(1, kHex, 2, 4), {0xA3, 1, 3, 0, 0, 0, 1, 2, 3}),
                 "decode error: input and output lengths disagree: 3 vs 4"},
        FailCase{"huge_dim_bw8", cat(header(1, kHex, 0xFFFFFFFFu, 8), Bytes(100, 0)),
                 "data too short: needed 4294967366 bytes, got 170"},
        FailCase{"huge_dim_bw2", cat(header(1, kHex, 0xFFFFFFFFu, 2), Bytes(100, 0)),
                 "data too short: needed 1073741895 bytes, got 170"},
        // Ill-formed UTF-8 of every kind, ahead of a bad version byte.
        FailCase{"overlong2", header(9, "\xC0\x80", 0, 2), kUtf8},
        FailCase{"overlong2b", header(9, "\xC1\xBF", 0, 2), kUtf8},
        FailCase{"overlong3", header(9, "\xE0\x80\x80", 0, 2), kUtf8},
        FailCase{"overlong4", header(9, "\xF0\x8F\xBF\xBF", 0, 2), kUtf8},
        FailCase{"surrogate", header(9, "\xED\xA0\x80", 0, 2), kUtf8},
        FailCase{"above_max", header(9, "\xF4\x90\x80\x80", 0, 2), kUtf8},
        FailCase{"f5", header(9, "\xF5\x80\x80\x80", 0, 2), kUtf8},
        FailCase{"lone_continuation", header(9, "a\x80", 0, 2), kUtf8},
        FailCase{"truncated_before_pad", header(9, "\xE2\x82", 0, 2), kUtf8},
        FailCase{"bad_continuation", header(9, "\xE2\x28\xA1", 0, 2), kUtf8},
        // The sequence cut at the end of the field must not borrow the
        // dimension bytes that follow it (82 AC would complete U+20AC).
        FailCase{"truncated_at_field_end", header(1, kHex.substr(0, 63) + "\xE2", 0xAC82, 2), kUtf8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ByteForm, DecodesEdgeRecords) {
  // Dimension 0: header plus a 0x00 flag.
  auto empty = zorvex::decode(cat(header(1, kHex, 0, 2), {0}));
  ASSERT_TRUE(empty.ok()) << empty.error().message();
  EXPECT_EQ(empty->dimension(), 0u);
  EXPECT_TRUE(empty->indices().empty());
  EXPECT_FALSE(empty->has_residual());
  EXPECT_EQ(empty->size_bytes(), 0u);

  // Unused bits of the last packed byte are not examined.
  auto dirty = zorvex::decode(cat(header(1, "", 5, 2), {0x39, 0xFD, 0}));
  ASSERT_TRUE(dirty.ok());
  EXPECT_EQ(dirty->indices(), (Bytes{1, 2, 3, 0, 1}));
  EXPECT_EQ(*dirty->config_hash(), "");

  // Well-formed sequences at each boundary; NULs before the last non-NUL stay.
  for (const std::string& hash : std::vector<std::string>{"\xC3\xA9", "\xE2\x82\xAC", "\xED\x9F\xBF", "\xEE\x80\x80",
                                                         "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF",
                                                         std::string("a\0\0b", 4)}) {
    auto r = zorvex::decode(cat(header(1, hash, 0, 8), {0}));
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(*r->config_hash(), hash);
  }
}

struct RoundTripCase {
  std::uint8_t bw;
  bool residual;
};

class ByteFormRoundTrip : public testing::TestWithParam<RoundTripCase> {};

CompressedVector random_record(std::mt19937& rng, std::uint8_t bw, bool residual, std::string hash) {
  const std::size_t dim = rng() % 300;
  Bytes idx(dim), res(2 * dim);
  for (auto& v : idx) v = static_cast<std::uint8_t>(rng() & ((1u << bw) - 1));
  for (auto& v : res) v = static_cast<std::uint8_t>(rng());
  return make_record(std::move(idx), residual ? std::optional<Bytes>(std::move(res)) : std::nullopt, hash, bw);
}

TEST_P(ByteFormRoundTrip, RestoresEveryField) {
  std::mt19937 rng(GetParam().bw * 2 + GetParam().residual);
  const std::string hashes[] = {kHex, "short", "", "\xE2\x82\xAC-x", std::string("ab\0cd", 5)};
  for (int i = 0; i < 40; ++i) {
    const std::string& hash = hashes[i % 5];
    const auto rec = random_record(rng, GetParam().bw, GetParam().residual, hash);
    Bytes blob = zorvex::encode(rec);
    EXPECT_EQ(blob.size(), rec.size_bytes() + (GetParam().residual ? 75 : 71));
    auto back = zorvex::decode(blob);
    ASSERT_TRUE(back.ok()) << back.error().message();
    expect_same(*back, rec);

    // Trailing NULs of the hash cannot be told from padding; other trailing bytes are ignored.
    const auto nul_tail = make_record(Bytes(rec.indices().begin(), rec.indices().end()), std::nullopt, hash + std::string(3, '\0'), GetParam().bw);
    EXPECT_EQ(*zorvex::decode(zorvex::encode(nul_tail))->config_hash(), hash);
    auto extended = zorvex::decode(cat(blob, {0x01, 0xFF, 0x00, 0x7E}));
    ASSERT_TRUE(extended.ok());
    expect_same(*extended, rec);
  }
}

INSTANTIATE_TEST_SUITE_P(All, ByteFormRoundTrip,
                         testing::Values(RoundTripCase{2, false}, RoundTripCase{2, true}, RoundTripCase{4, false},
                                         RoundTripCase{4, true}, RoundTripCase{8, false}, RoundTripCase{8, true}));

// Every input either decodes to a record that re-encodes to the same bytes or
// fails with one of the documented messages. Each input sits in an
// exactly-sized heap buffer so a sanitizer build catches any overread.
TEST(ByteForm, ArbitraryInputIsDecodedOrRejected) {
  const std::regex known(
      "data too short: needed [0-9]+ bytes, got [0-9]+|invalid UTF-8 in config hash|"
      "unknown format version 0x[0-9a-f]{2}|invalid bit_width [0-9]+ in serialized data|"
      "decode error: invalid residual flag: expected 0x00 or 0x01, got 0x[0-9a-f]{2}|"
      "decode error: input and output lengths disagree: [0-9]+ vs [0-9]+");
  std::mt19937 rng(7);
  const std::uint8_t widths[] = {2, 4, 8};
  for (int blob_no = 0; blob_no < 60; ++blob_no) {
    const auto rec = random_record(rng, widths[blob_no % 3], blob_no % 2, blob_no % 4 ? kHex : "\xC3\xA9");
    const Bytes blob = zorvex::encode(rec);
    for (std::size_t len = 0; len < blob.size(); ++len) {
      auto r = zorvex::decode(Bytes(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(len)));
      ASSERT_FALSE(r.ok()) << len;
      EXPECT_EQ(r.error().kind, zorvex::FormatError::Kind::DataTooShort);
      EXPECT_EQ(r.error().got, len);
      EXPECT_GT(r.error().needed, len);
    }
    for (int m = 0; m < 400; ++m) {
      Bytes mutated = blob;
      for (unsigned k = rng() % 4 + 1; k > 0; --k) {
        // Bias towards the header and flag, where the checks live.
        const std::size_t at = rng() % 2 ? rng() % 76 : rng() % mutated.size();
        if (at < mutated.size()) mutated[at] = static_cast<std::uint8_t>(rng());
      }
      if (rng() % 3 == 0) mutated.resize(rng() % (mutated.size() + 1));
      auto r = zorvex::decode(mutated);
      if (!r) {
        EXPECT_TRUE(std::regex_match(r.error().message(), known)) << r.error().message();
        continue;
      }
      const Bytes again = zorvex::encode(*r);
      ASSERT_LE(again.size(), mutated.size());
      const std::size_t last_packed = 70 + r->size_bytes() - (r->has_residual() ? r->residual().size() : 0) - 1;
      for (std::size_t i = 0; i < again.size(); ++i) {
        if (again[i] != mutated[i]) {
          EXPECT_TRUE(i == last_packed && r->bit_width() != 8) << i;
        }
      }
    }
  }
}

// Reads a "VmXxx:  N kB" line of /proc/self/status, in bytes; 0 when absent.
std::uint64_t vm_bytes(const std::string& key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + ":", 0) == 0) return std::stoull(line.substr(key.size() + 1)) * 1024;
  return 0;
}

// Runs in a forked child, whose peak starts again at its current size, so
// allocations made by earlier tests cannot mask one made here.
TEST(ByteFormDeathTest, HugeDimensionIsRejectedBeforeAllocating) {
  if (vm_bytes("VmPeak") == 0) GTEST_SKIP() << "no /proc/self/status";
  const auto probe = [] {
    const std::uint64_t size_before = vm_bytes("VmSize");
    for (std::uint8_t bw : {2, 8}) {
      auto r = zorvex::decode(cat(header(1, kHex, 0xFFFFFFFFu, bw), Bytes(64, 0)));
      if (r.ok() || r.error().kind != zorvex::FormatError::Kind::DataTooShort) std::_Exit(2);
    }
    // A buffer for 2^32-1 indices would have raised the peak by about 4 GiB.
    std::_Exit(vm_bytes("VmPeak") < size_before + (std::uint64_t{1} << 31) ? 0 : 1);
  };
  EXPECT_EXIT(probe(), testing::ExitedWithCode(0), "");
}

}  // namespace
