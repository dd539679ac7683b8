// AVX-512 forms of the codebook loops, sixteen values at a time. The
// arithmetic is the scalar one lane by lane (one subtraction, an absolute
// value, ordered compares), so the bytes match the baseline form.
// GCC 12 reports its own intrinsics' undefined pass-through operands as
// (maybe-)uninitialised once inlined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include "core/codec/codebook_kernels.hpp"

namespace zorvex::detail {
namespace {

// Entries by 32-bit lane index; every index is below N.
template <std::uint32_t N>
struct Lookup16;

template <>
struct Lookup16<4> {
  explicit Lookup16(const float* e) : t(_mm512_broadcast_f32x4(_mm_loadu_ps(e))) {}
  __m512 operator()(__m512i idx) const { return _mm512_permutexvar_ps(idx, t); }
  __m512 t;
};

template <>
struct Lookup16<16> {
  explicit Lookup16(const float* e) : t(_mm512_loadu_ps(e)) {}
  __m512 operator()(__m512i idx) const { return _mm512_permutexvar_ps(idx, t); }
  __m512 t;
};

template <>
struct Lookup16<256> {
  explicit Lookup16(const float* e) : e(e) {}
  __m512 operator()(__m512i idx) const { return _mm512_i32gather_ps(idx, e, 4); }
  const float* e;
};

inline __mmask16 above(__m512 v, __m512 entry) { return _mm512_cmp_ps_mask(v, entry, _CMP_GT_OQ); }

// Number of entries below each value (the prefix length of the defining
// scan), by counting compares over all entries.
template <std::uint32_t N>
struct CountBelow {
  explicit CountBelow(const float* e) {
    for (std::uint32_t k = 0; k < N; ++k) bcast[k] = _mm512_set1_ps(e[k]);
  }
  __m512i operator()(__m512 v) const {
    const __m512i one = _mm512_set1_epi32(1);
    __m512i c = _mm512_setzero_si512();
    for (std::uint32_t k = 0; k < N; ++k) c = _mm512_mask_add_epi32(c, above(v, bcast[k]), c, one);
    return c;
  }
  __m512 bcast[N];
};

// The same count by binary search. The first four halvings only visit
// entries 16t+15 and the fifth only 16t+7, so those come from registers.
template <>
struct CountBelow<256> {
  explicit CountBelow(const float* entries) : e(entries) {
    alignas(64) float p[16], q[16];
    for (int t = 0; t < 16; ++t) {
      p[t] = e[16 * t + 15];
      q[t] = e[16 * t + 7];
    }
    pivots = _mm512_load_ps(p);
    mids = _mm512_load_ps(q);
  }
  __m512i operator()(__m512 v) const {
    __m512i block = _mm512_setzero_si512();
    for (int half = 8; half > 0; half /= 2) {
      const __m512 g = _mm512_permutexvar_ps(_mm512_add_epi32(block, _mm512_set1_epi32(half - 1)), pivots);
      block = _mm512_mask_add_epi32(block, above(v, g), block, _mm512_set1_epi32(half));
    }
    __m512i base = _mm512_slli_epi32(block, 4);
    base = _mm512_mask_add_epi32(base, above(v, _mm512_permutexvar_ps(block, mids)), base, _mm512_set1_epi32(8));
    for (int half = 4; half > 0; half /= 2) {
      const __m512 g = _mm512_i32gather_ps(_mm512_add_epi32(base, _mm512_set1_epi32(half - 1)), e, 4);
      base = _mm512_mask_add_epi32(base, above(v, g), base, _mm512_set1_epi32(half));
    }
    const __m512 g = _mm512_i32gather_ps(base, e, 4);
    return _mm512_mask_add_epi32(base, above(v, g), base, _mm512_set1_epi32(1));
  }
  const float* e;
  __m512 pivots, mids;
};

template <std::uint32_t N>
void quantize_n(const float* e, const float* x, std::uint8_t* out, std::size_t count) {
  const CountBelow<N> count_below(e);
  const Lookup16<N> lookup(e);
  const __m512i last = _mm512_set1_epi32(static_cast<int>(N - 1));
  const __m512i one = _mm512_set1_epi32(1);
  const __m512i zero = _mm512_setzero_si512();

  std::size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m512 v = _mm512_loadu_ps(x + i);
    const __m512i hi = _mm512_min_epi32(count_below(v), last);
    const __m512i lo = _mm512_max_epi32(_mm512_sub_epi32(hi, one), zero);
    const __m512 d_lo = _mm512_abs_ps(_mm512_sub_ps(v, lookup(lo)));
    const __m512 d_hi = _mm512_abs_ps(_mm512_sub_ps(v, lookup(hi)));
    const __m512i pick = _mm512_mask_blend_epi32(_mm512_cmp_ps_mask(d_hi, d_lo, _CMP_GT_OQ), hi, lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm512_cvtepi32_epi8(pick));
  }
  for (; i < count; ++i) out[i] = quantize_one<N>(e, x[i]);
}

template <std::uint32_t N>
std::size_t dequantize_n(const float* e, const std::uint8_t* idx, float* out, std::size_t count) {
  const Lookup16<N> lookup(e);
  const __m512i last = _mm512_set1_epi32(static_cast<int>(N - 1));
  std::size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m512i k = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(idx + i)));
    if constexpr (N < 256) {
      const __mmask16 bad = _mm512_cmpgt_epu32_mask(k, last);
      if (bad != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(bad)));
    }
    _mm512_storeu_ps(out + i, lookup(k));
  }
  for (; i < count; ++i) {
    if (idx[i] >= N) return i;
    out[i] = e[idx[i]];
  }
  return count;
}

}  // namespace

void quantize_avx512(const float* e, std::uint32_t n, const float* x, std::uint8_t* out, std::size_t count) {
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

std::size_t dequantize_avx512(const float* e, std::uint32_t n, const std::uint8_t* idx, float* out,
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
