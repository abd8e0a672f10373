// The discrete artificial bee colony: chooses `payload_size` distinct pool
// indices with a high summed local variance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/error.hpp"
#include "core/image_view.hpp"
#include "core/pixel_coord.hpp"
#include "quadtree/quadtree.hpp"
#include "random/random_source.hpp"

namespace velmora {

// A food source that fails to improve this many times is abandoned.
constexpr std::uint32_t kAbandonLimit = 10;

// Wall-clock split of one search, for benchmarks.
struct SearchTimings {
  double initial_ms = 0.0;     // storage and the initial colony
  double iterations_ms = 0.0;  // the max_iter iterations
};

// The colony search over a score table of `scores.size()` pool indices:
// employed bees, onlookers drawn in proportion to fitness, best update, then
// scouts, for `max_iter` iterations. Returns the best selection's indices in
// its own order. All memory is taken before the first draw.
std::vector<std::size_t> search_colony(const std::vector<double>& scores,
                                       std::uint64_t payload_size, std::uint64_t colony_size,
                                       std::uint64_t max_iter, RandomSource& rng,
                                       const CancelCheck& cancel = {},
                                       SearchTimings* timings = nullptr);

// Scores the pool in `view`, then searches. pool_len is the pool's length.
std::vector<std::size_t> run_discrete_abc(const Pool& pool, std::size_t pool_len,
                                          const ImageView& view, std::uint64_t payload_size,
                                          std::uint64_t colony_size, std::uint64_t max_iter,
                                          RandomSource& rng, const CancelCheck& cancel = {});
std::vector<std::size_t> run_discrete_abc(const QuadtreePool& pool, std::size_t pool_len,
                                          const ImageView& view, std::uint64_t payload_size,
                                          std::uint64_t colony_size, std::uint64_t max_iter,
                                          RandomSource& rng, const CancelCheck& cancel = {});

}  // namespace velmora
