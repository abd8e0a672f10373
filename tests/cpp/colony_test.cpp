#include "dabc/colony.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <unordered_set>

#include "dabc/food_source.hpp"
#include "test_images.hpp"

namespace velmora {
namespace {

using testing::Image;

// ---------------------------------------------------------------------------
// The colony search exactly as defined: every move copies its food source's
// list and set, fitness values are kept incrementally.

struct ModelFood {
  std::vector<std::size_t> indices;
  std::unordered_set<std::size_t> members;
  double fitness = -0.0;
};

ModelFood model_new(std::vector<std::size_t> indices, const std::vector<double>& scores) {
  ModelFood f;
  for (std::size_t i : indices)
    f.fitness = f.fitness + scores.at(i);
  f.members.insert(indices.begin(), indices.end());
  f.indices = std::move(indices);
  return f;
}

ModelFood model_mutate(const ModelFood& src, std::size_t n, const std::vector<double>& scores,
                       RandomSource& rng) {
  const std::size_t pos = rng.gen_range(0, src.indices.size());
  const std::size_t old = src.indices[pos];
  std::size_t replacement = old;
  if (src.members.size() < n) {
    const std::size_t free = n - src.members.size();
    if (free >= (n >> 2)) {
      do {
        replacement = rng.gen_range(0, n);
      } while (src.members.count(replacement));
    } else {
      const std::size_t start = rng.gen_range(0, n);
      for (std::size_t i = 0; i < n; ++i) {
        if (!src.members.count((start + i) % n)) {
          replacement = (start + i) % n;
          break;
        }
      }
    }
  }
  ModelFood out = src;
  out.indices[pos] = replacement;
  out.members.erase(old);
  out.members.insert(replacement);
  out.fitness = (scores.at(replacement) - scores.at(old)) + src.fitness;
  return out;
}

std::vector<std::size_t> model_search(const std::vector<double>& scores, std::size_t k,
                                      std::uint64_t colony_size, std::uint64_t max_iter,
                                      RandomSource& rng) {
  const std::size_t n = scores.size();
  const std::size_t count = std::max<std::uint64_t>(colony_size / 2, 1);
  std::vector<ModelFood> colony;
  for (std::size_t i = 0; i < count; ++i)
    colony.push_back(model_new(rng.sample(n, k), scores));
  std::vector<std::uint32_t> trials(count, 0);
  std::size_t best = 0;
  for (std::size_t j = 1; j < count; ++j) {
    if (colony[j].fitness >= colony[best].fitness) best = j;
  }
  std::vector<std::size_t> best_indices = colony[best].indices;
  double best_fitness = colony[best].fitness;
  auto move = [&](std::size_t i) {
    ModelFood candidate = model_mutate(colony[i], n, scores, rng);
    if (candidate.fitness > colony[i].fitness) {
      colony[i] = std::move(candidate);
      trials[i] = 0;
    } else {
      ++trials[i];
    }
  };
  for (std::uint64_t it = 0; it < max_iter; ++it) {
    for (std::size_t i = 0; i < count; ++i)
      move(i);
    double total = -0.0;
    for (const ModelFood& f : colony)
      total = total + f.fitness;
    std::vector<double> p(count);
    for (std::size_t i = 0; i < count; ++i) {
      p[i] = total > 0 ? colony[i].fitness / total : 1.0 / static_cast<double>(count);
    }
    std::size_t placed = 0, i = 0;
    while (placed < count) {
      if (p[i] > rng.next_f64()) {
        move(i);
        ++placed;
      }
      i = (i + 1) % count;
    }
    for (std::size_t j = 0; j < count; ++j) {
      if (colony[j].fitness > best_fitness) {
        best_indices = colony[j].indices;
        best_fitness = colony[j].fitness;
      }
    }
    for (std::size_t j = 0; j < count; ++j) {
      if (trials[j] >= 10) {
        colony[j] = model_new(rng.sample(n, k), scores);
        trials[j] = 0;
      }
    }
  }
  return best_indices;
}

// ---------------------------------------------------------------------------

TEST(LocalVariance, WindowsAndValues) {
  // Five 255 and four 0 in a full window: the population variance.
  Image img(3, 3);
  for (std::size_t i = 0; i < 9; ++i)
    img.pixels[i] = i % 2 == 0 ? 255 : 0;
  EXPECT_DOUBLE_EQ(local_variance(img.view(), {1, 1}), 16055.555555555555);
  // Corner window of 0, 0, 0, 4.
  Image corner(3, 3);
  corner.at(1, 1) = 4;
  EXPECT_EQ(local_variance(corner.view(), {0, 0}), 3.0);
  // Uniform region.
  EXPECT_EQ(local_variance(Image(5, 5, 77).view(), {2, 2}), 0.0);
  // One row and one column beyond the edge: clipped to what remains.
  Image ramp(4, 5);
  for (std::size_t y = 0; y < 4; ++y) {
    for (std::size_t x = 0; x < 5; ++x)
      ramp.at(y, x) = static_cast<std::uint8_t>(10 * y + x);
  }
  // y = H keeps only the last row: here the row 30 31 32 33 34, columns 1..3.
  const double mean3 = 32.0, var3 = ((31 - mean3) * (31 - mean3) + 0 + 1) / 3.0;
  EXPECT_EQ(local_variance(ramp.view(), {4, 2}), var3);
  EXPECT_EQ(local_variance(ramp.view(), {5, 2}), 0.0);
  EXPECT_EQ(local_variance(ramp.view(), {1, 6}), 0.0);
  EXPECT_THROW(local_variance(ramp.view(), {6, 0}), InternalError);
  EXPECT_THROW(local_variance(ramp.view(), {0, 7}), InternalError);
  try {
    local_variance(ramp.view(), {6, 0});
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "assertion failed: start <= axis_len");
  }
}

TEST(ScoreTable, MatchesLocalVarianceForEveryEntry) {
  std::mt19937_64 gen(1);
  const Image img = testing::make_image(37, 29, testing::Texture::kNoise, gen);
  Pool pool;
  for (std::size_t y = 0; y <= 38; ++y) {
    for (std::size_t x = 0; x <= 30; ++x)
      pool.push_back({y, x});
  }
  pool.push_back({3, 3});  // duplicates are scored like any entry
  const std::vector<double> scores = score_table(pool, img.view());
  for (std::size_t i = 0; i < pool.size(); ++i) {
    ASSERT_EQ(scores[i], local_variance(img.view(), pool[i])) << i;
  }
  const QuadtreePool qpool = adaptive_quadtree(img.view(), 4);
  const Pool expanded = qpool.to_vector();
  EXPECT_EQ(score_table(qpool, img.view()), score_table(expanded, img.view()));
  EXPECT_EQ(first_entry_outside(pool, img.view()), pool.size());
  pool.push_back({39, 0});
  EXPECT_EQ(first_entry_outside(pool, img.view()), pool.size() - 1);
  // Far outside, even where y + 1 or x + 1 would wrap around: an error, never
  // a read outside the image.
  for (const PixelCoord far :
       {PixelCoord{SIZE_MAX, 5}, PixelCoord{5, SIZE_MAX}, PixelCoord{SIZE_MAX - 1, SIZE_MAX - 1}}) {
    EXPECT_THROW(score_table(Pool{far}, img.view()), InternalError);
  }
}

// Food sources built by hand over a pool of n indices.
struct Fixture {
  std::vector<double> scores;
  std::vector<std::size_t> indices;
  std::vector<std::uint64_t> members;
  double fitness = 0;
  FoodSource food;

  Fixture(std::size_t n, std::vector<std::size_t> chosen)
      : scores(n),
        indices(std::move(chosen)),
        members((n + 63) / 64),
        food(indices.data(), indices.size(), members.data(), n, &fitness) {
    for (std::size_t i = 0; i < n; ++i)
      scores[i] = static_cast<double>(i * 7 % 5);
    food.init(scores);
  }
};

TEST(FoodSource, InitSumsFromNegativeZeroInListOrder) {
  Fixture empty(5, {});
  EXPECT_TRUE(std::signbit(empty.fitness));
  Fixture f(8, {3, 1, 6});
  EXPECT_EQ(f.fitness, ((-0.0 + f.scores[3]) + f.scores[1]) + f.scores[6]);
  EXPECT_TRUE(f.food.contains(1) && f.food.contains(3) && f.food.contains(6));
  EXPECT_FALSE(f.food.contains(0) || f.food.contains(7));
}

// Each move against the copy-per-move model: same neighbour, same draws.
TEST(FoodSource, MutateMatchesModelAtTheMethodSwitch) {
  // n = 8: k = 6 leaves 2 = 8/4 free (rejection), k = 7 leaves 1 (scan).
  for (std::size_t k : {0u, 1u, 2u, 5u, 6u, 7u, 8u}) {
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
      std::vector<std::size_t> chosen;
      RandomSource pick = RandomSource::from_seed(seed + 1000);
      chosen = pick.sample(8, k);
      Fixture f(8, chosen);
      const ModelFood model = model_new(chosen, f.scores);
      RandomSource r = RandomSource::from_seed(seed), m = RandomSource::from_seed(seed);
      if (k == 0) {
        EXPECT_THROW(f.food.mutate(r, f.scores), InternalError);
        continue;
      }
      const FoodSource::Neighbour n = f.food.mutate(r, f.scores);
      const ModelFood expected = model_mutate(model, 8, f.scores, m);
      ASSERT_EQ(r.state(), m.state()) << "k=" << k;
      f.food.apply(n);
      ASSERT_EQ(f.indices, expected.indices);
      ASSERT_EQ(f.fitness, expected.fitness);
      for (std::size_t i = 0; i < 8; ++i)
        ASSERT_EQ(f.food.contains(i), expected.members.count(i) == 1);
    }
  }
}

TEST(FoodSource, NeighbourFitnessIsDifferenceThenSum) {
  const std::vector<double> scores = {0.3, 3.0, 0.2};
  std::vector<std::size_t> indices = {0, 1};
  std::vector<std::uint64_t> members(1);
  double fitness = 0;
  FoodSource food(indices.data(), 2, members.data(), 3, &fitness);
  food.init(scores);
  for (std::uint64_t seed = 0;; ++seed) {
    RandomSource r = RandomSource::from_seed(seed);
    const FoodSource::Neighbour n = food.mutate(r, scores);
    if (n.old_index != 0) continue;
    ASSERT_EQ(n.new_index, 2u);
    EXPECT_EQ(n.fitness, (0.2 - 0.3) + fitness);
    EXPECT_NE(n.fitness, fitness - 0.3 + 0.2);  // the order matters in the last bit
    break;
  }
}

TEST(FoodSource, ScanFindsTheOnlyFreeIndexWithOneDraw) {
  Fixture f(8, {0, 1, 2, 4, 5, 6, 7});
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    RandomSource r = RandomSource::from_seed(seed), m = RandomSource::from_seed(seed);
    const FoodSource::Neighbour n = f.food.mutate(r, f.scores);
    EXPECT_EQ(n.new_index, 3u);
    m.gen_range(0, 7);
    m.gen_range(0, 8);
    EXPECT_EQ(r.state(), m.state());
  }
  // Every index chosen: the neighbour equals the source after one draw.
  Fixture all(8, {4, 2, 0, 6, 1, 3, 5, 7});
  RandomSource r = RandomSource::from_seed(3), m = RandomSource::from_seed(3);
  const FoodSource::Neighbour n = all.food.mutate(r, all.scores);
  m.gen_range(0, 8);
  EXPECT_EQ(r.state(), m.state());
  EXPECT_EQ(n.new_index, n.old_index);
  EXPECT_EQ(n.fitness, all.fitness);
}

TEST(Colony, DrawCountsOfTheSmallestSearches) {
  // Three of four scores equal: whatever is drawn, a move keeps k = 1 of
  // n = 2 pool indices, so each replacement is one rejection draw at most.
  const std::vector<double> scores = {1.0, 2.0};
  for (std::uint64_t seed = 0; seed < 10; ++seed) {
    // Colony 2, one iteration: one sample, one move, one unit draw, one move.
    RandomSource r = RandomSource::from_seed(seed), m = RandomSource::from_seed(seed);
    search_colony(scores, 1, 2, 1, r);
    const std::vector<std::size_t> first = m.sample(2, 1);
    std::size_t current = first[0];
    for (int move = 0; move < 2; ++move) {
      if (move == 1) {
        EXPECT_LT(m.next_f64(), 1.0);  // probability 1.0 always places
      }
      EXPECT_EQ(m.gen_range(0, 1), 0u);  // the position
      std::size_t replacement;
      do {
        replacement = m.gen_range(0, 2);
      } while (replacement == current);
      if (scores[replacement] > scores[current]) current = replacement;
    }
    EXPECT_EQ(r.state(), m.state()) << seed;
  }
  // max_iter 0: only the initial samples are drawn.
  const std::vector<double> five = {1.0, 2.0, 3.0, 4.0, 5.0};
  RandomSource r = RandomSource::from_seed(4), m = RandomSource::from_seed(4);
  search_colony(five, 3, 6, 0, r);
  for (int i = 0; i < 3; ++i)
    m.sample(5, 3);
  EXPECT_EQ(r.state(), m.state());
}

TEST(Colony, MatchesCopyPerMoveModel) {
  std::mt19937_64 gen(7);
  int cases = 0;
  for (int round = 0; round < 400; ++round) {
    const std::size_t n = 1 + gen() % 60;
    const std::size_t k = 1 + gen() % n;
    const std::uint64_t colony_size = gen() % 13;
    const std::uint64_t max_iter = gen() % 30;
    std::vector<double> scores(n);
    const int kind = round % 4;
    for (double& s : scores) {
      // ties, zeros and fractional values
      s = kind == 0   ? static_cast<double>(gen() % 3)
          : kind == 1 ? 0.0
          : kind == 2 ? static_cast<double>(gen() % 100000) / 7.0
                      : static_cast<double>(gen() % 2) * 1e-300;
    }
    const std::uint64_t seed = gen();
    RandomSource r = RandomSource::from_seed(seed), m = RandomSource::from_seed(seed);
    const auto got = search_colony(scores, k, colony_size, max_iter, r);
    const auto expected = model_search(scores, k, colony_size, max_iter, m);
    ASSERT_EQ(got, expected) << "n=" << n << " k=" << k << " colony=" << colony_size
                             << " iter=" << max_iter << " kind=" << kind;
    ASSERT_EQ(r.state(), m.state());
    ++cases;
  }
  EXPECT_EQ(cases, 400);
}

TEST(Colony, LargerSearchesMatchModel) {
  std::mt19937_64 gen(8);
  for (auto [n, k] : {std::pair{3000, 100}, {3000, 2990}, {600, 450}, {5000, 1}}) {
    std::vector<double> scores(n);
    for (double& s : scores)
      s = static_cast<double>(gen() % 5000) / 3.0;
    RandomSource r = RandomSource::from_seed(n + k), m = RandomSource::from_seed(n + k);
    ASSERT_EQ(search_colony(scores, k, 30, 50, r), model_search(scores, k, 30, 50, m));
    ASSERT_EQ(r.state(), m.state());
  }
}

TEST(Colony, ResultIsDistinctIndicesAndImprovesOnRandom) {
  std::mt19937_64 gen(9);
  std::vector<double> scores(2000);
  for (double& s : scores)
    s = static_cast<double>(gen() % 1000);
  RandomSource r = RandomSource::from_seed(1);
  const auto best = search_colony(scores, 200, 30, 50, r);
  ASSERT_EQ(best.size(), 200u);
  EXPECT_EQ(std::set<std::size_t>(best.begin(), best.end()).size(), 200u);
  double sum = 0;
  for (std::size_t i : best)
    sum += scores.at(i);
  EXPECT_GT(sum / 200, 520.0);  // a random selection averages about 500
}

TEST(Colony, Failures) {
  const std::vector<double> scores(10, 1.0);
  RandomSource r = RandomSource::from_seed(0);
  // An empty selection cannot move.
  EXPECT_TRUE(search_colony(scores, 0, 30, 0, r).empty());
  try {
    search_colony(scores, 0, 30, 1, r);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "cannot sample empty range");
  }
  EXPECT_THROW(search_colony(scores, 11, 30, 1, r), InternalError);
  // Colonies that cannot be sized or held fail before any draw.
  const auto before = r.state();
  EXPECT_THROW(search_colony(scores, 5, ~std::uint64_t{0}, 1, r), CapacityOverflow);
  EXPECT_THROW(search_colony(scores, 5, std::uint64_t{1} << 50, 1, r), std::bad_alloc);
  EXPECT_EQ(r.state(), before);
}

TEST(Colony, CancellationStopsTheSearch) {
  const std::vector<double> scores(100000, 1.0);
  RandomSource r = RandomSource::from_seed(0);
  int polls = 0;
  const CancelCheck stop([](void* p) { return ++*static_cast<int*>(p) > 3; }, &polls);
  EXPECT_THROW(search_colony(scores, 5000, 30, 1000, r, stop), Cancelled);
}

TEST(RunDiscreteAbc, ScoresThePoolThenSearches) {
  std::mt19937_64 gen(10);
  const Image img = testing::make_image(40, 40, testing::Texture::kPatchy, gen);
  const QuadtreePool qpool = adaptive_quadtree(img.view(), 4);
  const Pool pool = qpool.to_vector();
  ASSERT_GT(pool.size(), 20u);
  RandomSource a = RandomSource::from_seed(5), b = RandomSource::from_seed(5),
               m = RandomSource::from_seed(5);
  const auto from_blocks = run_discrete_abc(qpool, qpool.size(), img.view(), 20, 30, 50, a);
  const auto from_list = run_discrete_abc(pool, pool.size(), img.view(), 20, 30, 50, b);
  const std::vector<double> scores = score_table(pool, img.view());
  EXPECT_EQ(from_blocks, model_search(scores, 20, 30, 50, m));
  EXPECT_EQ(from_list, from_blocks);
  EXPECT_EQ(a.state(), m.state());
}

}  // namespace
}  // namespace velmora
