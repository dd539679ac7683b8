// Core corpus behaviour the Python surface cannot reach: malformed stored
// records, the identifier map's bookkeeping, the lock's poisoning and the
// event vocabulary nothing produces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "core/corpus/corpus.hpp"

namespace {

using namespace zorvex;

CompressedVector raw(std::vector<std::uint8_t> bytes) {
  auto size = static_cast<std::uint32_t>(bytes.size());
  return CompressedVector::make(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes)), nullptr,
                                make_text("h"), size, 8)
      .value();
}

CodecConfig config() { return CodecConfig::make(4, 7, 1, true).value(); }
Codebook codebook() {
  std::vector<float> entries(16);
  for (std::size_t i = 0; i < entries.size(); ++i) entries[i] = static_cast<float>(i);
  return Codebook::make(entries, 4).value();
}

struct LengthCase {
  CompressionPolicy policy;
  std::size_t bytes;
  const char* message;
};

class PolicyDecodeLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(PolicyDecodeLength, MalformedRecordsReportTheirLength) {
  const LengthCase& c = GetParam();
  auto out = decode_entry(c.policy, raw(std::vector<std::uint8_t>(c.bytes)), config(), codebook());
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().kind, CodecError::Kind::LengthMismatch);
  EXPECT_EQ(out.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Policy, PolicyDecodeLength,
    ::testing::Values(LengthCase{CompressionPolicy::Passthrough, 7, "input and output lengths disagree: 7 vs 4"},
                      LengthCase{CompressionPolicy::Passthrough, 2, "input and output lengths disagree: 2 vs 0"},
                      LengthCase{CompressionPolicy::Fp16, 5, "input and output lengths disagree: 5 vs 4"}));

TEST(Policy, RawRecordsDecodeWhateverLengthTheyHold) {
  // Neither the configuration's dimension nor the record's header is consulted.
  auto out = decode_entry(CompressionPolicy::Fp16, raw({0x00, 0x3C, 0x00, 0xBC, 0x00, 0x7C}), config(), codebook());
  EXPECT_EQ(out.value(), (std::vector<float>{1.0f, -1.0f, std::numeric_limits<float>::infinity()}));
  EXPECT_FALSE(policy_from_ordinal(3));
}

TEST(CorpusIdOrder, ComparesUnsignedBytesWithPrefixFirst) {
  EXPECT_TRUE(id_less("z", "\xC3\xA9"));
  EXPECT_TRUE(id_less("\x7F", "\x80"));
  EXPECT_TRUE(id_less("a", "ab"));
  EXPECT_TRUE(id_less(std::string_view("a\0", 2), "ab"));
  EXPECT_FALSE(id_less("ab", "ab"));
}

// Random inserts and removals against a plain list of the live identifiers.
TEST(CorpusIdMap, KeepsInsertionOrderAndSortedIndexInStep) {
  std::mt19937 rng(11);
  VectorIdMap map;
  std::vector<std::string> order;
  for (int step = 0; step < 3000; ++step) {
    std::string id;
    for (std::size_t n = rng() % 3; n > 0; --n) id += "ab\xC3\x7F"[rng() % 4];
    auto slot = map.search(id);
    const bool live = std::find(order.begin(), order.end(), id) != order.end();
    ASSERT_EQ(slot.found, live);
    ASSERT_EQ(map.find(id) != nullptr, live);
    if (rng() % 3 == 0) {
      ASSERT_EQ(map.remove(id), live);
      if (live) order.erase(std::find(order.begin(), order.end(), id));
    } else if (!live) {
      map.insert(slot, VectorEntry(make_text(id), raw({}), 0));
      order.push_back(id);
    }
    std::vector<std::string> sorted = order;
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return id_less(a, b); });
    ASSERT_EQ(map.size(), order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
      ASSERT_EQ(*map.entries()[i].vector_id(), order[i]);
      ASSERT_EQ(*map.entries()[map.sorted_index()[i]].vector_id(), sorted[i]);
    }
  }
}

TEST(CorpusLock, AnInternalFailurePoisonsForGoodButMemoryExhaustionDoesNot) {
  Corpus corpus(make_text("c"), config(), codebook(), CompressionPolicy::Passthrough);
  EXPECT_THROW(corpus.with_state([](CorpusState&) -> int { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_EQ(corpus.with_state([](CorpusState& s) { return s.vector_count(); }), std::optional<std::size_t>(0));
  EXPECT_THROW(corpus.with_state([](CorpusState&) -> int { panic("broken"); }), InternalError);
  bool ran = false;
  EXPECT_FALSE(corpus.with_state([&](CorpusState&) { return ran = true; }));
  EXPECT_FALSE(ran);
}

TEST(CorpusEvents, ViolationTypeTextsAndTagOrder) {
  EXPECT_EQ(violation_type_text(ViolationType::ConfigMismatch), "config_mismatch");
  EXPECT_EQ(violation_type_text(ViolationType::PolicyConflict), "policy_conflict");
  EXPECT_EQ(violation_type_text(ViolationType::DuplicateId), "duplicate_id");
  EXPECT_EQ(violation_type_text(ViolationType::DimensionMismatch), "dimension_mismatch");
  CorpusEvent e = CompressionPolicyViolationDetected{make_text("c"), 0, ViolationType::DuplicateId, make_text("d")};
  EXPECT_EQ(e.index(), 3u);
  EXPECT_EQ(CorpusEvent(CorpusDecompressed{make_text("c"), 0, 1}).index(), 2u);
}

}  // namespace
