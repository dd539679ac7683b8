#pragma once
// Version-1 byte form of a compressed vector.
#include <cstdint>
#include <vector>

#include "core/codec/compressed_vector.hpp"

namespace zorvex {

std::vector<std::uint8_t> encode(const CompressedVector& record);

}  // namespace zorvex
