#pragma once
// IEEE binary16 conversions: the single definitions used by the residual and
// by half-precision storage.
#include <cstdint>

namespace zorvex {

// Round to nearest, ties to even; NaNs keep sign and top payload bits, made quiet.
std::uint16_t f32_to_f16(float value);
// Exact.
float f16_to_f32(std::uint16_t half);

}  // namespace zorvex
