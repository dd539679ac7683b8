#pragma once
// Scalar quantization table: 2^bit_width float32 entries, strictly ascending
// under IEEE totalOrder. Immutable; copies share the entries.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/errors.hpp"
#include "common/result.hpp"

namespace zorvex {

class Codebook {
 public:
  // Checks, in order: bit width, entry count, strictly ascending pairs.
  static Result<Codebook, CodecError> make(std::span<const float> entries, std::uint8_t bit_width);
  // Quantiles of the pooled sample values, already widened to double (the
  // working copy is the caller's, made while it may still read the input).
  static Result<Codebook, CodecError> train(std::vector<double> values, std::uint8_t bit_width);

  std::uint8_t bit_width() const { return bit_width_; }
  std::uint32_t num_entries() const { return static_cast<std::uint32_t>(entries_->size()); }
  std::span<const float> entries() const { return *entries_; }

  // Index of the nearest entry; ties go to the larger one, NaN to 0.
  std::uint8_t quantize(float value) const;
  Result<float, CodecError> dequantize(std::uint8_t index) const;

  // Element-wise forms; LengthMismatch unless the spans have equal lengths.
  Result<Unit, CodecError> quantize(std::span<const float> input, std::span<std::uint8_t> output) const;
  Result<Unit, CodecError> dequantize(std::span<const std::uint8_t> input, std::span<float> output) const;

 private:
  Codebook(std::shared_ptr<const std::vector<float>> entries, std::uint8_t bit_width);

  std::shared_ptr<const std::vector<float>> entries_;
  std::uint8_t bit_width_;
};

}  // namespace zorvex
