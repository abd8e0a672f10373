// The pipeline driven by a generator from from_seed reproduces, bit for bit,
// the results that velmora._native.embed_seeded recorded in
// tests/data/seeded_pipeline.txt (written by make_seeded_pipeline.py; the
// Python tests check the module against the same file).
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pipeline/pipeline.hpp"
#include "random/random_source.hpp"

#ifndef VELMORA_TEST_DATA_DIR
#error "VELMORA_TEST_DATA_DIR must name the folder of the test data"
#endif

namespace velmora {
namespace {

struct SeededCase {
  std::string name;
  std::size_t rows = 0, cols = 0;
  std::uint64_t payload = 0, seed = 0, colony_size = 0, max_iter = 0, min_block = 0;
  std::vector<std::uint8_t> image, stego;
  std::size_t pool_size = 0;
  bool embedded = false;
  Pool coords;
  std::vector<std::uint8_t> bits;
};

std::vector<std::uint8_t> from_hex(const std::string& hex) {
  std::vector<std::uint8_t> out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return out;
}

std::vector<SeededCase> read_cases() {
  std::ifstream file(VELMORA_TEST_DATA_DIR "/seeded_pipeline.txt");
  std::vector<SeededCase> cases;
  SeededCase c;
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream in(line);
    std::string key, hex;
    in >> key;
    if (key == "case") {
      c = SeededCase();
      in >> c.name;
    } else if (key == "shape") {
      in >> c.rows >> c.cols;
    } else if (key == "params") {
      in >> c.payload >> c.seed >> c.colony_size >> c.max_iter >> c.min_block;
    } else if (key == "image") {
      in >> hex;
      c.image = from_hex(hex);
    } else if (key == "pool_size") {
      in >> c.pool_size;
    } else if (key == "embedded") {
      in >> c.embedded;
    } else if (key == "coords") {
      PixelCoord p;
      while (in >> p.y >> p.x)
        c.coords.push_back(p);
    } else if (key == "bits") {
      std::string bits;
      in >> bits;
      for (char b : bits)
        c.bits.push_back(static_cast<std::uint8_t>(b - '0'));
    } else if (key == "stego") {
      in >> hex;
      c.stego = from_hex(hex);
    } else if (key == "end") {
      cases.push_back(c);
    }
  }
  return cases;
}

TEST(SeededPipeline, ReproducesTheModuleResults) {
  const std::vector<SeededCase> cases = read_cases();
  ASSERT_EQ(cases.size(), 7u) << "seeded_pipeline.txt not found or incomplete";
  for (const SeededCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.image.size(), c.rows * c.cols);
    const ImageView view = ImageView::row_major(c.image.data(), c.rows, c.cols);
    RandomSource rng = RandomSource::from_seed(c.seed);
    const PipelineResult r =
        run_pipeline(view, c.payload, c.colony_size, c.max_iter, c.min_block, rng);
    EXPECT_EQ(r.pool_size, c.pool_size);
    ASSERT_EQ(r.embedded, c.embedded);
    if (!c.embedded) continue;
    ASSERT_EQ(r.coords.size(), c.coords.size());
    for (std::size_t i = 0; i < c.coords.size(); ++i) {
      EXPECT_EQ(r.coords[i].y, c.coords[i].y) << "coordinate " << i;
      EXPECT_EQ(r.coords[i].x, c.coords[i].x) << "coordinate " << i;
    }
    EXPECT_EQ(std::vector<std::uint8_t>(r.payload.data(), r.payload.data() + r.payload.size()),
              c.bits);
    std::vector<std::uint8_t> stego;
    const ImageView out = r.stego.view();
    for (std::size_t y = 0; y < out.rows(); ++y) {
      for (std::size_t x = 0; x < out.cols(); ++x)
        stego.push_back(out.at(y, x));
    }
    EXPECT_EQ(stego, c.stego);
  }
}

}  // namespace
}  // namespace velmora
