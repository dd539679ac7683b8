#include "common/large_alloc.hpp"

#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zorvex {
namespace {

constexpr std::size_t kHuge = std::size_t{2} << 20;

std::align_val_t alignment(std::size_t bytes) { return std::align_val_t{bytes >= 2 * kHuge ? kHuge : 64}; }

}  // namespace

void* allocate_large(std::size_t bytes) {
  void* p = ::operator new(bytes ? bytes : 1, alignment(bytes));
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= 2 * kHuge) ::madvise(p, bytes / kHuge * kHuge, MADV_HUGEPAGE);
#endif
  return p;
}

void free_large(void* p, std::size_t bytes) { ::operator delete(p, alignment(bytes)); }

}  // namespace zorvex
