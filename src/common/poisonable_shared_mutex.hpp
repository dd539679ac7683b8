#pragma once
// The readers-writer form of PoisonableMutex: readers run side by side,
// writers alone. An internal failure escaping either kind poisons for good;
// running out of memory poisons nothing.
#include <atomic>
#include <mutex>
#include <optional>
#include <shared_mutex>

#include "common/poisonable_mutex.hpp"

namespace zorvex {

class PoisonableSharedMutex {
 public:
  // Runs `f` alone and returns its result, or nullopt without running it
  // when the mutex is poisoned.
  template <class F>
  auto run(F&& f) -> std::optional<decltype(f())> {
    // The turnstile stays held while the writer waits, so readers that come
    // later queue behind it: std::shared_mutex may prefer readers, and
    // overlapping searches could otherwise hold a writer off indefinitely.
    std::lock_guard<std::mutex> turn(turnstile_);
    std::lock_guard<std::shared_mutex> lock(mutex_);
    return detail::run_unless_poisoned(poisoned_, f);
  }

  // Runs `f` beside other readers; otherwise as run().
  template <class F>
  auto run_shared(F&& f) -> std::optional<decltype(f())> {
    { std::lock_guard<std::mutex> turn(turnstile_); }
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return detail::run_unless_poisoned(poisoned_, f);
  }

  bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }

 private:
  std::mutex turnstile_;
  std::shared_mutex mutex_;
  std::atomic<bool> poisoned_{false};
};

}  // namespace zorvex
