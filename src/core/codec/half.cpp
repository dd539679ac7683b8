#include "core/codec/half.hpp"

#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "common/fp_mode.hpp"
#include "common/isa.hpp"

namespace zorvex {

// Integer-only on purpose: the result must not depend on the processor's
// conversion instructions or on flush-to-zero modes the host may have set.
std::uint16_t f32_to_f16(float value) {
  const std::uint32_t x = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t sign = (x >> 16) & 0x8000u;
  const std::uint32_t exp = x & 0x7F800000u;
  const std::uint32_t man = x & 0x007FFFFFu;

  if (exp == 0x7F800000u) {
    // Infinity, or NaN made quiet with its top payload bits.
    return static_cast<std::uint16_t>(sign | 0x7C00u | (man >> 13) | (man != 0 ? 0x0200u : 0u));
  }
  if (exp > 0x47000000u) return static_cast<std::uint16_t>(sign | 0x7C00u);
  if (exp >= 0x38800000u) {
    // Round half to even on the 13 dropped bits: bit 12 is the half, bits
    // 0-11 make it more than half, bit 13 is the kept lsb. A mantissa carry
    // runs into the exponent, which also yields infinity at the top.
    const std::uint32_t round = ((x & 0x1000u) != 0 && (x & 0x2FFFu) != 0) ? 1u : 0u;
    const std::uint32_t magnitude = (((exp >> 23) - 112u) << 10) + (man >> 13) + round;
    return static_cast<std::uint16_t>(sign | magnitude);
  }
  if (exp < 0x33000000u) return static_cast<std::uint16_t>(sign);

  // Subnormal result: shift the full significand down by 14..24 places.
  const std::uint32_t e = exp >> 23;
  const std::uint32_t m = man | 0x00800000u;
  const std::uint32_t s = 126u - e;
  std::uint32_t result = m >> s;
  if (((m >> (s - 1)) & 1u) != 0 && (m & ((3u << (s - 1)) - 1u)) != 0) result += 1u;
  return static_cast<std::uint16_t>(sign | result);
}

float f16_to_f32(std::uint16_t half) {
  const std::uint32_t h = half;
  const std::uint32_t sign = (h & 0x8000u) << 16;
  const std::uint32_t exp = h & 0x7C00u;
  const std::uint32_t man = h & 0x03FFu;

  std::uint32_t bits;
  if ((h & 0x7FFFu) == 0) {
    bits = sign;
  } else if (exp == 0x7C00u) {
    bits = man == 0 ? (sign | 0x7F800000u) : (sign | 0x7FC00000u | (man << 13));
  } else if (exp == 0) {
    // m * 2^-24 with m < 2^10 is a normal float: normalise the significand so
    // its leading bit becomes the implicit one.
    const int lead = std::bit_width(man) - 1;  // 0..9
    const std::uint32_t biased = static_cast<std::uint32_t>(127 - 24 + lead);
    const std::uint32_t frac = (man << (23 - lead)) & 0x007FFFFFu;
    bits = sign | (biased << 23) | frac;
  } else {
    bits = sign | (((exp >> 10) + 112u) << 23) | (man << 13);
  }
  return std::bit_cast<float>(bits);
}

namespace {

void f32_to_f16_le_portable(std::span<const float> values, std::uint8_t* out) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint16_t h = f32_to_f16(values[i]);
    out[2 * i] = static_cast<std::uint8_t>(h);
    out[2 * i + 1] = static_cast<std::uint8_t>(h >> 8);
  }
}

#if defined(__x86_64__)
// The conversion instruction rounds to nearest even and quiets NaNs keeping
// their top payload bits, exactly as defined (checked over all 2^32 inputs in
// the tests); only denormals-are-zero could change it, hence the mode guard.
__attribute__((target("avx2,f16c"))) void f32_to_f16_le_f16c(std::span<const float> values, std::uint8_t* out) {
  static_assert(std::endian::native == std::endian::little);
  detail::StandardFpMode mode;
  std::size_t i = 0;
  for (; i + 8 <= values.size(); i += 8) {
    const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(values.data() + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), h);
  }
  f32_to_f16_le_portable(values.subspan(i), out + 2 * i);
}

bool has_f16c() {
  static const bool yes = [] {
    // F16C is CPUID.1:ECX bit 29, read directly: clang's __builtin_cpu_supports
    // does not know the name. A process pinned to the portable form gets the
    // portable conversion too.
    unsigned a = 0, b = 0, c = 0, d = 0;
    return detail::isa_best() != detail::Isa::Portable && __builtin_cpu_supports("avx2") && __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_F16C) != 0;
  }();
  return yes;
}
#endif

}  // namespace

void f32_to_f16_le(std::span<const float> values, std::uint8_t* out) {
#if defined(__x86_64__)
  if (has_f16c()) return f32_to_f16_le_f16c(values, out);
#endif
  f32_to_f16_le_portable(values, out);
}

}  // namespace zorvex
