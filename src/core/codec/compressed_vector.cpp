#include "core/codec/compressed_vector.hpp"

#include <utility>

namespace zorvex {

Result<CompressedVector, CodecError> CompressedVector::make(SharedBytes indices, SharedBytes residual,
                                                            SharedText config_hash, std::uint32_t dimension,
                                                            std::uint8_t bit_width) {
  if (!indices || !config_hash) panic("CompressedVector::make: null indices or config hash");
  if (bit_width != 2 && bit_width != 4 && bit_width != 8) return err(CodecError::invalid_bit_width(bit_width));
  const std::size_t count = indices.size();
  if (count != dimension) {
    // The count is reported in full even where it would not fit the 32-bit argument.
    CodecError e = CodecError::dimension_mismatch(dimension, 0);
    e.got = count;
    return err(std::move(e));
  }
  if (residual && residual.size() != 2 * count) return err(CodecError::length_mismatch(residual.size(), 2 * count));
  return CompressedVector(std::move(indices), std::move(residual), std::move(config_hash), dimension, bit_width);
}

std::uint64_t CompressedVector::size_bytes() const {
  const std::uint64_t packed = (static_cast<std::uint64_t>(dimension_) * bit_width_ + 7) / 8;
  return packed + (residual_ ? residual_.size() : 0);
}

}  // namespace zorvex
