// AVX2 forms of the codebook loops, eight values at a time. The arithmetic is
// the scalar one lane by lane (one subtraction, an absolute value, ordered
// compares), so the bytes match the baseline form.
#include <immintrin.h>

#include "core/codec/codebook_kernels.hpp"

namespace zorvex::detail {
namespace {

// Entries by 32-bit lane index; every index is below N.
template <std::uint32_t N>
struct Lookup8;

template <>
struct Lookup8<4> {
  explicit Lookup8(const float* e) : t(_mm256_broadcast_ps(reinterpret_cast<const __m128*>(e))) {}
  __m256 operator()(__m256i idx) const { return _mm256_permutevar8x32_ps(t, idx); }
  __m256 t;
};

template <>
struct Lookup8<16> {
  explicit Lookup8(const float* e) : t0(_mm256_loadu_ps(e)), t1(_mm256_loadu_ps(e + 8)) {}
  __m256 operator()(__m256i idx) const {
    // The permute uses the low three bits; bit 3 picks the half (moved to the sign bit).
    const __m256 a = _mm256_permutevar8x32_ps(t0, idx);
    const __m256 b = _mm256_permutevar8x32_ps(t1, idx);
    return _mm256_blendv_ps(a, b, _mm256_castsi256_ps(_mm256_slli_epi32(idx, 28)));
  }
  __m256 t0, t1;
};

template <>
struct Lookup8<256> {
  explicit Lookup8(const float* e) : e(e) {}
  __m256 operator()(__m256i idx) const { return _mm256_i32gather_ps(e, idx, 4); }
  const float* e;
};

// Lanes set to -1 where value > entry.
inline __m256i above(__m256 v, __m256 entry) { return _mm256_castps_si256(_mm256_cmp_ps(v, entry, _CMP_GT_OQ)); }

// Number of entries below each value (the prefix length of the defining scan).
template <std::uint32_t N>
inline __m256i count_below(const float* e, const __m256* bcast, __m256 v) {
  if constexpr (N <= 16) {
    __m256i c = _mm256_setzero_si256();
    for (std::uint32_t k = 0; k < N; ++k) c = _mm256_sub_epi32(c, above(v, bcast[k]));
    return c;
  } else {
    // The first four halvings of the binary search only look at every 16th
    // entry: counting those 15 pivots gives the same block directly.
    __m256i c = _mm256_setzero_si256();
    for (std::uint32_t t = 0; t < 15; ++t) c = _mm256_sub_epi32(c, above(v, bcast[t]));
    __m256i base = _mm256_slli_epi32(c, 4);
    for (std::int32_t half = 8; half > 0; half /= 2) {
      const __m256 g = _mm256_i32gather_ps(e, _mm256_add_epi32(base, _mm256_set1_epi32(half - 1)), 4);
      base = _mm256_add_epi32(base, _mm256_and_si256(above(v, g), _mm256_set1_epi32(half)));
    }
    const __m256 g = _mm256_i32gather_ps(e, base, 4);
    return _mm256_sub_epi32(base, above(v, g));
  }
}

inline void store_bytes8(std::uint8_t* out, __m256i idx) {
  const __m128i w = _mm_packus_epi32(_mm256_castsi256_si128(idx), _mm256_extracti128_si256(idx, 1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(w, w));
}

template <std::uint32_t N>
void quantize_n(const float* e, const float* x, std::uint8_t* out, std::size_t count) {
  constexpr std::uint32_t kCompared = N <= 16 ? N : 15;
  __m256 bcast[kCompared];
  for (std::uint32_t k = 0; k < kCompared; ++k) bcast[k] = _mm256_set1_ps(N <= 16 ? e[k] : e[16 * k + 15]);
  const Lookup8<N> lookup(e);
  const __m256i last = _mm256_set1_epi32(static_cast<int>(N - 1));
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i zero = _mm256_setzero_si256();
  const __m256 sign = _mm256_set1_ps(-0.0f);

  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256 v = _mm256_loadu_ps(x + i);
    const __m256i hi = _mm256_min_epi32(count_below<N>(e, bcast, v), last);
    const __m256i lo = _mm256_max_epi32(_mm256_sub_epi32(hi, one), zero);
    const __m256 d_lo = _mm256_andnot_ps(sign, _mm256_sub_ps(v, lookup(lo)));
    const __m256 d_hi = _mm256_andnot_ps(sign, _mm256_sub_ps(v, lookup(hi)));
    const __m256i pick_lo = _mm256_castps_si256(_mm256_cmp_ps(d_hi, d_lo, _CMP_GT_OQ));
    store_bytes8(out + i, _mm256_blendv_epi8(hi, lo, pick_lo));
  }
  for (; i < count; ++i) out[i] = quantize_one<N>(e, x[i]);
}

template <std::uint32_t N>
std::size_t dequantize_n(const float* e, const std::uint8_t* idx, float* out, std::size_t count) {
  const Lookup8<N> lookup(e);
  const __m256i last = _mm256_set1_epi32(static_cast<int>(N - 1));
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256i k = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(idx + i)));
    if constexpr (N < 256) {
      const int bad = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(k, last)));
      if (bad != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(bad)));
    }
    _mm256_storeu_ps(out + i, lookup(k));
  }
  for (; i < count; ++i) {
    if (idx[i] >= N) return i;
    out[i] = e[idx[i]];
  }
  return count;
}

}  // namespace

void quantize_avx2(const float* e, std::uint32_t n, const float* x, std::uint8_t* out, std::size_t count) {
  switch (n) {
    case 4:
      return quantize_n<4>(e, x, out, count);
    case 16:
      return quantize_n<16>(e, x, out, count);
    case 256:
      return quantize_n<256>(e, x, out, count);
    default:
      return quantize_portable(e, n, x, out, count);
  }
}

std::size_t dequantize_avx2(const float* e, std::uint32_t n, const std::uint8_t* idx, float* out,
                            std::size_t count) {
  switch (n) {
    case 4:
      return dequantize_n<4>(e, idx, out, count);
    case 16:
      return dequantize_n<16>(e, idx, out, count);
    case 256:
      return dequantize_n<256>(e, idx, out, count);
    default:
      return dequantize_portable(e, n, idx, out, count);
  }
}

}  // namespace zorvex::detail
