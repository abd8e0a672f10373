// A pixel position (row first) in absolute image coordinates.
#pragma once

#include <cstddef>
#include <vector>

#include "core/bulk_allocator.hpp"

namespace velmora {

struct PixelCoord {
  std::size_t y;
  std::size_t x;

  friend bool operator==(const PixelCoord&, const PixelCoord&) = default;
};

// An ordered list of coordinates; positions in it are pool indices.
using Pool = std::vector<PixelCoord, BulkAllocator<PixelCoord>>;

}  // namespace velmora
