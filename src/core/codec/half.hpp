#pragma once
// IEEE binary16 conversions: the single definitions used by the residual and
// by half-precision storage.
#include <cstdint>
#include <span>

namespace zorvex {

// Round to nearest, ties to even; NaNs keep sign and top payload bits, made quiet.
std::uint16_t f32_to_f16(float value);
// Exact.
float f16_to_f32(std::uint16_t half);

// f32_to_f16 of every value, each written as 2 bytes, low byte first.
void f32_to_f16_le(std::span<const float> values, std::uint8_t* out);

}  // namespace zorvex
