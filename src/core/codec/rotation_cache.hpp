#pragma once
// Process-wide store of built rotation matrices behind RotationMatrix::get.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "core/codec/rotation_matrix.hpp"

namespace zorvex::detail {

// Thread-safe; keeps matrices while their bytes (8 * d * d each) fit the
// budget, dropping the least recently used first. A matrix larger than the
// whole budget is built and returned but not kept. Concurrent requests for a
// key being built wait for that build instead of repeating it; if it throws,
// the key is left absent and each waiter tries again itself.
class RotationCache {
 public:
  using Builder = std::function<RotationMatrix(std::uint64_t seed, std::uint32_t dimension)>;
  static constexpr std::size_t kProcessBudgetBytes = std::size_t{256} << 20;

  explicit RotationCache(std::size_t budget_bytes, Builder builder = &RotationMatrix::build);
  RotationCache(const RotationCache&) = delete;
  RotationCache& operator=(const RotationCache&) = delete;

  RotationMatrix get(std::uint64_t seed, std::uint32_t dimension);

  std::size_t bytes_held() const;
  std::size_t entries() const;  // kept matrices, not builds in progress
  bool contains(std::uint64_t seed, std::uint32_t dimension) const;
  void clear();  // forgets kept matrices; builds in progress are unaffected

  static constexpr std::size_t matrix_bytes(std::uint32_t dimension) {
    return static_cast<std::size_t>(dimension) * dimension * sizeof(double);
  }

  // The instance RotationMatrix::get uses (never destroyed).
  static RotationCache& process_wide();

 private:
  struct Key {
    std::uint64_t seed;
    std::uint32_t dimension;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const noexcept {
      return std::hash<std::uint64_t>{}(k.seed * 0x9E3779B97F4A7C15ULL ^ k.dimension);
    }
  };
  struct Build {
    bool done = false;
    std::optional<RotationMatrix> result;  // empty when the build threw
  };
  struct Slot {
    std::optional<RotationMatrix> matrix;  // set once kept
    std::shared_ptr<Build> pending;        // set while building
    std::list<Key>::iterator recency;      // valid once kept
  };

  void evict_for(std::size_t incoming);

  const std::size_t budget_;
  const Builder builder_;
  mutable std::mutex mutex_;
  std::condition_variable built_;
  std::unordered_map<Key, Slot, KeyHash> slots_;
  std::list<Key> recency_;  // kept keys, most recently used first
  std::size_t bytes_ = 0;
};

}  // namespace zorvex::detail
