// AVX2 forms of the rotation kernels. Separate multiply and add intrinsics
// only: this file is built with -mfma, but a fused step would change bits.
#include <immintrin.h>

#include <algorithm>

#include "core/codec/rotation_apply.hpp"

namespace zorvex::detail {
namespace {

// Four columns across four rows, one vector per column (lane k = row k).
struct Columns4 {
  __m256d c0, c1, c2, c3;
};

[[gnu::always_inline]] inline Columns4 transpose4(__m256d a0, __m256d a1, __m256d a2, __m256d a3) {
  const __m256d t0 = _mm256_unpacklo_pd(a0, a1);  // r0[0] r1[0] r0[2] r1[2]
  const __m256d t1 = _mm256_unpackhi_pd(a0, a1);  // r0[1] r1[1] r0[3] r1[3]
  const __m256d t2 = _mm256_unpacklo_pd(a2, a3);
  const __m256d t3 = _mm256_unpackhi_pd(a2, a3);
  return {_mm256_permute2f128_pd(t0, t2, 0x20), _mm256_permute2f128_pd(t1, t3, 0x20),
          _mm256_permute2f128_pd(t0, t2, 0x31), _mm256_permute2f128_pd(t1, t3, 0x31)};
}

// Rows p, p + stride, p + 2 stride, p + 3 stride at 4 consecutive columns.
[[gnu::always_inline]] inline Columns4 load_columns(const double* p, std::size_t stride) {
  return transpose4(_mm256_loadu_pd(p), _mm256_loadu_pd(p + stride), _mm256_loadu_pd(p + 2 * stride),
                    _mm256_loadu_pd(p + 3 * stride));
}

// s = s + M[i][j] * x[j] for four columns in order, one lane per row.
[[gnu::always_inline]] inline __m256d accumulate4(__m256d acc, const Columns4& c, const double* x) {
  acc = _mm256_add_pd(acc, _mm256_mul_pd(c.c0, _mm256_broadcast_sd(x)));
  acc = _mm256_add_pd(acc, _mm256_mul_pd(c.c1, _mm256_broadcast_sd(x + 1)));
  acc = _mm256_add_pd(acc, _mm256_mul_pd(c.c2, _mm256_broadcast_sd(x + 2)));
  acc = _mm256_add_pd(acc, _mm256_mul_pd(c.c3, _mm256_broadcast_sd(x + 3)));
  return acc;
}

// One column j for the four rows p, p + stride, ... (column tails).
[[gnu::always_inline]] inline __m256d column(const double* p, std::size_t stride) {
  return _mm256_set_pd(p[3 * stride], p[2 * stride], p[stride], p[0]);
}

// Rows i0 .. i0+7 as two groups of four lanes: two independent sums per step
// hide the addition latency.
void forward_rows8(const double* m, std::size_t d, const double* xd, float* y, std::size_t i0) {
  const double* base = m + i0 * d;
  const double* base4 = base + 4 * d;
  __m256d acc0 = _mm256_setzero_pd(), acc1 = _mm256_setzero_pd();
  std::size_t j = 0;
  for (; j + 4 <= d; j += 4) {
    const Columns4 c = load_columns(base + j, d);
    const Columns4 e = load_columns(base4 + j, d);
    acc0 = _mm256_add_pd(acc0, _mm256_mul_pd(c.c0, _mm256_broadcast_sd(xd + j)));
    acc1 = _mm256_add_pd(acc1, _mm256_mul_pd(e.c0, _mm256_broadcast_sd(xd + j)));
    acc0 = _mm256_add_pd(acc0, _mm256_mul_pd(c.c1, _mm256_broadcast_sd(xd + j + 1)));
    acc1 = _mm256_add_pd(acc1, _mm256_mul_pd(e.c1, _mm256_broadcast_sd(xd + j + 1)));
    acc0 = _mm256_add_pd(acc0, _mm256_mul_pd(c.c2, _mm256_broadcast_sd(xd + j + 2)));
    acc1 = _mm256_add_pd(acc1, _mm256_mul_pd(e.c2, _mm256_broadcast_sd(xd + j + 2)));
    acc0 = _mm256_add_pd(acc0, _mm256_mul_pd(c.c3, _mm256_broadcast_sd(xd + j + 3)));
    acc1 = _mm256_add_pd(acc1, _mm256_mul_pd(e.c3, _mm256_broadcast_sd(xd + j + 3)));
  }
  for (; j < d; ++j) {
    const __m256d v = _mm256_broadcast_sd(xd + j);
    acc0 = _mm256_add_pd(acc0, _mm256_mul_pd(column(base + j, d), v));
    acc1 = _mm256_add_pd(acc1, _mm256_mul_pd(column(base4 + j, d), v));
  }
  _mm_storeu_ps(y + i0, _mm256_cvtpd_ps(acc0));
  _mm_storeu_ps(y + i0 + 4, _mm256_cvtpd_ps(acc1));
}

// Rows i0 .. i0+rows-1 (rows <= 4); lanes past the last row repeat row i0 and
// are not stored.
void forward_rows4(const double* m, std::size_t d, const double* xd, float* y, std::size_t i0, std::size_t rows) {
  const double* r[4];
  for (std::size_t k = 0; k < 4; ++k) r[k] = m + (i0 + (k < rows ? k : 0)) * d;
  __m256d acc = _mm256_setzero_pd();
  std::size_t j = 0;
  for (; j + 4 <= d; j += 4)
    acc = accumulate4(acc,
                      transpose4(_mm256_loadu_pd(r[0] + j), _mm256_loadu_pd(r[1] + j), _mm256_loadu_pd(r[2] + j),
                                 _mm256_loadu_pd(r[3] + j)),
                      xd + j);
  for (; j < d; ++j)
    acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_set_pd(r[3][j], r[2][j], r[1][j], r[0][j]), _mm256_broadcast_sd(xd + j)));
  alignas(16) float out[4];
  _mm_store_ps(out, _mm256_cvtpd_ps(acc));
  std::copy(out, out + rows, y + i0);
}

}  // namespace

void rotation_forward_avx2(const double* m, std::size_t d, const double* xd, float* y) {
  std::size_t i0 = 0;
  for (; i0 + 8 <= d; i0 += 8) forward_rows8(m, d, xd, y, i0);
  for (; i0 < d; i0 += 4) forward_rows4(m, d, xd, y, i0, std::min<std::size_t>(4, d - i0));
}

void rotation_inverse_avx2(const double* m, std::size_t d, const float* x, double* acc, float* y) {
  for (std::size_t j = 0; j < d; ++j) acc[j] = 0.0;
  std::size_t i = 0;
  for (; i + 4 <= d; i += 4) {
    const double* r0 = m + i * d;
    const double* r1 = r0 + d;
    const double* r2 = r1 + d;
    const double* r3 = r2 + d;
    const double s0 = x[i], s1 = x[i + 1], s2 = x[i + 2], s3 = x[i + 3];
    const __m256d v0 = _mm256_set1_pd(s0), v1 = _mm256_set1_pd(s1);
    const __m256d v2 = _mm256_set1_pd(s2), v3 = _mm256_set1_pd(s3);
    std::size_t j = 0;
    for (; j + 4 <= d; j += 4) {
      __m256d a = _mm256_loadu_pd(acc + j);
      a = _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(r0 + j), v0), a);
      a = _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(r1 + j), v1), a);
      a = _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(r2 + j), v2), a);
      a = _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(r3 + j), v3), a);
      _mm256_storeu_pd(acc + j, a);
    }
    for (; j < d; ++j) {
      double a = acc[j];
      a = r0[j] * s0 + a;
      a = r1[j] * s1 + a;
      a = r2[j] * s2 + a;
      a = r3[j] * s3 + a;
      acc[j] = a;
    }
  }
  for (; i < d; ++i) {
    const double* r = m + i * d;
    const double s = x[i];
    const __m256d v = _mm256_set1_pd(s);
    std::size_t j = 0;
    for (; j + 4 <= d; j += 4)
      _mm256_storeu_pd(acc + j, _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(r + j), v), _mm256_loadu_pd(acc + j)));
    for (; j < d; ++j) acc[j] = r[j] * s + acc[j];
  }
  std::size_t j = 0;
  for (; j + 4 <= d; j += 4) _mm_storeu_ps(y + j, _mm256_cvtpd_ps(_mm256_loadu_pd(acc + j)));
  for (; j < d; ++j) y[j] = static_cast<float>(acc[j]);
}

}  // namespace zorvex::detail
