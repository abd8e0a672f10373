#include "core/bulk_allocator.hpp"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmora::detail {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}

void* bulk_allocate(std::size_t bytes) {
  void* p = nullptr;
  if (bytes >= 2 * kHugePage) {
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    p = std::aligned_alloc(kHugePage, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only advice: without transparent huge pages the memory works as usual.
    if (p != nullptr) (void)madvise(p, rounded, MADV_HUGEPAGE);
#endif
  } else {
    p = std::malloc(bytes == 0 ? 1 : bytes);
  }
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void bulk_deallocate(void* p) noexcept {
  std::free(p);
}

}  // namespace velmora::detail
