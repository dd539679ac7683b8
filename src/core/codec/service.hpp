#pragma once
// The stateless codec: one vector to a compressed record and back.
#include <span>

#include "common/errors.hpp"
#include "common/result.hpp"
#include "core/codec/codebook.hpp"
#include "core/codec/compressed_vector.hpp"
#include "core/codec/config.hpp"

namespace zorvex {

Result<CompressedVector, CodecError> compress(std::span<const float> vector, const CodecConfig& config,
                                              const Codebook& codebook);

// `output` must hold config.dimension() floats.
Result<Unit, CodecError> decompress(const CompressedVector& record, const CodecConfig& config,
                                    const Codebook& codebook, std::span<float> output);

}  // namespace zorvex
