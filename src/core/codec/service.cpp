#include "core/codec/service.hpp"

#include <vector>

#include "core/codec/half.hpp"
#include "core/codec/rotation_matrix.hpp"
#include "core/codec/service_detail.hpp"

namespace zorvex {

namespace detail {

Result<Unit, CodecError> check_compress(std::size_t length, const CodecConfig& config, const Codebook& codebook) {
  if (length != config.dimension()) {
    return err(CodecError::dimension_mismatch(config.dimension(), static_cast<std::uint32_t>(length)));
  }
  if (codebook.bit_width() != config.bit_width()) {
    return err(CodecError::codebook_incompatible(config.bit_width(), codebook.bit_width()));
  }
  return Unit{};
}

CompressedVector encode_rotated(std::span<const float> rotated, const CodecConfig& config, const Codebook& codebook) {
  const std::size_t d = rotated.size();
  const bool keep_residual = config.residual_enabled();
  // Indices and residual share one allocation: the residual views its tail.
  SharedBytes block = SharedBytes::build(keep_residual ? 3 * d : d, [&](std::span<std::uint8_t> out) {
    const std::span<std::uint8_t> indices = out.first(d);
    (void)codebook.quantize(rotated, indices);
    if (!keep_residual) return;
    const std::span<const float> entries = codebook.entries();
    std::vector<float> error(d);
    for (std::size_t i = 0; i < d; ++i) error[i] = rotated[i] - entries[indices[i]];
    f32_to_f16_le(error, out.data() + d);
  });
  SharedBytes residual;
  if (keep_residual) residual = block.slice(d, 2 * d);
  auto record = CompressedVector::make(block.slice(0, d), std::move(residual), config.config_hash(),
                                       config.dimension(), config.bit_width());
  if (!record) panic("compression built an invalid record: " + record.error().message());
  return std::move(record).value();
}

Result<Unit, CodecError> check_decompress(const CompressedVector& record, const CodecConfig& config,
                                          const Codebook& codebook) {
  if (*record.config_hash() != *config.config_hash()) {
    return err(CodecError::config_mismatch(*config.config_hash(), *record.config_hash()));
  }
  if (record.bit_width() != config.bit_width()) {
    return err(CodecError::codebook_incompatible(config.bit_width(), record.bit_width()));
  }
  if (codebook.bit_width() != config.bit_width()) {
    return err(CodecError::codebook_incompatible(config.bit_width(), codebook.bit_width()));
  }
  return Unit{};
}

Result<Unit, CodecError> dequantize_record(const CompressedVector& record, const CodecConfig& config,
                                           const Codebook& codebook, std::span<float> values) {
  const std::size_t d = config.dimension();
  const auto& indices = record.indices();
  if (indices.size() != d) return err(CodecError::length_mismatch(indices.size(), d));
  if (auto done = codebook.dequantize(indices, values); !done) return done;
  if (const SharedBytes& residual = record.residual()) {
    if (residual.size() != 2 * d) return err(CodecError::length_mismatch(residual.size(), 2 * d));
    const std::uint8_t* r = residual.data();
    for (std::size_t i = 0; i < d; ++i) {
      auto h = static_cast<std::uint16_t>(r[2 * i] | (r[2 * i + 1] << 8));
      values[i] = f16_to_f32(h) + values[i];
    }
  }
  return Unit{};
}

}  // namespace detail

Result<CompressedVector, CodecError> compress(std::span<const float> vector, const CodecConfig& config,
                                              const Codebook& codebook) {
  if (auto ok = detail::check_compress(vector.size(), config, codebook); !ok) return err(ok.error());
  RotationMatrix rotation = RotationMatrix::get(config.seed(), config.dimension());
  std::vector<float> rotated(vector.size());
  if (auto done = rotation.apply(vector, rotated); !done) return err(done.error());
  return detail::encode_rotated(rotated, config, codebook);
}

Result<Unit, CodecError> decompress(const CompressedVector& record, const CodecConfig& config,
                                    const Codebook& codebook, std::span<float> output) {
  if (auto ok = detail::check_decompress(record, config, codebook); !ok) return ok;
  std::vector<float> values(config.dimension());
  if (auto ok = detail::dequantize_record(record, config, codebook, values); !ok) return ok;
  RotationMatrix rotation = RotationMatrix::get(config.seed(), config.dimension());
  return rotation.apply_inverse(values, output);
}

}  // namespace zorvex
