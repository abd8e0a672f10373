// LSB matching (+-1 embedding): writes each payload bit into the least
// significant bit of its pixel, moving a mismatching pixel one grey level up
// or down at random.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/heap_array.hpp"
#include "core/image_view.hpp"
#include "core/pixel_coord.hpp"
#include "random/random_source.hpp"

namespace velmora {

// An owned H x W image: `buffer` holds the elements, element (0, 0) at
// `origin`, with byte strides that may be negative.
struct StegoImage {
  HeapArray<std::uint8_t> buffer;
  std::size_t rows = 0, cols = 0;
  std::ptrdiff_t row_stride = 0, col_stride = 0;
  std::size_t origin = 0;

  std::uint8_t* element(std::size_t y, std::size_t x) {
    return buffer.data() + static_cast<std::ptrdiff_t>(origin) +
           static_cast<std::ptrdiff_t>(y) * row_stride +
           static_cast<std::ptrdiff_t>(x) * col_stride;
  }
  ImageView view() const {
    return ImageView(buffer.data() + origin, rows, cols, row_stride, col_stride);
  }
};

// Whether the view's H * W elements fill one block of memory (in either
// order, reversed axes included), so that the copy can be one block with the
// same strides.
bool is_contiguous(const ImageView& view);

// A copy of `view`: one block with the same strides when the view is
// contiguous, otherwise a fresh row-major image.
StegoImage copy_image(const ImageView& view);

// The stego image: a copy of `view` in which pixel coords[i] carries bits[i]
// in its least significant bit, for i below the shorter of the two lists. A
// pixel whose bit already matches is left alone; 0 becomes 1 and 255 becomes
// 254 without a draw; any other pixel moves down when one next_bit is 1 and up
// when it is 0. A coordinate outside the image is an InternalError.
StegoImage lsb_matching_embed(const ImageView& view, const PixelCoord* coords,
                              std::size_t coord_count, const std::uint8_t* bits,
                              std::size_t bit_count, RandomSource& rng);

}  // namespace velmora
