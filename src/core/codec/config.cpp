#include "core/codec/config.hpp"

#include "common/hash.hpp"
#include "core/codec/rotation_matrix.hpp"

namespace zorvex {

bool valid_bit_width(std::uint8_t bit_width) { return bit_width == 2 || bit_width == 4 || bit_width == 8; }

Result<CodecConfig, CodecError> CodecConfig::make(std::uint8_t bit_width, std::uint64_t seed,
                                                  std::uint32_t dimension, bool residual_enabled) {
  if (!valid_bit_width(bit_width)) return err(CodecError::invalid_bit_width(bit_width));
  if (dimension == 0) return err(CodecError::invalid_dimension(dimension));
  if (dimension > kMaxDimension) return err(CodecError::dimension_too_large(dimension, kMaxDimension));
  return CodecConfig(bit_width, seed, dimension, residual_enabled);
}

CodecConfig::CodecConfig(std::uint8_t bit_width, std::uint64_t seed, std::uint32_t dimension,
                         bool residual_enabled)
    : seed_(seed), dimension_(dimension), bit_width_(bit_width), residual_enabled_(residual_enabled) {
  config_hash_ = make_text(sha256_hex(canonical_text()));
}

namespace {
const char* flag(bool b) { return b ? "True" : "False"; }
}  // namespace

std::string CodecConfig::canonical_text() const {
  return "CodecConfig(bit_width=" + std::to_string(bit_width_) + ",seed=" + std::to_string(seed_) +
         ",dimension=" + std::to_string(dimension_) + ",residual_enabled=" + flag(residual_enabled_) + ")";
}

std::string CodecConfig::repr() const {
  return "CodecConfig(bit_width=" + std::to_string(bit_width_) + ", seed=" + std::to_string(seed_) +
         ", dimension=" + std::to_string(dimension_) + ", residual_enabled=" + flag(residual_enabled_) + ")";
}

std::int64_t CodecConfig::stable_hash() const {
  std::uint8_t msg[14];
  msg[0] = bit_width_;
  for (int i = 0; i < 8; ++i) msg[1 + i] = static_cast<std::uint8_t>(seed_ >> (8 * i));
  for (int i = 0; i < 4; ++i) msg[9 + i] = static_cast<std::uint8_t>(dimension_ >> (8 * i));
  msg[13] = residual_enabled_ ? 1 : 0;
  return zorvex::stable_hash(msg);
}

}  // namespace zorvex
