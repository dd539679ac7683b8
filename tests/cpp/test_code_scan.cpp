#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "backend/brute_force.hpp"
#include "backend/code_index.hpp"
#include "backend/code_scan.hpp"
#include "backend/scan_rotation.hpp"
#include "core/codec/codebook.hpp"
#include "core/codec/config.hpp"

namespace {

using zorvex::detail::Isa;

// Sums by the layout's definition, one vector and one coordinate at a time.
std::vector<std::uint32_t> nibble_definition(const std::vector<std::uint8_t>& blocks, std::size_t nblocks,
                                             std::size_t groups, const std::vector<std::uint8_t>& tables) {
  std::vector<std::uint32_t> sums(nblocks * 32, 0);
  for (std::size_t b = 0; b < nblocks; ++b)
    for (std::size_t v = 0; v < 32; ++v)
      for (std::size_t j = 0; j < groups; ++j) {
        const std::uint8_t byte = blocks[(b * groups + j) * 16 + v % 16];
        sums[b * 32 + v] += tables[j * 16 + (v < 16 ? byte & 15 : byte >> 4)];
      }
  return sums;
}

std::vector<std::int32_t> byte_definition(const std::vector<std::uint8_t>& blocks, std::size_t nblocks,
                                          std::size_t quads, const std::vector<std::int8_t>& weights,
                                          const std::vector<std::int8_t>& values) {
  std::vector<std::int32_t> sums(nblocks * 16, 0);
  for (std::size_t b = 0; b < nblocks; ++b)
    for (std::size_t v = 0; v < 16; ++v)
      for (std::size_t i = 0; i < 4 * quads; ++i)
        sums[b * 16 + v] += weights[i] * values[blocks[(b * quads + i / 4) * 64 + 4 * v + i % 4]];
  return sums;
}

struct ScanCase {
  std::size_t nblocks;
  std::size_t rows;
  bool extreme;  // every table entry, weight and value at its largest magnitude
};

void PrintTo(const ScanCase& c, std::ostream* os) {
  *os << "blocks=" << c.nblocks << " rows=" << c.rows << (c.extreme ? " extreme" : "");
}

class CodeScans : public ::testing::TestWithParam<ScanCase> {};

// Row counts beyond 4 x 256 make every wide form move its 16-bit lanes to
// wider totals at least once, and extreme tables would overflow them if not.
TEST_P(CodeScans, EveryFormGivesTheDefinitionsSums) {
  const auto [nblocks, rows, extreme] = GetParam();
  std::mt19937 rng(static_cast<unsigned>(nblocks * 7919 + rows));
  std::vector<std::uint8_t> nibbles(nblocks * rows * 16), tables(rows * 16);
  for (auto& b : nibbles) b = static_cast<std::uint8_t>(extreme ? 0xFF : rng());
  for (auto& t : tables) t = static_cast<std::uint8_t>(extreme ? 255 : rng());
  const auto want_nibbles = nibble_definition(nibbles, nblocks, rows, tables);

  std::vector<std::uint8_t> bytes(nblocks * rows * 64);
  std::vector<std::int8_t> weights(rows * 4), values(256);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  for (auto& w : weights) w = static_cast<std::int8_t>(extreme ? -127 : static_cast<int>(rng() % 255) - 127);
  for (auto& v : values) v = static_cast<std::int8_t>(extreme ? 127 : static_cast<int>(rng() % 255) - 127);
  const auto want_bytes = byte_definition(bytes, nblocks, rows, weights, values);

  // Several queries at once: each its own tables, each the definition's sums.
  constexpr std::size_t kQueries = 9;
  std::vector<std::vector<std::uint8_t>> many_tables(kQueries, tables);
  std::vector<std::vector<std::int8_t>> many_weights(kQueries, weights);
  for (std::size_t q = 1; q < kQueries; ++q) {
    for (auto& t : many_tables[q]) t = static_cast<std::uint8_t>(rng());
    for (auto& w : many_weights[q]) w = static_cast<std::int8_t>(static_cast<int>(rng() % 255) - 127);
  }
  std::vector<const std::uint8_t*> table_ptrs;
  std::vector<const std::int8_t*> weight_ptrs;
  for (std::size_t q = 0; q < kQueries; ++q) {
    table_ptrs.push_back(many_tables[q].data());
    weight_ptrs.push_back(many_weights[q].data());
  }

  for (Isa form : zorvex::detail::kIsas) {
    if (!zorvex::detail::isa_supported(form)) continue;
    SCOPED_TRACE(zorvex::detail::isa_name(form));
    for (std::size_t nq : {1u, 4u, 9u}) {
      std::vector<std::vector<std::uint32_t>> nib(nq, std::vector<std::uint32_t>(nblocks * 32));
      std::vector<std::vector<std::int32_t>> byt(nq, std::vector<std::int32_t>(nblocks * 16));
      std::vector<std::uint32_t*> nib_ptrs;
      std::vector<std::int32_t*> byt_ptrs;
      for (std::size_t q = 0; q < nq; ++q) {
        nib_ptrs.push_back(nib[q].data());
        byt_ptrs.push_back(byt[q].data());
      }
      zorvex::detail::scan_nibbles_multi(form, nibbles.data(), nblocks, rows, table_ptrs.data(), nib_ptrs.data(), nq);
      zorvex::detail::scan_bytes_multi(form, bytes.data(), nblocks, rows, weight_ptrs.data(), values.data(),
                                       byt_ptrs.data(), nq);
      for (std::size_t q = 0; q < nq; ++q) {
        EXPECT_EQ(nib[q], nibble_definition(nibbles, nblocks, rows, many_tables[q])) << "query " << q;
        EXPECT_EQ(byt[q], byte_definition(bytes, nblocks, rows, many_weights[q], values)) << "query " << q;
      }
    }
    std::vector<std::uint32_t> got_nibbles(nblocks * 32);
    zorvex::detail::scan_nibbles(form, nibbles.data(), nblocks, rows, tables.data(), got_nibbles.data());
    EXPECT_EQ(got_nibbles, want_nibbles);
    std::vector<std::int32_t> got_bytes(nblocks * 16);
    zorvex::detail::scan_bytes(form, bytes.data(), nblocks, rows, weights.data(), values.data(), got_bytes.data());
    EXPECT_EQ(got_bytes, want_bytes);
  }
  // With VBMI and VNNI the AVX-512 form above ran their nibble kernel; the
  // plain one is what processors without them run.
  if (zorvex::detail::isa_supported(Isa::Avx512) && zorvex::detail::has_vbmi_vnni()) {
    std::vector<std::uint32_t> got(nblocks * 32);
    zorvex::detail::scan_nibbles_avx512(nibbles.data(), nblocks, rows, tables.data(), got.data());
    EXPECT_EQ(got, want_nibbles);
    std::vector<std::vector<std::uint32_t>> nib(kQueries, std::vector<std::uint32_t>(nblocks * 32));
    std::vector<std::uint32_t*> nib_ptrs;
    for (auto& v : nib) nib_ptrs.push_back(v.data());
    zorvex::detail::scan_nibbles_multi_avx512(nibbles.data(), nblocks, rows, table_ptrs.data(), nib_ptrs.data(),
                                              kQueries);
    for (std::size_t q = 0; q < kQueries; ++q)
      EXPECT_EQ(nib[q], nibble_definition(nibbles, nblocks, rows, many_tables[q])) << "query " << q;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, CodeScans,
                         ::testing::Values(ScanCase{1, 4, false}, ScanCase{3, 8, false}, ScanCase{2, 96, false},
                                           ScanCase{5, 1100, false}, ScanCase{2, 1100, true},
                                           ScanCase{1, 4096, true}));

// The finishing step in every form: the same bits as the portable one, zero
// norms included, for lengths that leave a tail.
TEST(CodeScans, EveryFormFinishesAlike) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (std::size_t n : {1u, 7u, 64u, 1001u}) {
    std::vector<std::int32_t> signed_sums(n);
    std::vector<std::uint32_t> sums(n);
    std::vector<double> inv(n);
    for (std::size_t v = 0; v < n; ++v) {
      sums[v] = static_cast<std::uint32_t>(rng() % (255u * 16384u + 1));
      signed_sums[v] = static_cast<std::int32_t>(rng() % 520000001) - 260000000;
      inv[v] = v % 5 == 0 ? (v % 10 == 0 ? 0.0 : -0.0) : std::ldexp(std::fabs(unit(rng)) + 0.5, static_cast<int>(rng() % 40) - 20);
    }
    const double a = unit(rng) * 1e-3, b = unit(rng);
    std::vector<float> want(n), want_signed(n);
    zorvex::detail::finish_scores(Isa::Portable, a, b, sums.data(), inv.data(), n, want.data());
    zorvex::detail::finish_scores(Isa::Portable, a, b, signed_sums.data(), inv.data(), n, want_signed.data());
    for (std::size_t v = 0; v < n; v += 5) EXPECT_EQ(std::bit_cast<std::uint32_t>(want[v]), 0u);
    for (Isa form : zorvex::detail::kIsas) {
      if (!zorvex::detail::isa_supported(form)) continue;
      SCOPED_TRACE(zorvex::detail::isa_name(form));
      std::vector<float> got(n), got_signed(n);
      zorvex::detail::finish_scores(form, a, b, sums.data(), inv.data(), n, got.data());
      zorvex::detail::finish_scores(form, a, b, signed_sums.data(), inv.data(), n, got_signed.data());
      for (std::size_t v = 0; v < n; ++v) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(got[v]), std::bit_cast<std::uint32_t>(want[v])) << v;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(got_signed[v]), std::bit_cast<std::uint32_t>(want_signed[v])) << v;
      }
    }
  }
}

// Whole searches: every form returns the same ids and score bits.
TEST(CodeIndex, EveryFormSearchesAlike) {
  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  for (std::uint8_t bits : {2, 4, 8}) {
    for (std::uint32_t d : {3u, 64u, 77u}) {
      auto config = zorvex::CodecConfig::make(bits, 11, d, bits == 4);
      ASSERT_TRUE(config.ok());
      std::vector<double> sample;
      for (int i = 0; i < 4000; ++i) sample.push_back(normal(rng));
      auto codebook = zorvex::Codebook::train(sample, bits);
      ASSERT_TRUE(codebook.ok());
      auto index = zorvex::CompressedIndex::make(*config, *codebook);
      ASSERT_TRUE(index.ok());
      zorvex::IngestPairs pairs;
      for (int k = 0; k < 150; ++k) {
        std::vector<float> v(d);
        for (float& e : v) e = normal(rng);
        pairs.emplace_back(zorvex::make_text(std::to_string(k)), v);
      }
      ASSERT_TRUE(index->ingest(pairs).ok());
      std::vector<float> queries(3 * d);
      for (float& e : queries) e = normal(rng);
      queries[2 * d] = std::numeric_limits<float>::infinity();  // a query that cannot be scored: all zeros
      zorvex::CodeSearchOptions options;
      options.top_k = 150;
      auto want = index->search(queries.data(), 3, d, options, Isa::Portable);
      ASSERT_TRUE(want.ok());
      for (Isa form : zorvex::detail::kIsas) {
        if (!zorvex::detail::isa_supported(form)) continue;
        auto got = index->search(queries.data(), 3, d, options, form);
        ASSERT_TRUE(got.ok());
        for (std::size_t q = 0; q < 3; ++q)
          for (std::size_t i = 0; i < 150; ++i) {
            EXPECT_EQ(*(*got)[q][i].vector_id, *(*want)[q][i].vector_id);
            EXPECT_EQ(std::bit_cast<std::uint32_t>((*got)[q][i].score),
                      std::bit_cast<std::uint32_t>((*want)[q][i].score));
          }
      }
      for (const auto& r : (*want)[2]) EXPECT_EQ(r.score, 0.0f);
    }
  }
}

// The scan's rotation in every form, for any number of queries (each tile
// shape and remainder) and dimensions that fill panels partly, equals one
// float sum per output in increasing j with the matrix rounded to float.
TEST(ScanRotation, EveryFormIsTheFloatDefinition) {
  std::mt19937 rng(9);
  std::normal_distribution<float> normal;
  for (std::uint32_t d : {1u, 37u, 256u, 300u}) {
    const auto matrix = zorvex::RotationMatrix::get(21, d);
    const auto rotation = zorvex::detail::ScanRotation::get(21, d);
    for (std::size_t rows : {1u, 2u, 3u, 4u, 7u}) {
      std::vector<float> x(rows * d);
      // Odd rows so small that the products and sums are subnormal.
      for (std::size_t k = 0; k < x.size(); ++k) x[k] = normal(rng) * (k / d % 2 ? 1e-37f : 1.0f);
      std::vector<float> want(rows * d);
      for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t i = 0; i < d; ++i) {
          float s = 0.0f;
          for (std::size_t j = 0; j < d; ++j) {
            const float product = static_cast<float>(matrix.data()[i * d + j]) * x[r * d + j];
            s = s + product;
          }
          want[r * d + i] = s;
        }
      for (Isa form : zorvex::detail::kIsas) {
        if (!zorvex::detail::isa_supported(form)) continue;
        std::vector<float> got(rows * d, std::nanf(""));
        rotation.apply(form, x.data(), rows, got.data());
        for (std::size_t k = 0; k < got.size(); ++k)
          ASSERT_EQ(std::bit_cast<std::uint32_t>(got[k]), std::bit_cast<std::uint32_t>(want[k]))
              << "form " << zorvex::detail::isa_name(form) << " d " << d << " rows " << rows << " at " << k;
      }
    }
  }
}

// Batched exact search gives each query's own search, in every form.
TEST(BruteForceBatch, EqualsOneSearchPerQuery) {
  std::mt19937 rng(17);
  std::normal_distribution<float> normal;
  for (std::size_t d : {1u, 13u, 100u}) {
    zorvex::BruteForceIndex index;
    zorvex::IngestPairs pairs;
    for (int k = 0; k < 90; ++k) {
      std::vector<float> v(d);
      for (float& e : v) e = normal(rng);
      if (k == 4) v[0] = std::numeric_limits<float>::infinity();
      pairs.emplace_back(zorvex::make_text(std::to_string(k)), v);
    }
    ASSERT_TRUE(index.ingest(pairs).ok());
    const std::size_t nq = 11;
    std::vector<float> queries(nq * d);
    for (float& e : queries) e = normal(rng);
    queries[3 * d] = std::numeric_limits<float>::quiet_NaN();
    for (Isa form : zorvex::detail::kIsas) {
      if (!zorvex::detail::isa_supported(form)) continue;
      SCOPED_TRACE(zorvex::detail::isa_name(form));
      for (std::uint64_t top_k : {std::uint64_t{1}, std::uint64_t{7}, std::uint64_t{1000}}) {
        auto batch = index.search_batch(queries.data(), nq, d, top_k, form);
        ASSERT_TRUE(batch.ok());
        for (std::size_t q = 0; q < nq; ++q) {
          auto one = index.search(std::span(queries.data() + q * d, d), top_k, form);
          ASSERT_TRUE(one.ok());
          ASSERT_EQ((*batch)[q].size(), one->size());
          for (std::size_t i = 0; i < one->size(); ++i) {
            EXPECT_EQ(*(*batch)[q][i].vector_id, *(*one)[i].vector_id);
            EXPECT_EQ(std::bit_cast<std::uint32_t>((*batch)[q][i].score),
                      std::bit_cast<std::uint32_t>((*one)[i].score));
          }
        }
      }
    }
  }
}

}  // namespace
