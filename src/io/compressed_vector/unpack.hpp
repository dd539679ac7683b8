#pragma once
#include <cstdint>
#include <span>

#include "common/errors.hpp"
#include "common/result.hpp"
#include "core/codec/compressed_vector.hpp"

namespace zorvex {

// Well-formed UTF-8 (no overlong forms, surrogates or truncated sequences).
bool valid_utf8(const std::uint8_t* p, std::size_t n);

// Every length is checked before the field it guards is read; bytes after the
// record are ignored.
Result<CompressedVector, FormatError> decode(std::span<const std::uint8_t> data);

}  // namespace zorvex
