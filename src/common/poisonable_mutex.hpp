#pragma once
// A mutex that stays poisoned once an internal failure has escaped while it
// was held, so later callers never see state a broken invariant left behind.
// Running out of memory is not such a failure and poisons nothing.
#include <mutex>
#include <new>
#include <optional>

namespace zorvex {

class PoisonableMutex {
 public:
  // Runs `f` with the mutex held and returns its result, or nullopt without
  // running it when the mutex is poisoned.
  template <class F>
  auto run(F&& f) -> std::optional<decltype(f())> {
    std::lock_guard<std::mutex> lock(mutex_);
    if (poisoned_) return std::nullopt;
    try {
      return f();
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

  bool poisoned() {
    std::lock_guard<std::mutex> lock(mutex_);
    return poisoned_;
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;
};

}  // namespace zorvex
