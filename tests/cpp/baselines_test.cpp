// The baseline methods' engine against models that need no reference:
// NumPy's generators at known values, the elementary functions against long
// double, SciPy's convolution against a direct loop, the vector kernels
// against the portable ones, the searches with estimates against the
// searches without, and the estimates' bounds against the full values.
// (The comparison with conseal itself runs in Python.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "baselines/baselines.hpp"
#include "baselines/dispatch.hpp"
#include "baselines/estimates.hpp"
#include "baselines/filters.hpp"
#include "baselines/mipod.hpp"
#include "baselines/sender.hpp"
#include "baselines/simd.hpp"
#include "random/numpy_generators.hpp"
#include "test_images.hpp"

namespace velmora::baselines {
namespace {

using testing::Image;

constexpr Method kMethods[] = {Method::lsbm, Method::hill, Method::suniward, Method::wow,
                               Method::mipod};

// Smooth shading with texture, a band saturated at 0 and a patch at 255:
// the kinds of regions a photograph has.
Image photo_like(std::size_t h, std::size_t w, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> noise(0.0, 6.0);
  Image img(h, w);
  for (std::size_t y = 0; y < h; ++y) {
    for (std::size_t x = 0; x < w; ++x) {
      double v =
          128 +
          70 * std::sin(0.11 * static_cast<double>(x)) * std::cos(0.07 * static_cast<double>(y)) +
          noise(gen) * (x > w / 2 ? 2.0 : 0.3);
      if (y < h / 8) v = -5;
      if (y > h - h / 6 && x < w / 4) v = 300;
      img.at(y, x) = static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
    }
  }
  return img;
}

// Restores the default code paths when a test ends.
struct Paths {
  Paths(bool avx2, bool literal) { set(avx2, literal); }
  ~Paths() { set(true, false); }
  static void set(bool avx2, bool literal) {
    detail::allow_avx2(avx2);
    detail::use_literal_search(literal);
  }
};

TEST(NumpyGenerators, DrawWhatNumpyDrawsForTheSameSeed) {
  // numpy.random.default_rng(seed).random(3) and RandomState(seed).random_sample(3).
  struct Case {
    std::uint64_t seed;
    double pcg[3];
  };
  const Case cases[] = {
      {0, {0.6369616873214543, 0.2697867137638703, 0.04097352393619469}},
      {12345, {0.22733602246716966, 0.31675833970975287, 0.7973654573327341}},
      {4294967296ULL, {0.8897387912781343, 0.5571380502062263, 0.8009080868919721}},
      {18446744073709551615ULL, {0.6800266789616931, 0.8453117585624743, 0.007403081599260064}},
  };
  for (const Case& c : cases) {
    NumpyPcg64 rng(c.seed);
    for (double expected : c.pcg)
      EXPECT_EQ(rng.next_double(), expected) << c.seed;
  }
  NumpyMt19937 mt(0);
  for (double expected : {0.5488135039273248, 0.7151893663724195, 0.6027633760716439})
    EXPECT_EQ(mt.next_double(), expected);
  NumpyMt19937 mt2(12345);
  for (double expected : {0.9296160928171479, 0.3163755545817859, 0.18391881167709445})
    EXPECT_EQ(mt2.next_double(), expected);
}

// |got - exact| in units of the last place of exact.
double ulps(double got, long double exact) {
  int k = 0;
  std::frexp(static_cast<double>(exact), &k);
  const double ulp = std::ldexp(1.0, k - 53);
  return static_cast<double>(std::fabs(static_cast<long double>(got) - exact)) / ulp;
}

TEST(ElementaryFunctions, AreWithinTwoThirdsOfAnUlpAndExactAtTheSpecialValues) {
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> wide(-700, 700), narrow(-3, 3), positive(-60, 60);
  double worst_exp = 0, worst_log = 0, worst_log2 = 0;
  for (int i = 0; i < 200000; ++i) {
    const double x = i % 2 ? wide(gen) : narrow(gen);
    worst_exp = std::max(worst_exp, ulps(simd::exp(x), std::exp(static_cast<long double>(x))));
    const double y = std::exp2(positive(gen)) * (1 + narrow(gen) / 8);
    worst_log = std::max(worst_log, ulps(simd::log(y), std::log(static_cast<long double>(y))));
    worst_log2 = std::max(worst_log2, ulps(simd::log2(y), std::log2(static_cast<long double>(y))));
  }
  EXPECT_LT(worst_exp, 0.65);
  EXPECT_LT(worst_log, 0.65);
  EXPECT_LT(worst_log2, 0.75);
  EXPECT_EQ(simd::exp(0.0), 1.0);
  EXPECT_EQ(simd::exp(-746.0), 0.0);
  EXPECT_EQ(simd::exp(710.0), HUGE_VAL);
  EXPECT_GT(simd::exp(-740.0), 0.0);  // subnormal
  EXPECT_EQ(simd::log(1.0), 0.0);
  EXPECT_EQ(simd::log2(8.0), 3.0);
  EXPECT_EQ(simd::log(0.0), -HUGE_VAL);
  EXPECT_TRUE(std::isnan(simd::log(-1.0)));
  EXPECT_NEAR(simd::log(5e-324), std::log(5e-324), 1e-12);
}

// SciPy's loop written plainly: every tap read through its boundary rule,
// each kernel row's taps in groups of four, then one by one.
template <class T>
Plane<T> direct_filter(const Plane<T>& in, const Kernel<T>& k, bool flip, Boundary boundary) {
  Plane<T> out(in.rows, in.cols);
  const auto rows = static_cast<std::ptrdiff_t>(in.rows),
             cols = static_cast<std::ptrdiff_t>(in.cols);
  const std::ptrdiff_t a = (static_cast<std::ptrdiff_t>(k.rows) - 1) >> 1;
  const std::ptrdiff_t b = (static_cast<std::ptrdiff_t>(k.cols) - 1) >> 1;
  auto value = [&](std::ptrdiff_t y, std::ptrdiff_t x) -> T {
    if (y >= 0 && y < rows && x >= 0 && x < cols) return in.at(y, x);
    if (boundary == Boundary::zero) return T(0);
    return in.at(reflect_index(y, rows), reflect_index(x, cols));
  };
  for (std::ptrdiff_t m = 0; m < rows; ++m) {
    for (std::ptrdiff_t n = 0; n < cols; ++n) {
      T sum = 0;
      for (std::size_t j = 0; j < k.rows; ++j) {
        const auto jj = static_cast<std::ptrdiff_t>(j);
        const std::ptrdiff_t y = flip ? m + a - jj : m - a + jj;
        auto tap = [&](std::size_t t) {
          const auto tt = static_cast<std::ptrdiff_t>(t);
          return k.values[j * k.cols + t] * value(y, flip ? n + b - tt : n - b + tt);
        };
        std::size_t t = 0;
        for (; t + 4 <= k.cols; t += 4)
          sum += tap(t) + tap(t + 1) + tap(t + 2) + tap(t + 3);
        for (; t < k.cols; ++t)
          sum += tap(t);
      }
      out.at(m, n) = sum;
    }
  }
  return out;
}

template <class T>
void check_filters(std::mt19937_64& gen) {
  std::uniform_real_distribution<T> u(-3, 3);
  const std::size_t sizes[][4] = {{1, 1, 3, 3},  {5, 3, 15, 15}, {17, 29, 16, 16}, {40, 33, 2, 2},
                                  {9, 70, 7, 7}, {33, 9, 3, 5},  {2, 2, 9, 4}};
  for (const auto& s : sizes) {
    Plane<T> in(s[0], s[1]);
    for (T& v : in.values)
      v = u(gen);
    Kernel<T> k{s[2], s[3], std::vector<T>(s[2] * s[3])};
    for (T& v : k.values)
      v = u(gen);
    for (bool flip : {false, true}) {
      for (Boundary boundary : {Boundary::symmetric, Boundary::zero}) {
        const Plane<T> expected = direct_filter(in, k, flip, boundary);
        for (bool avx2 : {true, false}) {
          Paths paths(avx2, false);
          EXPECT_EQ(filter_same(in, k, flip, boundary).values, expected.values)
              << s[0] << "x" << s[1] << " kernel " << s[2] << "x" << s[3] << " flip " << flip;
          // A region reads only inside it or through the boundary rule.
          const Region r{s[0] / 3, s[0] - s[0] / 4, s[1] / 5, s[1]};
          const Plane<T> part = filter_same(in, k, flip, boundary, r);
          for (std::size_t y = r.row_begin; y < r.row_end; ++y)
            for (std::size_t x = r.col_begin; x < r.col_end; ++x)
              ASSERT_EQ(part.at(y - r.row_begin, x - r.col_begin), expected.at(y, x));
        }
      }
    }
  }
}

TEST(Filters, AddSciPysProductsInSciPysOrder) {
  std::mt19937_64 gen(5);
  check_filters<float>(gen);
  check_filters<double>(gen);
  // numpy.pad's 'symmetric' beyond the array's own length.
  Plane<double> row(1, 2);
  row.values = {1, 2};
  const Plane<double> padded = pad_symmetric(row, 3);
  const std::vector<double> expected_row = {2, 2, 1, 1, 2, 2, 1, 1};
  for (std::size_t y = 0; y < padded.rows; ++y)
    for (std::size_t x = 0; x < padded.cols; ++x)
      EXPECT_EQ(padded.at(y, x), expected_row[x]);
}

// Everything a method gives for a cover: costs, probabilities, stego images.
struct Outputs {
  std::vector<float> c32, p32;
  std::vector<double> c64, p64;
  std::vector<std::uint8_t> stego;
  std::vector<double> lambdas;
  bool operator==(const Outputs&) const = default;
};

Outputs run_all(const Image& img, Method method) {
  Prepared p = prepare(img.view(), method);
  Outputs out{p.plus32, {}, p.plus, {}, {}, {}};
  out.c32.insert(out.c32.end(), p.minus32.begin(), p.minus32.end());
  out.c64.insert(out.c64.end(), p.minus.begin(), p.minus.end());
  std::uint64_t seed = 99;
  for (double alpha : {0.0, 0.01, 0.1, 0.4, 1.0}) {
    const Probabilities pr = change_probabilities(p, alpha);
    EXPECT_TRUE(pr.reached) << method_name(method) << " " << alpha;
    out.p32.insert(out.p32.end(), pr.plus32.begin(), pr.plus32.end());
    out.p32.insert(out.p32.end(), pr.minus32.begin(), pr.minus32.end());
    out.p64.insert(out.p64.end(), pr.plus.begin(), pr.plus.end());
    out.p64.insert(out.p64.end(), pr.minus.begin(), pr.minus.end());
    out.lambdas.push_back(pr.search.lambda);
    const auto s = simulate(p, alpha, seed++);
    out.stego.insert(out.stego.end(), s.begin(), s.end());
  }
  return out;
}

TEST(Baselines, GiveTheSameBitsWithTheVectorKernelsOrWithout) {
  const Image img = photo_like(61, 53, 3);
  for (Method m : kMethods) {
    Outputs dispatched, generic;
    {
      Paths paths(true, false);
      dispatched = run_all(img, m);
    }
    {
      Paths paths(false, false);
      generic = run_all(img, m);
    }
    EXPECT_TRUE(dispatched == generic) << method_name(m);
  }
}

TEST(Baselines, SearchesDecideAsTheFullEvaluationsDo) {
  // The estimates only spare evaluations: lambda, the probabilities and the
  // stego images are those of the search that evaluates every entropy.
  for (std::uint64_t seed : {1, 2}) {
    const Image img = photo_like(seed == 1 ? 96 : 45, seed == 1 ? 80 : 130, seed);
    for (Method m : kMethods) {
      Outputs estimated, literal;
      {
        Paths paths(true, false);
        estimated = run_all(img, m);
      }
      {
        Paths paths(true, true);
        literal = run_all(img, m);
      }
      EXPECT_TRUE(estimated == literal) << method_name(m) << " image " << seed;
    }
  }
}

// Relative payload reached by the probabilities, in bits.
template <class T>
double carried(TernarySender<T>& sender, double lambda) {
  return static_cast<double>(sender.entropy(lambda));
}

TEST(Baselines, ProbabilitiesCarryThePayloadAskedFor) {
  const Image img = photo_like(128, 128, 9);
  const double n = static_cast<double>(img.pixels.size());
  for (Method m : {Method::hill, Method::suniward, Method::wow}) {
    Prepared p = prepare(img.view(), m);
    for (double alpha : {0.02, 0.1, 0.3, 0.5}) {
      const Probabilities pr = change_probabilities(p, alpha);
      const double m_bits = std::nearbyint(alpha * n);
      const double h = m == Method::hill ? carried(*p.sender32, pr.search.lambda)
                                         : carried(*p.sender64, pr.search.lambda);
      // conseal's search stops once the bracket is within alpha / 1000 per pixel.
      EXPECT_NEAR(h, m_bits, alpha * n / 1000 + 1) << method_name(m) << " " << alpha;
    }
  }
  Prepared p = prepare(img.view(), Method::mipod);
  for (double alpha : {0.02, 0.1, 0.3}) {
    const Probabilities pr = change_probabilities(p, alpha);
    const double nats = p.mipod->entropy(pr.search.lambda);
    EXPECT_NEAR(nats, alpha * n * std::log(2.0), 1e-3) << alpha;
    // The change rates are MiPOD's: the two directions alike, at most 1/3.
    EXPECT_EQ(pr.plus, pr.minus);
    for (double b : pr.plus)
      ASSERT_TRUE(b > 0 && b <= 1.0 / 3 + 1e-6);
  }
}

TEST(Estimates, BoundTheirDistanceFromTheFullEvaluation) {
  std::mt19937_64 gen(4);
  std::uniform_real_distribution<double> exponent(-12, 24);
  for (std::uint64_t seed : {5, 6}) {
    const Image img = photo_like(seed == 5 ? 70 : 41, seed == 5 ? 90 : 77, seed);
    for (Method m : {Method::hill, Method::suniward, Method::wow, Method::mipod}) {
      Prepared p = prepare(img.view(), m);
      for (int i = 0; i < 60; ++i) {
        const double lambda = std::exp2(exponent(gen));
        double full;
        std::vector<Estimate> estimates;
        if (m == Method::hill) {
          full = static_cast<double>(p.sender32->entropy(lambda));
          estimates.push_back(p.sender32->estimate()(lambda));
        } else if (m == Method::mipod) {
          const double l = lambda * 64;  // MiPOD's lambdas are larger
          full = p.mipod->entropy(l);
          estimates.push_back(p.mipod->estimate()(l, false));
          estimates.push_back(p.mipod->estimate()(l, true));
        } else {
          full = p.sender64->entropy(lambda);
          estimates.push_back(p.sender64->estimate()(lambda));
        }
        for (const Estimate& e : estimates) {
          ASSERT_LE(std::fabs(full - e.value), e.bound)
              << method_name(m) << " lambda " << lambda << " full " << full << " estimate "
              << e.value;
        }
      }
    }
  }
  // Values that no bin takes (here: not positive) are all summed one by one.
  const std::vector<double> unbinned(64, 0.0);
  ASSERT_TRUE(make_bins(unbinned, {}, 8).center.empty());
  MipodSender sender(unbinned, 8, 8);
  for (double lambda : {1e-3, 1.0, 1e3}) {
    const double full = sender.entropy(lambda);
    for (bool fine : {false, true}) {
      const Estimate e = sender.estimate()(lambda, fine);
      ASSERT_LE(std::fabs(full - e.value), e.bound) << lambda << " " << fine;
    }
  }
}

TEST(Baselines, ReportPayloadsTheCoverCannotCarryAndNeverLeaveTheRange) {
  // Every pixel at 255: a change can only go down. The search reaches 1.5
  // bits per pixel only where +1 at 255 is no longer wet (conseal's stego
  // image would wrap 255 to 0), and 0.5 not at all within its steps.
  Image white(32, 32, 255);
  for (Method m : {Method::hill, Method::suniward, Method::wow}) {
    Prepared p = prepare(white.view(), m);
    EXPECT_FALSE(change_probabilities(p, 1.5).reached) << method_name(m);
    EXPECT_TRUE(simulate(p, 1.5, 1).empty()) << method_name(m);
  }
  // Saturated regions in a textured image stay in the range at any payload.
  const Image img = photo_like(64, 64, 12);
  for (Method m : kMethods) {
    Prepared p = prepare(img.view(), m);
    for (double alpha : {0.2, 1.0}) {
      const auto stego = simulate(p, alpha, 3);
      ASSERT_FALSE(stego.empty()) << method_name(m) << " " << alpha;
      for (std::size_t i = 0; i < stego.size(); ++i) {
        ASSERT_LE(std::abs(stego[i] - img.pixels[i]), 1) << method_name(m) << " " << alpha;
      }
    }
  }
  // MiPOD's payload of log2(3) bits per pixel needs every change rate at
  // 1/3, which no lambda of its search gives.
  const Image small = photo_like(24, 24, 2);
  Prepared q = prepare(small.view(), Method::mipod);
  EXPECT_FALSE(change_probabilities(q, std::log2(3.0)).reached);
}

TEST(Baselines, LsbMatchingChangesTheRateConsealDraws) {
  const Image img = photo_like(50, 40, 8);
  Prepared p = prepare(img.view(), Method::lsbm);
  const Probabilities pr = change_probabilities(p, 0.3);
  const double rate = std::ceil(std::ceil(0.3 * 2000) / 2) / 2000;
  for (std::size_t i = 0; i < img.pixels.size(); ++i) {
    const std::uint8_t v = img.pixels[i];
    ASSERT_DOUBLE_EQ(pr.plus[i] + pr.minus[i], rate);
    if (v == 0) {
      ASSERT_EQ(pr.minus[i], 0.0);
    }
    if (v == 255) {
      ASSERT_EQ(pr.plus[i], 0.0);
    }
  }
}

}  // namespace
}  // namespace velmora::baselines
