#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <iterator>
#include <limits>
#include <map>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include "fp_control.hpp"

#include "backend/brute_force.hpp"
#include "backend/score_kernels.hpp"
#include "backend/search_result.hpp"
#include "backend/top_k.hpp"
#include "common/poisonable_shared_mutex.hpp"

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

// Sizes around the 16-lane blocks, the groups of four blocks, and the rows by
// which a group's blocks run behind each other (48 in all, prefetching 32 ahead).
INSTANTIATE_TEST_SUITE_P(
    Sizes, ScoreKernels,
    ::testing::Values(KernelCase{1, 1, Values::Gaussian}, KernelCase{15, 3, Values::Gaussian},
                      KernelCase{16, 8, Values::WideRange}, KernelCase{17, 33, Values::WideRange},
                      KernelCase{64, 1, Values::WideRange}, KernelCase{83, 384, Values::Gaussian},
                      KernelCase{150, 97, Values::WideRange}, KernelCase{70, 12, Values::Special},
                      KernelCase{300, 5, Values::Special}, KernelCase{70, 48, Values::Gaussian},
                      KernelCase{66, 60, Values::WideRange}));

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

// A host library may leave denormals-are-zero on; a subnormal score must
// still be written as itself, not as zero.
TEST(ScoreText, SubnormalsUnderDenormalsAreZero) {
  const unsigned saved = zorvex_test::fp_control();
  zorvex_test::set_fp_control(saved | zorvex_test::kFlushToZero);  // FTZ | DAZ
  const std::string smallest = zorvex::format_score(std::bit_cast<float>(0x80000001u));
  const std::string largest = zorvex::format_score(std::bit_cast<float>(0x007FFFFFu));
  zorvex_test::set_fp_control(saved);
  EXPECT_EQ(smallest, "-0.000000000000000000000000000000000000000000001");
  EXPECT_EQ(std::bit_cast<std::uint32_t>(std::strtof(largest.c_str(), nullptr)), 0x007FFFFFu) << largest;
}

// ---- selection ---------------------------------------------------------------

struct Item {
  float score;
  std::string id;
};

// The rule: higher score first; equal or unordered scores by identifier.
bool before(const Item& a, const Item& b) {
  if (a.score > b.score) return true;
  if (a.score < b.score) return false;
  return a.id < b.id;
}

// Both runs sorted on their own (the rule is consistent within each), then
// std::merge, which takes from the second run only when it comes first.
std::vector<Item> reference_order(const std::vector<Item>& items, std::size_t k) {
  std::vector<Item> others, nans;
  for (const Item& item : items) (std::isnan(item.score) ? nans : others).push_back(item);
  std::stable_sort(others.begin(), others.end(), before);
  std::stable_sort(nans.begin(), nans.end(), before);
  std::vector<Item> merged;
  std::merge(others.begin(), others.end(), nans.begin(), nans.end(), std::back_inserter(merged), before);
  merged.resize(std::min(k, merged.size()));
  return merged;
}

template <class Index>
std::vector<std::pair<std::string, std::uint32_t>> select(const std::vector<Item>& items, std::size_t k,
                                                          const std::vector<std::size_t>& offer_order,
                                                          bool one_by_one) {
  const auto id = [&](Index i) { return std::string_view(items[i].id); };
  zorvex::detail::TopKScratch<Index> scratch;
  zorvex::detail::TopK<Index, decltype(id)> top(k, items.size(), id, scratch);
  std::vector<float> scores;
  for (std::size_t i : offer_order) scores.push_back(items[i].score);
  if (one_by_one) {
    for (std::size_t i : offer_order) top.offer(items[i].score, i);
  } else {
    top.offer_all(scores.data(), scores.size(), [&](std::size_t j) { return offer_order[j]; });
  }
  std::vector<std::pair<std::string, std::uint32_t>> out;
  for (const auto& c : top.finish()) out.emplace_back(items[c.index].id, std::bit_cast<std::uint32_t>(c.score()));
  return out;
}

struct SelectionCase {
  std::size_t n;
  std::size_t k;
  int nan_percent;
};

void PrintTo(const SelectionCase& c, std::ostream* os) {
  *os << "n=" << c.n << " k=" << c.k << " nan%=" << c.nan_percent;
}

class Selection : public ::testing::TestWithParam<SelectionCase> {};

// Many ties (signed zeros, subnormals, infinities, repeated values) and
// identifiers that are prefixes of one another or differ in high bytes.
TEST_P(Selection, MatchesTheStableMergeOfBothRunsInAnyOfferOrder) {
  const auto [n, k, nan_percent] = GetParam();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float pool[] = {0.0f, -0.0f, 1e-45f, -1e-45f, 0.5f, -0.5f, 1.0f, kInf, -kInf, 3e38f};
  const char letters[] = {'a', 'b', '\0', '\xc3', '\xff'};
  for (unsigned seed = 0; seed < 6; ++seed) {
    std::mt19937 rng(seed * 7919 + static_cast<unsigned>(n + k));
    std::vector<Item> items;
    std::map<std::string, int> used;
    while (items.size() < n) {
      std::string id(rng() % 6, 'a');
      for (char& c : id) c = letters[rng() % 5];
      if (used[id]++) continue;
      float score = pool[rng() % 10];
      if (rng() % 3 == 0) score = std::normal_distribution<float>()(rng);
      if (static_cast<int>(rng() % 100) < nan_percent) score = (rng() & 1) ? nan : -nan;
      items.push_back({score, id});
    }
    const auto want = reference_order(items, k);
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    // Pass 3 offers in runs with denormals read as zero, as a host library
    // may leave them: the runs' float pre-test must still let through every
    // subnormal that belongs.
    for (int pass = 0; pass < 4; ++pass) {
      std::shuffle(order.begin(), order.end(), rng);
      const unsigned saved = zorvex_test::fp_control();
      if (pass == 3) zorvex_test::set_fp_control(saved | zorvex_test::kFlushToZero);
      const auto got = pass == 2 ? select<std::size_t>(items, k, order, false)
                                 : select<std::uint32_t>(items, k, order, pass == 1);
      zorvex_test::set_fp_control(saved);
      ASSERT_EQ(got.size(), want.size());
      for (std::size_t r = 0; r < want.size(); ++r) {
        ASSERT_EQ(got[r].first, want[r].id) << "rank " << r << ", seed " << seed << ", pass " << pass;
        ASSERT_EQ(got[r].second, std::bit_cast<std::uint32_t>(want[r].score)) << "rank " << r;
      }
    }
    // Whatever the merge did, neighbours obey the rule.
    for (std::size_t r = 1; r < want.size(); ++r) ASSERT_FALSE(before(want[r], want[r - 1])) << r;
  }
}

// Around n / 64, where the heap gives way to one selection at the end.
INSTANTIATE_TEST_SUITE_P(
    Sizes, Selection,
    ::testing::Values(SelectionCase{1, 1, 0}, SelectionCase{1, 1, 100}, SelectionCase{7, 3, 30},
                      SelectionCase{40, 40, 25}, SelectionCase{640, 1, 0}, SelectionCase{640, 9, 0},
                      SelectionCase{640, 10, 0}, SelectionCase{640, 200, 0}, SelectionCase{640, 640, 0},
                      SelectionCase{640, 3, 10}, SelectionCase{640, 9, 50}, SelectionCase{640, 10, 10},
                      SelectionCase{640, 333, 20}, SelectionCase{640, 640, 95}, SelectionCase{3000, 17, 2}));

// Scoring named ids (re-ranking's way in) gives each the bits search gives it,
// whatever the number asked for (several are scored at once) and with
// unknown ids, zero and NaN vectors among them.
TEST(BackendScoreIds, EqualSearchScoresForAnySelection) {
  std::mt19937 rng(9);
  std::normal_distribution<float> normal;
  zorvex::IngestPairs pairs;
  for (int k = 0; k < 200; ++k) {
    std::vector<float> v(37);
    std::generate(v.begin(), v.end(), [&] { return normal(rng); });
    if (k == 3) std::fill(v.begin(), v.end(), 0.0f);
    if (k == 4) v[5] = std::numeric_limits<float>::quiet_NaN();
    pairs.emplace_back(zorvex::make_text("v" + std::to_string(k)), std::move(v));
  }
  zorvex::BruteForceBackend backend;
  ASSERT_TRUE(backend.ingest(pairs)->ok());
  std::vector<float> query(37);
  std::generate(query.begin(), query.end(), [&] { return normal(rng); });
  std::map<std::string, std::uint32_t> want;
  const auto all = backend.search(query, 200);
  for (const auto& r : **all) want[*r.vector_id] = std::bit_cast<std::uint32_t>(r.score);
  for (std::size_t size : {1u, 7u, 8u, 9u, 17u, 64u}) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < size; ++i)
      names.push_back(i % 5 == 2 ? "missing" + std::to_string(i) : "v" + std::to_string(rng() % 200));
    names[0] = "v" + std::to_string(3 + size % 2);  // the zero or the NaN vector
    const std::vector<std::string_view> ids(names.begin(), names.end());
    const auto scored = backend.score_ids(query, ids);
    ASSERT_TRUE(scored && *scored);
    for (std::size_t i = 0; i < size; ++i) {
      const auto& got = (**scored)[i];
      if (names[i].starts_with("missing")) {
        EXPECT_FALSE(got.has_value()) << names[i];
      } else {
        ASSERT_TRUE(got.has_value()) << names[i];
        EXPECT_EQ(std::bit_cast<std::uint32_t>(*got), want.at(names[i])) << names[i] << " of " << size;
      }
    }
  }
}

// Searches side by side: each must use working memory of its own.
TEST(BackendThreads, SearchesSideBySideMatchSerialOnes) {
  std::mt19937 rng(4);
  std::normal_distribution<float> normal;
  zorvex::IngestPairs pairs;
  for (int k = 0; k < 3000; ++k) {
    std::vector<float> v(24, 1.0f);  // every fifth ties
    if (k % 5) std::generate(v.begin(), v.end(), [&] { return normal(rng); });
    pairs.emplace_back(zorvex::make_text(std::to_string(k)), std::move(v));
  }
  zorvex::BruteForceBackend backend;
  ASSERT_TRUE(backend.ingest(pairs)->ok());
  const std::vector<float> query(24, 1.0f);
  const std::uint64_t ks[] = {1, 10, 46, 47, 500, 3000};  // heap, then one selection
  auto run = [&](std::uint64_t k) {
    const auto results = backend.search(query, k);
    std::vector<std::pair<std::string, float>> out;
    for (const auto& r : **results) out.emplace_back(*r.vector_id, r.score);
    return out;
  };
  std::map<std::uint64_t, std::vector<std::pair<std::string, float>>> serial;
  for (std::uint64_t k : ks) serial[k] = run(k);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (std::size_t round = 0; round < 60; ++round)
        if (const std::uint64_t k = ks[(t + round) % 6]; run(k) != serial[k]) ++mismatches;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// ---- the readers-writer mutex ---------------------------------------------------

using Clock = std::chrono::steady_clock;

TEST(PoisonableSharedMutex, ReadersRunTogetherAndWritersAlone) {
  zorvex::PoisonableSharedMutex mutex;
  std::atomic<int> arrived{0}, readers{0};
  std::atomic<bool> writing{false}, overlap{false};
  // Each reader waits, inside, for the other: only possible if they share.
  auto reader = [&] {
    return *mutex.run_shared([&] {
      ++arrived;
      const auto deadline = Clock::now() + std::chrono::seconds(10);
      while (arrived.load() < 2 && Clock::now() < deadline) std::this_thread::yield();
      return arrived.load() >= 2;
    });
  };
  auto first = std::async(std::launch::async, reader), second = std::async(std::launch::async, reader);
  EXPECT_TRUE(first.get());
  EXPECT_TRUE(second.get());

  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&] {
      for (int r = 0; r < 100; ++r)
        mutex.run_shared([&] {
          ++readers;
          if (writing.load()) overlap = true;
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          --readers;
          return 0;
        });
    });
  for (int w = 0; w < 30; ++w)
    mutex.run([&] {
      writing = true;
      if (readers.load() != 0) overlap = true;
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      writing = false;
      return 0;
    });
  for (auto& t : threads) t.join();
  EXPECT_FALSE(overlap.load());
}

// Readers that keep overlapping must not hold a writer off for good.
TEST(PoisonableSharedMutex, WritersGetInBetweenOverlappingReaders) {
  zorvex::PoisonableSharedMutex mutex;
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&, t] {
      std::this_thread::sleep_for(std::chrono::milliseconds(t));
      while (!stop.load())
        mutex.run_shared([] {
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
          return 0;
        });
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto writer = std::async(std::launch::async, [&] {
    for (int w = 0; w < 20; ++w) mutex.run([] { return 0; });
  });
  const bool done = writer.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_TRUE(done);
}

TEST(PoisonableSharedMutex, FailuresPoisonForGoodButMemoryExhaustionDoesNot) {
  for (bool shared : {false, true}) {
    zorvex::PoisonableSharedMutex mutex;
    auto fail = [&](auto thrown) {
      auto f = [&]() -> int { throw thrown; };
      return shared ? mutex.run_shared(f) : mutex.run(f);
    };
    EXPECT_THROW(fail(std::bad_alloc()), std::bad_alloc);
    EXPECT_FALSE(mutex.poisoned());
    EXPECT_EQ(mutex.run_shared([] { return 1; }), 1);
    EXPECT_THROW(fail(std::logic_error("broken")), std::logic_error);
    EXPECT_TRUE(mutex.poisoned());
    bool ran = false;
    EXPECT_EQ(mutex.run([&] { return ran = true; }), std::nullopt);
    EXPECT_EQ(mutex.run_shared([&] { return ran = true; }), std::nullopt);
    EXPECT_FALSE(ran);
  }
}

}  // namespace
