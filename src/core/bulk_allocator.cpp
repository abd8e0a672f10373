#include "core/bulk_allocator.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmora {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}

namespace detail {

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

}  // namespace detail

void advise_huge_pages(void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const auto begin = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (begin + (kHugePage - 1)) & ~std::uintptr_t{kHugePage - 1};
  const std::uintptr_t last = (begin + bytes) & ~std::uintptr_t{kHugePage - 1};
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace velmora
