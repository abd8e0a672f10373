#include "embed/lsb_matching.hpp"

#include <gtest/gtest.h>

#include <random>

#include "dabc/colony.hpp"
#include "pipeline/pipeline.hpp"
#include "quadtree/quadtree.hpp"
#include "test_images.hpp"

namespace velmora {
namespace {

using testing::Image;

std::vector<std::uint8_t> logical(const ImageView& v) {
  std::vector<std::uint8_t> out;
  for (std::size_t y = 0; y < v.rows(); ++y) {
    for (std::size_t x = 0; x < v.cols(); ++x)
      out.push_back(v.at(y, x));
  }
  return out;
}

StegoImage embed(const ImageView& v, const std::vector<PixelCoord>& coords,
                 const std::vector<std::uint8_t>& bits, RandomSource& rng) {
  return lsb_matching_embed(v, coords.data(), coords.size(), bits.data(), bits.size(), rng);
}

TEST(LsbMatching, EndsOfTheRangeAndMatchingBitsDrawNothing) {
  Image img(1, 4);
  img.pixels = {0, 255, 0, 255};
  RandomSource rng = RandomSource::from_seed(1);
  const auto before = rng.state();
  StegoImage out = embed(img.view(), {{0, 0}, {0, 1}, {0, 2}, {0, 3}}, {1, 0, 0, 1}, rng);
  EXPECT_EQ(logical(out.view()), (std::vector<std::uint8_t>{1, 254, 0, 255}));
  EXPECT_EQ(rng.state(), before);
}

TEST(LsbMatching, OtherValuesMoveByOneDrawnDirection) {
  Image img(1, 1, 100);
  for (std::uint64_t seed = 0; seed < 16; ++seed) {
    RandomSource rng = RandomSource::from_seed(seed), model = RandomSource::from_seed(seed);
    StegoImage out = embed(img.view(), {{0, 0}}, {1}, rng);
    EXPECT_EQ(*out.element(0, 0), model.next_bit() ? 99 : 101);
    EXPECT_EQ(rng.state(), model.state());
    RandomSource same = RandomSource::from_seed(seed);
    EXPECT_EQ(*embed(img.view(), {{0, 0}}, {0}, same).element(0, 0), 100);
    EXPECT_EQ(same.state(), RandomSource::from_seed(seed).state());
  }
}

TEST(LsbMatching, PairsTheShorterListAndSeesEarlierWrites) {
  Image img(2, 2, 10);
  RandomSource rng = RandomSource::from_seed(2);
  // Three coordinates, two bits: two entries.
  StegoImage out = embed(img.view(), {{0, 0}, {0, 1}, {1, 1}}, {1, 1}, rng);
  EXPECT_EQ(*out.element(1, 1), 10);
  EXPECT_EQ(*out.element(0, 0) & 1, 1);
  EXPECT_EQ(*out.element(0, 1) & 1, 1);
  // The same coordinate twice: the second entry sees the first one's write.
  for (std::uint64_t seed = 0; seed < 8; ++seed) {
    RandomSource r = RandomSource::from_seed(seed), model = RandomSource::from_seed(seed);
    StegoImage twice = embed(img.view(), {{1, 0}, {1, 0}}, {1, 0}, r);
    const int first = model.next_bit() ? 9 : 11;
    const int second = model.next_bit() ? first - 1 : first + 1;
    EXPECT_EQ(*twice.element(1, 0), second);
    EXPECT_EQ(r.state(), model.state());
  }
  EXPECT_THROW(embed(img.view(), {{2, 0}}, {1}, rng), InternalError);
  EXPECT_THROW(embed(img.view(), {{0, 2}}, {1}, rng), InternalError);
}

TEST(LsbMatching, OutputLayoutFollowsContiguousInputs) {
  std::vector<std::uint8_t> buf(12);
  for (std::size_t i = 0; i < buf.size(); ++i)
    buf[i] = static_cast<std::uint8_t>(i * 3);
  struct Case {
    ImageView view;
    bool contiguous;
  };
  const Case cases[] = {
      {ImageView(buf.data(), 3, 4, 4, 1), true},         // row-major
      {ImageView(buf.data(), 4, 3, 1, 4), true},         // column-major
      {ImageView(buf.data() + 8, 3, 4, -4, 1), true},    // rows reversed
      {ImageView(buf.data() + 11, 3, 4, -4, -1), true},  // both reversed
      {ImageView(buf.data() + 8, 4, 3, 1, -4), true},    // columns reversed
      {ImageView(buf.data(), 3, 2, 4, 2), false},        // every second column
      {ImageView(buf.data(), 5, 4, 0, 1), false},        // broadcast rows
      {ImageView(buf.data(), 1, 4, 0, 1), true},         // one broadcast row
      {ImageView(buf.data(), 0, 4, 4, 1), true},         // empty
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_contiguous(c.view), c.contiguous);
    if (c.view.rows() > 4 && c.view.row_stride() == 0) continue;
    RandomSource rng = RandomSource::from_seed(0);
    StegoImage out = embed(c.view, {}, {}, rng);
    EXPECT_EQ(logical(out.view()), logical(c.view));
    if (c.contiguous) {
      EXPECT_EQ(out.row_stride, c.view.row_stride());
      EXPECT_EQ(out.col_stride, c.view.col_stride());
    } else {
      EXPECT_EQ(out.row_stride, static_cast<std::ptrdiff_t>(c.view.cols()));
      EXPECT_EQ(out.col_stride, 1);
    }
  }
  const ImageView broadcast(buf.data(), 5, 4, 0, 1);
  RandomSource rng = RandomSource::from_seed(0);
  StegoImage out = embed(broadcast, {{4, 3}}, {0}, rng);
  EXPECT_EQ(out.row_stride, 4);
  EXPECT_EQ(*out.element(3, 3), buf[3]);  // the other rows are their own copies
}

// The pipeline is its phases composed in order on one generator.
TEST(Pipeline, EqualsItsPhasesComposed) {
  std::mt19937_64 gen(3);
  const Image img = testing::make_image(48, 40, testing::Texture::kPatchy, gen);
  for (std::uint64_t payload : {0u, 1u, 37u, 300u}) {
    for (std::uint64_t seed : {0u, 99u}) {
      RandomSource rng = RandomSource::from_seed(seed), model = RandomSource::from_seed(seed);
      const std::uint64_t max_iter = payload == 0 ? 0 : 20;
      PipelineResult r = run_pipeline(img.view(), payload, 10, max_iter, 4, rng);

      const QuadtreePool pool = adaptive_quadtree(img.view(), 4);
      ASSERT_EQ(r.pool_size, pool.size());
      ASSERT_TRUE(r.embedded);
      const auto indices =
          run_discrete_abc(pool.to_vector(), pool.size(), img.view(), payload, 10, max_iter, model);
      std::vector<PixelCoord> coords;
      for (std::size_t i : indices)
        coords.push_back(pool[i]);
      std::vector<std::uint8_t> bits;
      for (std::uint64_t i = 0; i < payload; ++i)
        bits.push_back(model.next_bit());
      StegoImage expected = embed(img.view(), coords, bits, model);

      EXPECT_EQ(std::vector<PixelCoord>(r.coords.begin(), r.coords.end()), coords);
      EXPECT_EQ(std::vector<std::uint8_t>(r.payload.data(), r.payload.data() + r.payload.size()),
                bits);
      EXPECT_EQ(logical(r.stego.view()), logical(expected.view()));
      EXPECT_EQ(rng.state(), model.state());
      for (std::size_t i = 0; i < coords.size(); ++i) {
        EXPECT_EQ(*r.stego.element(coords[i].y, coords[i].x) & 1, bits[i]);
      }
    }
  }
}

TEST(Pipeline, PoolTooSmallStopsAfterTheQuadtree) {
  const Image flat(16, 16, 50);
  RandomSource rng = RandomSource::from_seed(1);
  const auto before = rng.state();
  PipelineResult r = run_pipeline(flat.view(), 0, 30, 50, 4, rng);
  EXPECT_FALSE(r.embedded);
  EXPECT_EQ(r.pool_size, 0u);
  EXPECT_EQ(rng.state(), before);
  std::mt19937_64 gen(4);
  const Image noise = testing::make_image(8, 8, testing::Texture::kNoise, gen);
  EXPECT_FALSE(run_pipeline(noise.view(), 64, 30, 50, 4, rng).embedded);  // K = 64
  EXPECT_TRUE(run_pipeline(noise.view(), 63, 30, 50, 4, rng).embedded);
}

}  // namespace
}  // namespace velmora
