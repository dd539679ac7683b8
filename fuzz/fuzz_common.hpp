#pragma once
// Shared helpers of the fuzz targets: a check that aborts with a message
// (libFuzzer then keeps the input), floats drawn from raw bytes or from a
// palette of awkward values, and the MXCSR modes a host process might leave.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <xmmintrin.h>

#define FUZZ_CHECK(cond, ...)                                                   \
  do {                                                                          \
    if (!(cond)) {                                                              \
      std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n  ", __FILE__, __LINE__, #cond); \
      std::fprintf(stderr, __VA_ARGS__);                                        \
      std::fprintf(stderr, "\n");                                               \
      std::abort();                                                             \
    }                                                                           \
  } while (0)

namespace fuzz {

inline std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }
inline float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }

// Values where float code goes wrong: signed zeros, the ends of the
// subnormal and normal ranges, infinities, NaNs of both signs with payloads.
inline float palette(std::uint8_t k) {
  static const std::uint32_t kBits[] = {
      0x00000000u, 0x80000000u, 0x00000001u, 0x80000001u, 0x007FFFFFu, 0x00800000u, 0x3F800000u, 0xBF800000u,
      0x7F7FFFFFu, 0xFF7FFFFFu, 0x7F800000u, 0xFF800000u, 0x7FC00000u, 0xFFC00000u, 0x7F800001u, 0xFFBFFFFFu,
      0x3F000000u, 0x40000000u, 0x40400000u, 0xC0000000u, 0x33000000u, 0x38800000u, 0x477FE000u, 0x477FF000u,
      0x3DCCCCCDu, 0x1E3CE508u, 0x5F800000u, 0x1F800000u, 0x7F000000u, 0x00400000u, 0x4B800000u, 0x3E800000u,
  };
  return from_bits(kBits[k % (sizeof kBits / sizeof kBits[0])]);
}

// Mostly small integers and halves (so ties happen), sometimes palette
// values, sometimes arbitrary bit patterns.
inline float some_float(FuzzedDataProvider& in) {
  const std::uint8_t how = in.ConsumeIntegral<std::uint8_t>();
  switch (how & 3) {
    case 0:
      return palette(how >> 2);
    case 1:
      return static_cast<float>(static_cast<std::int8_t>(in.ConsumeIntegral<std::uint8_t>())) * 0.5f;
    default:
      return from_bits(in.ConsumeIntegral<std::uint32_t>());
  }
}

// MXCSR with flush-to-zero and/or denormals-are-zero as a careless host
// library might leave it; the core must give the same bits regardless.
class HostFpMode {
 public:
  explicit HostFpMode(std::uint8_t choice) : saved_(_mm_getcsr()) {
    static const unsigned kExtra[] = {0u, 0x8000u, 0x0040u, 0x8040u};
    _mm_setcsr(saved_ | kExtra[choice & 3]);
  }
  ~HostFpMode() { _mm_setcsr(saved_); }
  HostFpMode(const HostFpMode&) = delete;
  HostFpMode& operator=(const HostFpMode&) = delete;

 private:
  unsigned saved_;
};

// The default mode, for computing expected values while a HostFpMode is on.
class StandardMode {
 public:
  StandardMode() : saved_(_mm_getcsr()) { _mm_setcsr(0x1F80u | (saved_ & 0x3Fu)); }
  ~StandardMode() { _mm_setcsr(saved_); }
  StandardMode(const StandardMode&) = delete;
  StandardMode& operator=(const StandardMode&) = delete;

 private:
  unsigned saved_;
};

inline std::string hex32(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

}  // namespace fuzz
