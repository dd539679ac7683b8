#pragma once
// The floating-point control register, for tests that set a flushing mode the
// way a host library might: MXCSR on x86-64, FPCR on 64-bit ARM.
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace zorvex_test {

#if defined(__x86_64__)
inline constexpr unsigned kFlushToZero = 0x8040u;  // FTZ | DAZ
inline constexpr unsigned kFpStickyFlags = 0x3Fu;  // status bits kept in the same register
inline unsigned fp_control() { return _mm_getcsr(); }
inline void set_fp_control(unsigned v) { _mm_setcsr(v); }
#elif defined(__aarch64__)
inline constexpr unsigned kFlushToZero = 1u << 24;  // FZ: flushes inputs and outputs
inline constexpr unsigned kFpStickyFlags = 0u;      // status lives in FPSR
inline unsigned fp_control() {
  unsigned long v;
  asm volatile("mrs %0, fpcr" : "=r"(v));
  return static_cast<unsigned>(v);
}
inline void set_fp_control(unsigned v) { asm volatile("msr fpcr, %0" : : "r"(static_cast<unsigned long>(v))); }
#endif

}  // namespace zorvex_test
