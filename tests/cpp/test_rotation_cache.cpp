#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "core/codec/rotation_cache.hpp"
#include "core/codec/rotation_matrix.hpp"

namespace {

using zorvex::RotationMatrix;
using zorvex::detail::RotationCache;

// A stand-in builder: a one-element array tagged with the seed, so tests can
// tell builds apart without paying for real ones. The cache accounts for the
// size the dimension implies, not the array it is given.
struct FakeBuilder {
  std::atomic<int> calls{0};
  std::chrono::milliseconds delay{0};
  std::atomic<int> fail_first{0};  // how many initial calls throw bad_alloc

  RotationCache::Builder fn() {
    return [this](std::uint64_t seed, std::uint32_t d) {
      const int n = calls.fetch_add(1);
      std::this_thread::sleep_for(delay);
      if (n < fail_first.load()) throw std::bad_alloc();
      std::shared_ptr<const double[]> a(new double[1]{static_cast<double>(seed)});
      return RotationMatrix(std::move(a), seed, d);
    };
  }
};

constexpr std::size_t kTen = RotationCache::matrix_bytes(10);  // 800 bytes

TEST(RotationCache, EvictsLeastRecentlyUsedWithinBudget) {
  FakeBuilder b;
  RotationCache cache(3 * kTen, b.fn());
  const double* first = cache.get(1, 10).data();
  cache.get(2, 10);
  cache.get(3, 10);
  EXPECT_EQ(cache.bytes_held(), 3 * kTen);
  EXPECT_EQ(cache.get(1, 10).data(), first);  // a hit, and now the most recent
  EXPECT_EQ(b.calls, 3);

  cache.get(4, 10);  // evicts 2, the least recently used
  EXPECT_TRUE(cache.contains(1, 10));
  EXPECT_FALSE(cache.contains(2, 10));
  EXPECT_TRUE(cache.contains(3, 10));
  EXPECT_TRUE(cache.contains(4, 10));
  EXPECT_EQ(cache.bytes_held(), 3 * kTen);
  EXPECT_EQ(b.calls, 4);

  // Same seed, other dimension: a different key. Needs room for 9x9 (648 bytes)
  // plus what stays: evicts 3 only.
  cache.get(1, 9);
  EXPECT_FALSE(cache.contains(3, 10));
  EXPECT_TRUE(cache.contains(1, 10));
  EXPECT_TRUE(cache.contains(4, 10));
  EXPECT_EQ(cache.bytes_held(), 2 * kTen + RotationCache::matrix_bytes(9));
  EXPECT_EQ(cache.entries(), 3u);
}

TEST(RotationCache, TooLargeForTheBudgetIsReturnedButNotKept) {
  FakeBuilder b;
  RotationCache cache(3 * kTen, b.fn());
  cache.get(1, 10);
  const RotationMatrix big = cache.get(7, 18);  // 2592 bytes > 2400
  EXPECT_EQ(big.seed(), 7u);
  EXPECT_EQ(big.data()[0], 7.0);
  EXPECT_FALSE(cache.contains(7, 18));
  EXPECT_TRUE(cache.contains(1, 10));  // nothing evicted for it
  EXPECT_EQ(cache.bytes_held(), kTen);
  cache.get(7, 18);
  EXPECT_EQ(b.calls, 3);

  cache.clear();
  EXPECT_EQ(cache.bytes_held(), 0u);
  EXPECT_EQ(cache.entries(), 0u);
  cache.get(1, 10);
  EXPECT_EQ(b.calls, 4);
}

// Waiters share the one build, also when the result is too large to keep.
TEST(RotationCache, ConcurrentRequestsShareOneBuild) {
  for (std::size_t budget : {std::size_t{1} << 20, kTen}) {
    FakeBuilder b;
    b.delay = std::chrono::milliseconds(150);
    RotationCache cache(budget, b.fn());
    std::vector<const double*> seen(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back([&, t] { seen[t] = cache.get(5, 20).data(); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(b.calls, 1) << budget;
    for (const double* p : seen) EXPECT_EQ(p, seen[0]);
    EXPECT_EQ(cache.contains(5, 20), budget > kTen);
  }
}

TEST(RotationCache, FailedBuildLeavesNothingBehindAndWaitersRetry) {
  FakeBuilder b;
  b.fail_first = 1;
  RotationCache cache(std::size_t{1} << 20, b.fn());
  EXPECT_THROW(cache.get(5, 10), std::bad_alloc);
  EXPECT_FALSE(cache.contains(5, 10));
  EXPECT_EQ(cache.bytes_held(), 0u);

  // Concurrently: the first build fails for its caller only; one of the
  // waiters builds again and the rest share that.
  b.calls = 0;
  b.delay = std::chrono::milliseconds(150);
  std::atomic<int> failures{0}, successes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      try {
        if (cache.get(6, 10).data()[0] == 6.0) successes++;
      } catch (const std::bad_alloc&) {
        failures++;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(successes, 7);
  EXPECT_EQ(b.calls, 2);
  EXPECT_TRUE(cache.contains(6, 10));
  EXPECT_EQ(cache.bytes_held(), kTen);
}

TEST(RotationCache, PanicsPassThroughWithoutPoisoningTheKey) {
  RotationCache cache(std::size_t{1} << 20);  // the real builder
  EXPECT_THROW(cache.get(1, 0), zorvex::InternalError);
  EXPECT_THROW(cache.get(1, 0), zorvex::InternalError);
  EXPECT_EQ(cache.entries(), 0u);
}

TEST(RotationCache, ProcessWideGetMatchesBuild) {
  const RotationMatrix built = RotationMatrix::build(77, 40);
  const RotationMatrix cached = RotationMatrix::get(77, 40);
  EXPECT_EQ(cached.seed(), 77u);
  EXPECT_EQ(cached.dimension(), 40u);
  EXPECT_EQ(std::memcmp(built.data(), cached.data(), 40 * 40 * sizeof(double)), 0);
  EXPECT_EQ(RotationMatrix::get(77, 40).data(), cached.data());
  EXPECT_TRUE(RotationCache::process_wide().contains(77, 40));
}

}  // namespace
