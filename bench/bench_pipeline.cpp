// The embedding pipeline against its phases, measured in one run:
//   quadtree  - the engine's adaptive quadtree (what get_quadtree_sparse_map
//               runs before building its list of tuples);
//   selector  - what dabc_select_coords runs once its pool is converted:
//               scores and colony search over the expanded pool, seeded, and
//               the mapping of indices to coordinates;
//   pipeline  - what run_velmora_engine runs: entropy seeding, quadtree,
//               colony search, payload bits and embedding into a copy.
// Then end-to-end pipeline times for several sizes and payload rates.
//
//   bench_pipeline [repetitions]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "dabc/colony.hpp"
#include "dabc/food_source.hpp"
#include "pipeline/pipeline.hpp"
#include "quadtree/quadtree.hpp"

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double median_ms(int reps, F&& f) {
  std::vector<double> t;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    f();
    t.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

// Noise over smooth shading, with a few flat patches.
std::vector<std::uint8_t> textured_image(std::size_t n) {
  std::mt19937 gen(11);
  std::vector<std::uint8_t> img(n * n);
  for (std::size_t y = 0; y < n; ++y) {
    for (std::size_t x = 0; x < n; ++x) {
      const bool smooth = (y * 8 / n + x * 8 / n) % 7 == 0;
      const unsigned base = static_cast<unsigned>((x + 2 * y) % 256);
      img[y * n + x] = static_cast<std::uint8_t>(smooth ? base : (base + (gen() >> 25)) % 256);
    }
  }
  return img;
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 5;
  std::size_t sink = 0;
  {
    const std::size_t side = 512, payload = 26214;
    const auto img = textured_image(side);
    const auto view = velmora::ImageView::row_major(img.data(), side, side);
    const velmora::Pool pool = velmora::adaptive_quadtree(view, 4).to_vector();
    const double quadtree =
        median_ms(reps, [&] { sink += velmora::adaptive_quadtree(view, 4).size(); });
    const double selector = median_ms(reps, [&] {
      velmora::RandomSource rng = velmora::RandomSource::from_seed(1);
      const auto idx = velmora::run_discrete_abc(pool, pool.size(), view, payload, 30, 50, rng);
      velmora::Pool coords;
      for (std::size_t i : idx)
        coords.push_back(pool[i]);
      sink += coords.size();
    });
    const double pipeline = median_ms(reps, [&] {
      velmora::RandomSource rng = velmora::RandomSource::from_entropy();
      sink += velmora::run_pipeline(view, payload, 30, 50, 4, rng).pool_size;
    });
    std::printf("512x512 textured, K = %zu, payload %zu bits (0.1 bpp), defaults\n", pool.size(),
                payload);
    std::printf("  quadtree %.2f ms + selector %.2f ms = %.2f ms; pipeline %.2f ms; ratio %.3f\n\n",
                quadtree, selector, quadtree + selector, pipeline,
                pipeline / (quadtree + selector));
  }
  std::printf("%-11s %6s %10s %10s %12s\n", "image", "bpp", "pool", "payload", "pipeline_ms");
  for (std::size_t side : {512u, 1024u, 2048u}) {
    const auto img = textured_image(side);
    const auto view = velmora::ImageView::row_major(img.data(), side, side);
    const std::size_t pool = velmora::adaptive_quadtree(view, 4).size();
    for (double bpp : {0.01, 0.1, 0.4}) {
      const std::size_t payload = static_cast<std::size_t>(bpp * static_cast<double>(side * side));
      if (payload >= pool) {
        std::printf("%4zux%-6zu %6.2f %10zu %10zu %12s\n", side, side, bpp, pool, payload,
                    "pool too small");
        continue;
      }
      const double ms = median_ms(std::max(1, reps / 2), [&] {
        velmora::RandomSource rng = velmora::RandomSource::from_entropy();
        sink += velmora::run_pipeline(view, payload, 30, 50, 4, rng).pool_size;
      });
      std::printf("%4zux%-6zu %6.2f %10zu %10zu %12.2f\n", side, side, bpp, pool, payload, ms);
    }
  }
  std::fprintf(stderr, "(checksum %zu)\n", sink);
  return 0;
}
