#pragma once
// Whole matrices through the codec: all or nothing, first error wins, results
// identical to the single-vector path row by row.
#include <cstddef>
#include <span>
#include <vector>

#include "core/codec/service.hpp"

namespace zorvex {

// `data` holds rows x cols floats, row-major.
Result<std::vector<CompressedVector>, CodecError> compress_batch(const float* data, std::size_t rows, std::size_t cols,
                                                                 const CodecConfig& config, const Codebook& codebook);

// Record i goes to output[i * dimension ...]; `output` must hold exactly
// records.size() * config.dimension() floats.
Result<Unit, CodecError> decompress_batch(std::span<const CompressedVector> records, const CodecConfig& config,
                                          const Codebook& codebook, std::span<float> output);

}  // namespace zorvex
