#pragma once
// Our arithmetic runs in the default IEEE mode whatever the host process set:
// a library built with fast-math options can leave flush-to-zero or
// denormals-are-zero on in MXCSR, which would change our bits (DAZ even
// zeroes subnormal float inputs on conversion).
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
#endif
 public:
  StandardFpMode(const StandardFpMode&) = delete;
  StandardFpMode& operator=(const StandardFpMode&) = delete;
};

}  // namespace zorvex::detail
