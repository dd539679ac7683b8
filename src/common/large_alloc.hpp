#pragma once
// Large buffers filled at once (a loaded file's arrays): aligned to 2 MiB and
// marked for transparent huge pages where the system has them, so that
// filling a gigabyte takes hundreds of page faults rather than a quarter of a
// million. The hint changes no contents; elsewhere it is a no-op.
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace zorvex {

// `bytes` of uninitialised memory, aligned to at least 64 bytes; throws
// std::bad_alloc. Given back with free_large(p, bytes), the same `bytes`.
void* allocate_large(std::size_t bytes);
void free_large(void* p, std::size_t bytes);

struct LargeFree {
  std::size_t bytes = 0;
  void operator()(void* p) const { free_large(p, bytes); }
};

// A std::vector's allocator over allocate_large. Elements made without a
// value (vector(n), resize(n)) are left uninitialised, as a loaded array is
// overwritten at once: give resize() a value where zeros are wanted.
template <class T>
struct LargeAllocator {
  static_assert(std::is_trivially_copyable_v<T>);
  using value_type = T;
  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(allocate_large(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { free_large(p, n * sizeof(T)); }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(p)) U;
    } else {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  }
  template <class U>
  bool operator==(const LargeAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

}  // namespace zorvex
