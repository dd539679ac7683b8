#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/codec/half.hpp"

namespace {

using zorvex::f16_to_f32;
using zorvex::f32_to_f16;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }
float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }

struct HalfCase {
  std::uint32_t f32;
  std::uint16_t f16;
};

class F32ToF16Cases : public ::testing::TestWithParam<HalfCase> {};

TEST_P(F32ToF16Cases, Converts) {
  const HalfCase c = GetParam();
  EXPECT_EQ(f32_to_f16(from_bits(c.f32)), c.f16) << std::hex << c.f32;
}

INSTANTIATE_TEST_SUITE_P(
    Half, F32ToF16Cases,
    ::testing::Values(HalfCase{0x3F800000u, 0x3C00u},   // 1.0
                      HalfCase{0x477FE000u, 0x7BFFu},   // 65504, largest finite
                      HalfCase{0x477FF000u, 0x7C00u},   // 65520 rounds up into infinity
                      HalfCase{0x477FEFFFu, 0x7BFFu},   // just below 65520
                      HalfCase{0x33800000u, 0x0001u},   // 2^-24, smallest subnormal
                      HalfCase{0x33000000u, 0x0000u},   // 2^-25, a tie to even zero
                      HalfCase{0x33000001u, 0x0001u},   // just above 2^-25
                      HalfCase{0x80000000u, 0x8000u},   // -0.0
                      HalfCase{0x7FC00000u, 0x7E00u},   // quiet NaN
                      HalfCase{0x7F800001u, 0x7E00u},   // signalling NaN, low payload lost, made quiet
                      HalfCase{0xFFFFE000u, 0xFFFFu},   // negative NaN keeps sign and top payload
                      HalfCase{0xFF800000u, 0xFC00u},   // -inf
                      HalfCase{0x3F801000u, 0x3C00u},   // tie, even neighbour below
                      HalfCase{0x3F803000u, 0x3C02u},   // tie, even neighbour above
                      HalfCase{0x387FF000u, 0x0400u}),  // past the largest subnormal: carries into the min normal
    [](const auto& info) {
      char name[16];
      std::snprintf(name, sizeof name, "x%08X", static_cast<unsigned>(info.param.f32));
      return std::string(name);
    });

TEST(Half, F16ToF32Cases) {
  EXPECT_EQ(bits(f16_to_f32(0x0001)), bits(std::ldexp(1.0f, -24)));
  EXPECT_EQ(bits(f16_to_f32(0x7C01)), 0x7FC02000u);
  EXPECT_EQ(bits(f16_to_f32(0x8000)), 0x80000000u);
  EXPECT_EQ(bits(f16_to_f32(0xFC00)), 0xFF800000u);
  EXPECT_EQ(f16_to_f32(0x7BFF), 65504.0f);
  EXPECT_EQ(f16_to_f32(0x3C00), 1.0f);
}

// Independent decoding of a binary16 pattern by arithmetic.
float decode_reference(std::uint16_t h) {
  const int e = (h >> 10) & 0x1F;
  const int m = h & 0x3FF;
  const double mag = e == 0 ? std::ldexp(static_cast<double>(m), -24) : std::ldexp(1024.0 + m, e - 25);
  return static_cast<float>((h & 0x8000) ? -mag : mag);
}

TEST(Half, AllHalvesDecodeAndRoundTrip) {
  for (std::uint32_t h = 0; h < 0x10000u; ++h) {
    const auto half = static_cast<std::uint16_t>(h);
    const float f = f16_to_f32(half);
    const bool nan = (h & 0x7C00u) == 0x7C00u && (h & 0x3FFu) != 0;
    const bool inf = (h & 0x7FFFu) == 0x7C00u;
    if (nan) {
      ASSERT_TRUE(std::isnan(f)) << h;
      // Quiet, same sign, payload in the top mantissa bits.
      ASSERT_EQ(bits(f), ((h & 0x8000u) << 16) | 0x7FC00000u | ((h & 0x3FFu) << 13)) << h;
      ASSERT_EQ(f32_to_f16(f), h | 0x0200u) << h;
    } else {
      if (inf) {
        ASSERT_TRUE(std::isinf(f)) << h;
        ASSERT_EQ(std::signbit(f), (h & 0x8000u) != 0) << h;
      } else {
        ASSERT_EQ(bits(f), bits(decode_reference(half))) << h;
      }
      ASSERT_EQ(f32_to_f16(f), h) << h;
    }
  }
}

bool is_nan_pattern(std::uint32_t x) { return (x & 0x7F800000u) == 0x7F800000u && (x & 0x007FFFFFu) != 0; }

void check_nan(std::uint32_t x, std::uint16_t h) {
  ASSERT_EQ(h & 0x8000u, (x >> 16) & 0x8000u) << std::hex << x;
  ASSERT_EQ(h & 0x7E00u, 0x7E00u) << std::hex << x;
  ASSERT_EQ(h & 0x01FFu, (x >> 13) & 0x01FFu) << std::hex << x;
}

// g++ 12 has no _Float16 in C++ on 64-bit ARM; its __fp16 is the same IEEE
// format, converted by the FCVT instruction.
#if defined(__aarch64__)
using NativeHalf = __fp16;
#else
using NativeHalf = _Float16;
#endif

// Every finite or infinite value against the compiler's software conversion
// (round to nearest even), on a stride plus all exponent boundaries.
TEST(Half, F32ToF16MatchesCompilerConversionStrided) {
  auto check = [](std::uint32_t x) {
    const std::uint16_t got = f32_to_f16(from_bits(x));
    if (is_nan_pattern(x)) return check_nan(x, got);
    const NativeHalf native = static_cast<NativeHalf>(from_bits(x));
    std::uint16_t want;
    std::memcpy(&want, &native, sizeof want);
    ASSERT_EQ(got, want) << std::hex << x;
  };
  for (std::uint64_t x = 0; x <= 0xFFFFFFFFu; x += 997) check(static_cast<std::uint32_t>(x));
  // Every exponent, with a possible half bit at every position p (normal
  // results round at 12, subnormal ones higher), the bit above it and the
  // sticky bits below in all combinations, under low, high and middle
  // mantissas (a carry out of the top bits changes the exponent).
  for (std::uint32_t sign = 0; sign < 2; ++sign)
    for (std::uint32_t exp = 0; exp < 256; ++exp)
      for (std::uint32_t p = 0; p < 22; ++p)
        for (std::uint32_t top : {0x000000u, 0x7FFFFFu, 0x400000u, 0x555555u})
          for (std::uint32_t pair = 0; pair < 4; ++pair)
            for (std::uint32_t sticky : {0u, 1u, (1u << p) - 1}) {
              const std::uint32_t keep = ~((3u << p) | ((1u << p) - 1));
              check((sign << 31) | (exp << 23) | (top & keep & 0x7FFFFFu) | (pair << p) | (sticky & ((1u << p) - 1)));
            }
}

#if defined(__x86_64__)
// Patterns first .. first+count-1 (count a multiple of 8) converted by the
// processor's instruction, which rounds to nearest even and makes NaNs quiet
// keeping the top payload bits, exactly as defined. Returns the number of
// lanes that differ from got; *where gets the first such pattern.
__attribute__((target("avx2,f16c"))) std::uint64_t hardware_mismatches(std::uint32_t first, const std::uint16_t* got,
                                                                      std::size_t count, std::uint32_t* where) {
  std::uint64_t bad = 0;
  const __m256i step = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  for (std::size_t i = 0; i < count; i += 8) {
    const __m256i x = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(first + i)), step);
    const __m128i want = _mm256_cvtps_ph(_mm256_castsi256_ps(x), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m128i have = _mm_loadu_si128(reinterpret_cast<const __m128i*>(got + i));
    const unsigned differ = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(want, have))) & 0xFFFFu;
    if (differ != 0) {
      if (bad == 0) *where = first + static_cast<std::uint32_t>(i) + (__builtin_ctz(differ) / 2);
      bad += static_cast<std::uint64_t>(__builtin_popcount(differ)) / 2;
    }
  }
  return bad;
}

// All 2^32 patterns, NaNs included.
TEST(Half, F32ToF16ExhaustiveAgainstHardware) {
  if (!__builtin_cpu_supports("f16c") || !__builtin_cpu_supports("avx2")) GTEST_SKIP() << "no F16C/AVX2 here";
  auto run = [](std::uint64_t begin, std::uint64_t end, std::uint64_t* failures, std::uint32_t* first) {
    constexpr std::size_t kBlock = 4096;
    std::vector<std::uint16_t> got(kBlock);
    *failures = 0;
    for (std::uint64_t b = begin; b < end; b += kBlock) {
      for (std::size_t k = 0; k < kBlock; ++k) got[k] = f32_to_f16(from_bits(static_cast<std::uint32_t>(b + k)));
      std::uint32_t where = 0;
      const std::uint64_t bad = hardware_mismatches(static_cast<std::uint32_t>(b), got.data(), kBlock, &where);
      if (bad != 0 && *failures == 0) *first = where;
      *failures += bad;
    }
  };
  constexpr std::uint64_t kAll = std::uint64_t{1} << 32;
  std::uint64_t failures[2] = {0, 0};
  std::uint32_t first[2] = {0, 0};
  std::thread other(run, kAll / 2, kAll, &failures[1], &first[1]);
  run(0, kAll / 2, &failures[0], &first[0]);
  other.join();
  EXPECT_EQ(failures[0], 0u) << "first failing pattern 0x" << std::hex << first[0];
  EXPECT_EQ(failures[1], 0u) << "first failing pattern 0x" << std::hex << first[1];
}
#endif

}  // namespace

// The element-wise form (a wide path where the processor has one) writes the
// scalar definition's bytes, low byte first, for every length and offset.
TEST(Half, ElementWiseMatchesScalar) {
  std::mt19937 rng(7);
  std::vector<float> values;
  for (std::uint32_t bits : {0x00000000u, 0x80000000u, 0x7F800000u, 0xFF800000u, 0x7FC00000u, 0x7F800001u,
                             0xFFBFFFFFu, 0x33000000u, 0x33000001u, 0x387FFFFFu, 0x477FEFFFu, 0x477FF000u, 0x00000001u})
    values.push_back(from_bits(bits));
  for (int i = 0; i < 100000; ++i) values.push_back(from_bits(static_cast<std::uint32_t>(rng())));
  for (std::size_t offset : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
    for (std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{8}, std::size_t{9}, std::size_t{17}, values.size() - 3}) {
      std::span<const float> part(values.data() + offset, length);
      std::vector<std::uint8_t> got(2 * length + 1, 0xAB);
      zorvex::f32_to_f16_le(part, got.data());
      for (std::size_t i = 0; i < length; ++i) {
        const std::uint16_t want = f32_to_f16(part[i]);
        ASSERT_EQ(got[2 * i] | (got[2 * i + 1] << 8), want) << offset << " " << length << " " << i;
      }
      EXPECT_EQ(got[2 * length], 0xAB);  // nothing written past the end
    }
  }
}
