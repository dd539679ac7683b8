// Core corpus behaviour the Python surface cannot reach: malformed stored
// records, the identifier map's bookkeeping, memory exhaustion inside an
// insert, overlapping event collectors, the lock's poisoning and the event
// vocabulary nothing produces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/corpus/corpus.hpp"

// Allocation failure on demand: the n-th allocation from now on this thread
// throws. Off (-1) for every other test of the binary.
namespace {
thread_local long fail_allocation_in = -1;
}  // namespace

// All out of line, or the compiler takes the malloc()/free() it sees inside
// for a mismatch with the new/delete it sees at the call sites.
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (fail_allocation_in >= 0 && fail_allocation_in-- == 0) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
// The nothrow forms too: their default calls the replaced operator new, but
// ASan's own would not, and its allocation would then reach free() above.
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using namespace zorvex;

CompressedVector raw(std::vector<std::uint8_t> bytes) {
  auto size = static_cast<std::uint32_t>(bytes.size());
  return CompressedVector::make(SharedBytes::copy_of(bytes), SharedBytes(), make_text("h"), size, 8)
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

StoredVector::Owner node(const std::string& id) { return StoredVector::make(id, EncodedRecord{SharedBytes::copy_of(std::vector<std::uint8_t>{1, 2}), SharedBytes(), 8}); }

// Random inserts and removals against a plain list of the live identifiers,
// with enough of them to make the index grow several times.
TEST(CorpusIdMap, KeepsInsertionOrderAndFindsExactlyTheLiveIdentifiers) {
  std::mt19937 rng(11);
  VectorIdMap map;
  std::vector<std::string> order;
  for (int step = 0; step < 6000; ++step) {
    std::string id;
    for (std::size_t n = rng() % 4; n > 0; --n) id += "ab\xC3\x7F"[rng() % 4];
    const bool live = std::find(order.begin(), order.end(), id) != order.end();
    const StoredVector* found = map.find(id);
    ASSERT_EQ(found != nullptr, live);
    if (found) {
      ASSERT_EQ(found->id(), id);
    }
    if (rng() % 3 == 0) {
      ASSERT_EQ(map.remove(id), live);
      if (live) order.erase(std::find(order.begin(), order.end(), id));
    } else if (!live) {
      map.reserve_one();
      map.insert(node(id));
      order.push_back(id);
    }
    ASSERT_EQ(map.size(), order.size());
    std::vector<std::string> seen;
    map.for_each([&](const StoredVector& v) { seen.emplace_back(v.id()); });
    ASSERT_EQ(seen, order);
  }
}

std::vector<float> one() { return {0.5f}; }

// Copies share the stored text and bytes, and outlive the vector's removal.
TEST(CorpusEntries, CopiesShareTheStoredBuffersAndSurviveRemoval) {
  CorpusState state(make_text("c"), config(), codebook(), CompressionPolicy::Passthrough);
  VectorEntry inserted = state.insert(make_text("a"), one()).value();
  VectorEntry got = state.get("a").value();
  EXPECT_EQ(inserted.vector_id().data(), got.vector_id().data());
  EXPECT_EQ(inserted.compressed().indices().data(), got.compressed().indices().data());
  EXPECT_EQ(got.config_hash().get(), state.codec_config().config_hash().get());
  ASSERT_TRUE(state.remove("a"));
  EXPECT_FALSE(state.get("a"));
  EXPECT_EQ(got.vector_id(), "a");
  EXPECT_EQ(got.compressed().indices(), (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x3F}));
  EXPECT_EQ(got.compressed().dimension(), 4u);
  EXPECT_EQ(got.dimension(), 1u);
}

std::vector<std::string> inserted_ids(const EventSnapshot& s) {
  std::vector<std::string> ids;
  for (const CorpusEvent& e : s.events) {
    if (auto* inserted = std::get_if<VectorsInserted>(&e)) ids.push_back(*inserted->vector_ids->at(0));
  }
  return ids;
}

// Collectors that overlap: each event is claimed once, only from the front,
// and a collector that never claims (its presentation failed) loses nothing.
TEST(CorpusEvents, EachEventIsClaimedOnceAndAnUnclaimedSnapshotLosesNone) {
  CorpusState state(make_text("c"), config(), codebook(), CompressionPolicy::Fp16);
  auto insert = [&](const char* id) { ASSERT_TRUE(state.insert(make_text(id), one()).ok()); };
  insert("a");
  EventSnapshot failed = state.snapshot_events();
  EventSnapshot slow = state.snapshot_events();
  EXPECT_EQ(slow.first, 0u);
  EXPECT_EQ(failed.events.size(), 2u);
  EXPECT_EQ(slow.events.size(), 2u);
  insert("b");
  EventSnapshot fast = state.snapshot_events();
  EXPECT_EQ(inserted_ids(fast), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(state.claim_events(fast.first, fast.events.size()), 0u);
  EXPECT_EQ(state.claim_events(slow.first, slow.events.size()), 2u);  // all gone: nothing claimed
  insert("c");
  EventSnapshot narrow = state.snapshot_events();
  insert("d");
  EventSnapshot wide = state.snapshot_events();
  EXPECT_EQ(narrow.first, 3u);
  EXPECT_EQ(inserted_ids(wide), (std::vector<std::string>{"c", "d"}));
  EXPECT_EQ(state.claim_events(narrow.first, 1), 0u);
  EXPECT_EQ(state.claim_events(wide.first, 2), 1u);  // "c" gone, "d" left pending
  EXPECT_EQ(inserted_ids(state.snapshot_events()), (std::vector<std::string>{"d"}));
  EXPECT_EQ(state.claim_events(wide.first + 1, 1), 0u);
  EXPECT_TRUE(state.snapshot_events().events.empty());
  EXPECT_THROW(state.claim_events(wide.first + 2, 1), InternalError);
}

// Whichever allocation of an insert fails, the insert either reports it and
// changes nothing, or succeeds completely: none happens after the store.
TEST(CorpusInsert, RunningOutOfMemoryAtAnyPointStoresNothingOrEverything) {
  long points = 0;
  for (;; ++points) {
    CorpusState state(make_text("c"), config(), codebook(), CompressionPolicy::Passthrough);
    for (const char* id : {"a", "b", "c", "d", "e", "f", "g", "h"}) {
      ASSERT_TRUE(state.insert(make_text(id), one()).ok());
    }
    const std::size_t events = state.snapshot_events().events.size();
    SharedText id = make_text("x");
    const std::vector<float> x = one();
    fail_allocation_in = points;
    bool failed = false;
    std::optional<Result<VectorEntry, CorpusError>> inserted;
    try {
      inserted.emplace(state.insert(id, x));
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    const bool exhausted = fail_allocation_in >= 0;
    fail_allocation_in = -1;
    ASSERT_EQ(state.contains("x"), !failed);
    ASSERT_EQ(state.vector_count(), failed ? 8u : 9u);
    ASSERT_EQ(state.snapshot_events().events.size(), failed ? events : events + 1);
    if (failed) continue;
    ASSERT_TRUE(inserted->ok());
    EXPECT_EQ(inserted->value().vector_id(), "x");
    if (exhausted) break;  // every allocation point has been failed once
  }
  EXPECT_GE(points, 4);  // the ninth insert grows the index, among others
}

// Removal never allocates, so it cannot stop halfway.
TEST(CorpusRemove, NeedsNoMemory) {
  CorpusState state(make_text("c"), config(), codebook(), CompressionPolicy::Passthrough);
  for (const char* id : {"a", "b", "c"}) ASSERT_TRUE(state.insert(make_text(id), one()).ok());
  fail_allocation_in = 0;
  bool removed = state.remove("b") && state.remove("a") && !state.remove("zz");
  fail_allocation_in = -1;
  EXPECT_TRUE(removed);
  EXPECT_EQ(state.vector_ids(), std::vector<std::string>{"c"});
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
