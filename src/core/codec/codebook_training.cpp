#include "core/codec/codebook_training.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <utility>

#include "common/fp_mode.hpp"
#include "core/codec/rotation_batch.hpp"
#include "core/codec/rotation_matrix.hpp"

namespace zorvex {
namespace {

__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

std::string number(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

std::string at(std::uint64_t row, std::uint64_t col) {
  return "vectors[" + std::to_string(row) + ", " + std::to_string(col) + "]";
}

// Nearest double, ties to even, with no dependence on how the toolchain
// converts 128-bit integers.
double to_double(Int128 v) {
  const bool negative = v < 0;
  UInt128 u = negative ? UInt128(0) - static_cast<UInt128>(v) : static_cast<UInt128>(v);
  double r;
  if (u < (UInt128(1) << 53)) {
    r = static_cast<double>(static_cast<std::uint64_t>(u));
  } else {
    const auto high = static_cast<std::uint64_t>(u >> 64);
    const int bits = high ? 128 - std::countl_zero(high) : 64 - std::countl_zero(static_cast<std::uint64_t>(u));
    const int shift = bits - 53;
    UInt128 q = u >> shift;
    const UInt128 rest = u & ((UInt128(1) << shift) - 1);
    const UInt128 half = UInt128(1) << (shift - 1);
    if (rest > half || (rest == half && (q & 1))) ++q;  // 2^53 is still exact
    r = std::ldexp(static_cast<double>(static_cast<std::uint64_t>(q)), shift);
  }
  return negative ? -r : r;
}

// Sums over any run of the sorted values, exactly: each value becomes the
// integer nearest v x 2^scale, with the scale putting the largest magnitude
// just below 2^62, so a value loses at most 2^-62 of that magnitude and the
// 128-bit running sums never round or overflow.
class CellSums {
 public:
  explicit CellSums(const std::vector<float>& sorted) : prefix_(sorted.size() + 1) {
    const double largest = std::max(std::fabs(double(sorted.front())), std::fabs(double(sorted.back())));
    scale_ = largest > 0.0 ? 61 - std::ilogb(largest) : 0;
    Int128 sum = 0;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
      sum += static_cast<std::int64_t>(std::nearbyint(std::ldexp(double(sorted[i]), scale_)));
      prefix_[i + 1] = sum;
    }
  }

  // Mean of values [lo, hi), hi > lo: the exact sum rounded to double, then
  // divided by the count.
  double mean(std::size_t lo, std::size_t hi) const {
    return std::ldexp(to_double(prefix_[hi] - prefix_[lo]) / static_cast<double>(hi - lo), -scale_);
  }

 private:
  std::vector<Int128> prefix_;
  int scale_;
};

std::uint64_t count_distinct(const std::vector<float>& sorted) {
  std::uint64_t distinct = sorted.empty() ? 0 : 1;
  for (std::size_t i = 1; i < sorted.size(); ++i)
    if (sorted[i - 1] < sorted[i]) ++distinct;
  return distinct;
}

// Cube root by Newton's method from a fixed guess: basic arithmetic only, so
// the same bits wherever it runs (a host libm's cbrt need not be).
double cube_root(double a) {
  if (a == 0.0) return 0.0;
  int e;
  double m = std::frexp(a, &e);
  const int r = ((e % 3) + 3) % 3;
  m = std::ldexp(m, r);  // [0.5, 4), with e now a multiple of 3
  e -= r;
  double y = 1.0;
  for (int i = 0; i < 8; ++i) y = y - (y * y * y - m) / (3.0 * y * y);
  return std::ldexp(y, e / 3);
}

// Lloyd's steps move the entries by about one sample spacing once cells hold
// thousands of values, so from a poor start it stops at a fixed point of the
// sample far from the best codebook (8 bits: 60% more error from quantiles).
// It starts instead where high-resolution theory puts the optimum: entries
// spread with density proportional to p^(1/3), p estimated over up to 64n
// equal-count bins of the sorted sample; entry k sits at the (k + 1/2)/n
// point of that spread, interpolated linearly within its bin.
std::vector<double> start_entries(const std::vector<float>& sorted, std::uint32_t n) {
  const std::size_t last = sorted.size() - 1;
  const std::size_t bins = std::min<std::size_t>(std::size_t{64} * n, last);
  std::vector<double> edge(bins + 1), weight(bins), cumulative(bins + 1, 0.0);
  std::vector<std::size_t> at(bins + 1);
  for (std::size_t j = 0; j <= bins; ++j) {
    at[j] = j * last / bins;
    edge[j] = sorted[at[j]];
  }
  for (std::size_t j = 0; j < bins; ++j) {
    const double width = edge[j + 1] - edge[j];
    weight[j] = cube_root(static_cast<double>(at[j + 1] - at[j]) * width * width);
    cumulative[j + 1] = cumulative[j] + weight[j];
  }
  std::vector<double> c(n);
  for (std::uint32_t k = 0; k < n; ++k) {
    const double target = (static_cast<double>(k) + 0.5) / static_cast<double>(n) * cumulative[bins];
    std::size_t j = static_cast<std::size_t>(std::upper_bound(cumulative.begin(), cumulative.end(), target) -
                                             cumulative.begin());
    j = std::min(j > 0 ? j - 1 : 0, bins - 1);
    const double inside = weight[j] > 0.0 ? (target - cumulative[j]) / weight[j] : 0.0;
    c[k] = edge[j] + inside * (edge[j + 1] - edge[j]) + 0.0;  // never -0.0
  }
  return c;
}

}  // namespace

std::string TrainingError::message() const {
  switch (kind) {
    case Kind::Codec:
      return codec->message();
    case Kind::EmptySample:
      return "vectors has no rows: training needs at least one vector";
    case Kind::NonFinite:
      return at(row, col) + " is " + number(value) + " as float32: training needs finite values";
    case Kind::RotatedOverflow:
      return "rotating row " + std::to_string(row) + " of vectors gives " + number(value) + " at coordinate " +
             std::to_string(col) + ": the sample's values are too large to rotate in float32";
    case Kind::TooFewDistinct:
      return "the rotated sample has " + std::to_string(count) + " distinct values; a codebook of bit_width " +
             std::to_string(bit_width) + " needs at least " + std::to_string(needed);
    case Kind::InvalidIterations:
      return "max_iterations must be at least 1, got 0";
    case Kind::InvalidTolerance:
      return "tolerance must be a finite number >= 0, got " + number(value);
  }
  return "codebook training failed";
}

namespace {

// Lloyd's algorithm on sorted finite values with at least `n` distinct ones;
// returns n strictly ascending float32 entries.
std::vector<float> lloyd_max_entries(const std::vector<float>& sorted, std::uint32_t n,
                                     const TrainingOptions& options) {
  detail::StandardFpMode fp_mode;
  const std::size_t count = sorted.size();
  const CellSums sums(sorted);
  std::vector<double> c = start_entries(sorted, n);
  // Cell k holds sorted[bounds[k] .. bounds[k + 1]): the values at or above
  // the midpoint of entries k - 1 and k and below that of k and k + 1, so a
  // value on a midpoint goes to the larger entry, as the codec's quantize
  // sends it. Equal values always share a cell.
  std::vector<std::size_t> bounds(n + 1, 0), previous;
  bounds[n] = count;
  const double stop = options.tolerance * (double(sorted.back()) - double(sorted.front()));
  for (std::uint32_t iteration = 0; iteration < options.max_iterations; ++iteration) {
    for (std::uint32_t k = 1; k < n; ++k) {
      const double midpoint = 0.5 * (c[k - 1] + c[k]);
      const auto first = std::lower_bound(sorted.begin(), sorted.end(), midpoint,
                                          [](float v, double t) { return double(v) < t; });
      bounds[k] = std::max(static_cast<std::size_t>(first - sorted.begin()), bounds[k - 1]);
    }
    if (bounds == previous) break;  // the same cells give the same means: a fixed point
    previous = bounds;
    double moved = 0.0;
    for (std::uint32_t k = 0; k < n; ++k) {
      if (bounds[k + 1] == bounds[k]) continue;  // an empty cell keeps its entry
      const double mean = sums.mean(bounds[k], bounds[k + 1]);
      moved = std::max(moved, std::fabs(mean - c[k]));
      c[k] = mean;
    }
    if (moved <= stop) break;
  }
  // Rounded to float32, an entry that does not exceed its predecessor becomes
  // the next float32 above it.
  std::vector<float> entries(n);
  for (std::uint32_t k = 0; k < n; ++k) {
    entries[k] = static_cast<float>(c[k]);
    if (k > 0 && !(entries[k] > entries[k - 1]))
      entries[k] = std::nextafter(entries[k - 1], std::numeric_limits<float>::infinity());
  }
  return entries;
}

}  // namespace

Result<Codebook, TrainingError> train_codebook(std::vector<float> sample, std::size_t rows, std::size_t cols,
                                               const CodecConfig& config, const TrainingOptions& options,
                                               detail::RotationKernel kernel) {
  using Kind = TrainingError::Kind;
  if (options.max_iterations == 0) return err(TrainingError(Kind::InvalidIterations));
  if (!(options.tolerance >= 0.0) || std::isinf(options.tolerance)) {
    TrainingError e(Kind::InvalidTolerance);
    e.value = options.tolerance;
    return err(std::move(e));
  }
  if (cols != config.dimension()) {
    TrainingError e(Kind::Codec);
    e.codec = CodecError::dimension_mismatch(config.dimension(), static_cast<std::uint32_t>(
                                                                     std::min<std::size_t>(cols, UINT32_MAX)));
    return err(std::move(e));
  }
  if (sample.size() != rows * cols) panic("training sample size disagrees with its shape");
  if (rows == 0) return err(TrainingError(Kind::EmptySample));
  auto first_non_finite = [&](Kind kind) -> std::optional<TrainingError> {
    for (std::size_t i = 0; i < sample.size(); ++i) {
      if (std::isfinite(sample[i])) continue;
      TrainingError e(kind);
      e.row = i / cols;
      e.col = i % cols;
      e.value = sample[i];
      return e;
    }
    return std::nullopt;
  };
  if (auto bad = first_non_finite(Kind::NonFinite)) return err(std::move(*bad));

  const std::uint8_t bit_width = config.bit_width();
  const std::uint32_t n = config.num_codebook_entries();
  if (options.method == TrainingMethod::Quantile) {
    auto trained = Codebook::train(std::vector<double>(sample.begin(), sample.end()), bit_width);
    if (trained) return std::move(trained).value();
    TrainingError e(Kind::Codec);
    e.codec = std::move(trained).error();
    return err(std::move(e));
  }

  const RotationMatrix rotation = RotationMatrix::get(config.seed(), config.dimension());
  detail::RotationBatch(kernel, rotation.data(), cols, detail::RotationDirection::Forward)
      .apply(sample.data(), rows, sample.data());
  if (auto bad = first_non_finite(Kind::RotatedOverflow)) return err(std::move(*bad));
  std::sort(sample.begin(), sample.end());
  if (const std::uint64_t distinct = count_distinct(sample); distinct < n) {
    TrainingError e(Kind::TooFewDistinct);
    e.count = distinct;
    e.needed = n;
    e.bit_width = bit_width;
    return err(std::move(e));
  }
  auto made = Codebook::make(lloyd_max_entries(sample, n, options), bit_width);
  if (!made) panic("Lloyd-Max entries are not strictly ascending: " + made.error().message());
  return std::move(made).value();
}

}  // namespace zorvex
