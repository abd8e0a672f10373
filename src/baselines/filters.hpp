// SciPy's two-dimensional convolution and correlation (scipy.signal's
// convolve2d and correlate2d in mode 'same'), value for value, in float and
// double.
//
// SciPy (1.16 and later) computes each output as a direct sum: kernel row
// by kernel row, each row's taps added in groups of four, s += k0 a0 + k1 a1
// + k2 a2 + k3 a3 (left to right, in the array's type), then the taps left
// over one at a time, every product present even where the image is padded
// with zeros. The functions here add the same products in the same order.
#pragma once

#include <cstddef>
#include <vector>

namespace velmora::baselines {

// How values beyond the image's edges are made up: 'symm' (mirrored, the
// edge pixel repeated: d c b a | a b c d | d c b a) or 'fill' with zeros.
enum class Boundary { symmetric, zero };

// A row-major image of T.
template <class T>
struct Plane {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<T> values;

  Plane() = default;
  Plane(std::size_t r, std::size_t c) : rows(r), cols(c), values(r * c) {}
  T& at(std::size_t y, std::size_t x) { return values[y * cols + x]; }
  T at(std::size_t y, std::size_t x) const { return values[y * cols + x]; }
  T* row(std::size_t y) { return values.data() + y * cols; }
  const T* row(std::size_t y) const { return values.data() + y * cols; }
};

// A kernel of krows x kcols values, row-major.
template <class T>
struct Kernel {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<T> values;
};

// The part of the output to compute: rows [row_begin, row_end), columns
// [col_begin, col_end) of the 'same'-mode result (the whole of it by
// default); the result holds just that part.
struct Region {
  std::size_t row_begin = 0, row_end = 0, col_begin = 0, col_end = 0;
};

// scipy.signal.convolve2d(in, kernel, mode='same', boundary=...) (flip
// true) or correlate2d (flip false), over `region` of the output.
template <class T>
Plane<T> filter_same(const Plane<T>& in, const Kernel<T>& kernel, bool flip, Boundary boundary,
                     Region region);

template <class T>
Plane<T> filter_same(const Plane<T>& in, const Kernel<T>& kernel, bool flip, Boundary boundary) {
  return filter_same(in, kernel, flip, boundary, Region{0, in.rows, 0, in.cols});
}

// numpy.pad(in, pad, 'symmetric').
template <class T>
Plane<T> pad_symmetric(const Plane<T>& in, std::size_t pad);

// The index that 'symm' and numpy.pad's 'symmetric' read for position j of
// an axis of length m (any j).
std::ptrdiff_t reflect_index(std::ptrdiff_t j, std::ptrdiff_t m);

}  // namespace velmora::baselines
