#pragma once
// Codebooks fitted to what the codec actually quantises: the sample is rotated
// with the configuration's matrix, then Lloyd's algorithm places the entries
// where they minimise the mean squared error over the pooled coordinates. The
// quantile method is the plain `Codebook::train`, behind the same checks.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/result.hpp"
#include "core/codec/codebook.hpp"
#include "core/codec/config.hpp"
#include "core/codec/rotation_apply.hpp"

namespace zorvex {

enum class TrainingMethod : std::uint8_t { LloydMax, Quantile };

struct TrainingOptions {
  TrainingMethod method = TrainingMethod::LloydMax;
  // Lloyd stops at the first repeated partition (an exact fixed point), once
  // no entry moves by more than tolerance x (sample max - sample min), or
  // after max_iterations updates, whichever comes first.
  std::uint32_t max_iterations = 100000;
  double tolerance = 0.0;
};

struct TrainingError {
  enum class Kind : std::uint8_t {
    Codec,            // a CodecError (dimension mismatch, too few quantiles)
    EmptySample,
    NonFinite,        // an input value
    RotatedOverflow,  // a rotated value beyond float32
    TooFewDistinct,   // rotated values, for Lloyd-Max
    InvalidIterations,
    InvalidTolerance,
  };
  explicit TrainingError(Kind k) : kind(k) {}
  Kind kind;
  std::optional<CodecError> codec;  // Kind::Codec only
  std::uint64_t row = 0, col = 0;   // NonFinite, RotatedOverflow
  double value = 0.0;               // NonFinite, RotatedOverflow, InvalidTolerance
  std::uint64_t count = 0;          // TooFewDistinct: distinct values found
  std::uint32_t needed = 0;         // TooFewDistinct: entries
  std::uint8_t bit_width = 0;       // TooFewDistinct

  std::string message() const;
};

// `sample` holds rows x cols float32 values, row-major; it is consumed (the
// rotation and the sort work in place). Checks, in order: options, cols
// against the configuration's dimension, rows > 0, every value finite (the
// first in row-major order is reported); then for Lloyd-Max every rotated
// value finite and at least 2^bit_width distinct rotated values, while the
// quantile method is `Codebook::train` with its own check. `kernel` only
// chooses how the rotation is computed: every form gives the same bits.
Result<Codebook, TrainingError> train_codebook(std::vector<float> sample, std::size_t rows, std::size_t cols,
                                               const CodecConfig& config, const TrainingOptions& options,
                                               detail::RotationKernel kernel = detail::rotation_kernel_active());

}  // namespace zorvex
