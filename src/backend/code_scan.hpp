#pragma once
// Integer scans of compressed codes against per-query tables.
//
// Every form (portable, AVX2, AVX-512) returns the same exact integer sums:
// integer addition does not depend on order, so the wide forms may add in
// any grouping, and the score built from a sum (code_index.hpp) is the same
// on every machine.
//
// Nibble codes (2- and 4-bit widths). The coordinates form "groups" of one
// 4-bit index each: at 4 bits a group is one coordinate, at 2 bits it is two
// (code of coordinate 2j in bits 0-1, of 2j+1 in bits 2-3). Vectors sit in
// blocks of kNibbleBlock = 32; a block holds `groups` rows of 16 bytes, where
// byte k of row j carries group j of vector k in its low nibble and of vector
// k + 16 in its high nibble. `groups` is a multiple of 4; the padding rows and
// codes are zero and their tables zero too. Tables: 16 unsigned bytes per
// group; the sum of a vector is the sum over groups of table[j][its index].
//
// Byte codes (8-bit width). Vectors sit in blocks of kByteBlock = 16; a block
// holds `quads` rows of 64 bytes, where bytes 4k..4k+3 of row g are the codes
// of coordinates 4g..4g+3 of vector k (padding coordinates carry code 0 and a
// query weight of 0). The sum of a vector is sum_i weight[i] * value[code_i],
// with signed 8-bit weights per coordinate and a signed 8-bit value per code.
#include <cstddef>
#include <cstdint>

#include "common/isa.hpp"

namespace zorvex::detail {

inline constexpr std::size_t kNibbleBlock = 32;
inline constexpr std::size_t kNibbleRow = 16;
inline constexpr std::size_t kByteBlock = 16;
inline constexpr std::size_t kByteRow = 64;
// How far ahead of its loads a wide scan asks for codes. The scans are fast
// enough that the hardware's own prefetching falls behind, and a request must
// be issued about one memory latency of streaming ahead (some 300 ns here) to
// keep enough lines in flight: on a Zen 4 EPYC a single-query 4-bit scan of
// 38 MB went from 620 to 960 queries/s moving this from 2 to 12 KiB (8 and 16
// KiB within 5% of it), the AVX2 form from 590 to 820. Only a hint: results
// are unchanged.
inline constexpr std::size_t kPrefetchAhead = 12288;

// Writes kNibbleBlock sums per block. Each table entry is at most 255.
void scan_nibbles(Isa form, const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                  const std::uint8_t* tables, std::uint32_t* sums);
// Writes kByteBlock sums per block. `weights` holds 4 * quads values;
// `values` 256. Weights and values lie in [-127, 127], so every sum of up to
// 16384 coordinates fits 32 bits with room to spare.
void scan_bytes(Isa form, const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                const std::int8_t* weights, const std::int8_t* values, std::int32_t* sums);

// The same for nq queries at once: query q's tables (weights) and sums at
// tables[q] (weights[q]) and sums[q]. Each row of codes is read once for
// several queries; every sum is the one the single-query scan gives.
void scan_nibbles_multi(Isa form, const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                        const std::uint8_t* const* tables, std::uint32_t* const* sums, std::size_t nq);
void scan_bytes_multi(Isa form, const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                      const std::int8_t* const* weights, const std::int8_t* values, std::int32_t* const* sums,
                      std::size_t nq);

// Whether the byte scan has a form of its own for `form`: its AVX-512 form
// needs VBMI and VNNI besides the base set, and runs the AVX2 form without them.
// The nibble scan's AVX-512 form uses them where the processor has them.
Isa byte_scan_form(Isa form);
bool has_vbmi_vnni();

// The scan's last step: out[v] = float((a * S_v + b) * inv[v]) in double,
// 0.0f where inv[v] is 0. Every form rounds each step alike (no fused
// multiply-add), so all give the same bits. Nibble sums stay below 2^31.
void finish_scores(Isa form, double a, double b, const std::uint32_t* sums, const double* inv, std::size_t n,
                   float* out);
void finish_scores(Isa form, double a, double b, const std::int32_t* sums, const double* inv, std::size_t n,
                   float* out);

// The forms (nibble: 32 sums a block; byte: 16).
void scan_nibbles_portable(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                           const std::uint8_t* tables, std::uint32_t* sums);
void scan_nibbles_avx2(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                       const std::uint8_t* tables, std::uint32_t* sums);
void scan_nibbles_avx512(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                         const std::uint8_t* tables, std::uint32_t* sums);
void scan_nibbles_avx512vbmi(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                             const std::uint8_t* tables, std::uint32_t* sums);
void scan_bytes_portable(const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                         const std::int8_t* weights, const std::int8_t* values, std::int32_t* sums);
void scan_bytes_avx2(const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                     const std::int8_t* weights, const std::int8_t* values, std::int32_t* sums);
void scan_bytes_avx512vbmi(const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                           const std::int8_t* weights, const std::int8_t* values, std::int32_t* sums);
// Whole fours (eights) only; return how many they wrote.
std::size_t finish_scores_avx2(double a, double b, const std::int32_t* sums, const double* inv, std::size_t n,
                               float* out);
std::size_t finish_scores_avx512(double a, double b, const std::int32_t* sums, const double* inv, std::size_t n,
                                 float* out);
// Several queries at once, in the forms that have such a kernel.
void scan_nibbles_multi_avx512(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                               const std::uint8_t* const* tables, std::uint32_t* const* sums, std::size_t nq);
void scan_nibbles_multi_avx512vbmi(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                                   const std::uint8_t* const* tables, std::uint32_t* const* sums, std::size_t nq);
void scan_bytes_multi_avx2(const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                           const std::int8_t* const* weights, const std::int8_t* values, std::int32_t* const* sums,
                           std::size_t nq);
void scan_bytes_multi_avx512vbmi(const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                                 const std::int8_t* const* weights, const std::int8_t* values,
                                 std::int32_t* const* sums, std::size_t nq);

}  // namespace zorvex::detail
