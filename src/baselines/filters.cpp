#include "baselines/filters.hpp"

#include <cstdint>
#include <cstring>

#include "baselines/dispatch.hpp"
#include "baselines/simd.hpp"
#include "core/error.hpp"

namespace velmora::baselines {

namespace {

using f32x8 = float __attribute__((vector_size(32)));
using simd::f64x4;

// The vector of T of `Bytes` bytes.
template <class T, int Bytes>
struct Lanes;
template <>
struct Lanes<double, 32> {
  using V = f64x4;
  static constexpr std::size_t n = 4;
};
template <>
struct Lanes<float, 32> {
  using V = f32x8;
  static constexpr std::size_t n = 8;
};

// acc[x] += the products of one kernel row with src[x + step * t] for
// t < taps, x < n, grouped as SciPy groups them. `w` holds the row's taps.
template <class T>
VELMORA_ALWAYS_INLINE void add_row_scalar(T* acc, const T* src, std::ptrdiff_t step, const T* w,
                                          std::size_t taps, std::size_t x) {
  T s = acc[x];
  std::size_t t = 0;
  for (; t + 4 <= taps; t += 4) {
    const T* p = src + x + step * static_cast<std::ptrdiff_t>(t);
    s += w[t] * p[0] + w[t + 1] * p[step] + w[t + 2] * p[2 * step] + w[t + 3] * p[3 * step];
  }
  for (; t < taps; ++t)
    s += w[t] * src[x + step * static_cast<std::ptrdiff_t>(t)];
  acc[x] = s;
}

template <class T, int Bytes>
VELMORA_ALWAYS_INLINE void add_row(T* acc, const T* src, std::ptrdiff_t step, const T* w,
                                   std::size_t taps, std::size_t n) {
  using V = typename Lanes<T, Bytes>::V;
  constexpr std::size_t L = Lanes<T, Bytes>::n;
  std::size_t x = 0;
  // Two vectors at a time, for independent chains of additions.
  for (; x + 2 * L <= n; x += 2 * L) {
    V s0 = simd::load<V>(acc + x), s1 = simd::load<V>(acc + x + L);
    std::size_t t = 0;
    for (; t + 4 <= taps; t += 4) {
      const T* p = src + x + step * static_cast<std::ptrdiff_t>(t);
      const V w0 = V{} + w[t], w1 = V{} + w[t + 1], w2 = V{} + w[t + 2], w3 = V{} + w[t + 3];
      s0 += w0 * simd::load<V>(p) + w1 * simd::load<V>(p + step) +
            w2 * simd::load<V>(p + 2 * step) + w3 * simd::load<V>(p + 3 * step);
      s1 += w0 * simd::load<V>(p + L) + w1 * simd::load<V>(p + step + L) +
            w2 * simd::load<V>(p + 2 * step + L) + w3 * simd::load<V>(p + 3 * step + L);
    }
    for (; t < taps; ++t) {
      const T* p = src + x + step * static_cast<std::ptrdiff_t>(t);
      const V wt = V{} + w[t];
      s0 += wt * simd::load<V>(p);
      s1 += wt * simd::load<V>(p + L);
    }
    simd::store(acc + x, s0);
    simd::store(acc + x + L, s1);
  }
  for (; x < n; ++x)
    add_row_scalar(acc, src, step, w, taps, x);
}

// One output row: acc (n values, zeroed here) from the kernel's rows, row j
// read from rows[j] (already positioned at the tap of output column 0).
template <class T, int Bytes>
VELMORA_ALWAYS_INLINE void filter_row(T* acc, const T* const* rows, std::ptrdiff_t step,
                                      const T* kernel, std::size_t krows, std::size_t kcols,
                                      std::size_t n) {
  std::memset(static_cast<void*>(acc), 0, n * sizeof(T));
  for (std::size_t j = 0; j < krows; ++j)
    add_row<T, Bytes>(acc, rows[j], step, kernel + j * kcols, kcols, n);
}

template <class T>
void filter_row_generic(T* acc, const T* const* rows, std::ptrdiff_t step, const T* kernel,
                        std::size_t krows, std::size_t kcols, std::size_t n) {
  filter_row<T, 32>(acc, rows, step, kernel, krows, kcols, n);
}

#ifdef VELMORA_X86_KERNELS
template <class T>
__attribute__((target("avx2"))) void filter_row_avx2(T* acc, const T* const* rows,
                                                     std::ptrdiff_t step, const T* kernel,
                                                     std::size_t krows, std::size_t kcols,
                                                     std::size_t n) {
  filter_row<T, 32>(acc, rows, step, kernel, krows, kcols, n);
}

#endif

template <class T>
void run_filter_row(T* acc, const T* const* rows, std::ptrdiff_t step, const T* kernel,
                    std::size_t krows, std::size_t kcols, std::size_t n) {
#ifdef VELMORA_X86_KERNELS
  if (use_avx2()) return filter_row_avx2(acc, rows, step, kernel, krows, kcols, n);
#endif
  filter_row_generic(acc, rows, step, kernel, krows, kcols, n);
}

}  // namespace

std::ptrdiff_t reflect_index(std::ptrdiff_t j, std::ptrdiff_t m) {
  const std::ptrdiff_t k = j >= 0 ? j % (2 * m) : (-(j + 1)) % (2 * m);
  return k >= m ? 2 * m - k - 1 : k;
}

template <class T>
Plane<T> pad_symmetric(const Plane<T>& in, std::size_t pad) {
  Plane<T> out(in.rows + 2 * pad, in.cols + 2 * pad);
  const auto p = static_cast<std::ptrdiff_t>(pad);
  const auto rows = static_cast<std::ptrdiff_t>(in.rows);
  const auto cols = static_cast<std::ptrdiff_t>(in.cols);
  std::vector<std::size_t> col_of(out.cols);
  for (std::size_t x = 0; x < out.cols; ++x)
    col_of[x] = static_cast<std::size_t>(reflect_index(static_cast<std::ptrdiff_t>(x) - p, cols));
  for (std::size_t y = 0; y < out.rows; ++y) {
    const T* src =
        in.row(static_cast<std::size_t>(reflect_index(static_cast<std::ptrdiff_t>(y) - p, rows)));
    T* dst = out.row(y);
    for (std::size_t x = 0; x < out.cols; ++x)
      dst[x] = src[col_of[x]];
  }
  return out;
}

template <class T>
Plane<T> filter_same(const Plane<T>& in, const Kernel<T>& kernel, bool flip, Boundary boundary,
                     Region region) {
  if (in.rows == 0 || in.cols == 0 || kernel.rows == 0 || kernel.cols == 0 ||
      region.row_end > in.rows || region.col_end > in.cols || region.row_begin > region.row_end ||
      region.col_begin > region.col_end) {
    throw InternalError("filter_same: empty image or kernel, or a region outside the image");
  }
  const auto kr = static_cast<std::ptrdiff_t>(kernel.rows);
  const auto kc = static_cast<std::ptrdiff_t>(kernel.cols);
  // SciPy's origin: output (m, n) reads input (m + a - j, n + b - k) when
  // convolving, (m - a + j, n - b + k) when correlating, for tap (j, k).
  const std::ptrdiff_t a = (kr - 1) >> 1, b = (kc - 1) >> 1;
  const std::ptrdiff_t y0 = static_cast<std::ptrdiff_t>(region.row_begin);
  const std::ptrdiff_t y1 = static_cast<std::ptrdiff_t>(region.row_end);
  const std::ptrdiff_t x0 = static_cast<std::ptrdiff_t>(region.col_begin);
  const std::ptrdiff_t x1 = static_cast<std::ptrdiff_t>(region.col_end);
  Plane<T> out(region.row_end - region.row_begin, region.col_end - region.col_begin);
  if (out.rows == 0 || out.cols == 0) return out;
  // The input rows and columns the region reads, copied with their made-up
  // neighbours into one buffer.
  const std::ptrdiff_t first_row = flip ? y0 + a - (kr - 1) : y0 - a;
  const std::ptrdiff_t first_col = flip ? x0 + b - (kc - 1) : x0 - b;
  const std::size_t buf_rows = static_cast<std::size_t>((y1 - y0) + kr - 1);
  const std::size_t buf_cols = static_cast<std::size_t>((x1 - x0) + kc - 1);
  const auto rows = static_cast<std::ptrdiff_t>(in.rows);
  const auto cols = static_cast<std::ptrdiff_t>(in.cols);
  Plane<T> buf(buf_rows, buf_cols);
  for (std::size_t r = 0; r < buf_rows; ++r) {
    const std::ptrdiff_t y = first_row + static_cast<std::ptrdiff_t>(r);
    T* dst = buf.row(r);
    const bool row_inside = y >= 0 && y < rows;
    if (!row_inside && boundary == Boundary::zero) {
      std::fill(dst, dst + buf_cols, T(0));
      continue;
    }
    const T* src = in.row(static_cast<std::size_t>(row_inside ? y : reflect_index(y, rows)));
    for (std::size_t c = 0; c < buf_cols; ++c) {
      const std::ptrdiff_t x = first_col + static_cast<std::ptrdiff_t>(c);
      if (x >= 0 && x < cols)
        dst[c] = src[x];
      else
        dst[c] = boundary == Boundary::zero ? T(0) : src[reflect_index(x, cols)];
    }
  }
  // Output row i, kernel row j reads buffer row i + (kr - 1 - j) when
  // convolving, i + j when correlating; column c of the output, tap k reads
  // buffer column c + (kc - 1 - k) or c + k.
  std::vector<const T*> taps(kernel.rows);
  const std::ptrdiff_t step = flip ? -1 : 1;
  for (std::size_t i = 0; i < out.rows; ++i) {
    for (std::size_t j = 0; j < kernel.rows; ++j) {
      const std::size_t r = flip ? i + kernel.rows - 1 - j : i + j;
      taps[j] = buf.row(r) + (flip ? kernel.cols - 1 : 0);
    }
    run_filter_row(out.row(i), taps.data(), step, kernel.values.data(), kernel.rows, kernel.cols,
                   out.cols);
  }
  return out;
}

template Plane<float> filter_same(const Plane<float>&, const Kernel<float>&, bool, Boundary,
                                  Region);
template Plane<double> filter_same(const Plane<double>&, const Kernel<double>&, bool, Boundary,
                                   Region);
template Plane<float> pad_symmetric(const Plane<float>&, std::size_t);
template Plane<double> pad_symmetric(const Plane<double>&, std::size_t);

}  // namespace velmora::baselines
