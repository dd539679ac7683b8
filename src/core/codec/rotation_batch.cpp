#include "core/codec/rotation_batch.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "common/fp_mode.hpp"

namespace zorvex::detail {
namespace {

constexpr std::align_val_t kAlignment{64};

// Widened inputs of one pass. Only a depth block's slice of them is hot at a
// time and it streams, while each pass has a fixed cost per panel (and
// repacks a large matrix), so passes are long.
constexpr std::size_t kPassBytes = std::size_t{8} << 20;
constexpr std::size_t kMaxPassRows = 2048;
// Up to this many rows the single-vector kernels are faster.
constexpr std::size_t kSingleRows = 2;

const BatchForm& form_of(RotationKernel kernel) {
  if (!rotation_kernel_supported(kernel))
    panic(std::string("rotation kernel not supported on this processor: ") + rotation_kernel_name(kernel));
  switch (kernel) {
    case RotationKernel::Avx2:
      return rotation_batch_form_avx2();
    case RotationKernel::Avx512:
      return rotation_batch_form_avx512();
    case RotationKernel::Portable:
      break;
  }
  return rotation_batch_form_portable();
}

// Plain C++ tile of 4 rows x 4 outputs, in pairs of lanes: GCC's generic
// vectors become SSE2 or NEON registers (or stay scalar), and each lane is
// still its own chain of separate multiplies and adds.
using Pair = double __attribute__((vector_size(16)));

void portable_tiles(const BatchTileJob& job) {
  constexpr std::size_t R = 4, C = 4, P = C / 2;
  for (std::size_t g = 0; g < job.groups; ++g) {
    double* part = job.partial + g * R * C;
    Pair acc[R][P];
#pragma GCC unroll 16
    for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 16
      for (std::size_t p = 0; p < P; ++p) {
        if (job.first) {
          acc[r][p] = Pair{0.0, 0.0};
        } else {
          acc[r][p] = Pair{part[r * C + 2 * p], part[r * C + 2 * p + 1]};
        }
      }
    const double* b = job.panel;
    const double* xk = job.x + g * job.x_group_stride;
    for (std::size_t k = 0; k < job.depth; ++k, b += C, xk += R) {
      Pair coef[P];
#pragma GCC unroll 16
      for (std::size_t p = 0; p < P; ++p) coef[p] = Pair{b[2 * p], b[2 * p + 1]};
#pragma GCC unroll 16
      for (std::size_t r = 0; r < R; ++r) {
        const Pair v = Pair{xk[r], xk[r]};
#pragma GCC unroll 16
        for (std::size_t p = 0; p < P; ++p) {
          const Pair prod = coef[p] * v;
          acc[r][p] = acc[r][p] + prod;
        }
      }
    }
    if (job.last) {
      const std::size_t rows = std::min(R, job.rows - g * R);
      for (std::size_t r = 0; r < rows; ++r) {
        float* out = job.y + (g * R + r) * job.y_stride;
        for (std::size_t c = 0; c < job.cols; ++c) out[c] = static_cast<float>(acc[r][c / 2][c % 2]);
      }
    } else {
      for (std::size_t r = 0; r < R; ++r)
        for (std::size_t c = 0; c < C; ++c) part[r * C + c] = acc[r][c / 2][c % 2];
    }
  }
}

}  // namespace

const BatchForm& rotation_batch_form_portable() {
  static const BatchForm form{4, 4, 256, &portable_tiles};
  return form;
}

void RotationBatch::Aligned::operator()(double* p) const { ::operator delete[](p, kAlignment); }

RotationBatch::Buffer RotationBatch::allocate(std::size_t count) {
  return Buffer(static_cast<double*>(::operator new[](std::max<std::size_t>(count, 1) * sizeof(double), kAlignment)));
}

RotationBatch::RotationBatch(RotationKernel kernel, const double* m, std::size_t d, RotationDirection direction)
    : kernel_(kernel), form_(&form_of(kernel)), m_(m), d_(d), direction_(direction) {
  const std::size_t tr = form_->tile_rows;
  const std::size_t rows =
      std::clamp<std::size_t>(kPassBytes / (sizeof(double) * std::max<std::size_t>(d, 1)), tr, kMaxPassRows);
  pass_rows_ = rows / tr * tr;
}

RotationBatch::~RotationBatch() = default;

void RotationBatch::pack_panel(std::size_t col0, std::size_t k0, std::size_t depth, double* out) const {
  const std::size_t tc = form_->tile_cols;
  const std::size_t cols = std::min(tc, d_ - col0);
  if (direction_ == RotationDirection::Forward) {
    // Step k of output i is M[i][k]: a transposed block.
    for (std::size_t c = 0; c < cols; ++c) {
      const double* src = m_ + (col0 + c) * d_ + k0;
      for (std::size_t k = 0; k < depth; ++k) out[k * tc + c] = src[k];
    }
  } else {
    // Step i of output j is M[i][j]: rows of M as they are.
    for (std::size_t k = 0; k < depth; ++k)
      std::copy_n(m_ + (k0 + k) * d_ + col0, cols, out + k * tc);
  }
  // Padding outputs are computed and dropped; zeros keep them harmless.
  if (cols < tc)
    for (std::size_t k = 0; k < depth; ++k) std::fill(out + k * tc + cols, out + (k + 1) * tc, 0.0);
}

const double* RotationBatch::panel(std::size_t col0, std::size_t k0, std::size_t depth) {
  if (packed_once_) return panel_.get() + col0 * d_ + k0 * form_->tile_cols;
  pack_panel(col0, k0, depth, panel_.get());
  return panel_.get();
}

void RotationBatch::pass(const float* x, std::size_t rows, float* y) {
  const std::size_t tr = form_->tile_rows, tc = form_->tile_cols, depth = form_->depth, d = d_;
  const std::size_t groups = (rows + tr - 1) / tr;
  // Read before y is written (x may be y); see match_x86_made_nans.
  std::vector<bool> made_nans_only;
  if constexpr (kMatchX86MadeNans) {
    made_nans_only.resize(rows);
    for (std::size_t r = 0; r < rows; ++r) made_nans_only[r] = !row_has_arm_default_nan(x + r * d, d);
  }
  // Widened once, in the order the tiles read it: by depth block, then by
  // group, then by step with a tile's rows adjacent. A depth block's inputs
  // for the whole pass are then one sequential stream. Reading all of x
  // before writing y is what makes x == y safe.
  double* xw = x_.get();
  for (std::size_t g = 0; g < groups; ++g) {
    const std::size_t valid = std::min(tr, rows - g * tr);
    for (std::size_t k0 = 0; k0 < d; k0 += depth) {
      const std::size_t kn = std::min(depth, d - k0);
      double* dst = xw + k0 * groups * tr + g * kn * tr;
      for (std::size_t r = 0; r < tr; ++r) {
        if (r < valid) {
          const float* src = x + (g * tr + r) * d + k0;
          for (std::size_t k = 0; k < kn; ++k) dst[k * tr + r] = static_cast<double>(src[k]);
        } else {
          for (std::size_t k = 0; k < kn; ++k) dst[k * tr + r] = 0.0;
        }
      }
    }
  }
  for (std::size_t col0 = 0; col0 < d; col0 += tc) {
    for (std::size_t k0 = 0; k0 < d; k0 += depth) {
      const std::size_t kn = std::min(depth, d - k0);
      const BatchTileJob job{.panel = panel(col0, k0, kn),
                             .x = xw + k0 * groups * tr,
                             .x_group_stride = kn * tr,
                             .depth = kn,
                             .groups = groups,
                             .partial = partial_.get(),
                             .first = k0 == 0,
                             .last = k0 + kn == d,
                             .y = y + col0,
                             .y_stride = d,
                             .rows = rows,
                             .cols = std::min(tc, d - col0)};
      form_->run(job);
    }
  }
  for (std::size_t r = 0; r < made_nans_only.size(); ++r)
    if (made_nans_only[r]) match_x86_made_nans(y + r * d, d);
}

void RotationBatch::apply(const float* x, std::size_t rows, float* y) {
  if (rows == 0 || d_ == 0) return;
  if (rows <= kSingleRows) {
    // Packing the matrix would cost more than reading it once per row.
    for (std::size_t r = 0; r < rows; ++r) {
      if (direction_ == RotationDirection::Forward)
        rotation_forward(kernel_, m_, d_, x + r * d_, y + r * d_);
      else
        rotation_inverse(kernel_, m_, d_, x + r * d_, y + r * d_);
    }
    return;
  }
  const std::size_t tr = form_->tile_rows, tc = form_->tile_cols;
  if (!panel_) {
    const std::size_t padded = (d_ + tc - 1) / tc * tc;
    packed_once_ = d_ * padded * sizeof(double) <= kPackOnceBytes;
    if (packed_once_) {
      panel_ = allocate(d_ * padded);
      for (std::size_t col0 = 0; col0 < d_; col0 += tc)
        for (std::size_t k0 = 0; k0 < d_; k0 += form_->depth)
          pack_panel(col0, k0, std::min(form_->depth, d_ - k0), panel_.get() + col0 * d_ + k0 * tc);
    } else {
      panel_ = allocate(form_->depth * tc);
    }
  }
  // Scratch for the rows actually asked for, up to one full pass.
  const std::size_t need = std::min(pass_rows_, (rows + tr - 1) / tr * tr);
  if (need > x_rows_) {
    x_ = allocate(need * d_);
    partial_ = allocate(need * tc);
    x_rows_ = need;
  }
  StandardFpMode fp_mode;
  for (std::size_t r0 = 0; r0 < rows; r0 += pass_rows_) {
    const std::size_t n = std::min(pass_rows_, rows - r0);
    pass(x + r0 * d_, n, y + r0 * d_);
  }
}

void rotation_forward_many(RotationKernel kernel, const double* m, std::size_t d, const float* x, std::size_t rows,
                           float* y) {
  RotationBatch(kernel, m, d, RotationDirection::Forward).apply(x, rows, y);
}

void rotation_inverse_many(RotationKernel kernel, const double* m, std::size_t d, const float* x, std::size_t rows,
                           float* y) {
  RotationBatch(kernel, m, d, RotationDirection::Inverse).apply(x, rows, y);
}

}  // namespace zorvex::detail
