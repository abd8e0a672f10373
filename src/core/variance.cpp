#include "core/variance.hpp"

namespace velmora {

double block_variance(const ImageView& view, std::size_t y, std::size_t x, std::size_t h,
                      std::size_t w) {
  Welford acc;
  const std::ptrdiff_t cs = view.col_stride();
  for (std::size_t r = y; r < y + h; ++r) {
    const std::uint8_t* p = view.row_ptr(r) + static_cast<std::ptrdiff_t>(x) * cs;
    for (std::size_t c = 0; c < w; ++c, p += cs)
      acc.push(static_cast<double>(*p));
  }
  return acc.variance(static_cast<std::uint64_t>(h) * w);
}

}  // namespace velmora
