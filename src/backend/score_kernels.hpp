#pragma once
// Cosine scores of one query against every stored vector.
//
// The score of x against v is fixed by one order of float operations:
// dot, xx and vv are sums from 0.0 over i = 0..d-1 in increasing order, each
// step (a + (x[i] * v[i])) with the product rounded first; denom =
// sqrt(xx * vv); score = 0.0 if x or v holds a NaN or denom == 0, else
// dot / denom. xx and the query's NaN flag are computed once per query, vv
// and each vector's NaN flag once at ingest, in that same order.
//
// Stored vectors sit in blocks of kScoreLanes interleaved by coordinate
// (element i of lane l at i * kScoreLanes + l), so the wide forms keep one
// lane per stored vector and never reorder a sum: every form gives the same
// bits.
#include <cstddef>
#include <cstdint>

#include "common/isa.hpp"

namespace zorvex::detail {

inline constexpr std::size_t kScoreLanes = 16;
// How many rows (cache lines) ahead of the current one the wide forms ask
// for: far enough to cover memory latency for every stream of a group.
inline constexpr std::size_t kScorePrefetchRows = 32;
// Rows by which each block of a group runs behind the one before it in the
// wide forms: in step, blocks of d * 64 bytes read lines at the same place in
// their pages at once, which measured about a fifth slower, whether the blocks
// lay back to back (a loaded file) or apart on the heap.
inline constexpr std::size_t kScoreStagger = 16;

// Asks for the row kScorePrefetchRows past row i of a block, or for the row
// of the next block (null: none) that many rows on.
[[gnu::always_inline]] inline void prefetch_ahead(const float* block, const float* next, std::size_t d,
                                                  std::size_t i) {
  const std::size_t r = i + kScorePrefetchRows;
  if (r < d) {
    __builtin_prefetch(block + r * kScoreLanes);
  } else if (next && r - d < d) {
    __builtin_prefetch(next + (r - d) * kScoreLanes);
  }
}

// Calls row(g, i) for every row i < d of blocks g < G, block g running
// kScoreStagger * g rows behind block 0, so each block's rows come in order.
template <int G, class Row>
[[gnu::always_inline]] inline void staggered_rows(std::size_t d, Row&& row) {
  constexpr std::size_t lag = (G - 1) * kScoreStagger;
  const auto some = [&](std::size_t t) {
    for (int g = 0; g < G; ++g) {
      const std::size_t behind = kScoreStagger * static_cast<std::size_t>(g);
      if (t >= behind && t - behind < d) row(g, t - behind);
    }
  };
  for (std::size_t t = 0; t < lag; ++t) some(t);
  for (std::size_t t = lag; t < d; ++t) {
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) row(g, t - kScoreStagger * static_cast<std::size_t>(g));
  }
  for (std::size_t t = lag > d ? lag : d; t < d + lag; ++t) some(t);
}

using ScoreKernel = Isa;
inline constexpr const Isa (&kScoreKernels)[3] = kIsas;
inline const char* score_kernel_name(Isa kernel) { return isa_name(kernel); }
inline bool score_kernel_supported(Isa kernel) { return isa_supported(kernel); }
inline Isa score_kernel_active() { return isa_best(); }

// The operands of one query: `nblocks` blocks of d * kScoreLanes floats, and
// per lane (kScoreLanes per block, block-major) the stored vector's vv and
// NaN flag (0 or 1). `x` holds no NaN. Writes kScoreLanes scores per block.
struct ScoreBlocks {
  const float* const* blocks;
  std::size_t nblocks;
  std::size_t d;
  const float* vv;
  const std::uint8_t* has_nan;
};

// Panics if the form is not supported here.
void score_blocks(ScoreKernel kernel, const ScoreBlocks& in, const float* x, float xx, float* out);

// score_blocks for nq queries at once: query q's scores go to outs[q]. Each
// block is read once for every few queries instead of once per query; every
// score is the one score_blocks gives.
void score_blocks_multi(ScoreKernel kernel, const ScoreBlocks& in, const float* const* xs, const float* xx,
                        std::size_t nq, float* const* outs);

// The defining sequential sum of squares, and the NaN scan.
float sum_of_squares(const float* v, std::size_t d);
bool any_nan(const float* v, std::size_t d);

// The forms.
void score_blocks_portable(const ScoreBlocks& in, const float* x, float xx, float* out);
void score_blocks_avx2(const ScoreBlocks& in, const float* x, float xx, float* out);
void score_blocks_avx512(const ScoreBlocks& in, const float* x, float xx, float* out);
void score_blocks_multi_avx2(const ScoreBlocks& in, const float* const* xs, const float* xx, std::size_t nq,
                             float* const* outs);
void score_blocks_multi_avx512(const ScoreBlocks& in, const float* const* xs, const float* xx, std::size_t nq,
                               float* const* outs);

}  // namespace zorvex::detail
