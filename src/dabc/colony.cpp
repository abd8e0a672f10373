#include "dabc/colony.hpp"

#include <algorithm>
#include <chrono>

#include "core/heap_array.hpp"
#include "dabc/food_source.hpp"

namespace velmora {

namespace {

// Work units (moves, sampled indices) between two polls of the cancellation
// check.
constexpr std::size_t kPollWork = std::size_t{1} << 14;

class Poller {
 public:
  explicit Poller(const CancelCheck& cancel) : cancel_(cancel) {}
  void tick(std::size_t work) {
    done_ += work;
    if (done_ >= kPollWork) {
      done_ = 0;
      cancel_.check();
    }
  }

 private:
  const CancelCheck& cancel_;
  std::size_t done_ = 0;
};

// Storage of every food source in a few large blocks, allocated before the
// first draw: indices (source_count x size), membership bitmaps
// (source_count x words), fitness and trial counters.
class Colony {
 public:
  Colony(std::size_t source_count, std::size_t size, std::size_t pool_len)
      : count_(source_count), size_(size), pool_len_(pool_len), words_((pool_len + 63) / 64) {
    const std::size_t bytes =
        checked_sum({checked_bytes(checked_bytes(count_, size_), 8),
                     checked_bytes(checked_bytes(count_, words_), 8),
                     checked_bytes(count_, sizeof(double) * 2 + 4), checked_bytes(size_, 8)});
    ensure_fits_in_memory(bytes);
    indices_ = HeapArray<std::size_t>(count_ * size_);
    members_.assign(count_ * words_, 0);
    fitness_.assign(count_, 0.0);
    trials_.assign(count_, 0);
  }

  std::size_t count() const { return count_; }
  FoodSource source(std::size_t i) {
    return FoodSource(indices_.data() + i * size_, size_, members_.data() + i * words_, pool_len_,
                      &fitness_[i]);
  }
  double fitness(std::size_t i) const { return fitness_[i]; }
  std::uint32_t& trials(std::size_t i) { return trials_[i]; }

 private:
  std::size_t count_, size_, pool_len_, words_;
  HeapArray<std::size_t> indices_;
  std::vector<std::uint64_t> members_;
  std::vector<double> fitness_;
  std::vector<std::uint32_t> trials_;
};

}  // namespace

std::vector<std::size_t> search_colony(const std::vector<double>& scores,
                                       std::uint64_t payload_size, std::uint64_t colony_size,
                                       std::uint64_t max_iter, RandomSource& rng,
                                       const CancelCheck& cancel, SearchTimings* timings) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  auto since_start_ms = [&] {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  };
  const std::size_t pool_len = scores.size();
  const std::size_t size = static_cast<std::size_t>(payload_size);
  const std::size_t source_count =
      static_cast<std::size_t>(std::max<std::uint64_t>(colony_size / 2, 1));
  const auto method = RandomSource::sample_method(pool_len, size);  // size <= pool_len

  Colony colony(source_count, size, pool_len);
  SampleWorkspace work;
  if (method == RandomSource::SampleMethod::kInplace) work.permutation.reserve(pool_len);
  if (method == RandomSource::SampleMethod::kRejection32 ||
      method == RandomSource::SampleMethod::kRejection64) {
    work.seen.reserve(checked_bytes(size, 2 * sizeof(std::uint64_t)) / sizeof(std::uint64_t) + 16);
  }
  std::vector<std::size_t> best(size);
  std::vector<double> probabilities(source_count);
  Poller poll(cancel);

  // Initial colony, food source 0 first.
  for (std::size_t i = 0; i < source_count; ++i) {
    FoodSource food = colony.source(i);
    rng.sample(pool_len, size, food.indices(), work);
    food.init(scores);
    poll.tick(size + 1);
  }
  // Initial best: among equal fitness values the last one wins.
  std::size_t best_source = 0;
  for (std::size_t j = 1; j < source_count; ++j) {
    if (colony.fitness(j) >= colony.fitness(best_source)) best_source = j;
  }
  std::copy_n(colony.source(best_source).indices(), size, best.data());
  double best_fitness = colony.fitness(best_source);
  if (timings != nullptr) timings->initial_ms = since_start_ms();
  if (max_iter == 0) return best;

  // One bee's move on food source i: kept only when strictly better.
  auto move = [&](std::size_t i) {
    FoodSource food = colony.source(i);
    const FoodSource::Neighbour n = food.mutate(rng, scores);
    if (n.fitness > food.fitness()) {
      food.apply(n);
      colony.trials(i) = 0;
    } else {
      ++colony.trials(i);
    }
    poll.tick(1);
  };

  for (std::uint64_t iteration = 0; iteration < max_iter; ++iteration) {
    // Employed bees: each food source once, in order.
    for (std::size_t i = 0; i < source_count; ++i)
      move(i);

    // Selection probabilities from the fitness after the employed phase.
    double total = -0.0;
    for (std::size_t i = 0; i < source_count; ++i)
      total = total + colony.fitness(i);
    if (total > 0) {
      for (std::size_t i = 0; i < source_count; ++i)
        probabilities[i] = colony.fitness(i) / total;
    } else {
      std::fill(probabilities.begin(), probabilities.end(),
                1.0 / static_cast<double>(source_count));
    }

    // Onlookers: walk the food sources cyclically, one unit draw per visit,
    // until every onlooker is placed.
    std::size_t placed = 0, i = 0;
    while (placed < source_count) {
      if (probabilities[i] > rng.next_f64()) {
        move(i);
        ++placed;
      }
      i = i + 1 == source_count ? 0 : i + 1;
    }

    // Best update: among equal fitness values the earlier one stays best.
    // Only the last of the successive winners needs its indices copied.
    std::size_t winner = source_count;
    for (std::size_t j = 0; j < source_count; ++j) {
      if (colony.fitness(j) > best_fitness) {
        winner = j;
        best_fitness = colony.fitness(j);
      }
    }
    if (winner != source_count) std::copy_n(colony.source(winner).indices(), size, best.data());

    // Scouts replace every food source at or over the abandonment limit.
    for (std::size_t j = 0; j < source_count; ++j) {
      if (colony.trials(j) >= kAbandonLimit) {
        colony.source(j).resample(rng, work, scores);
        colony.trials(j) = 0;
        poll.tick(size + 1);
      }
    }
  }
  if (timings != nullptr) timings->iterations_ms = since_start_ms() - timings->initial_ms;
  return best;
}

namespace {

template <class PoolLike>
std::vector<std::size_t> score_and_search(const PoolLike& pool, std::size_t pool_len,
                                          const ImageView& view, std::uint64_t payload_size,
                                          std::uint64_t colony_size, std::uint64_t max_iter,
                                          RandomSource& rng, const CancelCheck& cancel) {
  if (pool.size() != pool_len) throw InternalError("pool length mismatch");
  const std::vector<double> scores = score_table(pool, view, cancel);
  return search_colony(scores, payload_size, colony_size, max_iter, rng, cancel);
}

}  // namespace

std::vector<std::size_t> run_discrete_abc(const Pool& pool, std::size_t pool_len,
                                          const ImageView& view, std::uint64_t payload_size,
                                          std::uint64_t colony_size, std::uint64_t max_iter,
                                          RandomSource& rng, const CancelCheck& cancel) {
  return score_and_search(pool, pool_len, view, payload_size, colony_size, max_iter, rng, cancel);
}

std::vector<std::size_t> run_discrete_abc(const QuadtreePool& pool, std::size_t pool_len,
                                          const ImageView& view, std::uint64_t payload_size,
                                          std::uint64_t colony_size, std::uint64_t max_iter,
                                          RandomSource& rng, const CancelCheck& cancel) {
  return score_and_search(pool, pool_len, view, payload_size, colony_size, max_iter, rng, cancel);
}

}  // namespace velmora
