#include "core/codec/rotation_matrix.hpp"

#include <cstddef>
#include <new>
#include <string>

#include "core/codec/chacha20.hpp"
#include "core/codec/rotation_apply.hpp"
#include "core/codec/rotation_cache.hpp"
#include "common/fp_mode.hpp"
#include "core/codec/rotation_qr.hpp"

namespace zorvex {
namespace {

constexpr std::align_val_t kMatrixAlignment{64};

struct AlignedDelete {
  void operator()(double* p) const { ::operator delete[](p, kMatrixAlignment); }
};

std::shared_ptr<double[]> allocate_matrix(std::size_t count) {
  auto* raw = static_cast<double*>(::operator new[](count * sizeof(double), kMatrixAlignment));
  return std::shared_ptr<double[]>(raw, AlignedDelete{});
}

}  // namespace

RotationMatrix RotationMatrix::build(std::uint64_t seed, std::uint32_t dimension) {
  if (dimension == 0) panic("RotationMatrix::build requires dimension > 0");
  if (dimension > kMaxDimension)
    panic("RotationMatrix::build requires dimension <= " + std::to_string(kMaxDimension) + ", got " +
          std::to_string(dimension));

  detail::StandardFpMode fp_mode;
  const std::size_t count = static_cast<std::size_t>(dimension) * dimension;
  std::shared_ptr<double[]> matrix = allocate_matrix(count);

  // G row by row, then replaced by its orthogonal factor.
  GaussianSource gaussians(seed);
  double* m = matrix.get();
  for (std::size_t k = 0; k < count; ++k) m[k] = gaussians.next();
  detail::rotation_orthogonal_factor(m, dimension);

  return RotationMatrix(std::shared_ptr<const double[]>(std::move(matrix)), seed, dimension);
}

RotationMatrix RotationMatrix::get(std::uint64_t seed, std::uint32_t dimension) {
  return detail::RotationCache::process_wide().get(seed, dimension);
}

Result<Unit, CodecError> RotationMatrix::apply(std::span<const float> input, std::span<float> output) const {
  if (input.size() != dimension_ || output.size() != dimension_)
    return err(CodecError::length_mismatch(input.size(), output.size()));
  detail::rotation_forward(detail::rotation_kernel_active(), data(), dimension_, input.data(), output.data());
  return Unit{};
}

Result<Unit, CodecError> RotationMatrix::apply_inverse(std::span<const float> input, std::span<float> output) const {
  if (input.size() != dimension_ || output.size() != dimension_)
    return err(CodecError::length_mismatch(input.size(), output.size()));
  detail::rotation_inverse(detail::rotation_kernel_active(), data(), dimension_, input.data(), output.data());
  return Unit{};
}

}  // namespace zorvex
