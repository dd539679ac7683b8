#pragma once
// The rotation kernels for many vectors at once. Every output is still one
// sum in the defining order (see rotation_apply.hpp), so the bits match the
// single-vector forms row by row; what changes is that a register tile of
// several rows by several outputs shares each matrix load, and the matrix is
// read in cache-sized panels instead of once per row.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/codec/rotation_apply.hpp"

namespace zorvex::detail {

enum class RotationDirection : std::uint8_t { Forward, Inverse };

// One depth block of the product for all row groups of a pass, against one
// packed panel of the matrix. The sums of a group sit in a tile_rows x
// tile_cols register tile; between depth blocks they are carried in
// `partial`, so each output is still a single chain of additions.
struct BatchTileJob {
  const double* panel;           // depth x tile_cols: step k's coefficients for the tile column
  const double* x;               // group g, step k, row r at x[g * x_group_stride + k * tile_rows + r]
  std::size_t x_group_stride;
  std::size_t depth;             // steps in this block, > 0
  std::size_t groups;
  double* partial;               // group g's tile at partial + g * tile_rows * tile_cols, row-major
  bool first;                    // sums start at 0.0 instead of `partial`
  bool last;                     // round to float into y instead of storing `partial`
  float* y;                      // output (0, 0) of the tile column; row stride y_stride
  std::size_t y_stride;
  std::size_t rows;              // valid rows from group 0 on; the rest are padding
  std::size_t cols;              // valid outputs of the tile column (<= tile_cols)
};

// Forward and inverse are the same product shape (sums over steps k of
// coefficient(k, output) * input(row, k)); only the packing differs.
struct BatchForm {
  std::size_t tile_rows;
  std::size_t tile_cols;
  std::size_t depth;  // steps per packed panel
  void (*run)(const BatchTileJob&);
};

const BatchForm& rotation_batch_form_portable();
const BatchForm& rotation_batch_form_avx2();
const BatchForm& rotation_batch_form_avx512();

// y = M x (forward) or M^T x (inverse) for each row of a row-major batch.
// Holds scratch sized for one pass, so reuse it across chunks of a batch;
// not for concurrent use. Borrows the matrix.
class RotationBatch {
 public:
  // Panics if the kernel is not supported here.
  RotationBatch(RotationKernel kernel, const double* m, std::size_t d, RotationDirection direction);
  ~RotationBatch();
  RotationBatch(const RotationBatch&) = delete;
  RotationBatch& operator=(const RotationBatch&) = delete;

  // x and y hold rows x d floats; they may be the same array, but must not
  // otherwise overlap.
  void apply(const float* x, std::size_t rows, float* y);

  // Rows per internal pass: callers that work in chunks of this many rows
  // waste no tile padding and keep the passes long.
  std::size_t pass_rows() const { return pass_rows_; }

  // Up to this size the matrix is packed once for the object's lifetime;
  // above it, panel by panel in every pass.
  static constexpr std::size_t kPackOnceBytes = std::size_t{32} << 20;

 private:
  struct Aligned {
    void operator()(double* p) const;
  };
  using Buffer = std::unique_ptr<double[], Aligned>;
  static Buffer allocate(std::size_t count);

  void pack_panel(std::size_t col0, std::size_t k0, std::size_t depth, double* out) const;
  const double* panel(std::size_t col0, std::size_t k0, std::size_t depth);
  void pass(const float* x, std::size_t rows, float* y);

  RotationKernel kernel_;
  const BatchForm* form_;
  const double* m_;
  std::size_t d_;
  RotationDirection direction_;
  std::size_t pass_rows_;
  std::size_t x_rows_ = 0;  // rows the scratch below is sized for
  Buffer x_;                  // pass_rows x d widened inputs, in tile order
  Buffer partial_;            // pass_rows x tile_cols sums between depth blocks
  Buffer panel_;              // whole packed matrix (column panel p at p * d * tile_cols) if
  bool packed_once_ = false;  // packed_once_, else one depth x tile_cols panel at a time
};

void rotation_forward_many(RotationKernel kernel, const double* m, std::size_t d, const float* x, std::size_t rows,
                           float* y);
void rotation_inverse_many(RotationKernel kernel, const double* m, std::size_t d, const float* x, std::size_t rows,
                           float* y);

}  // namespace zorvex::detail
