#include "core/corpus/policy.hpp"

#include <array>
#include <bit>
#include <memory>

#include "common/hash.hpp"
#include "core/codec/batch.hpp"
#include "core/codec/half.hpp"
#include "core/codec/service.hpp"

namespace zorvex {

namespace {

// PASSTHROUGH and FP16 records: `indices` holds the raw little-endian values.
CompressedVector raw_record(SharedBytes bytes, const CodecConfig& config) {
  auto size = static_cast<std::uint32_t>(bytes.size());
  auto record = CompressedVector::make(std::move(bytes), SharedBytes(), config.config_hash(), size, 8);
  if (!record) panic("raw storage built an invalid record: " + record.error().message());
  return std::move(record).value();
}

}  // namespace

std::optional<CompressionPolicy> policy_from_ordinal(std::int64_t ordinal) {
  if (ordinal < 0 || ordinal > 2) return std::nullopt;
  return static_cast<CompressionPolicy>(ordinal);
}

std::string_view policy_name(CompressionPolicy p) {
  switch (p) {
    case CompressionPolicy::Compress:
      return "COMPRESS";
    case CompressionPolicy::Passthrough:
      return "PASSTHROUGH";
    case CompressionPolicy::Fp16:
      return "FP16";
  }
  panic("unknown compression policy ordinal");
}

std::string_view policy_value(CompressionPolicy p) {
  switch (p) {
    case CompressionPolicy::Compress:
      return "compress";
    case CompressionPolicy::Passthrough:
      return "passthrough";
    case CompressionPolicy::Fp16:
      return "fp16";
  }
  panic("unknown compression policy ordinal");
}

std::int64_t policy_hash(CompressionPolicy p) {
  std::array<std::uint8_t, 8> bytes{};
  bytes[0] = ordinal(p);
  return stable_hash(bytes);
}

Result<EncodedRecord, CodecError> encode_record(CompressionPolicy policy, std::span<const float> vector,
                                                const CodecConfig& config, const Codebook& codebook) {
  switch (policy) {
    case CompressionPolicy::Compress: {
      auto record = compress(vector, config, codebook);
      if (!record) return err(std::move(record).error());
      return EncodedRecord{record->indices(), record->residual(), record->bit_width()};
    }
    case CompressionPolicy::Passthrough: {
      auto bytes = SharedBytes::build(4 * vector.size(), [&](std::span<std::uint8_t> out) {
        for (std::size_t i = 0; i < vector.size(); ++i) {
          auto bits = std::bit_cast<std::uint32_t>(vector[i]);
          for (std::size_t b = 0; b < 4; ++b) out[4 * i + b] = static_cast<std::uint8_t>(bits >> (8 * b));
        }
      });
      return EncodedRecord{std::move(bytes), SharedBytes(), 8};
    }
    case CompressionPolicy::Fp16: {
      auto bytes = SharedBytes::build(2 * vector.size(),
                                      [&](std::span<std::uint8_t> out) { f32_to_f16_le(vector, out.data()); });
      return EncodedRecord{std::move(bytes), SharedBytes(), 8};
    }
  }
  panic("unknown compression policy ordinal");
}

Result<CompressedVector, CodecError> encode_entry(CompressionPolicy policy, std::span<const float> vector,
                                                  const CodecConfig& config, const Codebook& codebook) {
  if (policy == CompressionPolicy::Compress) return compress(vector, config, codebook);
  auto parts = encode_record(policy, vector, config, codebook);
  if (!parts) return err(std::move(parts).error());
  return raw_record(std::move(parts->indices), config);
}

Result<std::vector<float>, CodecError> decode_entry(CompressionPolicy policy, const CompressedVector& record,
                                                    const CodecConfig& config, const Codebook& codebook) {
  const SharedBytes& bytes = record.indices();
  const std::size_t n = bytes.size();
  switch (policy) {
    case CompressionPolicy::Compress: {
      std::vector<float> out(config.dimension());
      if (auto done = decompress(record, config, codebook, out); !done) return err(done.error());
      return out;
    }
    case CompressionPolicy::Passthrough: {
      if (n % 4 != 0) return err(CodecError::length_mismatch(n, n - n % 4));
      std::vector<float> out(n / 4);
      for (std::size_t i = 0; i < out.size(); ++i) {
        std::uint32_t bits = 0;
        for (std::size_t b = 0; b < 4; ++b) bits |= std::uint32_t{bytes[4 * i + b]} << (8 * b);
        out[i] = std::bit_cast<float>(bits);
      }
      return out;
    }
    case CompressionPolicy::Fp16: {
      if (n % 2 != 0) return err(CodecError::length_mismatch(n, n - 1));
      std::vector<float> out(n / 2);
      for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = f16_to_f32(static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
      }
      return out;
    }
  }
  panic("unknown compression policy ordinal");
}

Result<std::vector<std::vector<float>>, CodecError> decode_entries(CompressionPolicy policy,
                                                                   std::span<const CompressedVector> records,
                                                                   const CodecConfig& config,
                                                                   const Codebook& codebook) {
  std::vector<std::vector<float>> out;
  out.reserve(records.size());
  if (policy == CompressionPolicy::Compress) {
    // The batch shares one rotation product across rows: about twice the
    // throughput of decoding one record at a time.
    const std::size_t d = config.dimension();
    std::vector<float> flat(records.size() * d);
    if (auto done = decompress_batch(records, config, codebook, flat); !done) return err(done.error());
    for (std::size_t i = 0; i < records.size(); ++i) {
      out.emplace_back(flat.begin() + static_cast<std::ptrdiff_t>(i * d),
                       flat.begin() + static_cast<std::ptrdiff_t>((i + 1) * d));
    }
    return out;
  }
  for (const CompressedVector& record : records) {
    auto values = decode_entry(policy, record, config, codebook);
    if (!values) return err(std::move(values).error());
    out.push_back(std::move(values).value());
  }
  return out;
}

}  // namespace zorvex
