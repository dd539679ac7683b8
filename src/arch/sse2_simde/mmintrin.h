#pragma once
// Stands in for the x86 header of the same name when rotation_qr.cpp is built
// for another processor: SIMDe's portable SSE2 gives Eigen the very packet
// path (two doubles, separate multiply and add) that fixes x86-64's rotation
// bits, instead of a native path with fused multiply-adds and other blocking.
#define SIMDE_NO_NATIVE
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/sse2.h>
// Eigen's g++ route to a scalar square root; the low lane is all it reads.
#define __builtin_ia32_sqrtsd(x) simde_mm_sqrt_pd(x)
