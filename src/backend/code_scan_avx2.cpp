// AVX2 forms of the code scans. Integer sums only: any grouping gives the
// portable form's result.
#include <immintrin.h>

#include <vector>

#include "backend/code_scan.hpp"

namespace zorvex::detail {

namespace {

// Byte-sized table values collect in 16-bit lanes; moved to 32-bit totals
// before 257 of them (at most 255 each) could overflow one.
constexpr std::size_t kFlushEvery = 256;

inline __m256i widen_lanes(__m256i acc16) {
  return _mm256_add_epi32(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(acc16)),
                          _mm256_cvtepu16_epi32(_mm256_extracti128_si256(acc16, 1)));
}

}  // namespace

// One step of the nibble scan over the 32 code bytes at offset OFF: split
// into index nibbles, look both up, add the words and their odd bytes.
#define ZORVEX_NIBBLE_STEP(OFF)            \
  "vmovdqu " OFF "(%[cp]), %[c]\n\t"      \
  "vmovdqu " OFF "(%[tp]), %[t]\n\t"      \
  "vpand %[low4], %[c], %[x]\n\t"         \
  "vpsrlw $4, %[c], %[c]\n\t"             \
  "vpand %[low4], %[c], %[c]\n\t"         \
  "vpshufb %[x], %[t], %[x]\n\t"          \
  "vpshufb %[c], %[t], %[y]\n\t"          \
  "vpaddw %[x], %[a0], %[a0]\n\t"         \
  "vpsrlw $8, %[x], %[x]\n\t"             \
  "vpaddw %[x], %[a1], %[a1]\n\t"         \
  "vpaddw %[y], %[a2], %[a2]\n\t"         \
  "vpsrlw $8, %[y], %[y]\n\t"             \
  "vpaddw %[y], %[a3], %[a3]\n\t"

void scan_nibbles_avx2(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                       const std::uint8_t* tables, std::uint32_t* sums) {
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  for (std::size_t b = 0; b < nblocks; ++b) {
    const std::uint8_t* row = blocks + b * groups * kNibbleRow;
    // Totals per (vector parity, half of the block): element p stands for
    // vector 2p (+1 when odd) (+16 in the high half).
    __m256i total[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                        _mm256_setzero_si256()};
    for (std::size_t j0 = 0; j0 < groups; j0 += 2 * kFlushEvery) {
      const std::size_t j1 = j0 + 2 * kFlushEvery < groups ? j0 + 2 * kFlushEvery : groups;
      __m256i acc[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                        _mm256_setzero_si256()};
      // Whole 16-bit words go in: (even + 256 odd) mod 2^16, with the odd
      // bytes summed apart, so even = word - 256 odd once per flush.
#if defined(__GNUC__)
      // The same steps as the loop below, four rows a turn, written out:
      // GCC 12 copies every accumulator once a step there, which cost a
      // fifth of the kernel's time. Row counts are multiples of 4.
      const std::uint8_t* cp = row + j0 * kNibbleRow;
      const std::uint8_t* tp = tables + j0 * 16;
      const std::uint8_t* const end = row + j1 * kNibbleRow;
      __m256i c, t, x, y;
      if (cp < end) {
        asm("1:\n\t"
            "prefetcht0 %c[ahead](%[cp])\n\t" ZORVEX_NIBBLE_STEP("0") ZORVEX_NIBBLE_STEP("32")
            "add $64, %[cp]\n\t"
            "add $64, %[tp]\n\t"
            "cmp %[end], %[cp]\n\t"
            "jb 1b"
            : [a0] "+x"(acc[0]), [a1] "+x"(acc[1]), [a2] "+x"(acc[2]), [a3] "+x"(acc[3]), [cp] "+r"(cp),
              [tp] "+r"(tp), [c] "=&x"(c), [t] "=&x"(t), [x] "=&x"(x), [y] "=&x"(y)
            : [low4] "x"(low4), [end] "r"(end), [ahead] "i"(kPrefetchAhead)
            : "cc", "memory");
      }
#else
      for (std::size_t j = j0; j < j1; j += 2) {
        _mm_prefetch(reinterpret_cast<const char*>(row + j * kNibbleRow + kPrefetchAhead), _MM_HINT_T0);
        const __m256i codes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j * kNibbleRow));
        const __m256i table = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tables + j * 16));
        const __m256i lo = _mm256_shuffle_epi8(table, _mm256_and_si256(codes, low4));
        const __m256i hi = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(codes, 4), low4));
        acc[0] = _mm256_add_epi16(acc[0], lo);
        acc[1] = _mm256_add_epi16(acc[1], _mm256_srli_epi16(lo, 8));
        acc[2] = _mm256_add_epi16(acc[2], hi);
        acc[3] = _mm256_add_epi16(acc[3], _mm256_srli_epi16(hi, 8));
      }
#endif
      acc[0] = _mm256_sub_epi16(acc[0], _mm256_slli_epi16(acc[1], 8));
      acc[2] = _mm256_sub_epi16(acc[2], _mm256_slli_epi16(acc[3], 8));
      for (int a = 0; a < 4; ++a) total[a] = _mm256_add_epi32(total[a], widen_lanes(acc[a]));
    }
    alignas(32) std::uint32_t t[4][8];
    for (int a = 0; a < 4; ++a) _mm256_store_si256(reinterpret_cast<__m256i*>(t[a]), total[a]);
    std::uint32_t* out = sums + b * kNibbleBlock;
    for (std::size_t p = 0; p < 8; ++p) {
      out[2 * p] = t[0][p];
      out[2 * p + 1] = t[1][p];
      out[16 + 2 * p] = t[2][p];
      out[16 + 2 * p + 1] = t[3][p];
    }
  }
}

// The 256 values are looked up without gathers (slow on many AVX2
// processors): sixteen 16-entry byte shuffles on the low nibble, one per
// high nibble, merged by a tree of byte blends on the high nibble's bits.
// Then value x weight in 16-bit products summed in pairs to 32 bits; a
// vector's sum is its two pair lanes added at the end of the block. The
// lookup does not depend on the query, so Q queries share it: it is most of
// the work.
namespace {

template <int Q>
void bytes(const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads, const std::int8_t* const* weights,
           const std::int8_t* values, std::int32_t* const* sums) {
  __m256i table[16];
  for (int h = 0; h < 16; ++h)
    table[h] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values + 16 * h)));
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  // Byte k of a row is coordinate k % 4 of its vector: the weights repeat
  // every four 16-bit lanes once widened.
  std::vector<std::int16_t> wide_weights(Q * quads * 16);
  for (int q = 0; q < Q; ++q)
    for (std::size_t i = 0; i < quads * 16; ++i)
      wide_weights[q * quads * 16 + i] = weights[q][4 * (i / 16) + i % 4];
  for (std::size_t b = 0; b < nblocks; ++b) {
    const std::uint8_t* row = blocks + b * quads * kByteRow;
    __m256i acc[Q][4];
    for (auto& a : acc)
      for (auto& v : a) v = _mm256_setzero_si256();
    for (std::size_t g = 0; g < quads; ++g, row += kByteRow) {
      _mm_prefetch(reinterpret_cast<const char*>(row + kPrefetchAhead), _MM_HINT_T0);
      for (int h = 0; h < 2; ++h) {
        const __m256i codes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 32 * h));
        const __m256i lo = _mm256_and_si256(codes, low4);
        // blendv reads bit 7: bit 4 + s of the code moved there.
        const __m256i m0 = _mm256_slli_epi16(codes, 3), m1 = _mm256_slli_epi16(codes, 2);
        const __m256i m2 = _mm256_slli_epi16(codes, 1);
        __m256i quarter[4];
        for (int r = 0; r < 4; ++r) {
          const __m256i a = _mm256_blendv_epi8(_mm256_shuffle_epi8(table[4 * r], lo),
                                               _mm256_shuffle_epi8(table[4 * r + 1], lo), m0);
          const __m256i c = _mm256_blendv_epi8(_mm256_shuffle_epi8(table[4 * r + 2], lo),
                                               _mm256_shuffle_epi8(table[4 * r + 3], lo), m0);
          quarter[r] = _mm256_blendv_epi8(a, c, m1);
        }
        const __m256i v = _mm256_blendv_epi8(_mm256_blendv_epi8(quarter[0], quarter[1], m2),
                                             _mm256_blendv_epi8(quarter[2], quarter[3], m2), codes);
        const __m256i v0 = _mm256_cvtepi8_epi16(_mm256_castsi256_si128(v));
        const __m256i v1 = _mm256_cvtepi8_epi16(_mm256_extracti128_si256(v, 1));
#pragma GCC unroll 4
        for (int q = 0; q < Q; ++q) {
          const __m256i w =
              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wide_weights.data() + (q * quads + g) * 16));
          acc[q][2 * h] = _mm256_add_epi32(acc[q][2 * h], _mm256_madd_epi16(v0, w));
          acc[q][2 * h + 1] = _mm256_add_epi32(acc[q][2 * h + 1], _mm256_madd_epi16(v1, w));
        }
      }
    }
    // acc[a] lane 2p + e: vector 4a + p, coordinates 2e and 2e + 1 of each four.
    for (int q = 0; q < Q; ++q) {
      alignas(32) std::int32_t t[4][8];
      for (int a = 0; a < 4; ++a) _mm256_store_si256(reinterpret_cast<__m256i*>(t[a]), acc[q][a]);
      std::int32_t* out = sums[q] + b * kByteBlock;
      for (int a = 0; a < 4; ++a)
        for (int p = 0; p < 4; ++p) out[4 * a + p] = t[a][2 * p] + t[a][2 * p + 1];
    }
  }
}

}  // namespace

void scan_bytes_avx2(const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                     const std::int8_t* weights, const std::int8_t* values, std::int32_t* sums) {
  bytes<1>(blocks, nblocks, quads, &weights, values, &sums);
}

void scan_bytes_multi_avx2(const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                           const std::int8_t* const* weights, const std::int8_t* values, std::int32_t* const* sums,
                           std::size_t nq) {
  // Eight at a time ran 3.5 times as fast per query as one at a time (Zen 3).
  std::size_t q = 0;
  for (; q + 8 <= nq; q += 8) bytes<8>(blocks, nblocks, quads, weights + q, values, sums + q);
  for (; q + 4 <= nq; q += 4) bytes<4>(blocks, nblocks, quads, weights + q, values, sums + q);
  for (; q < nq; ++q) bytes<1>(blocks, nblocks, quads, weights + q, values, sums + q);
}

std::size_t finish_scores_avx2(double a, double b, const std::int32_t* sums, const double* inv, std::size_t n,
                               float* out) {
  const __m256d va = _mm256_set1_pd(a), vb = _mm256_set1_pd(b), zero = _mm256_setzero_pd();
  std::size_t v = 0;
  for (; v + 4 <= n; v += 4) {
    const __m256d s = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + v)));
    const __m256d w = _mm256_loadu_pd(inv + v);
    const __m256d score = _mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(va, s), vb), w);
    const __m256d kept = _mm256_andnot_pd(_mm256_cmp_pd(w, zero, _CMP_EQ_OQ), score);
    _mm_storeu_ps(out + v, _mm256_cvtpd_ps(kept));
  }
  return v;
}

#undef ZORVEX_NIBBLE_STEP

}  // namespace zorvex::detail
