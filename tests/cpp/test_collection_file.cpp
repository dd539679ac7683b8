// The collection file's pieces below the Python layer: the checksum against
// published values and in any split, id columns that never leave their
// tables, and a mapped index that searches like the owned one.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "backend/brute_force.hpp"
#include "backend/id_column.hpp"
#include "common/xxh64.hpp"
#include "io/collection_file/collections.hpp"

namespace zorvex {
namespace {

TEST(Xxh64, PublishedValues) {
  EXPECT_EQ(xxh64("", 0), 0xEF46DB3751D8E999ULL);
  EXPECT_EQ(xxh64("abc", 3), 0x44BC2CF5AD770999ULL);
  const std::string s = "Nobody inspects the spammish repetition";
  EXPECT_EQ(xxh64(s.data(), s.size()), 0xFBCEA83C8A378BF1ULL);
}

TEST(Xxh64, AnySplitGivesTheSameDigest) {
  std::mt19937_64 rng(5);
  std::vector<std::uint8_t> data(1000);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  for (std::size_t len : {0u, 1u, 3u, 4u, 7u, 8u, 31u, 32u, 33u, 63u, 64u, 100u, 1000u}) {
    const std::uint64_t whole = xxh64(data.data(), len, 42);
    for (int trial = 0; trial < 20; ++trial) {
      Xxh64 h(42);
      std::size_t at = 0;
      while (at < len) {
        const std::size_t step = std::min<std::size_t>(len - at, rng() % 40);
        h.update(data.data() + at, step);
        at += step;
      }
      ASSERT_EQ(h.digest(), whole) << "length " << len;
    }
  }
}

TEST(IdColumn, FindsByBinarySearchAndClampsDamagedOffsets) {
  const std::string bytes = "bca";
  const std::uint64_t offsets[] = {0, 1, 2, 3};
  const std::uint64_t order[] = {2, 0, 1};  // a, b, c
  const detail::IdColumn ids{offsets, bytes.data(), order, 3, 3};
  EXPECT_EQ(ids.find("a"), 2u);
  EXPECT_EQ(ids.find("c"), 1u);
  EXPECT_FALSE(ids.find("d").has_value());
  EXPECT_FALSE(ids.find("").has_value());
  EXPECT_EQ(ids.at(3), "");  // past the end

  const std::uint64_t bad[] = {2, 99, 1, 3};
  const std::uint64_t bad_order[] = {7, 0, 1};
  const detail::IdColumn damaged{bad, bytes.data(), bad_order, 3, 3};
  EXPECT_EQ(damaged.at(0), "a");  // [2, 3): clamped to the table
  EXPECT_EQ(damaged.at(1), "");   // 99 > 1 reversed: empty
  EXPECT_FALSE(damaged.find("zz").has_value());
}

TEST(CollectionFile, MappedBruteForceSearchesLikeTheOwnedOne) {
  BruteForceIndex index;
  std::mt19937 rng(3);
  std::normal_distribution<float> normal;
  IngestPairs pairs;
  for (int i = 0; i < 50; ++i) {
    std::vector<float> v(7);
    for (float& f : v) f = normal(rng);
    pairs.emplace_back(make_text("id" + std::to_string(i)), v);
  }
  ASSERT_TRUE(index.ingest(pairs).ok());
  const std::vector<SharedText> doomed = {make_text("id3"), make_text("id20")};
  index.remove(doomed);
  const auto path = (std::filesystem::temp_directory_path() / "zorvex_cpp_collection.zvx").string();
  ASSERT_TRUE(collection_file::save_brute_force(index, path).ok());
  for (bool map : {false, true}) {
    auto loaded = collection_file::load(path, map, false);
    ASSERT_TRUE(loaded.ok()) << loaded.error().message;
    const BruteForceIndex& other = *loaded->brute_force;
    EXPECT_EQ(other.mapped(), map);
    const std::vector<float> q = {1, -2, 0.5f, 0, 3, 1, -1};
    auto a = index.search(q, 12), b = other.search(q, 12);
    ASSERT_TRUE(a.ok() && b.ok());
    ASSERT_EQ(a->size(), b->size());
    for (std::size_t i = 0; i < a->size(); ++i) {
      EXPECT_EQ(*(*a)[i].vector_id, *(*b)[i].vector_id);
      EXPECT_EQ(std::bit_cast<std::uint32_t>((*a)[i].score), std::bit_cast<std::uint32_t>((*b)[i].score));
    }
    const std::vector<std::string_view> ask = {"id7", "id3", "nope", "id49"};
    auto sa = index.score_ids(q, ask), sb = other.score_ids(q, ask);
    ASSERT_TRUE(sa.ok() && sb.ok());
    EXPECT_EQ(*sa, *sb);
    EXPECT_FALSE((*sb)[1].has_value());
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace zorvex
