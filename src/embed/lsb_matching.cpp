#include "embed/lsb_matching.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace velmora {

namespace {

std::size_t magnitude(std::ptrdiff_t s) {
  return s < 0 ? static_cast<std::size_t>(0) - static_cast<std::size_t>(s)
               : static_cast<std::size_t>(s);
}

}  // namespace

bool is_contiguous(const ImageView& v) {
  const std::size_t H = v.rows(), W = v.cols();
  if (v.row_stride() == static_cast<std::ptrdiff_t>(W) && v.col_stride() == 1) return true;
  const std::size_t rs = magnitude(v.row_stride()), cs = magnitude(v.col_stride());
  // The fast axis has the smaller absolute stride (rows when they are equal).
  const bool rows_fast = rs <= cs;
  const std::size_t fast_len = rows_fast ? H : W, fast_stride = rows_fast ? rs : cs;
  const std::size_t slow_len = rows_fast ? W : H, slow_stride = rows_fast ? cs : rs;
  return (fast_len == 1 || fast_stride == 1) && (slow_len == 1 || slow_stride == fast_len);
}

StegoImage copy_image(const ImageView& v) {
  StegoImage out;
  out.rows = v.rows();
  out.cols = v.cols();
  const std::size_t total = checked_bytes(out.rows, out.cols);
  out.buffer = HeapArray<std::uint8_t>(total);
  if (is_contiguous(v)) {
    // The block starts at the lowest address any element has.
    std::ptrdiff_t low = 0;
    if (total != 0) {
      if (v.row_stride() < 0) low += static_cast<std::ptrdiff_t>(out.rows - 1) * v.row_stride();
      if (v.col_stride() < 0) low += static_cast<std::ptrdiff_t>(out.cols - 1) * v.col_stride();
      std::memcpy(out.buffer.data(), v.data() + low, total);
    }
    out.row_stride = v.row_stride();
    out.col_stride = v.col_stride();
    out.origin = static_cast<std::size_t>(-low);
    return out;
  }
  out.row_stride = static_cast<std::ptrdiff_t>(out.cols);
  out.col_stride = 1;
  for (std::size_t y = 0; y < out.rows; ++y) {
    const std::uint8_t* src = v.row_ptr(y);
    std::uint8_t* dst = out.buffer.data() + y * out.cols;
    for (std::size_t x = 0; x < out.cols; ++x)
      dst[x] = src[static_cast<std::ptrdiff_t>(x) * v.col_stride()];
  }
  return out;
}

StegoImage lsb_matching_embed(const ImageView& view, const PixelCoord* coords,
                              std::size_t coord_count, const std::uint8_t* bits,
                              std::size_t bit_count, RandomSource& rng) {
  StegoImage out = copy_image(view);
  const std::size_t n = std::min(coord_count, bit_count);
  for (std::size_t i = 0; i < n; ++i) {
    const PixelCoord c = coords[i];
    if (c.y >= out.rows || c.x >= out.cols) {
      throw InternalError("index out of bounds: the coordinate (" + std::to_string(c.y) + ", " +
                          std::to_string(c.x) + ") lies outside the image");
    }
    std::uint8_t* pixel = out.element(c.y, c.x);
    const std::uint8_t p = *pixel;
    if ((p & 1) == bits[i]) continue;
    if (p == 0) {
      *pixel = 1;
    } else if (p == 255) {
      *pixel = 254;
    } else {
      *pixel = rng.next_bit() ? static_cast<std::uint8_t>(p - 1) : static_cast<std::uint8_t>(p + 1);
    }
  }
  return out;
}

}  // namespace velmora
