// The feature extractors against plain models: the five-window counter
// against a direct count of four-windows, the vector kernels against their
// portable versions, and the merges against the cells they must cover.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "features/cooccurrence.hpp"
#include "features/features.hpp"
#include "features/kernels.hpp"
#include "features/maxsrm.hpp"
#include "features/symmetrize.hpp"
#include "test_images.hpp"

namespace velmora::features {
namespace {

using detail::Counts4;
using detail::Direction;

Counts4 naive_counts(const std::vector<std::uint8_t>& a, std::size_t h, std::size_t w,
                     Direction dir) {
  Counts4 c{};
  const std::size_t dy = dir == Direction::vertical ? w : 0;
  const std::size_t dx = dir == Direction::horizontal ? 1 : 0;
  for (std::size_t y = 0; y + 3 * (dy != 0) < h; ++y)
    for (std::size_t x = 0; x + 3 * dx < w; ++x) {
      const std::uint8_t* p = a.data() + y * w + x;
      const std::size_t step = dy + dx;
      ++c[125u * p[0] + 25u * p[step] + 5u * p[2 * step] + p[3 * step]];
    }
  return c;
}

TEST(WindowCounter, MatchesDirectCountsForEverySizeAndDistribution) {
  std::mt19937_64 gen(7);
  detail::WindowCounter counter;
  // Odd and even sides around the pairing of windows, sides at which the
  // vector loops have remainders, and one large array of a single code that
  // forces the 16-bit tables to be flushed part way.
  const std::pair<std::size_t, std::size_t> sizes[] = {{4, 4},   {5, 4},   {4, 5},   {5, 7},
                                                       {9, 38},  {38, 9},  {33, 70}, {70, 33},
                                                       {64, 67}, {130, 2}, {2, 130}, {700, 700}};
  for (auto [h, w] : sizes) {
    for (int skew = 0; skew < 2; ++skew) {
      std::vector<std::uint8_t> a(h * w + detail::kReadPadding);
      std::uniform_int_distribution<int> code(0, 4), coin(0, 9);
      for (std::size_t i = 0; i < h * w; ++i)
        a[i] = static_cast<std::uint8_t>(h * w > 100000 || (skew && coin(gen) < 8) ? 2 : code(gen));
      for (Direction dir : {Direction::horizontal, Direction::vertical}) {
        Counts4 got{};
        if (dir == Direction::horizontal) {
          counter.count_horizontal(h, w, [&](std::size_t y) { return a.data() + y * w; }, got);
        } else {
          counter.count_vertical(a.data(), h, w, w, got);
        }
        EXPECT_EQ(got, naive_counts(a, h, w, dir)) << h << "x" << w << " skew " << skew;
        std::uint64_t total = 0;
        for (auto c : got)
          total += c;
        EXPECT_EQ(total, detail::window_count(h, w, dir));
      }
    }
  }
}

TEST(Kernels, VectorAndPortablePathsGiveIdenticalFeatures) {
  // Whole extractions with and without AVX2: every kernel, remainders of
  // every length, and views with other strides.
  std::mt19937_64 gen(11);
  std::uniform_int_distribution<std::size_t> side(8, 90);
  for (int round = 0; round < 12; ++round) {
    const auto t = static_cast<testing::Texture>(round % 5);
    const testing::Image img = testing::make_image(side(gen), side(gen), t, gen);
    for (FeatureSet set : {FeatureSet::spam, FeatureSet::srm}) {
      std::vector<double> vec(dimension(set)), portable(dimension(set));
      extract(img.view(), set, vec);
      detail::allow_avx2(false);
      extract(img.view(), set, portable);
      detail::allow_avx2(true);
      EXPECT_EQ(vec, portable) << img.rows << "x" << img.cols;
    }
  }
}

TEST(MaxSrm, CountedAndAddedSumsAgreeForMapsOfOneValue) {
  // A map whose nonzero values are one value c takes the counting path;
  // the general one adds c (or 0) tuple by tuple. Both must give the same
  // float32 sums: dense and sparse maps, values that round differently,
  // odd sizes and every texture.
  std::mt19937_64 gen(21);
  std::uniform_int_distribution<std::size_t> side(8, 45);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double values[] = {1.0, 0.37, 1e-6, 0.1, 0.5};
  const double densities[] = {1.0, 0.95, 0.5, 0.05};
  const std::size_t dim = dimension(FeatureSet::maxsrm);
  for (int round = 0; round < 10; ++round) {
    const auto t = static_cast<testing::Texture>(round % 5);
    const testing::Image img = testing::make_image(side(gen), side(gen), t, gen);
    const double c = values[round % 5], density = densities[round % 4];
    std::vector<double> map(img.pixels.size());
    for (double& v : map)
      v = unit(gen) < density ? c : 0.0;
    std::vector<double> counted(dim), added(dim);
    detail::extract_maxsrm(img.view(), map, counted, {});
    detail::extract_maxsrm(img.view(), map, added, {}, false);
    EXPECT_EQ(counted, added) << img.rows << "x" << img.cols << " c " << c << " density "
                              << density;
    EXPECT_TRUE(std::any_of(counted.begin(), counted.end(), [](double v) { return v != 0; }));
  }
  const testing::Image img = testing::make_image(20, 17, testing::Texture::kNoise, gen);
  std::vector<double> zeros(img.pixels.size(), 0.0), out(dim, 1.0);
  detail::extract_maxsrm(img.view(), zeros, out, {});
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](double v) { return v == 0; }));
}

TEST(Features, StridedViewsReadTheLogicalImage) {
  std::mt19937_64 gen(3);
  const testing::Image img = testing::make_image(40, 33, testing::Texture::kPatchy, gen);
  // The same image transposed in memory, read through a transposing view.
  std::vector<std::uint8_t> t(img.pixels.size());
  for (std::size_t y = 0; y < img.rows; ++y)
    for (std::size_t x = 0; x < img.cols; ++x)
      t[x * img.rows + y] = img.pixels[y * img.cols + x];
  const ImageView transposed(t.data(), img.rows, img.cols, 1,
                             static_cast<std::ptrdiff_t>(img.rows));
  std::vector<double> a(dimension(FeatureSet::srmq1)), b(a.size());
  extract(img.view(), FeatureSet::srmq1, a);
  extract(transposed, FeatureSet::srmq1, b);
  EXPECT_EQ(a, b);
}

TEST(Features, FlatImageFillsTheCentreCellsOnly) {
  // Every residual of a flat image is zero: each normalized co-occurrence is
  // 1 at its centre cell, so a min/max submodel (two stacks of min and of
  // max) holds 4 in one cell, and each spam half 2.
  const testing::Image img(12, 9, 77);
  std::vector<double> f(dimension(FeatureSet::srm));
  extract(img.view(), FeatureSet::srm, f);
  std::size_t offset = 0;
  for (const Submodel& s : submodels(FeatureSet::srm)) {
    const std::span<const double> part(f.data() + offset, s.dimension);
    const double peak = s.dimension == 325 ? 4.0 : 2.0;
    EXPECT_EQ(std::count(part.begin(), part.end(), peak), s.dimension == 325 ? 1 : 2) << s.name;
    EXPECT_EQ(std::count(part.begin(), part.end(), 0.0), s.dimension == 325 ? 324 : 336) << s.name;
    offset += s.dimension;
  }
  std::vector<double> spam(dimension(FeatureSet::spam));
  extract(img.view(), FeatureSet::spam, spam);
  // The centre of the 7 x 7 x 7 cube, in both halves.
  EXPECT_EQ(spam[171], 1.0);
  EXPECT_EQ(spam[343 + 171], 1.0);
  EXPECT_EQ(std::count(spam.begin(), spam.end(), 0.0), 684);
}

TEST(Symmetrize, EachMergeCoversEveryCellOnce) {
  // With every cell 1, each output counts the cells it merges; together the
  // outputs must hold all 625.
  std::array<float, 625> ones{}, zeros{};
  ones.fill(1.0f);
  const auto spam = detail::symmetrize_spam(ones);
  float total = 0;
  for (float v : spam)
    total += v;
  EXPECT_EQ(total, 625.0f);
  EXPECT_EQ(spam[0], 1.0f);  // the centre, alone
  const auto minmax = detail::symmetrize_minmax(ones, zeros);
  total = 0;
  for (float v : minmax)
    total += v;
  EXPECT_EQ(total, 625.0f);
  // A cell and its negation merge only in the spam merge: the min/max merge
  // keeps the 25 cells that are their own reversal apart.
  EXPECT_EQ(std::count(minmax.begin(), minmax.end(), 1.0f), 25);
}

TEST(Catalog, DimensionsAndNames) {
  EXPECT_EQ(dimension(FeatureSet::spam), 686u);
  EXPECT_EQ(dimension(FeatureSet::srmq1), 12753u);
  EXPECT_EQ(dimension(FeatureSet::srm), 34671u);
  EXPECT_EQ(submodels(FeatureSet::srm).size(), 106u);
  EXPECT_EQ(submodels(FeatureSet::srmq1).size(), 39u);
  for (const Submodel& s : submodels(FeatureSet::srmq1))
    EXPECT_TRUE(s.name.ends_with("_q1")) << s.name;
  EXPECT_EQ(submodels(FeatureSet::srm)[0].name, "s1_minmax22h_q1");
  EXPECT_EQ(submodels(FeatureSet::srm)[105].name, "s5x5_spam14hv_q2");
}

}  // namespace
}  // namespace velmora::features
