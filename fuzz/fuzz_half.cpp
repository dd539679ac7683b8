// binary16 conversions against a definition by value: the nearest binary16
// (ties to even, 65520 and up to infinity) found with double arithmetic and
// nearbyint, not with the bit manipulations of the code under test. The
// vector form (F16C where present) must equal the scalar form element by
// element whatever FTZ/DAZ mode the host left in MXCSR.
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/codec/half.hpp"
#include "fuzz_common.hpp"

namespace {

using fuzz::bits;
using fuzz::from_bits;

std::uint16_t ref_to_half(float x) {
  const std::uint32_t xb = bits(x);
  const std::uint16_t sign = std::signbit(x) ? 0x8000 : 0;
  if (std::isnan(x)) return static_cast<std::uint16_t>(sign | 0x7C00u | ((xb & 0x7FFFFFu) >> 13) | 0x0200u);
  const double a = std::fabs(static_cast<double>(x));
  if (std::isinf(a)) return sign | 0x7C00u;
  if (a < std::ldexp(1.0, -14)) {
    // Subnormal range: units of 2^-24, exact in double; 1024 is the smallest normal.
    const double units = std::nearbyint(a * std::ldexp(1.0, 24));
    return static_cast<std::uint16_t>(sign | static_cast<std::uint16_t>(units));
  }
  int e = std::ilogb(a);
  double m = std::nearbyint(a / std::ldexp(1.0, e - 10));  // 1024..2048
  if (m == 2048.0) {
    m = 1024.0;
    ++e;
  }
  if (e > 15) return sign | 0x7C00u;
  return static_cast<std::uint16_t>(sign | ((e + 15) << 10) | (static_cast<unsigned>(m) - 1024u));
}

float ref_to_float(std::uint16_t h) {
  const bool neg = (h & 0x8000u) != 0;
  const unsigned exp = (h >> 10) & 0x1Fu, man = h & 0x3FFu;
  if (exp == 0x1F && man != 0) return from_bits((neg ? 0x80000000u : 0u) | 0x7FC00000u | (man << 13));
  double v;
  if (exp == 0x1F) v = INFINITY;
  else if (exp == 0) v = std::ldexp(static_cast<double>(man), -24);
  else v = std::ldexp(static_cast<double>(man + 1024u), static_cast<int>(exp) - 25);
  return static_cast<float>(neg ? -v : v);
}

// Floats near binary16 rounding boundaries as often as arbitrary ones.
float next_float(FuzzedDataProvider& in) {
  const std::uint8_t how = in.ConsumeIntegral<std::uint8_t>();
  if ((how & 3) == 0) return fuzz::palette(how >> 2);
  if ((how & 3) == 1) return from_bits(in.ConsumeIntegral<std::uint32_t>());
  // An exact binary16 value moved by a few units or by half a binary16 step.
  const auto h = in.ConsumeIntegral<std::uint16_t>();
  static const std::int32_t kDelta[] = {0, 1, -1, 0x1000, -0x1000, 0xFFF, 0x1001, 0x2000, 0x800, 7};
  const std::int32_t delta = kDelta[(how >> 2) % 10] * ((how & 0x80) ? 1 : (1 << ((how >> 5) & 3)));
  return from_bits(bits(ref_to_float(h)) + static_cast<std::uint32_t>(delta));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::uint8_t mode = in.ConsumeIntegral<std::uint8_t>();
  const std::size_t offset = mode & 7;  // misaligns the vector form's input
  std::vector<float> values(offset);
  while (in.remaining_bytes() > 0 && values.size() < offset + 300) values.push_back(next_float(in));
  const std::size_t n = values.size() - offset;

  FUZZ_CHECK(std::fegetround() == FE_TONEAREST, "rounding mode changed");
  std::vector<std::uint16_t> want(n);
  for (std::size_t i = 0; i < n; ++i) {
    const float x = values[offset + i];
    want[i] = ref_to_half(x);
    const std::uint16_t got = zorvex::f32_to_f16(x);
    FUZZ_CHECK(got == want[i], "f32_to_f16(%s) = 0x%04x, want 0x%04x", fuzz::hex32(bits(x)).c_str(), got, want[i]);

    // Every binary16 pattern converts exactly and back.
    const auto h = static_cast<std::uint16_t>(bits(x) >> (mode & 0x10 ? 16 : 0));
    const float f = zorvex::f16_to_f32(h);
    const float ref = ref_to_float(h);
    FUZZ_CHECK(bits(f) == bits(ref), "f16_to_f32(0x%04x) = %s, want %s", h, fuzz::hex32(bits(f)).c_str(),
               fuzz::hex32(bits(ref)).c_str());
    const std::uint16_t back = zorvex::f32_to_f16(f);
    const bool nan = (h & 0x7C00u) == 0x7C00u && (h & 0x3FFu) != 0;
    FUZZ_CHECK(back == (nan ? (h | 0x0200u) : h), "0x%04x -> float -> 0x%04x", h, back);
  }

  std::vector<std::uint8_t> out(2 * n + 2, 0xA5);  // one guard pair after the end
  {
    fuzz::HostFpMode host(mode >> 5);
    zorvex::f32_to_f16_le(std::span<const float>(values).subspan(offset), out.data());
  }
  for (std::size_t i = 0; i < n; ++i) {
    const auto got = static_cast<std::uint16_t>(out[2 * i] | (out[2 * i + 1] << 8));
    FUZZ_CHECK(got == want[i], "f32_to_f16_le element %zu of %zu (%s, mxcsr mode %d) = 0x%04x, want 0x%04x", i, n,
               fuzz::hex32(bits(values[offset + i])).c_str(), mode >> 5, got, want[i]);
  }
  FUZZ_CHECK(out[2 * n] == 0xA5 && out[2 * n + 1] == 0xA5, "f32_to_f16_le wrote past %zu values", n);
  return 0;
}
