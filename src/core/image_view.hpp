// Read-only window onto an H x W array of 8-bit grey levels with arbitrary
// (possibly negative or zero) byte strides.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

class ImageView {
 public:
  ImageView() = default;
  ImageView(const std::uint8_t* data, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
            std::ptrdiff_t col_stride)
      : data_(data), rows_(rows), cols_(cols), row_stride_(row_stride), col_stride_(col_stride) {}

  // A contiguous row-major view.
  static ImageView row_major(const std::uint8_t* data, std::size_t rows, std::size_t cols) {
    return ImageView(data, rows, cols, static_cast<std::ptrdiff_t>(cols), 1);
  }

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::ptrdiff_t row_stride() const { return row_stride_; }
  std::ptrdiff_t col_stride() const { return col_stride_; }
  const std::uint8_t* data() const { return data_; }
  bool empty() const { return rows_ == 0 || cols_ == 0; }

  // Address of element (y, 0); only valid for y < rows().
  const std::uint8_t* row_ptr(std::size_t y) const {
    return data_ + static_cast<std::ptrdiff_t>(y) * row_stride_;
  }

  // Element (y, x); only valid for y < rows() and x < cols().
  std::uint8_t at(std::size_t y, std::size_t x) const {
    return row_ptr(y)[static_cast<std::ptrdiff_t>(x) * col_stride_];
  }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::ptrdiff_t row_stride_ = 0;
  std::ptrdiff_t col_stride_ = 0;
};

}  // namespace velmora
