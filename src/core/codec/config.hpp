#pragma once
#include <cstdint>
#include <string>

#include "common/errors.hpp"
#include "common/result.hpp"
#include "common/shared_text.hpp"

namespace zorvex {

// One compression setting. Always valid once built; copies share the hash text.
class CodecConfig {
 public:
  static Result<CodecConfig, CodecError> make(std::uint8_t bit_width, std::uint64_t seed, std::uint32_t dimension,
                                              bool residual_enabled);

  std::uint8_t bit_width() const { return bit_width_; }
  std::uint64_t seed() const { return seed_; }
  std::uint32_t dimension() const { return dimension_; }
  bool residual_enabled() const { return residual_enabled_; }
  std::uint32_t num_codebook_entries() const { return 1u << bit_width_; }
  const SharedText& config_hash() const { return config_hash_; }

  // The text whose SHA-256 is config_hash (no spaces).
  std::string canonical_text() const;
  // "CodecConfig(bit_width=4, seed=42, ...)" as Python shows it.
  std::string repr() const;
  // Stable across processes: SipHash-1-3 over the four fields.
  std::int64_t stable_hash() const;

  bool operator==(const CodecConfig& o) const {
    return bit_width_ == o.bit_width_ && seed_ == o.seed_ && dimension_ == o.dimension_ &&
           residual_enabled_ == o.residual_enabled_;
  }

 private:
  CodecConfig(std::uint8_t bit_width, std::uint64_t seed, std::uint32_t dimension, bool residual_enabled);

  SharedText config_hash_;
  std::uint64_t seed_;
  std::uint32_t dimension_;
  std::uint8_t bit_width_;
  bool residual_enabled_;
};

// Shared by every constructor that takes a bit width or a dimension.
bool valid_bit_width(std::uint8_t bit_width);

}  // namespace zorvex
