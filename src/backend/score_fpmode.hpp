#pragma once
// Scores are computed in the default IEEE mode whatever the host process set:
// a library built with fast-math options can leave flush-to-zero or
// denormals-are-zero on in MXCSR, which would change subnormal results.
#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace zorvex::detail {

class ScoreFpMode {
 public:
#if defined(__SSE__) || defined(__x86_64__)
  ScoreFpMode() : saved_(_mm_getcsr()) {
    // Round to nearest, no FTZ/DAZ, all exceptions masked; keep sticky flags.
    constexpr unsigned kControl = 0x1F80u, kControlMask = 0xFFC0u;
    if ((saved_ & kControlMask) != kControl) {
      _mm_setcsr(kControl | (saved_ & 0x3Fu));
      changed_ = true;
    }
  }
  ~ScoreFpMode() {
    if (changed_) _mm_setcsr(saved_);
  }

 private:
  unsigned saved_;
  bool changed_ = false;
#endif
 public:
  ScoreFpMode(const ScoreFpMode&) = delete;
  ScoreFpMode& operator=(const ScoreFpMode&) = delete;
};

}  // namespace zorvex::detail
