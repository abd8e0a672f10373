#include "baselines/costs.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "baselines/filters.hpp"

namespace velmora::baselines {

namespace {

template <class T>
Plane<T> to_plane(const ImageView& image) {
  Plane<T> p(image.rows(), image.cols());
  for (std::size_t y = 0; y < image.rows(); ++y)
    for (std::size_t x = 0; x < image.cols(); ++x)
      p.at(y, x) = static_cast<T>(image.at(y, x));
  return p;
}

template <class T>
Kernel<T> constant_kernel(std::size_t side, T value) {
  return {side, side, std::vector<T>(side * side, value)};
}

// The wet-cost adjustment of compute_cost_adjusted.
template <class T>
CostMaps<T> adjust(const ImageView& image, const std::vector<T>& rho, T wet) {
  CostMaps<T> maps{rho, rho};
  const std::size_t cols = image.cols();
  for (std::size_t y = 0; y < image.rows(); ++y) {
    for (std::size_t x = 0; x < cols; ++x) {
      const std::size_t i = y * cols + x;
      T v = rho[i];
      if (std::isinf(v) || std::isnan(v) || v > wet) v = wet;
      const std::uint8_t pixel = image.at(y, x);
      maps.plus[i] = pixel == 255 ? wet : v;
      maps.minus[i] = pixel == 0 ? wet : v;
    }
  }
  return maps;
}

// Daubechies 8 decomposition filters (conseal.tools.spatial.daubechies8):
// the high-pass h, the low-pass l[i] = (-1)^i h[15 - i], and the 2-D
// filters l h', h l' and h h'.
constexpr std::array<double, 16> kHighPass = {
    -0.0544158422, +0.3128715909, -0.6756307363, +0.5853546837, +0.0158291053, -0.2840155430,
    -0.0004724846, +0.1287474266, +0.0173693010, -0.0440882539, -0.0139810279, +0.0087460940,
    +0.0048703530, -0.0003917404, -0.0006754494, -0.0001174768};

std::array<Kernel<double>, 3> daubechies8() {
  std::array<double, 16> low{};
  for (std::size_t i = 0; i < 16; ++i)
    low[i] = (i % 2 ? -1.0 : 1.0) * kHighPass[15 - i];
  auto outer = [](const std::array<double, 16>& a, const std::array<double, 16>& b) {
    Kernel<double> k{16, 16, std::vector<double>(256)};
    for (std::size_t i = 0; i < 16; ++i)
      for (std::size_t j = 0; j < 16; ++j)
        k.values[i * 16 + j] = a[i] * b[j];
    return k;
  };
  return {outer(low, kHighPass), outer(kHighPass, low), outer(kHighPass, kHighPass)};
}

Kernel<double> absolute(Kernel<double> k) {
  for (double& v : k.values)
    v = std::fabs(v);
  return k;
}

Kernel<double> reversed(Kernel<double> k) {
  std::reverse(k.values.begin(), k.values.end());  // both axes: rot90(k, 2)
  return k;
}

constexpr std::size_t kWaveletPad = 16;

}  // namespace

CostMaps<float> hill_costs(const ImageView& image) {
  const Plane<float> x0 = to_plane<float>(image);
  const Kernel<float> high_pass{3, 3, {-1, +2, -1, +2, -4, +2, -1, +2, -1}};
  Plane<float> residual = filter_same(x0, high_pass, true, Boundary::symmetric);
  for (float& v : residual.values)
    v = std::fabs(v / 4.0f);
  Plane<float> smoothed =
      filter_same(residual, constant_kernel<float>(3, 1.0f / 9.0f), true, Boundary::symmetric);
  const float eps = 0x1p-23f;  // float32's machine epsilon
  for (float& v : smoothed.values) {
    if (v < eps) v = eps;
    v = 1.0f / v;
  }
  const Plane<float> rho =
      filter_same(smoothed, constant_kernel<float>(15, 1.0f / 225.0f), true, Boundary::symmetric);
  return adjust(image, rho.values, 1e10f);
}

CostMaps<double> suniward_costs(const ImageView& image) {
  const std::size_t h = image.rows(), w = image.cols();
  const Plane<double> padded = pad_symmetric(to_plane<double>(image), kWaveletPad);
  const auto filters = daubechies8();
  std::vector<double> rho(h * w, 0.0);
  for (std::size_t f = 0; f < 3; ++f) {
    // The residual by correlation with the flipped filter, over the padded
    // rows and columns [8, size + 23) that the suitability below reads
    // (correlate2d's zero fill never comes into play there).
    Plane<double> r = filter_same(padded, reversed(filters[f]), false, Boundary::zero,
                                  Region{8, h + 23, 8, w + 23});
    for (double& v : r.values)
      v = 1. / (std::fabs(v) + 1.0);
    // The suitability at padded rows and columns [15, size + 15): what
    // remains of it once rolled by one (the filter is even) and cropped.
    const Plane<double> xi =
        filter_same(r, absolute(filters[f]), false, Boundary::zero, Region{7, h + 7, 7, w + 7});
    for (std::size_t i = 0; i < rho.size(); ++i)
      rho[i] += xi.values[i];
  }
  return adjust(image, rho, 1e8);
}

CostMaps<double> wow_costs(const ImageView& image) {
  const std::size_t h = image.rows(), w = image.cols();
  const Plane<double> padded = pad_symmetric(to_plane<double>(image), kWaveletPad);
  const auto filters = daubechies8();
  std::vector<double> rho(h * w, 0.0);
  for (std::size_t f = 0; f < 3; ++f) {
    // The residual over padded rows and columns [9, size + 24), all that the
    // suitability at [17, size + 17), the part kept after cropping, reads.
    Plane<double> r =
        filter_same(padded, filters[f], true, Boundary::symmetric, Region{9, h + 24, 9, w + 24});
    for (double& v : r.values)
      v = std::fabs(v);
    const Plane<double> xi = filter_same(r, reversed(absolute(filters[f])), true,
                                         Boundary::symmetric, Region{8, h + 8, 8, w + 8});
    constexpr double eps = 0x1p-52;  // float64's machine epsilon
    for (std::size_t i = 0; i < rho.size(); ++i) {
      double v = xi.values[i];
      if (v < eps) v = eps;
      rho[i] += 1 / v;  // the Hoelder mean with p = -1: sum of 1 / xi
    }
  }
  return adjust(image, rho, 1e8);
}

}  // namespace velmora::baselines
