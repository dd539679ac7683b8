// The one place where rounding comes from a library routine (Eigen's blocked
// Householder QR), so everything that could make that rounding depend on the
// machine is pinned here:
//  - instruction set: this file alone is compiled for baseline x86-64 (SSE2,
//    no AVX/FMA, -ffp-contract=off; see cmake/sources.cmake), checked below.
//    Eigen's packet width, and with it every vectorised loop and the GEMM
//    micro-kernel shapes, follows from that at compile time. On other
//    processors the same SSE2 code runs through SIMDe (src/arch/sse2_simde).
//  - GEMM blocking: Eigen sizes its kc/mc/nc blocks (which fix how the inner
//    products of the level-3 updates are split and summed) from the cache sizes
//    it reads with CPUID. We set fixed sizes (Eigen's own x86 defaults) once,
//    before the first factorisation. GeneralBlockPanelKernel.h's heuristic
//    reads nothing else; the triangular solver is the only other reader and
//    is not used here.
//  - the Householder block sizes are compile-time constants in Eigen (48 for
//    the factorisation and for forming Q).
//  - threads: EIGEN_DONT_PARALLELIZE, so no OpenMP split of the products.
//  - alignment: Eigen's allocations are 16-byte aligned and the output buffer
//    is 64-byte aligned, so the alignment-dependent loop peeling is the same
//    on every run.
// No other translation unit compiled with wider instruction sets may
// instantiate the same Eigen templates (the linker keeps one copy of each).
#define EIGEN_DONT_PARALLELIZE
#if defined(__AVX__) || defined(__FMA__) || defined(__AVX512F__)
#error "rotation_qr.cpp must be compiled for the baseline instruction set"
#endif

#include "core/codec/rotation_qr.hpp"

#include <Eigen/Core>
#include <Eigen/Householder>
#include <Eigen/QR>
#include <algorithm>
#include <cstddef>
#include <mutex>
#include <utility>

#include "common/result.hpp"

#if !defined(EIGEN_VECTORIZE_SSE2) || defined(EIGEN_VECTORIZE_SSE3) || defined(EIGEN_VECTORIZE_FMA) || \
    defined(EIGEN_VECTORIZE_NEON)
#error "rotation_qr.cpp must see Eigen's SSE2 packet path and nothing wider"
#endif

namespace zorvex::detail {
namespace {

constexpr std::ptrdiff_t kEigenL1 = 32 * 1024;
constexpr std::ptrdiff_t kEigenL2 = 256 * 1024;
constexpr std::ptrdiff_t kEigenL3 = 2 * 1024 * 1024;

void pin_eigen_blocking() {
  static std::once_flag once;
  std::call_once(once, [] { Eigen::setCpuCacheSizes(kEigenL1, kEigenL2, kEigenL3); });
  // The setting is process-wide: anything that changes it later would change
  // our bits silently, so refuse instead.
  if (Eigen::l1CacheSize() != kEigenL1 || Eigen::l2CacheSize() != kEigenL2 || Eigen::l3CacheSize() != kEigenL3)
    panic("Eigen cache sizes were changed after the rotation QR pinned them");
}

constexpr std::size_t kTile = 32;

// dst (column-major) = src (row-major), i.e. dst[j*d + i] = src[i*d + j].
void transpose_copy(const double* src, double* dst, std::size_t d) {
  for (std::size_t i0 = 0; i0 < d; i0 += kTile) {
    const std::size_t i1 = std::min(d, i0 + kTile);
    for (std::size_t j0 = 0; j0 < d; j0 += kTile) {
      const std::size_t j1 = std::min(d, j0 + kTile);
      for (std::size_t i = i0; i < i1; ++i)
        for (std::size_t j = j0; j < j1; ++j) dst[j * d + i] = src[i * d + j];
    }
  }
}

void transpose_in_place(double* a, std::size_t d) {
  for (std::size_t i0 = 0; i0 < d; i0 += kTile) {
    const std::size_t i1 = std::min(d, i0 + kTile);
    for (std::size_t j0 = i0; j0 < d; j0 += kTile) {
      const std::size_t j1 = std::min(d, j0 + kTile);
      for (std::size_t i = i0; i < i1; ++i)
        for (std::size_t j = std::max(j0, i + 1); j < j1; ++j) std::swap(a[i * d + j], a[j * d + i]);
    }
  }
}

}  // namespace

void rotation_orthogonal_factor(double* m, std::uint32_t dimension) {
  pin_eigen_blocking();
  const auto d = static_cast<Eigen::Index>(dimension);
  const auto n = static_cast<std::size_t>(dimension);

  Eigen::MatrixXd a(d, d);
  transpose_copy(m, a.data(), n);

  // Factor in place: a becomes R above the diagonal plus the reflectors below.
  Eigen::HouseholderQR<Eigen::Ref<Eigen::MatrixXd>> qr(a);

  // Q = H_0 H_1 ... H_{d-1} applied to the identity, column-major into m.
  Eigen::Map<Eigen::MatrixXd, Eigen::Aligned16> q(m, d, d);
  q = qr.householderQ();

  const auto& r = qr.matrixQR();
  for (Eigen::Index k = 0; k < d; ++k)
    if (!(r(k, k) >= 0.0)) q.col(k) = -q.col(k);

  transpose_in_place(m, n);  // column-major -> row-major
}

}  // namespace zorvex::detail
