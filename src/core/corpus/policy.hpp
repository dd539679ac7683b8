#pragma once
// How a corpus stores its vectors: quantized by the codec, as exact float32
// bits, or as binary16. Whatever the mode, the stored form is a
// CompressedVector; the policy says how it is produced and read back.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/errors.hpp"
#include "common/result.hpp"
#include "core/codec/codebook.hpp"
#include "core/codec/compressed_vector.hpp"
#include "core/codec/config.hpp"

namespace zorvex {

enum class CompressionPolicy : std::uint8_t { Compress = 0, Passthrough = 1, Fp16 = 2 };

inline constexpr CompressionPolicy kCompressionPolicies[] = {
    CompressionPolicy::Compress, CompressionPolicy::Passthrough, CompressionPolicy::Fp16};

inline std::uint8_t ordinal(CompressionPolicy p) { return static_cast<std::uint8_t>(p); }
std::optional<CompressionPolicy> policy_from_ordinal(std::int64_t ordinal);

// "COMPRESS", "PASSTHROUGH", "FP16".
std::string_view policy_name(CompressionPolicy p);
// "compress", "passthrough", "fp16".
std::string_view policy_value(CompressionPolicy p);
inline bool requires_codec(CompressionPolicy p) { return p == CompressionPolicy::Compress; }
// Fixed across processes: stable_hash of the ordinal as 8 little-endian bytes.
std::int64_t policy_hash(CompressionPolicy p);

// What a corpus keeps of a record. Its dimension is the index byte count and
// its config hash the configuration's, so neither is carried.
struct EncodedRecord {
  SharedBytes indices;
  SharedBytes residual;  // null without a residual
  std::uint8_t bit_width;
};

// `vector` already has config.dimension() elements. The codebook is consulted
// only under Compress.
Result<EncodedRecord, CodecError> encode_record(CompressionPolicy policy, std::span<const float> vector,
                                                const CodecConfig& config, const Codebook& codebook);
// encode_record as a CompressedVector; under Compress the codec's own record.
Result<CompressedVector, CodecError> encode_entry(CompressionPolicy policy, std::span<const float> vector,
                                                  const CodecConfig& config, const Codebook& codebook);
// The record carries no policy marker: the corpus's policy decides how it reads.
Result<std::vector<float>, CodecError> decode_entry(CompressionPolicy policy, const CompressedVector& record,
                                                    const CodecConfig& config, const Codebook& codebook);
// decode_entry of each record in turn, as one batch where the codec has one;
// the first failure in order is the one reported.
Result<std::vector<std::vector<float>>, CodecError> decode_entries(CompressionPolicy policy,
                                                                   std::span<const CompressedVector> records,
                                                                   const CodecConfig& config,
                                                                   const Codebook& codebook);

}  // namespace zorvex
