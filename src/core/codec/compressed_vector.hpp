#pragma once
// The output of compression: one codebook index per coordinate, an optional
// binary16 residual (2 bytes per coordinate, low byte first) and the hash of
// the configuration that produced it. Immutable; copies share the buffers.
#include <cstdint>

#include "common/errors.hpp"
#include "common/result.hpp"
#include "common/shared_bytes.hpp"
#include "common/shared_text.hpp"

namespace zorvex {

class CompressedVector {
 public:
  // Checks, in order: bit width, index count against dimension, residual
  // length against twice the index count. `indices` must not be null;
  // `residual` may be.
  static Result<CompressedVector, CodecError> make(SharedBytes indices, SharedBytes residual, SharedText config_hash,
                                                   std::uint32_t dimension, std::uint8_t bit_width);

  const SharedBytes& indices() const { return indices_; }
  bool has_residual() const { return static_cast<bool>(residual_); }
  // Null without a residual.
  const SharedBytes& residual() const { return residual_; }
  const SharedText& config_hash() const { return config_hash_; }
  std::uint32_t dimension() const { return dimension_; }
  std::uint8_t bit_width() const { return bit_width_; }
  // Packed payload: ceil(dimension * bit_width / 8) plus the residual bytes.
  std::uint64_t size_bytes() const;

 private:
  CompressedVector(SharedBytes indices, SharedBytes residual, SharedText config_hash, std::uint32_t dimension,
                   std::uint8_t bit_width)
      : indices_(std::move(indices)),
        residual_(std::move(residual)),
        config_hash_(std::move(config_hash)),
        dimension_(dimension),
        bit_width_(bit_width) {}

  SharedBytes indices_;
  SharedBytes residual_;
  SharedText config_hash_;
  std::uint32_t dimension_;
  std::uint8_t bit_width_;
};

}  // namespace zorvex
