#pragma once
// Deterministic orthogonal rotation for (seed, dimension) and its application.
#include <cstdint>
#include <memory>
#include <span>

#include "common/errors.hpp"
#include "common/result.hpp"

namespace zorvex {

inline constexpr std::uint32_t kMaxDimension = 16384;

class RotationMatrix {
 public:
  // Pure: builds afresh every time. Dimension 0 or above kMaxDimension is an
  // internal failure (callers validate first).
  static RotationMatrix build(std::uint64_t seed, std::uint32_t dimension);
  // Same matrix, bit for bit, through the process-wide cache.
  static RotationMatrix get(std::uint64_t seed, std::uint32_t dimension);

  std::uint64_t seed() const { return seed_; }
  std::uint32_t dimension() const { return dimension_; }
  // Row-major dimension x dimension doubles: element (i, j) at i * dimension + j.
  const double* data() const { return matrix_.get(); }

  // output = M * input; both spans must have exactly dimension() elements.
  Result<Unit, CodecError> apply(std::span<const float> input, std::span<float> output) const;
  // output = M^T * input.
  Result<Unit, CodecError> apply_inverse(std::span<const float> input, std::span<float> output) const;

  RotationMatrix(std::shared_ptr<const double[]> matrix, std::uint64_t seed, std::uint32_t dimension)
      : matrix_(std::move(matrix)), seed_(seed), dimension_(dimension) {}

 private:
  std::shared_ptr<const double[]> matrix_;
  std::uint64_t seed_;
  std::uint32_t dimension_;
};

}  // namespace zorvex
