// AVX-512 forms of the rotation kernels. Separate multiply and add intrinsics
// only: this file is built with -mfma, but a fused step would change bits.
// GCC 12 reports its own intrinsics' undefined pass-through operands as
// (maybe-)uninitialised once inlined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>

#include "core/codec/rotation_apply.hpp"

namespace zorvex::detail {
namespace {

inline __mmask8 low_mask(std::size_t n) { return static_cast<__mmask8>((1u << n) - 1u); }

// Eight columns across eight rows, one vector per column (lane k = row k).
struct Columns8 {
  __m512d c0, c1, c2, c3, c4, c5, c6, c7;
};

// a0..a7 = rows at 8 consecutive columns -> their transpose. Written out
// (no arrays or loops) so that everything stays in registers.
[[gnu::always_inline]] inline Columns8 transpose8(__m512d a0, __m512d a1, __m512d a2, __m512d a3, __m512d a4,
                                                  __m512d a5, __m512d a6, __m512d a7) {
  const __m512i lo = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
  const __m512i hi = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
  // Even / odd columns of row pairs.
  const __m512d t0 = _mm512_unpacklo_pd(a0, a1), t1 = _mm512_unpackhi_pd(a0, a1);
  const __m512d t2 = _mm512_unpacklo_pd(a2, a3), t3 = _mm512_unpackhi_pd(a2, a3);
  const __m512d t4 = _mm512_unpacklo_pd(a4, a5), t5 = _mm512_unpackhi_pd(a4, a5);
  const __m512d t6 = _mm512_unpacklo_pd(a6, a7), t7 = _mm512_unpackhi_pd(a6, a7);
  // Rows 0-3 (u0..u3) and 4-7 (u4..u7) of columns {0,4}, {2,6}, {1,5}, {3,7}.
  const __m512d u0 = _mm512_permutex2var_pd(t0, lo, t2), u1 = _mm512_permutex2var_pd(t0, hi, t2);
  const __m512d u2 = _mm512_permutex2var_pd(t1, lo, t3), u3 = _mm512_permutex2var_pd(t1, hi, t3);
  const __m512d u4 = _mm512_permutex2var_pd(t4, lo, t6), u5 = _mm512_permutex2var_pd(t4, hi, t6);
  const __m512d u6 = _mm512_permutex2var_pd(t5, lo, t7), u7 = _mm512_permutex2var_pd(t5, hi, t7);
  return {_mm512_shuffle_f64x2(u0, u4, 0x44), _mm512_shuffle_f64x2(u2, u6, 0x44), _mm512_shuffle_f64x2(u1, u5, 0x44),
          _mm512_shuffle_f64x2(u3, u7, 0x44), _mm512_shuffle_f64x2(u0, u4, 0xEE), _mm512_shuffle_f64x2(u2, u6, 0xEE),
          _mm512_shuffle_f64x2(u1, u5, 0xEE), _mm512_shuffle_f64x2(u3, u7, 0xEE)};
}

// Rows p, p + stride, ..., p + 7 * stride at 8 consecutive columns.
[[gnu::always_inline]] inline Columns8 load_columns(const double* p, std::size_t stride) {
  return transpose8(_mm512_loadu_pd(p), _mm512_loadu_pd(p + stride), _mm512_loadu_pd(p + 2 * stride),
                    _mm512_loadu_pd(p + 3 * stride), _mm512_loadu_pd(p + 4 * stride),
                    _mm512_loadu_pd(p + 5 * stride), _mm512_loadu_pd(p + 6 * stride),
                    _mm512_loadu_pd(p + 7 * stride));
}

// Same with up to eight explicit rows and only the columns in the mask read.
[[gnu::always_inline]] inline Columns8 load_columns_masked(const double* const* r, std::size_t j, __mmask8 m) {
  return transpose8(_mm512_maskz_loadu_pd(m, r[0] + j), _mm512_maskz_loadu_pd(m, r[1] + j),
                    _mm512_maskz_loadu_pd(m, r[2] + j), _mm512_maskz_loadu_pd(m, r[3] + j),
                    _mm512_maskz_loadu_pd(m, r[4] + j), _mm512_maskz_loadu_pd(m, r[5] + j),
                    _mm512_maskz_loadu_pd(m, r[6] + j), _mm512_maskz_loadu_pd(m, r[7] + j));
}

// acc = acc + column * x, in column order: s = s + M[i][j] * x[j] per lane.
[[gnu::always_inline]] inline __m512d accumulate(__m512d acc, const Columns8& c, const double* x, std::size_t n) {
  const __m512d* cols[8] = {&c.c0, &c.c1, &c.c2, &c.c3, &c.c4, &c.c5, &c.c6, &c.c7};
  for (std::size_t t = 0; t < n; ++t) acc = _mm512_add_pd(acc, _mm512_mul_pd(*cols[t], _mm512_set1_pd(x[t])));
  return acc;
}

[[gnu::always_inline]] inline __m512d accumulate8(__m512d acc, const Columns8& c, const double* x) {
  acc = _mm512_add_pd(acc, _mm512_mul_pd(c.c0, _mm512_set1_pd(x[0])));
  acc = _mm512_add_pd(acc, _mm512_mul_pd(c.c1, _mm512_set1_pd(x[1])));
  acc = _mm512_add_pd(acc, _mm512_mul_pd(c.c2, _mm512_set1_pd(x[2])));
  acc = _mm512_add_pd(acc, _mm512_mul_pd(c.c3, _mm512_set1_pd(x[3])));
  acc = _mm512_add_pd(acc, _mm512_mul_pd(c.c4, _mm512_set1_pd(x[4])));
  acc = _mm512_add_pd(acc, _mm512_mul_pd(c.c5, _mm512_set1_pd(x[5])));
  acc = _mm512_add_pd(acc, _mm512_mul_pd(c.c6, _mm512_set1_pd(x[6])));
  acc = _mm512_add_pd(acc, _mm512_mul_pd(c.c7, _mm512_set1_pd(x[7])));
  return acc;
}

inline void store_rows(float* y, std::size_t rows, __m512d acc) {
  _mm256_mask_storeu_ps(y, low_mask(rows), _mm512_cvtpd_ps(acc));
}

// Sixteen full rows from i0, as two groups of eight lanes (one lane per row).
// The two groups are independent sums, which hides the addition latency.
void forward_rows16(const double* m, std::size_t d, const double* xd, float* y, std::size_t i0) {
  const double* base = m + i0 * d;
  const double* base8 = base + 8 * d;
  __m512d acc0 = _mm512_setzero_pd(), acc1 = _mm512_setzero_pd();
  std::size_t j = 0;
  for (; j + 8 <= d; j += 8) {
    const Columns8 c = load_columns(base + j, d);
    const Columns8 e = load_columns(base8 + j, d);
    acc0 = _mm512_add_pd(acc0, _mm512_mul_pd(c.c0, _mm512_set1_pd(xd[j])));
    acc1 = _mm512_add_pd(acc1, _mm512_mul_pd(e.c0, _mm512_set1_pd(xd[j])));
    acc0 = _mm512_add_pd(acc0, _mm512_mul_pd(c.c1, _mm512_set1_pd(xd[j + 1])));
    acc1 = _mm512_add_pd(acc1, _mm512_mul_pd(e.c1, _mm512_set1_pd(xd[j + 1])));
    acc0 = _mm512_add_pd(acc0, _mm512_mul_pd(c.c2, _mm512_set1_pd(xd[j + 2])));
    acc1 = _mm512_add_pd(acc1, _mm512_mul_pd(e.c2, _mm512_set1_pd(xd[j + 2])));
    acc0 = _mm512_add_pd(acc0, _mm512_mul_pd(c.c3, _mm512_set1_pd(xd[j + 3])));
    acc1 = _mm512_add_pd(acc1, _mm512_mul_pd(e.c3, _mm512_set1_pd(xd[j + 3])));
    acc0 = _mm512_add_pd(acc0, _mm512_mul_pd(c.c4, _mm512_set1_pd(xd[j + 4])));
    acc1 = _mm512_add_pd(acc1, _mm512_mul_pd(e.c4, _mm512_set1_pd(xd[j + 4])));
    acc0 = _mm512_add_pd(acc0, _mm512_mul_pd(c.c5, _mm512_set1_pd(xd[j + 5])));
    acc1 = _mm512_add_pd(acc1, _mm512_mul_pd(e.c5, _mm512_set1_pd(xd[j + 5])));
    acc0 = _mm512_add_pd(acc0, _mm512_mul_pd(c.c6, _mm512_set1_pd(xd[j + 6])));
    acc1 = _mm512_add_pd(acc1, _mm512_mul_pd(e.c6, _mm512_set1_pd(xd[j + 6])));
    acc0 = _mm512_add_pd(acc0, _mm512_mul_pd(c.c7, _mm512_set1_pd(xd[j + 7])));
    acc1 = _mm512_add_pd(acc1, _mm512_mul_pd(e.c7, _mm512_set1_pd(xd[j + 7])));
  }
  if (j < d) {
    const __mmask8 mask = low_mask(d - j);
    const double* r[16];
    for (std::size_t k = 0; k < 16; ++k) r[k] = base + k * d;
    acc0 = accumulate(acc0, load_columns_masked(r, j, mask), xd + j, d - j);
    acc1 = accumulate(acc1, load_columns_masked(r + 8, j, mask), xd + j, d - j);
  }
  store_rows(y + i0, 8, acc0);
  store_rows(y + i0 + 8, 8, acc1);
}

// Rows i0 .. i0+rows-1 (rows <= 8); the lanes past the last row repeat row
// i0 and are not stored.
void forward_rows8(const double* m, std::size_t d, const double* xd, float* y, std::size_t i0, std::size_t rows) {
  const double* r[8];
  for (std::size_t k = 0; k < 8; ++k) r[k] = m + (i0 + (k < rows ? k : 0)) * d;
  __m512d acc = _mm512_setzero_pd();
  std::size_t j = 0;
  for (; j + 8 <= d; j += 8) acc = accumulate8(acc, load_columns_masked(r, j, 0xFF), xd + j);
  if (j < d) acc = accumulate(acc, load_columns_masked(r, j, low_mask(d - j)), xd + j, d - j);
  store_rows(y + i0, rows, acc);
}

}  // namespace

void rotation_forward_avx512(const double* m, std::size_t d, const double* xd, float* y) {
  std::size_t i0 = 0;
  for (; i0 + 16 <= d; i0 += 16) forward_rows16(m, d, xd, y, i0);
  for (; i0 < d; i0 += 8) forward_rows8(m, d, xd, y, i0, std::min<std::size_t>(8, d - i0));
}

void rotation_inverse_avx512(const double* m, std::size_t d, const float* x, double* acc, float* y) {
  for (std::size_t j = 0; j < d; ++j) acc[j] = 0.0;
  const std::size_t full = d & ~std::size_t{7};
  const __mmask8 tail_mask = low_mask(d - full);
  std::size_t i = 0;
  for (; i + 4 <= d; i += 4) {
    const double* r0 = m + i * d;
    const double* r1 = r0 + d;
    const double* r2 = r1 + d;
    const double* r3 = r2 + d;
    const __m512d v0 = _mm512_set1_pd(x[i]), v1 = _mm512_set1_pd(x[i + 1]);
    const __m512d v2 = _mm512_set1_pd(x[i + 2]), v3 = _mm512_set1_pd(x[i + 3]);
    for (std::size_t j = 0; j < full; j += 8) {
      __m512d a = _mm512_loadu_pd(acc + j);
      a = _mm512_add_pd(_mm512_mul_pd(_mm512_loadu_pd(r0 + j), v0), a);
      a = _mm512_add_pd(_mm512_mul_pd(_mm512_loadu_pd(r1 + j), v1), a);
      a = _mm512_add_pd(_mm512_mul_pd(_mm512_loadu_pd(r2 + j), v2), a);
      a = _mm512_add_pd(_mm512_mul_pd(_mm512_loadu_pd(r3 + j), v3), a);
      _mm512_storeu_pd(acc + j, a);
    }
    if (full < d) {
      const std::size_t j = full;
      __m512d a = _mm512_maskz_loadu_pd(tail_mask, acc + j);
      a = _mm512_add_pd(_mm512_mul_pd(_mm512_maskz_loadu_pd(tail_mask, r0 + j), v0), a);
      a = _mm512_add_pd(_mm512_mul_pd(_mm512_maskz_loadu_pd(tail_mask, r1 + j), v1), a);
      a = _mm512_add_pd(_mm512_mul_pd(_mm512_maskz_loadu_pd(tail_mask, r2 + j), v2), a);
      a = _mm512_add_pd(_mm512_mul_pd(_mm512_maskz_loadu_pd(tail_mask, r3 + j), v3), a);
      _mm512_mask_storeu_pd(acc + j, tail_mask, a);
    }
  }
  for (; i < d; ++i) {
    const double* r = m + i * d;
    const __m512d v = _mm512_set1_pd(x[i]);
    for (std::size_t j = 0; j < full; j += 8)
      _mm512_storeu_pd(acc + j, _mm512_add_pd(_mm512_mul_pd(_mm512_loadu_pd(r + j), v), _mm512_loadu_pd(acc + j)));
    if (full < d) {
      const __m512d a = _mm512_add_pd(_mm512_mul_pd(_mm512_maskz_loadu_pd(tail_mask, r + full), v),
                                      _mm512_maskz_loadu_pd(tail_mask, acc + full));
      _mm512_mask_storeu_pd(acc + full, tail_mask, a);
    }
  }
  for (std::size_t j = 0; j < full; j += 8) _mm256_storeu_ps(y + j, _mm512_cvtpd_ps(_mm512_loadu_pd(acc + j)));
  if (full < d) _mm256_mask_storeu_ps(y + full, tail_mask, _mm512_cvtpd_ps(_mm512_maskz_loadu_pd(tail_mask, acc + full)));
}

}  // namespace zorvex::detail
