#pragma once
// The scan's rotation of its queries: q = M x with M rounded to float, each
// output one float sum from 0.0f in increasing j, q_i = q_i + (M[i][j] * x[j]),
// a separate multiply and add per step. The scan rounds q into tables of a few
// bits, so the codec's double sums buy it nothing, while reading the double
// matrix took over a tenth of a single 2-bit search. Every form gives the
// same bits.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/isa.hpp"
#include "core/codec/rotation_matrix.hpp"

namespace zorvex::detail {

// The matrix is held as panels of this many outputs: panel p is d rows of
// kScanPanel floats, element (j, w) = float(M[p * kScanPanel + w][j]) (zero
// past the last output), so a panel streams in order for one query.
inline constexpr std::size_t kScanPanel = 256;

class ScanRotation {
 public:
  // Process-wide, like the codec's matrices: kept while they fit kBudgetBytes,
  // least recently used dropped first.
  static ScanRotation get(std::uint64_t seed, std::uint32_t dimension);
  static ScanRotation from(const RotationMatrix& matrix);
  static constexpr std::size_t kBudgetBytes = std::size_t{128} << 20;

  std::size_t dimension() const { return d_; }
  std::size_t bytes() const { return panels() * d_ * kScanPanel * sizeof(float); }

  // y = q for each of `rows` rows of x (row-major, d each). Panics if `form`
  // is not supported here.
  void apply(Isa form, const float* x, std::size_t rows, float* y) const;

 private:
  ScanRotation(std::shared_ptr<const float[]> panels, std::size_t d) : panels_(std::move(panels)), d_(d) {}
  std::size_t panels() const { return (d_ + kScanPanel - 1) / kScanPanel; }

  std::shared_ptr<const float[]> panels_;
  std::size_t d_;
};

// One panel's kScanPanel outputs for nq queries: y[q][w] from x[q].
void scan_rotate_panel_portable(const float* panel, std::size_t d, const float* const* x, std::size_t nq,
                                float* const* y);
void scan_rotate_panel_avx2(const float* panel, std::size_t d, const float* const* x, std::size_t nq,
                            float* const* y);
void scan_rotate_panel_avx512(const float* panel, std::size_t d, const float* const* x, std::size_t nq,
                              float* const* y);

}  // namespace zorvex::detail
