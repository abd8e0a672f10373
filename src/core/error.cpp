#include "core/error.hpp"

#include <cstddef>
#include <cstdint>

namespace velmora {

std::size_t checked_bytes(std::size_t count, std::size_t size) {
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(count, size, &bytes) ||
      bytes > static_cast<std::size_t>(PTRDIFF_MAX)) {
    throw CapacityOverflow();
  }
  return bytes;
}

}  // namespace velmora
