#include "core/codec/batch.hpp"

#include <algorithm>

#include "core/codec/rotation_batch.hpp"
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
  detail::RotationBatch rotate(detail::rotation_kernel_active(), rotation.data(), cols,
                               detail::RotationDirection::Forward);
  // Rotated a chunk at a time, to bound the scratch.
  const std::size_t chunk = std::min(rows, rotate.pass_rows());
  std::vector<float> rotated(chunk * cols);
  out.reserve(rows);
  for (std::size_t r0 = 0; r0 < rows; r0 += chunk) {
    const std::size_t n = std::min(chunk, rows - r0);
    rotate.apply(data + r0 * cols, n, rotated.data());
    for (std::size_t r = 0; r < n; ++r)
      out.push_back(detail::encode_rotated(std::span(rotated.data() + r * cols, cols), config, codebook));
  }
  return out;
}

Result<Unit, CodecError> decompress_batch(std::span<const CompressedVector> records, const CodecConfig& config,
                                          const Codebook& codebook, std::span<float> output) {
  const std::size_t d = config.dimension();
  if (output.size() != records.size() * d) return err(CodecError::length_mismatch(output.size(), records.size() * d));
  if (records.empty()) return Unit{};
  RotationMatrix rotation = RotationMatrix::get(config.seed(), config.dimension());
  detail::RotationBatch rotate(detail::rotation_kernel_active(), rotation.data(), d,
                               detail::RotationDirection::Inverse);
  // A chunk of records is checked and dequantized in order straight into its
  // output rows, then rotated there in place. The first failing record ends
  // the call before any later one is looked at; what the output holds then
  // is unspecified.
  const std::size_t chunk = rotate.pass_rows();
  for (std::size_t r0 = 0; r0 < records.size(); r0 += chunk) {
    const std::size_t n = std::min(chunk, records.size() - r0);
    const std::span<float> block = output.subspan(r0 * d, n * d);
    for (std::size_t i = 0; i < n; ++i) {
      const CompressedVector& record = records[r0 + i];
      if (auto ok = detail::check_decompress(record, config, codebook); !ok) return ok;
      if (auto ok = detail::dequantize_record(record, config, codebook, block.subspan(i * d, d)); !ok) return ok;
    }
    rotate.apply(block.data(), n, block.data());
  }
  return Unit{};
}

}  // namespace zorvex
