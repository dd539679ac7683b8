#pragma once
// A mutex that stays poisoned once an internal failure has escaped while it
// was held, so later callers never see state a broken invariant left behind.
// Running out of memory is not such a failure and poisons nothing.
#include <atomic>
#include <mutex>
#include <new>
#include <optional>

namespace zorvex {

namespace detail {

// Runs `f` unless `poisoned` is set; an escaping failure other than memory
// exhaustion sets it. Atomic because readers of a shared lock may fail together.
template <class F>
auto run_unless_poisoned(std::atomic<bool>& poisoned, F& f) -> std::optional<decltype(f())> {
  if (poisoned.load(std::memory_order_acquire)) return std::nullopt;
  try {
    return f();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    poisoned.store(true, std::memory_order_release);
    throw;
  }
}

}  // namespace detail

class PoisonableMutex {
 public:
  // Runs `f` with the mutex held and returns its result, or nullopt without
  // running it when the mutex is poisoned.
  template <class F>
  auto run(F&& f) -> std::optional<decltype(f())> {
    std::lock_guard<std::mutex> lock(mutex_);
    return detail::run_unless_poisoned(poisoned_, f);
  }

  bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
};

}  // namespace zorvex
