#include "quadtree/quadtree.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/variance.hpp"
#include "test_images.hpp"

namespace velmora {
namespace {

using testing::Image;
using testing::Texture;

// The quadtree exactly as defined: Welford statistics of every block visited,
// recursion in pre-order, leaves emitted row-major.
struct ModelQuadtree {
  ModelQuadtree(const ImageView& v, std::uint64_t mb) : view(v), min_block(mb) {}

  const ImageView& view;
  std::uint64_t min_block;
  double threshold = 8.0;
  std::vector<PixelCoord> pool;

  static double variance(const ImageView& v, std::size_t y, std::size_t x, std::size_t h,
                         std::size_t w) {
    if (h == 0 || w == 0) return 0.0;
    double mean = 0.0, m2 = 0.0;
    std::uint64_t n = 1;
    for (std::size_t r = y; r < y + h; ++r) {
      for (std::size_t c = x; c < x + w; ++c) {
        const double p = v.at(r, c);
        const double d = p - mean;
        mean = mean + d / static_cast<double>(n);
        m2 = m2 + (p - mean) * d;
        n = n + 1;
      }
    }
    return m2 / static_cast<double>(h * w);
  }

  void recurse(std::size_t y, std::size_t x, std::size_t h, std::size_t w) {
    if (h == 0 || w == 0) return;
    if (threshold > variance(view, y, x, h, w)) return;
    if (h > min_block && w > min_block) {
      const std::size_t hh = h / 2, hw = w / 2;
      recurse(y, x, hh, hw);
      recurse(y, x + hw, hh, w - hw);
      recurse(y + hh, x, h - hh, hw);
      recurse(y + hh, x + hw, h - hh, w - hw);
      return;
    }
    for (std::size_t r = y; r < y + h; ++r) {
      for (std::size_t c = x; c < x + w; ++c)
        pool.push_back({r, c});
    }
  }

  std::vector<PixelCoord> run() {
    const std::size_t H = view.rows(), W = view.cols();
    double mean = 0.0, var = 0.0;
    if (H * W > 0) {
      double m2 = 0.0;
      std::uint64_t n = 1;
      for (std::size_t r = 0; r < H; ++r) {
        for (std::size_t c = 0; c < W; ++c) {
          const double p = view.at(r, c);
          const double d = p - mean;
          mean = mean + d / static_cast<double>(n);
          m2 = m2 + (p - mean) * d;
          n = n + 1;
        }
      }
      var = m2 / static_cast<double>(H * W);
    }
    const double t = mean * 0.1 + std::sqrt(var) * 0.6;
    threshold = t > 8.0 ? t : 8.0;
    recurse(0, 0, H, W);
    return pool;
  }
};

std::vector<PixelCoord> model_pool(const ImageView& v, std::uint64_t min_block) {
  return ModelQuadtree(v, min_block).run();
}

std::vector<PixelCoord> engine_pool(const ImageView& v, std::uint64_t min_block) {
  const QuadtreePool pool = adaptive_quadtree(v, min_block);
  const Pool expanded = pool.to_vector();
  return {expanded.begin(), expanded.end()};
}

Image from_rows(std::initializer_list<std::initializer_list<int>> rows) {
  Image img(rows.size(), rows.begin()->size());
  std::size_t y = 0;
  for (const auto& row : rows) {
    std::size_t x = 0;
    for (int v : row)
      img.at(y, x++) = static_cast<std::uint8_t>(v);
    ++y;
  }
  return img;
}

std::vector<PixelCoord> block(std::size_t y, std::size_t x, std::size_t h, std::size_t w) {
  std::vector<PixelCoord> out;
  for (std::size_t r = y; r < y + h; ++r) {
    for (std::size_t c = x; c < x + w; ++c)
      out.push_back({r, c});
  }
  return out;
}

TEST(Threshold, FloorAndFormula) {
  EXPECT_EQ(quadtree_threshold(0.0, 0.0), 8.0);
  EXPECT_EQ(quadtree_threshold(127.5, 16256.25), 127.5 * 0.1 + std::sqrt(16256.25) * 0.6);
  EXPECT_EQ(quadtree_threshold(6.0, 18.0), 8.0);
}

TEST(Quadtree, WorkedExamples) {
  const Image diagonal = from_rows({{0, 255}, {255, 0}});
  EXPECT_EQ(engine_pool(diagonal.view(), 4), block(0, 0, 2, 2));
  EXPECT_TRUE(engine_pool(diagonal.view(), 1).empty());

  const Image ramp = from_rows({{0, 3, 6, 9, 12}});
  EXPECT_EQ(engine_pool(ramp.view(), 4), block(0, 0, 1, 5));

  // 8x8 textured everywhere: four 4x4 leaves in pre-order.
  std::mt19937_64 gen(1);
  const Image noise8 = testing::make_image(8, 8, Texture::kNoise, gen);
  std::vector<PixelCoord> expected;
  for (auto [y, x] : {std::pair{0, 0}, {0, 4}, {4, 0}, {4, 4}}) {
    const auto b = block(y, x, 4, 4);
    expected.insert(expected.end(), b.begin(), b.end());
  }
  ASSERT_EQ(model_pool(noise8.view(), 4), expected);
  EXPECT_EQ(engine_pool(noise8.view(), 4), expected);
}

TEST(Quadtree, OddSidesSplitSmallerHalfFirst) {
  // A 9x9 checkerboard: textured at every scale, so the 5x5 bottom-right child
  // splits again into 2x2, 2x3, 3x2 and 3x3 leaves.
  Image img(9, 9);
  for (std::size_t y = 0; y < 9; ++y) {
    for (std::size_t x = 0; x < 9; ++x)
      img.at(y, x) = ((x + y) % 2) ? 200 : 10;
  }
  std::vector<PixelCoord> expected;
  for (const auto& b : {block(0, 0, 4, 4), block(0, 4, 4, 5), block(4, 0, 5, 4), block(4, 4, 2, 2),
                        block(4, 6, 2, 3), block(6, 4, 3, 2), block(6, 6, 3, 3)}) {
    expected.insert(expected.end(), b.begin(), b.end());
  }
  EXPECT_EQ(engine_pool(img.view(), 4), expected);
}

TEST(Quadtree, EmptyFlatAndMinBlockZero) {
  std::mt19937_64 gen(2);
  for (auto [h, w] : {std::pair{0, 0}, {0, 7}, {7, 0}}) {
    Image img(h, w);
    EXPECT_TRUE(adaptive_quadtree(img.view(), 4).empty());
  }
  EXPECT_TRUE(engine_pool(Image(13, 17, 99).view(), 4).empty());
  for (std::uint64_t mb : {0ull, 1ull, 4ull, ~0ull}) {
    EXPECT_TRUE(engine_pool(Image(1, 1, 200).view(), mb).empty());
  }
  const Image noise = testing::make_image(31, 45, Texture::kNoise, gen);
  EXPECT_TRUE(engine_pool(noise.view(), 0).empty());
  // A huge min_block makes the whole textured image one leaf.
  EXPECT_EQ(engine_pool(noise.view(), ~0ull), block(0, 0, 31, 45));
}

// The fast engine against the model on many random images.
TEST(Quadtree, MatchesModelOnRandomImages) {
  std::mt19937_64 gen(3);
  std::uniform_int_distribution<std::size_t> side(1, 40);
  const Texture textures[] = {Texture::kFlat, Texture::kNoise, Texture::kPatchy,
                              Texture::kLowContrast, Texture::kTiles};
  int cases = 0;
  for (int round = 0; round < 60; ++round) {
    for (Texture t : textures) {
      const std::size_t h = round < 5 ? 1 : side(gen), w = round % 7 == 0 ? 1 : side(gen);
      const Image img = testing::make_image(h, w, t, gen);
      for (std::uint64_t mb = 0; mb <= 9; ++mb) {
        ASSERT_EQ(engine_pool(img.view(), mb), model_pool(img.view(), mb))
            << "h=" << h << " w=" << w << " texture=" << static_cast<int>(t) << " mb=" << mb;
        ++cases;
      }
    }
  }
  EXPECT_EQ(cases, 3000);
}

// Blocks whose variance equals the threshold (8.0) exactly, where a single
// rounding decides: every such block must come out as the model says.
TEST(Quadtree, BlocksAtTheThresholdMatchModel) {
  std::mt19937_64 gen(4);
  for (std::size_t h : {2u, 4u, 6u, 8u, 16u, 18u, 32u, 64u}) {
    for (std::size_t w : {2u, 4u, 8u, 10u, 32u, 64u}) {
      Image img(h, w);
      for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x)
          img.at(y, x) = ((y % 2) + (x % 2)) * 4;
      }
      for (std::uint64_t mb = 0; mb <= 9; ++mb) {
        ASSERT_EQ(engine_pool(img.view(), mb), model_pool(img.view(), mb)) << h << "x" << w;
      }
      const Image tiles = testing::make_image(h, w, Texture::kTiles, gen);
      for (std::uint64_t mb = 0; mb <= 9; ++mb) {
        ASSERT_EQ(engine_pool(tiles.view(), mb), model_pool(tiles.view(), mb)) << h << "x" << w;
      }
    }
  }
}

TEST(Quadtree, LargerImagesMatchModel) {
  std::mt19937_64 gen(5);
  for (auto [h, w] : {std::pair{256, 256}, {200, 301}, {129, 64}}) {
    for (Texture t : {Texture::kNoise, Texture::kPatchy, Texture::kTiles}) {
      const Image img = testing::make_image(h, w, t, gen);
      for (std::uint64_t mb : {1u, 2u, 4u, 8u, 16u}) {
        ASSERT_EQ(engine_pool(img.view(), mb), model_pool(img.view(), mb));
      }
    }
  }
}

// Reading through any strides gives the pool of the logically indexed image.
TEST(Quadtree, StridesDoNotMatter) {
  std::mt19937_64 gen(6);
  const Image img = testing::make_image(23, 37, Texture::kPatchy, gen);
  // Transposed copy in memory, read back through swapped strides.
  std::vector<std::uint8_t> transposed(img.pixels.size());
  for (std::size_t y = 0; y < img.rows; ++y) {
    for (std::size_t x = 0; x < img.cols; ++x)
      transposed[x * img.rows + y] = img.pixels[y * img.cols + x];
  }
  const ImageView col_major(transposed.data(), img.rows, img.cols, 1,
                            static_cast<std::ptrdiff_t>(img.rows));
  // Both axes reversed in memory, read with negative strides.
  std::vector<std::uint8_t> reversed(img.pixels.rbegin(), img.pixels.rend());
  const ImageView backwards(reversed.data() + reversed.size() - 1, img.rows, img.cols,
                            -static_cast<std::ptrdiff_t>(img.cols), -1);
  // Every second element of a wider buffer.
  std::vector<std::uint8_t> wide(img.pixels.size() * 2);
  for (std::size_t i = 0; i < img.pixels.size(); ++i)
    wide[2 * i] = img.pixels[i];
  const ImageView stepped(wide.data(), img.rows, img.cols,
                          static_cast<std::ptrdiff_t>(2 * img.cols), 2);
  for (std::uint64_t mb : {2u, 4u, 7u}) {
    const auto expected = engine_pool(img.view(), mb);
    EXPECT_EQ(engine_pool(col_major, mb), expected);
    EXPECT_EQ(engine_pool(backwards, mb), expected);
    EXPECT_EQ(engine_pool(stepped, mb), expected);
  }
  // A broadcast row (row stride 0): every row the same.
  const ImageView broadcast(img.pixels.data(), 40, img.cols, 0, 1);
  EXPECT_EQ(engine_pool(broadcast, 4), model_pool(broadcast, 4));
}

TEST(QuadtreePool, IndexingMatchesExpansion) {
  std::mt19937_64 gen(7);
  const Image img = testing::make_image(50, 61, Texture::kPatchy, gen);
  const QuadtreePool pool = adaptive_quadtree(img.view(), 4);
  const Pool expanded = pool.to_vector();
  ASSERT_EQ(expanded.size(), pool.size());
  ASSERT_GT(pool.size(), 0u);
  for (std::size_t i = 0; i < pool.size(); ++i)
    ASSERT_EQ(pool[i], expanded[i]) << i;
  EXPECT_THROW(pool[pool.size()], InternalError);
}

TEST(Quadtree, CancellationStopsTheSweep) {
  Image img(300, 300, 1);
  img.at(0, 0) = 255;
  int polls = 0;
  const CancelCheck stop([](void* n) { return ++*static_cast<int*>(n) >= 1; }, &polls);
  EXPECT_THROW(adaptive_quadtree(img.view(), 4, stop), Cancelled);
  EXPECT_EQ(polls, 1);
}

// Welford's computed variance stays within the bound that the quadtree uses
// to skip it, with the bound's safety factor of 4 to spare.
TEST(WelfordErrorBound, HoldsForAdversarialSequences) {
  std::mt19937_64 gen(8);
  std::uniform_int_distribution<int> byte(0, 255);
  auto check = [](const std::vector<std::uint8_t>& values) {
    Welford acc;
    std::uint64_t s1 = 0, s2 = 0;
    for (std::uint8_t v : values) {
      acc.push(v);
      s1 += v;
      s2 += std::uint64_t{v} * v;
    }
    const std::uint64_t n = values.size();
    const long double exact = static_cast<long double>(static_cast<unsigned __int128>(n) * s2 -
                                                       static_cast<unsigned __int128>(s1) * s1) /
                              (static_cast<long double>(n) * n);
    const long double error = std::fabs(static_cast<long double>(acc.variance(n)) - exact);
    ASSERT_LE(error, welford_error_bound(n, static_cast<double>(exact)) / 4) << n;
  };
  for (std::size_t n : {2u, 3u, 16u, 1000u, 65536u, 1000003u}) {
    std::vector<std::uint8_t> v(n);
    for (auto& x : v)
      x = static_cast<std::uint8_t>(byte(gen));
    check(v);
    std::sort(v.begin(), v.end());  // drifting mean
    check(v);
    for (std::size_t i = 0; i < n; ++i)
      v[i] = i < n / 2 ? 255 : 0;  // maximal variance
    check(v);
    for (std::size_t i = 0; i < n; ++i)
      v[i] = i + 1 == n ? 0 : 255;  // tiny variance, high mean
    check(v);
  }
}

}  // namespace
}  // namespace velmora
