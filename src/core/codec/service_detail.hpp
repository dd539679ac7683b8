#pragma once
// Steps of the codec shared by the single-vector and batch forms.
#include <span>

#include "core/codec/service.hpp"

namespace zorvex::detail {

Result<Unit, CodecError> check_compress(std::size_t length, const CodecConfig& config, const Codebook& codebook);
// Quantizes an already rotated vector (and keeps the residual if configured).
CompressedVector encode_rotated(std::span<const float> rotated, const CodecConfig& config, const Codebook& codebook);

Result<Unit, CodecError> check_decompress(const CompressedVector& record, const CodecConfig& config,
                                          const Codebook& codebook);
// Codebook values plus residual, before the inverse rotation.
Result<Unit, CodecError> dequantize_record(const CompressedVector& record, const CodecConfig& config,
                                           const Codebook& codebook, std::span<float> values);

}  // namespace zorvex::detail
