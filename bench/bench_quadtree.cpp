// Times the engine's adaptive quadtree against its floor, one sequential
// Welford pass over the same pixels (the global variance is a single chain of
// dependent divisions that no implementation can avoid).
//
//   bench_quadtree [repetitions]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/variance.hpp"
#include "quadtree/quadtree.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Uniform noise: every block is textured, the pool is the whole image.
std::vector<std::uint8_t> noise_image(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> img(n * n);
  for (auto& v : img)
    v = static_cast<std::uint8_t>(gen() >> 24);
  return img;
}

// Smooth gradients with textured patches: a mix of kept and dropped blocks.
std::vector<std::uint8_t> patchy_image(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> img(n * n);
  const std::size_t tile = std::max<std::size_t>(n / 16, 1);
  for (std::size_t y = 0; y < n; ++y) {
    for (std::size_t x = 0; x < n; ++x) {
      const bool noisy = ((y / tile) * 7 + (x / tile) * 3) % 5 < 2;
      const unsigned base = static_cast<unsigned>((x + y) * 255 / (2 * n));
      img[y * n + x] = static_cast<std::uint8_t>(noisy ? (base + (gen() >> 26)) % 256 : base);
    }
  }
  return img;
}

double floor_pass(const velmora::ImageView& v, double& sink) {
  const auto t0 = Clock::now();
  velmora::Welford acc;
  for (std::size_t y = 0; y < v.rows(); ++y) {
    const std::uint8_t* p = v.row_ptr(y);
    for (std::size_t x = 0; x < v.cols(); ++x)
      acc.push(static_cast<double>(p[x]));
  }
  sink += acc.variance(v.rows() * v.cols()) + acc.mean;
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double quadtree_pass(const velmora::ImageView& v, std::uint64_t min_block, std::size_t& pool) {
  const auto t0 = Clock::now();
  const velmora::QuadtreePool p = velmora::adaptive_quadtree(v, min_block);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  pool = p.size();
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 7;
  double sink = 0.0;
  std::printf("%-7s %-6s %9s %9s %11s %12s %7s\n", "image", "side", "min_block", "floor_ms",
              "quadtree_ms", "pool", "ratio");
  for (const char* kind : {"noise", "patchy"}) {
    for (std::size_t side : {512u, 2000u, 2048u}) {
      const auto img = (kind[0] == 'n') ? noise_image(side, 7) : patchy_image(side, 7);
      const auto view = velmora::ImageView::row_major(img.data(), side, side);
      for (std::uint64_t mb : {1u, 4u, 8u}) {
        std::vector<double> floors, trees;
        std::size_t pool = 0;
        // Alternate the two so that both see the same machine state.
        for (int r = 0; r < reps; ++r) {
          floors.push_back(floor_pass(view, sink));
          trees.push_back(quadtree_pass(view, mb, pool));
        }
        std::sort(floors.begin(), floors.end());
        std::sort(trees.begin(), trees.end());
        const double f = floors[floors.size() / 2], t = trees[trees.size() / 2];
        std::printf("%-7s %-6zu %9llu %9.2f %11.2f %12zu %7.3f\n", kind, side,
                    static_cast<unsigned long long>(mb), f, t, pool, t / f);
      }
    }
  }
  std::fprintf(stderr, "(checksum %g)\n", sink);
  return 0;
}
