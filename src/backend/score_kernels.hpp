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
// wide forms (see score_group).
inline constexpr std::size_t kScoreStagger = 16;

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
