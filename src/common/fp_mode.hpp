#pragma once
// Our arithmetic runs in the default IEEE mode whatever the host process set:
// a library built with fast-math options can leave flush-to-zero or
// denormals-are-zero on in MXCSR, which would change our bits (DAZ even
// zeroes subnormal float inputs on conversion).
#include <cstdint>
#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace zorvex::detail {

class StandardFpMode {
 public:
#if defined(__SSE__) || defined(__x86_64__)
  StandardFpMode() : saved_(_mm_getcsr()) {
    // Round to nearest, no FTZ/DAZ, all exceptions masked; keep sticky flags.
    constexpr unsigned kControl = 0x1F80u, kControlMask = 0xFFC0u;
    if ((saved_ & kControlMask) != kControl) {
      _mm_setcsr(kControl | (saved_ & 0x3Fu));
      changed_ = true;
    }
  }
  ~StandardFpMode() {
    if (changed_) _mm_setcsr(saved_);
  }

 private:
  unsigned saved_;
  bool changed_ = false;
#elif defined(__aarch64__)
  // FPCR: round to nearest, no flush-to-zero (FZ, FZ16, FIZ), NaNs propagated
  // rather than replaced by the default NaN (DN, AH), no traps.
  StandardFpMode() {
    constexpr std::uint64_t kControlMask = 0x03C8FF07u;
    asm volatile("mrs %0, fpcr" : "=r"(saved_));
    if ((saved_ & kControlMask) != 0) {
      asm volatile("msr fpcr, %0" : : "r"(saved_ & ~kControlMask));
      changed_ = true;
    }
  }
  ~StandardFpMode() {
    if (changed_) asm volatile("msr fpcr, %0" : : "r"(saved_));
  }

 private:
  std::uint64_t saved_;
  bool changed_ = false;
#else
  StandardFpMode() = default;
#endif
 public:
  StandardFpMode(const StandardFpMode&) = delete;
  StandardFpMode& operator=(const StandardFpMode&) = delete;
};

}  // namespace zorvex::detail
