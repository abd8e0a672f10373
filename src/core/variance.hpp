// Welford's running mean and sum of squared deviations, the one way every
// variance in the engine is computed. The order of operations is part of the
// results (thresholds compare against the last bit), so callers must feed the
// pixels row by row, left to right, and never use another formula.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/image_view.hpp"

namespace velmora {

struct Welford {
  double mean = 0.0;
  double m2 = 0.0;
  std::uint64_t n = 1;  // index of the next value, counting from 1

  void push(double p) {
    const double d = p - mean;
    mean = mean + d / static_cast<double>(n);
    m2 = m2 + (p - mean) * d;
    n = n + 1;
  }

  // Population variance over `count` values (0.0 when there are none).
  double variance(std::uint64_t count) const {
    return count == 0 ? 0.0 : m2 / static_cast<double>(count);
  }
};

// Population variance of the h x w block at (y, x) of `view`, pixels visited
// row-major. The block must lie inside the view; an empty block gives 0.0.
double block_variance(const ImageView& view, std::size_t y, std::size_t x, std::size_t h,
                      std::size_t w);

}  // namespace velmora
