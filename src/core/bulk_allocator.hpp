// Allocator for large engine buffers (pools of millions of coordinates).
// Big blocks are aligned to 2 MiB and offered to the kernel for transparent
// huge pages, which cuts the cost of first touching them several-fold; and
// `resize` leaves new elements default-initialised (no zero-filling pass) when
// the caller writes every element anyway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace velmora {

namespace detail {
void* bulk_allocate(std::size_t bytes);
void bulk_deallocate(void* p) noexcept;
}  // namespace detail

// Offers the whole 2 MiB pages inside [p, p + bytes) to the kernel for
// transparent huge pages: for a large buffer allocated elsewhere, before it is
// written for the first time. Only advice, as for the allocator's own blocks;
// a range without a whole such page is left alone.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

template <class T>
class BulkAllocator {
 public:
  using value_type = T;

  BulkAllocator() noexcept = default;
  template <class U>
  BulkAllocator(const BulkAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(detail::bulk_allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { detail::bulk_deallocate(p); }

  // Value-less construction default-initialises: trivial types stay as they
  // are instead of being zeroed.
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  friend bool operator==(const BulkAllocator&, const BulkAllocator&) noexcept { return true; }
};

}  // namespace velmora
