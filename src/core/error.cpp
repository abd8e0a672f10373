#include "core/error.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/sysinfo.h>
#endif

namespace velmora {

std::size_t checked_bytes(std::size_t count, std::size_t size) {
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(count, size, &bytes) ||
      bytes > static_cast<std::size_t>(PTRDIFF_MAX)) {
    throw CapacityOverflow();
  }
  return bytes;
}

std::size_t checked_sum(std::initializer_list<std::size_t> bytes) {
  std::size_t total = 0;
  for (std::size_t b : bytes) {
    if (__builtin_add_overflow(total, b, &total) || total > static_cast<std::size_t>(PTRDIFF_MAX)) {
      throw CapacityOverflow();
    }
  }
  return total;
}

void ensure_fits_in_memory(std::size_t bytes) {
#if defined(__linux__)
  struct sysinfo info{};
  if (sysinfo(&info) == 0) {
    const unsigned __int128 total =
        (static_cast<unsigned __int128>(info.totalram) + info.totalswap) * info.mem_unit;
    if (bytes > total) throw std::bad_alloc();
  }
#else
  (void)bytes;
#endif
}

}  // namespace velmora
