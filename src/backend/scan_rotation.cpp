#include "backend/scan_rotation.hpp"

#include <algorithm>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/fp_mode.hpp"
#include "common/result.hpp"

namespace zorvex::detail {
namespace {

constexpr std::align_val_t kAlignment{64};

struct Kept {
  std::uint64_t seed;
  std::uint32_t dimension;
  ScanRotation rotation;
};

// Most recently used first; a process holds a few configurations. Never
// destroyed, so a thread still searching at exit finds it whole.
struct Cache {
  std::mutex mutex;
  std::list<Kept> kept;
};
Cache& cache_state() {
  static Cache* state = new Cache;
  return *state;
}

ScanRotation* find_kept(std::list<Kept>& cache, std::uint64_t seed, std::uint32_t dimension) {
  for (auto it = cache.begin(); it != cache.end(); ++it) {
    if (it->seed == seed && it->dimension == dimension) {
      cache.splice(cache.begin(), cache, it);
      return &cache.front().rotation;
    }
  }
  return nullptr;
}

}  // namespace

ScanRotation ScanRotation::get(std::uint64_t seed, std::uint32_t dimension) {
  Cache& state = cache_state();
  auto& cache = state.kept;
  {
    std::lock_guard lock(state.mutex);
    if (ScanRotation* kept = find_kept(cache, seed, dimension)) return *kept;
  }
  // Built unlocked (a new matrix may take a while); a racing build of the
  // same key gives the same bits, and the first one kept wins.
  ScanRotation made = from(RotationMatrix::get(seed, dimension));
  std::lock_guard lock(state.mutex);
  if (ScanRotation* kept = find_kept(cache, seed, dimension)) return *kept;
  if (made.bytes() > kBudgetBytes) return made;
  cache.push_front({seed, dimension, made});
  std::size_t held = 0;
  for (auto it = cache.begin(); it != cache.end();) {
    held += it->rotation.bytes();
    it = held > kBudgetBytes ? cache.erase(it) : std::next(it);
  }
  return made;
}

ScanRotation ScanRotation::from(const RotationMatrix& matrix) {
  const std::size_t d = matrix.dimension();
  const std::size_t panels = (d + kScanPanel - 1) / kScanPanel;
  const std::size_t count = std::max<std::size_t>(panels * d * kScanPanel, 1);
  float* data = static_cast<float*>(::operator new[](count * sizeof(float), kAlignment));
  std::shared_ptr<float[]> owned(data, [](float* p) { ::operator delete[](p, kAlignment); });
  const double* m = matrix.data();
  for (std::size_t p = 0; p < panels; ++p) {
    float* panel = data + p * d * kScanPanel;
    for (std::size_t w = 0; w < kScanPanel; ++w) {
      const std::size_t i = p * kScanPanel + w;
      for (std::size_t j = 0; j < d; ++j) panel[j * kScanPanel + w] = i < d ? static_cast<float>(m[i * d + j]) : 0.0f;
    }
  }
  return ScanRotation(std::move(owned), d);
}

void ScanRotation::apply(Isa form, const float* x, std::size_t rows, float* y) const {
  if (!isa_supported(form)) panic(std::string("rotation form not supported on this processor: ") + isa_name(form));
  if (rows == 0 || d_ == 0) return;
  StandardFpMode mode;
  // Each panel writes all its outputs, padding included, so they land in
  // scratch and only the real ones are copied out.
  std::vector<float> out(rows * kScanPanel);
  std::vector<const float*> xs(rows);
  std::vector<float*> ys(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    xs[r] = x + r * d_;
    ys[r] = out.data() + r * kScanPanel;
  }
  for (std::size_t p = 0; p < panels(); ++p) {
    const float* panel = panels_.get() + p * d_ * kScanPanel;
    switch (form) {
      case Isa::Portable:
        scan_rotate_panel_portable(panel, d_, xs.data(), rows, ys.data());
        break;
      case Isa::Avx2:
        scan_rotate_panel_avx2(panel, d_, xs.data(), rows, ys.data());
        break;
      case Isa::Avx512:
        scan_rotate_panel_avx512(panel, d_, xs.data(), rows, ys.data());
        break;
    }
    const std::size_t first = p * kScanPanel, valid = std::min(kScanPanel, d_ - first);
    for (std::size_t r = 0; r < rows; ++r) std::copy_n(ys[r], valid, y + r * d_ + first);
  }
}

void scan_rotate_panel_portable(const float* panel, std::size_t d, const float* const* x, std::size_t nq,
                                float* const* y) {
  constexpr std::size_t W = 16;
  for (std::size_t q = 0; q < nq; ++q) {
    for (std::size_t w0 = 0; w0 < kScanPanel; w0 += W) {
      float acc[W] = {};
      const float* p = panel + w0;
      for (std::size_t j = 0; j < d; ++j, p += kScanPanel) {
        const float v = x[q][j];
        for (std::size_t w = 0; w < W; ++w) acc[w] = acc[w] + p[w] * v;
      }
      std::copy_n(acc, W, y[q] + w0);
    }
  }
}

}  // namespace zorvex::detail
