// Per-phase times of the colony search on the pool of a textured 512x512
// image with the default colony (30) and 50 iterations.
//
//   bench_colony [repetitions]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "dabc/colony.hpp"
#include "dabc/food_source.hpp"
#include "quadtree/quadtree.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Noise over smooth shading: most blocks textured, some not.
std::vector<std::uint8_t> textured_image(std::size_t n) {
  std::mt19937 gen(11);
  std::vector<std::uint8_t> img(n * n);
  for (std::size_t y = 0; y < n; ++y) {
    for (std::size_t x = 0; x < n; ++x) {
      const bool smooth = (y / 64 + x / 64) % 7 == 0;
      const unsigned base = static_cast<unsigned>((x + 2 * y) % 256);
      img[y * n + x] = static_cast<std::uint8_t>(smooth ? base : (base + (gen() >> 25)) % 256);
    }
  }
  return img;
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 3;
  const std::size_t side = 512;
  const auto img = textured_image(side);
  const auto view = velmora::ImageView::row_major(img.data(), side, side);
  const velmora::QuadtreePool pool = velmora::adaptive_quadtree(view, 4);
  std::printf("pool of a %zux%zu textured image: K = %zu\n", side, side, pool.size());

  std::vector<double> score_ms;
  std::vector<double> scores;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    scores = velmora::score_table(pool, view);
    score_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::printf("scores: %.2f ms\n\n", median(score_ms));
  std::printf("%9s %12s %14s %9s\n", "payload", "initial_ms", "iterations_ms", "ratio");
  for (std::size_t payload : {1000u, 26000u, 100000u}) {
    std::vector<double> initial, iterations;
    for (int r = 0; r < reps; ++r) {
      velmora::RandomSource rng = velmora::RandomSource::from_seed(2024 + r);
      velmora::SearchTimings t;
      velmora::search_colony(scores, payload, 30, 50, rng, {}, &t);
      initial.push_back(t.initial_ms);
      iterations.push_back(t.iterations_ms);
    }
    const double i0 = median(initial), it = median(iterations);
    std::printf("%9zu %12.2f %14.2f %9.3f\n", payload, i0, it, it / i0);
  }
  return 0;
}
