#include "core/codec/fdlibm.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

// Transcribed from the fdlibm 5.3 sources' algorithms (e_log.c, k_sin.c,
// k_cos.c, s_sin.c, s_cos.c, e_rem_pio2.c, k_rem_pio2.c), including their
// evaluation order: every operation below is part of the result's bits.
// The hexadecimal comments are the constants' IEEE encodings.

namespace zorvex::fdlibm {
namespace {

inline std::int32_t high_word(double x) {
  return static_cast<std::int32_t>(std::bit_cast<std::uint64_t>(x) >> 32);
}
inline std::uint32_t low_word(double x) { return static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(x)); }
inline double from_words(std::uint32_t hi, std::uint32_t lo) {
  return std::bit_cast<double>((static_cast<std::uint64_t>(hi) << 32) | lo);
}
inline double with_high_word(double x, std::uint32_t hi) { return from_words(hi, low_word(x)); }

constexpr double kZero = 0.0;
constexpr double kOne = 1.0;
constexpr double kHalf = 0.5;
constexpr double kTwo24 = 1.67772160000000000000e+07;   // 0x41700000 00000000
constexpr double kTwon24 = 5.96046447753906250000e-08;  // 0x3E700000 00000000

// ---- logarithm ----
constexpr double ln2_hi = 6.93147180369123816490e-01;  // 0x3FE62E42 FEE00000
constexpr double ln2_lo = 1.90821492927058770002e-10;  // 0x3DEA39EF 35793C76
constexpr double two54 = 1.80143985094819840000e+16;   // 0x43500000 00000000
constexpr double Lg1 = 6.666666666666735130e-01;       // 0x3FE55555 55555593
constexpr double Lg2 = 3.999999999940941908e-01;       // 0x3FD99999 9997FA04
constexpr double Lg3 = 2.857142874366239149e-01;       // 0x3FD24924 94229359
constexpr double Lg4 = 2.222219843214978396e-01;       // 0x3FCC71C5 1D8E78AF
constexpr double Lg5 = 1.818357216161805012e-01;       // 0x3FC74664 96CB03DE
constexpr double Lg6 = 1.531383769920937332e-01;       // 0x3FC39A09 D078C69F
constexpr double Lg7 = 1.479819860511658591e-01;       // 0x3FC2F112 DF3E5244

// ---- sine / cosine kernels ----
constexpr double S1 = -1.66666666666666324348e-01;  // 0xBFC55555 55555549
constexpr double S2 = 8.33333333332248946124e-03;   // 0x3F811111 1110F8A6
constexpr double S3 = -1.98412698298579493134e-04;  // 0xBF2A01A0 19C161D5
constexpr double S4 = 2.75573137070700676789e-06;   // 0x3EC71DE3 57B1FE7D
constexpr double S5 = -2.50507602534068634195e-08;  // 0xBE5AE5E6 8A2B9CEB
constexpr double S6 = 1.58969099521155010221e-10;   // 0x3DE5D93A 5ACFD57C

constexpr double C1 = 4.16666666666666019037e-02;   // 0x3FA55555 5555554C
constexpr double C2 = -1.38888888888741095749e-03;  // 0xBF56C16C 16C15177
constexpr double C3 = 2.48015872894767294178e-05;   // 0x3EFA01A0 19CB1590
constexpr double C4 = -2.75573143513906633035e-07;  // 0xBE927E4F 809C52AD
constexpr double C5 = 2.08757232129817482790e-09;   // 0x3E21EE9E BDB4B1C4
constexpr double C6 = -1.13596475577881948265e-11;  // 0xBDA8FAE9 BE8838D4

// ---- argument reduction ----
// 2/pi in 24-bit pieces, enough for the largest double.
constexpr std::int32_t two_over_pi[] = {
    0xA2F983, 0x6E4E44, 0x1529FC, 0x2757D1, 0xF534DD, 0xC0DB62, 0x95993C, 0x439041, 0xFE5163, 0xABDEBB, 0xC561B7,
    0x246E3A, 0x424DD2, 0xE00649, 0x2EEA09, 0xD1921C, 0xFE1DEB, 0x1CB129, 0xA73EE8, 0x8235F5, 0x2EBB44, 0x84E99C,
    0x7026B4, 0x5F7E41, 0x3991D6, 0x398353, 0x39F49C, 0x845F8B, 0xBDF928, 0x3B1FF8, 0x97FFDE, 0x05980F, 0xEF2F11,
    0x8B5A0A, 0x6D1F6D, 0x367ECF, 0x27CB09, 0xB74F46, 0x3F669E, 0x5FEA2D, 0x7527BA, 0xC7EBE5, 0xF17B3D, 0x0739F7,
    0x8A5292, 0xEA6BFB, 0x5FB11F, 0x8D5D08, 0x560330, 0x46FC7B, 0x6BABF0, 0xCFBC20, 0x9AF436, 0x1DA9E3, 0x91615E,
    0xE61B08, 0x659985, 0x5F14A0, 0x68408D, 0xFFD880, 0x4D7327, 0x310606, 0x1556CA, 0x73A8C9, 0x60E27B, 0xC08C6B,
};
// High words of n*pi/2 for n = 1..32: near these the quick path may cancel.
constexpr std::int32_t npio2_hw[] = {
    0x3FF921FB, 0x400921FB, 0x4012D97C, 0x401921FB, 0x401F6A7A, 0x4022D97C, 0x4025FDBB, 0x402921FB,
    0x402C463A, 0x402F6A7A, 0x4031475C, 0x4032D97C, 0x40346B9C, 0x4035FDBB, 0x40378FDB, 0x403921FB,
    0x403AB41B, 0x403C463A, 0x403DD85A, 0x403F6A7A, 0x40407E4C, 0x4041475C, 0x4042106C, 0x4042D97C,
    0x4043A28C, 0x40446B9C, 0x404534AC, 0x4045FDBB, 0x4046C6CB, 0x40478FDB, 0x404858EB, 0x404921FB,
};
constexpr double invpio2 = 6.36619772367581382433e-01;  // 0x3FE45F30 6DC9C883
constexpr double pio2_1 = 1.57079632673412561417e+00;   // 0x3FF921FB 54400000
constexpr double pio2_1t = 6.07710050650619224932e-11;  // 0x3DD0B461 1A626331
constexpr double pio2_2 = 6.07710050630396597660e-11;   // 0x3DD0B461 1A600000
constexpr double pio2_2t = 2.02226624879595063154e-21;  // 0x3BA3198A 2E037073
constexpr double pio2_3 = 2.02226624871116645580e-21;   // 0x3BA3198A 2E000000
constexpr double pio2_3t = 8.47842766036889956997e-32;  // 0x397B839A 252049C1

// pi/2 in 24-bit pieces.
constexpr double PIo2[] = {
    1.57079625129699707031e+00,  // 0x3FF921FB 40000000
    7.54978941586159635335e-08,  // 0x3E74442D 00000000
    5.39030252995776476554e-15,  // 0x3CF84698 80000000
    3.28200341580791294123e-22,  // 0x3B78CC51 60000000
    1.27065575308067607349e-29,  // 0x39F01B83 80000000
    1.22933308981111328932e-36,  // 0x387A2520 40000000
    2.73370053816464559624e-44,  // 0x36E38222 80000000
    2.16741683877804819444e-51,  // 0x3569F31D 00000000
};

// Reduction of a huge argument given as up to three 24-bit pieces tx[0..nx)
// times 2^e0 (only the two-double result precision is needed here).
int kernel_rem_pio2(const double* x, double* y, int e0, int nx) {
  constexpr int jk = 4;  // terms of 2/pi used initially for a 2-double result
  constexpr int jp = jk;
  int iq[20] = {};
  double f[20] = {}, fq[20] = {}, q[20] = {};

  const int jx = nx - 1;
  int jv = (e0 - 3) / 24;
  if (jv < 0) jv = 0;
  int q0 = e0 - 24 * (jv + 1);

  // f[0..jx+jk] = two_over_pi[jv-jx .. jv+jk]
  int j = jv - jx;
  const int m = jx + jk;
  for (int i = 0; i <= m; i++, j++) f[i] = (j < 0) ? kZero : static_cast<double>(two_over_pi[j]);

  for (int i = 0; i <= jk; i++) {
    double fw = 0.0;
    for (j = 0; j <= jx; j++) fw += x[j] * f[jx + i - j];
    q[i] = fw;
  }

  int jz = jk;
  double z;
  int n;
  int ih;
  for (;;) {
    // Distill q[] into 24-bit integers, most significant last.
    int i = 0;
    j = jz;
    z = q[jz];
    for (; j > 0; i++, j--) {
      const double fw = static_cast<double>(static_cast<int>(kTwon24 * z));
      iq[i] = static_cast<int>(z - kTwo24 * fw);
      z = q[j - 1] + fw;
    }

    z = std::scalbn(z, q0);
    z -= 8.0 * std::floor(z * 0.125);  // keep n modulo 8
    n = static_cast<int>(z);
    z -= static_cast<double>(n);
    ih = 0;
    if (q0 > 0) {  // iq[jz-1] holds integer bits too
      i = (iq[jz - 1] >> (24 - q0));
      n += i;
      iq[jz - 1] -= i << (24 - q0);
      ih = iq[jz - 1] >> (23 - q0);
    } else if (q0 == 0) {
      ih = iq[jz - 1] >> 23;
    } else if (z >= 0.5) {
      ih = 2;
    }

    if (ih > 0) {  // fraction above one half: take 1 - fraction
      n += 1;
      int carry = 0;
      for (i = 0; i < jz; i++) {
        j = iq[i];
        if (carry == 0) {
          if (j != 0) {
            carry = 1;
            iq[i] = 0x1000000 - j;
          }
        } else {
          iq[i] = 0xffffff - j;
        }
      }
      if (q0 > 0) {
        switch (q0) {
          case 1:
            iq[jz - 1] &= 0x7fffff;
            break;
          case 2:
            iq[jz - 1] &= 0x3fffff;
            break;
        }
      }
      if (ih == 2) {
        z = kOne - z;
        if (carry != 0) z -= std::scalbn(kOne, q0);
      }
    }

    // Massive cancellation: bring in more bits of 2/pi and start again.
    if (z == kZero) {
      j = 0;
      for (i = jz - 1; i >= jk; i--) j |= iq[i];
      if (j == 0) {
        int k = 1;
        while (iq[jk - k] == 0) k++;
        for (i = jz + 1; i <= jz + k; i++) {
          f[jx + i] = static_cast<double>(two_over_pi[jv + i]);
          double fw = 0.0;
          for (j = 0; j <= jx; j++) fw += x[j] * f[jx + i - j];
          q[i] = fw;
        }
        jz += k;
        continue;
      }
    }
    break;
  }

  // Drop zero pieces at the end, or split the remaining fraction into 24 bits.
  if (z == 0.0) {
    jz -= 1;
    q0 -= 24;
    while (iq[jz] == 0) {
      jz--;
      q0 -= 24;
    }
  } else {
    z = std::scalbn(z, -q0);
    if (z >= kTwo24) {
      const double fw = static_cast<double>(static_cast<int>(kTwon24 * z));
      iq[jz] = static_cast<int>(z - kTwo24 * fw);
      jz += 1;
      q0 += 24;
      iq[jz] = static_cast<int>(fw);
    } else {
      iq[jz] = static_cast<int>(z);
    }
  }

  double fw = std::scalbn(kOne, q0);
  for (int i = jz; i >= 0; i--) {
    q[i] = fw * static_cast<double>(iq[i]);
    fw *= kTwon24;
  }

  for (int i = jz; i >= 0; i--) {
    fw = 0.0;
    for (int k = 0; k <= jp && k <= jz - i; k++) fw += PIo2[k] * q[i + k];
    fq[jz - i] = fw;
  }

  fw = 0.0;
  for (int i = jz; i >= 0; i--) fw += fq[i];
  y[0] = (ih == 0) ? fw : -fw;
  fw = fq[0] - fw;
  for (int i = 1; i <= jz; i++) fw += fq[i];
  y[1] = (ih == 0) ? fw : -fw;
  return n & 7;
}

}  // namespace

int rem_pio2(double x, double y[2]) {
  const std::int32_t hx = high_word(x);
  const std::int32_t ix = hx & 0x7fffffff;
  if (ix <= 0x3fe921fb) {  // |x| ~<= pi/4
    y[0] = x;
    y[1] = 0;
    return 0;
  }
  if (ix < 0x4002d97c) {  // |x| < 3pi/4: n = +-1
    double z;
    if (hx > 0) {
      z = x - pio2_1;
      if (ix != 0x3ff921fb) {  // 33+53 bits of pi/2 suffice
        y[0] = z - pio2_1t;
        y[1] = (z - y[0]) - pio2_1t;
      } else {  // near pi/2: 33+33+53 bits
        z -= pio2_2;
        y[0] = z - pio2_2t;
        y[1] = (z - y[0]) - pio2_2t;
      }
      return 1;
    }
    z = x + pio2_1;
    if (ix != 0x3ff921fb) {
      y[0] = z + pio2_1t;
      y[1] = (z - y[0]) + pio2_1t;
    } else {
      z += pio2_2;
      y[0] = z + pio2_2t;
      y[1] = (z - y[0]) + pio2_2t;
    }
    return -1;
  }
  if (ix <= 0x413921fb) {  // |x| ~<= 2^19*(pi/2): medium size
    double t = std::fabs(x);
    const int n = static_cast<int>(t * invpio2 + kHalf);
    const double fn = static_cast<double>(n);
    double r = t - fn * pio2_1;
    double w = fn * pio2_1t;  // first round, good to 85 bits
    if (n < 32 && ix != npio2_hw[n - 1]) {
      y[0] = r - w;  // no cancellation possible
    } else {
      const int j = ix >> 20;
      y[0] = r - w;
      int i = j - ((high_word(y[0]) >> 20) & 0x7ff);
      if (i > 16) {  // second round, good to 118 bits
        t = r;
        w = fn * pio2_2;
        r = t - w;
        w = fn * pio2_2t - ((t - r) - w);
        y[0] = r - w;
        i = j - ((high_word(y[0]) >> 20) & 0x7ff);
        if (i > 49) {  // third round, 151 bits: covers every case
          t = r;
          w = fn * pio2_3;
          r = t - w;
          w = fn * pio2_3t - ((t - r) - w);
          y[0] = r - w;
        }
      }
    }
    y[1] = (r - y[0]) - w;
    if (hx < 0) {
      y[0] = -y[0];
      y[1] = -y[1];
      return -n;
    }
    return n;
  }
  if (ix >= 0x7ff00000) {  // inf or NaN
    y[0] = y[1] = x - x;
    return 0;
  }
  // z = |x| scaled to [2^23, 2^24), cut into three 24-bit pieces.
  const int e0 = (ix >> 20) - 1046;
  double z = from_words(static_cast<std::uint32_t>(ix - e0 * (1 << 20)), low_word(x));
  double tx[3];
  for (int i = 0; i < 2; i++) {
    tx[i] = static_cast<double>(static_cast<int>(z));
    z = (z - tx[i]) * kTwo24;
  }
  tx[2] = z;
  int nx = 3;
  while (tx[nx - 1] == kZero) nx--;
  const int n = kernel_rem_pio2(tx, y, e0, nx);
  if (hx < 0) {
    y[0] = -y[0];
    y[1] = -y[1];
    return -n;
  }
  return n;
}

double kernel_sin(double x, double y, int iy) {
  const std::int32_t ix = high_word(x) & 0x7fffffff;
  if (ix < 0x3e400000) {  // |x| < 2^-27
    if (static_cast<int>(x) == 0) return x;
  }
  const double z = x * x;
  const double v = z * x;
  const double r = S2 + z * (S3 + z * (S4 + z * (S5 + z * S6)));
  if (iy == 0) return x + v * (S1 + z * r);
  return x - ((z * (kHalf * y - v * r) - y) - v * S1);
}

double kernel_cos(double x, double y) {
  const std::int32_t ix = high_word(x) & 0x7fffffff;
  if (ix < 0x3e400000) {  // |x| < 2^-27
    if (static_cast<int>(x) == 0) return kOne;
  }
  const double z = x * x;
  const double r = z * (C1 + z * (C2 + z * (C3 + z * (C4 + z * (C5 + z * C6)))));
  if (ix < 0x3FD33333) return kOne - (0.5 * z - (z * r - x * y));  // |x| < 0.3
  double qx;
  if (ix > 0x3fe90000) {  // |x| > 0.78125
    qx = 0.28125;
  } else {
    qx = from_words(static_cast<std::uint32_t>(ix - 0x00200000), 0);  // |x|/4, truncated
  }
  const double hz = 0.5 * z - qx;
  const double a = kOne - qx;
  return a - (hz - (z * r - x * y));
}

double sin(double x) {
  const std::int32_t ix = high_word(x) & 0x7fffffff;
  if (ix <= 0x3fe921fb) return kernel_sin(x, 0.0, 0);
  if (ix >= 0x7ff00000) return x - x;
  double y[2];
  const int n = rem_pio2(x, y);
  switch (n & 3) {
    case 0:
      return kernel_sin(y[0], y[1], 1);
    case 1:
      return kernel_cos(y[0], y[1]);
    case 2:
      return -kernel_sin(y[0], y[1], 1);
    default:
      return -kernel_cos(y[0], y[1]);
  }
}

double cos(double x) {
  const std::int32_t ix = high_word(x) & 0x7fffffff;
  if (ix <= 0x3fe921fb) return kernel_cos(x, 0.0);
  if (ix >= 0x7ff00000) return x - x;
  double y[2];
  const int n = rem_pio2(x, y);
  switch (n & 3) {
    case 0:
      return kernel_cos(y[0], y[1]);
    case 1:
      return -kernel_sin(y[0], y[1], 1);
    case 2:
      return -kernel_cos(y[0], y[1]);
    default:
      return kernel_sin(y[0], y[1], 1);
  }
}

double log(double x) {
  std::int32_t hx = high_word(x);
  const std::uint32_t lx = low_word(x);

  int k = 0;
  if (hx < 0x00100000) {  // x < 2^-1022 (or negative)
    if (((hx & 0x7fffffff) | lx) == 0) return -two54 / kZero;  // log(+-0) = -inf
    if (hx < 0) return (x - x) / kZero;                          // log(negative) = NaN
    k -= 54;
    x *= two54;  // subnormal: scale into the normal range
    hx = high_word(x);
  }
  if (hx >= 0x7ff00000) return x + x;
  k += (hx >> 20) - 1023;
  hx &= 0x000fffff;
  int i = (hx + 0x95f64) & 0x100000;
  x = with_high_word(x, static_cast<std::uint32_t>(hx | (i ^ 0x3ff00000)));  // x or x/2 in [sqrt(2)/2, sqrt(2))
  k += (i >> 20);
  const double f = x - 1.0;
  double dk;
  if ((0x000fffff & (2 + hx)) < 3) {  // |f| < 2^-20
    if (f == kZero) {
      if (k == 0) return kZero;
      dk = static_cast<double>(k);
      return dk * ln2_hi + dk * ln2_lo;
    }
    const double R = f * f * (0.5 - 0.33333333333333333 * f);
    if (k == 0) return f - R;
    dk = static_cast<double>(k);
    return dk * ln2_hi - ((R - dk * ln2_lo) - f);
  }
  const double s = f / (2.0 + f);
  dk = static_cast<double>(k);
  const double z = s * s;
  i = hx - 0x6147a;
  const double w = z * z;
  const int j = 0x6b851 - hx;
  const double t1 = w * (Lg2 + w * (Lg4 + w * Lg6));
  const double t2 = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7)));
  i |= j;
  const double R = t2 + t1;
  if (i > 0) {
    const double hfsq = 0.5 * f * f;
    if (k == 0) return f - (hfsq - s * (hfsq + R));
    return dk * ln2_hi - ((hfsq - (s * (hfsq + R) + dk * ln2_lo)) - f);
  }
  if (k == 0) return f - s * (f - R);
  return dk * ln2_hi - ((s * (f - R) - dk * ln2_lo) - f);
}

}  // namespace zorvex::fdlibm
