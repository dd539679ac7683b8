#include "core/codec/batch.hpp"

#include "core/codec/rotation_matrix.hpp"
#include "core/codec/service_detail.hpp"

namespace zorvex {

Result<std::vector<CompressedVector>, CodecError> compress_batch(const float* data, std::size_t rows, std::size_t cols,
                                                                 const CodecConfig& config, const Codebook& codebook) {
  if (cols != config.dimension()) {
    return err(CodecError::dimension_mismatch(config.dimension(), static_cast<std::uint32_t>(cols)));
  }
  std::vector<CompressedVector> out;
  if (rows == 0) return out;
  if (auto ok = detail::check_compress(cols, config, codebook); !ok) return err(ok.error());
  // One rotation for the whole batch: rebuilding it per row gives the same bits.
  RotationMatrix rotation = RotationMatrix::get(config.seed(), config.dimension());
  out.reserve(rows);
  std::vector<float> rotated(cols);
  for (std::size_t r = 0; r < rows; ++r) {
    if (auto done = rotation.apply(std::span(data + r * cols, cols), rotated); !done) return err(done.error());
    out.push_back(detail::encode_rotated(rotated, config, codebook));
  }
  return out;
}

Result<Unit, CodecError> decompress_batch(std::span<const CompressedVector> records, const CodecConfig& config,
                                          const Codebook& codebook, std::span<float> output) {
  const std::size_t d = config.dimension();
  if (output.size() != records.size() * d) return err(CodecError::length_mismatch(output.size(), records.size() * d));
  if (records.empty()) return Unit{};
  RotationMatrix rotation = RotationMatrix::get(config.seed(), config.dimension());
  std::vector<float> values(d);
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (auto ok = detail::check_decompress(records[i], config, codebook); !ok) return ok;
    if (auto ok = detail::dequantize_record(records[i], config, codebook, values); !ok) return ok;
    if (auto ok = rotation.apply_inverse(values, output.subspan(i * d, d)); !ok) return ok;
  }
  return Unit{};
}

}  // namespace zorvex
