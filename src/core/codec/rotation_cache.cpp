#include "core/codec/rotation_cache.hpp"

#include <utility>

namespace zorvex::detail {

RotationCache::RotationCache(std::size_t budget_bytes, Builder builder)
    : budget_(budget_bytes), builder_(std::move(builder)) {}

RotationCache& RotationCache::process_wide() {
  // Leaked on purpose: threads may still be using it while statics are torn
  // down at exit.
  static RotationCache* const instance = new RotationCache(kProcessBudgetBytes);
  return *instance;
}

RotationMatrix RotationCache::get(std::uint64_t seed, std::uint32_t dimension) {
  const Key key{seed, dimension};
  std::unique_lock lock(mutex_);
  for (;;) {
    auto it = slots_.find(key);
    if (it == slots_.end()) break;
    if (it->second.matrix) {
      recency_.splice(recency_.begin(), recency_, it->second.recency);
      return *it->second.matrix;
    }
    const std::shared_ptr<Build> pending = it->second.pending;
    built_.wait(lock, [&] { return pending->done; });
    if (pending->result) return *pending->result;
    // That build failed and removed its slot: look again, possibly build.
  }

  // Everything that can throw is allocated before the build, so that once the
  // matrix exists it can be published without failing.
  std::list<Key> node{key};
  const auto pending = std::make_shared<Build>();
  slots_.emplace(key, Slot{std::nullopt, pending, {}});
  lock.unlock();

  std::optional<RotationMatrix> built;
  try {
    built.emplace(builder_(seed, dimension));
  } catch (...) {
    lock.lock();
    slots_.erase(key);
    pending->done = true;
    built_.notify_all();
    throw;
  }

  lock.lock();
  pending->result = built;
  pending->done = true;
  const auto it = slots_.find(key);
  const std::size_t size = matrix_bytes(dimension);
  if (size <= budget_) {
    evict_for(size);
    recency_.splice(recency_.begin(), node);
    it->second.matrix = built;
    it->second.pending.reset();
    it->second.recency = recency_.begin();
    bytes_ += size;
  } else {
    slots_.erase(it);
  }
  built_.notify_all();
  return std::move(*built);
}

void RotationCache::evict_for(std::size_t incoming) {
  while (!recency_.empty() && bytes_ + incoming > budget_) {
    const Key victim = recency_.back();
    recency_.pop_back();
    slots_.erase(victim);
    bytes_ -= matrix_bytes(victim.dimension);
  }
}

std::size_t RotationCache::bytes_held() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

std::size_t RotationCache::entries() const {
  std::lock_guard lock(mutex_);
  return recency_.size();
}

bool RotationCache::contains(std::uint64_t seed, std::uint32_t dimension) const {
  std::lock_guard lock(mutex_);
  const auto it = slots_.find(Key{seed, dimension});
  return it != slots_.end() && it->second.matrix.has_value();
}

void RotationCache::clear() {
  std::lock_guard lock(mutex_);
  for (const Key& k : recency_) slots_.erase(k);
  recency_.clear();
  bytes_ = 0;
}

}  // namespace zorvex::detail
