#include "random/random_source.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <set>

namespace velmora {
namespace {

using Method = RandomSource::SampleMethod;

TEST(RandomSource, SeedExpansionAndFirstOutputs) {
  RandomSource zero = RandomSource::from_seed(0);
  EXPECT_EQ(zero.state(), (RandomSource::State{0x45cdb581f973f2ecULL, 0xad6cad067346f087ULL,
                                               0x67e71733e3a3d0d0ULL, 0xfe7d8ad772ea9bf2ULL}));
  EXPECT_EQ(zero.next_u64(), 0x7283e4c96896188cULL);
  EXPECT_EQ(zero.next_u64(), 0x706b7f2de031bf37ULL);
  EXPECT_EQ(zero.next_u64(), 0xfad96ea1180d0e12ULL);

  RandomSource answer = RandomSource::from_seed(42);
  EXPECT_EQ(answer.state(), (RandomSource::State{0x0a3d32587ba18fa4ULL, 0xb8140169cca1b8eaULL,
                                                 0x54f7b41875c88c2bULL, 0xf220dfe4a16e448dULL}));
  EXPECT_EQ(answer.next_u64(), 0x28cbba42949fbeadULL);
}

TEST(RandomSource, ZeroBytesTakeTheFixedState) {
  RandomSource r = RandomSource::from_bytes({});
  EXPECT_EQ(r.state(), RandomSource::kZeroSeedState);
  EXPECT_EQ(r.next_u64(), 0x53175d61490b23dfULL);
  EXPECT_EQ(r.next_u64(), 0x61da6f3dc380d507ULL);
  EXPECT_EQ(r.next_u64(), 0x5c0fdf91ec9a7bfcULL);

  std::array<std::uint8_t, 32> bytes{};
  bytes[0] = 1;
  bytes[31] = 0x80;
  EXPECT_EQ(RandomSource::from_bytes(bytes).state(),
            (RandomSource::State{1, 0, 0, 0x8000000000000000ULL}));
}

TEST(RandomSource, EntropyGivesDistinctStates) {
  EXPECT_NE(RandomSource::from_entropy().state(), RandomSource::from_entropy().state());
}

TEST(RandomSource, DerivedDrawsTakeOneWholeStep) {
  RandomSource a = RandomSource::from_seed(7), b = RandomSource::from_seed(7);
  const std::uint64_t w1 = b.next_u64(), w2 = b.next_u64(), w3 = b.next_u64(), w4 = b.next_u64();
  EXPECT_EQ(a.next_u32(), static_cast<std::uint32_t>(w1 >> 32));
  EXPECT_EQ(a.next_bit(), w2 >> 63);
  EXPECT_EQ(a.next_f64(), static_cast<double>(w3 >> 11) * 0x1p-53);
  EXPECT_EQ(a.next_u64(), w4);
  EXPECT_EQ(a.state(), b.state());
}

// gen_range against its definition: widening multiply, rejection above the
// zone (range << leading_zeros(range)) - 1, one step per attempt.
TEST(RandomSource, GenRangeFollowsItsDefinition) {
  for (std::uint64_t seed : {1ull, 2ull, 3ull}) {
    for (std::uint64_t range : {1ull, 2ull, 3ull, 10ull, 1000ull, (1ull << 63) + 5, ~0ull - 5}) {
      RandomSource r = RandomSource::from_seed(seed), model = RandomSource::from_seed(seed);
      for (int i = 0; i < 50; ++i) {
        const std::uint64_t zone = (range << __builtin_clzll(range)) - 1;
        std::uint64_t expected;
        for (;;) {
          const unsigned __int128 m = static_cast<unsigned __int128>(model.next_u64()) * range;
          if (static_cast<std::uint64_t>(m) <= zone) {
            expected = static_cast<std::uint64_t>(m >> 64);
            break;
          }
        }
        ASSERT_EQ(r.gen_range(5, 5 + range), 5 + expected);
        ASSERT_EQ(r.state(), model.state());
      }
    }
  }
}

TEST(RandomSource, UnitRangeRejectsWordsWithTheTopBitSet) {
  RandomSource r = RandomSource::from_seed(11), model = RandomSource::from_seed(11);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(r.gen_range(0, 1), 0u);
    while (model.next_u64() >> 63) {
    }
    ASSERT_EQ(r.state(), model.state());
  }
}

TEST(RandomSource, EmptyRangesFail) {
  RandomSource r = RandomSource::from_seed(1);
  EXPECT_THROW(r.gen_range(3, 3), InternalError);
  EXPECT_THROW(r.gen_range(4, 3), InternalError);
  EXPECT_THROW(r.gen_range_u32(3, 3), InternalError);
  EXPECT_THROW(r.gen_range_inclusive_u32(4, 3), InternalError);
  try {
    r.gen_range(0, 0);
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "cannot sample empty range");
  }
  // The inclusive form over all 2^32 values is one plain 32-bit draw.
  RandomSource a = RandomSource::from_seed(5), b = RandomSource::from_seed(5);
  EXPECT_EQ(a.gen_range_inclusive_u32(0, 0xFFFFFFFFu), b.next_u32());
}

TEST(RandomSource, SampleMethodThresholds) {
  EXPECT_EQ(RandomSource::sample_method(10, 0), Method::kEmpty);
  EXPECT_EQ(RandomSource::sample_method(1000, 11), Method::kFloydInsert);
  EXPECT_EQ(RandomSource::sample_method(12, 11), Method::kFloydInsert);
  // (1.6 * 12 + 10) * 12 = 350.4
  EXPECT_EQ(RandomSource::sample_method(1000, 12), Method::kFloydInsert);
  EXPECT_EQ(RandomSource::sample_method(351, 12), Method::kFloydInsert);
  EXPECT_EQ(RandomSource::sample_method(350, 12), Method::kInplace);
  EXPECT_EQ(RandomSource::sample_method(300, 12), Method::kInplace);
  // (1.6 * 60 + 10) * 60 = 6360
  EXPECT_EQ(RandomSource::sample_method(1000, 60), Method::kInplace);
  EXPECT_EQ(RandomSource::sample_method(100000, 60), Method::kFloydAppend);
  EXPECT_EQ(RandomSource::sample_method(100000, 49), Method::kFloydInsert);
  EXPECT_EQ(RandomSource::sample_method(100000, 50), Method::kFloydAppend);
  EXPECT_EQ(RandomSource::sample_method(100000, 162), Method::kFloydAppend);
  // 270 * 200 = 54000; for 500000 and more, 36.666668 * 200.
  EXPECT_EQ(RandomSource::sample_method(40000, 200), Method::kInplace);
  EXPECT_EQ(RandomSource::sample_method(54000, 200), Method::kRejection32);
  EXPECT_EQ(RandomSource::sample_method(53999, 200), Method::kInplace);
  EXPECT_EQ(RandomSource::sample_method(500000, 200), Method::kRejection32);
  EXPECT_EQ(RandomSource::sample_method(499999, 2000), Method::kInplace);
  EXPECT_EQ(RandomSource::sample_method(500000, 20000), Method::kInplace);
  EXPECT_EQ(RandomSource::sample_method(0x100000000ULL, 1), Method::kRejection64);
  EXPECT_EQ(RandomSource::sample_method(0xFFFFFFFFULL, 1), Method::kFloydInsert);
  EXPECT_THROW(RandomSource::sample_method(5, 6), InternalError);
}

// A plain model of each method, written from its definition.
std::vector<std::size_t> model_sample(RandomSource& r, std::size_t length, std::size_t amount) {
  std::vector<std::size_t> out;
  const auto method = RandomSource::sample_method(length, amount);
  if (method == Method::kFloydInsert || method == Method::kFloydAppend) {
    for (std::size_t j = length - amount; j < length; ++j) {
      const std::size_t t = r.gen_range_inclusive_u32(0, static_cast<std::uint32_t>(j));
      const auto it = std::find(out.begin(), out.end(), t);
      if (it == out.end()) {
        out.push_back(t);
      } else if (method == Method::kFloydInsert) {
        out.insert(it, j);
      } else {
        out.push_back(j);
      }
    }
    if (method == Method::kFloydAppend) {
      for (std::size_t i = amount - 1; i >= 1; --i) {
        std::swap(out[i], out[r.gen_range_inclusive_u32(0, static_cast<std::uint32_t>(i))]);
      }
    }
  } else if (method == Method::kInplace) {
    std::vector<std::size_t> l(length);
    std::iota(l.begin(), l.end(), 0);
    for (std::size_t i = 0; i < amount; ++i) {
      std::swap(
          l[i],
          l[r.gen_range_u32(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(length))]);
    }
    out.assign(l.begin(), l.begin() + static_cast<std::ptrdiff_t>(amount));
  } else if (method == Method::kRejection32) {
    const std::uint32_t len = static_cast<std::uint32_t>(length);
    const std::uint32_t zone = 0xFFFFFFFFu - (0u - len) % len;
    std::set<std::size_t> seen;
    while (out.size() < amount) {
      const std::uint64_t m = std::uint64_t{r.next_u32()} * len;
      if (static_cast<std::uint32_t>(m) > zone) continue;
      if (seen.insert(m >> 32).second) out.push_back(m >> 32);
    }
  }
  return out;
}

TEST(RandomSource, SampleMatchesModelForEveryMethod) {
  const std::pair<std::size_t, std::size_t> cases[] = {
      {1, 1},        {10, 3},      {1000, 11},   {300, 12},    {1000, 12},
      {1000, 60},    {100000, 60}, {100000, 49}, {40000, 200}, {54000, 200},
      {600000, 200}, {500, 500},   {20, 20},     {163, 163},   {2000, 1999}};
  for (std::uint64_t seed = 0; seed < 5; ++seed) {
    for (auto [length, amount] : cases) {
      RandomSource r = RandomSource::from_seed(seed), model = RandomSource::from_seed(seed);
      const auto got = r.sample(length, amount);
      const auto expected = model_sample(model, length, amount);
      ASSERT_EQ(got, expected) << length << " " << amount;
      ASSERT_EQ(r.state(), model.state());
      std::set<std::size_t> distinct(got.begin(), got.end());
      EXPECT_EQ(distinct.size(), amount);
      if (!got.empty()) {
        EXPECT_LT(*distinct.rbegin(), length);
      }
    }
  }
}

TEST(RandomSource, SampleEdgeCases) {
  RandomSource r = RandomSource::from_seed(3);
  const auto before = r.state();
  EXPECT_TRUE(r.sample(100, 0).empty());
  EXPECT_EQ(r.state(), before);  // nothing drawn
  auto all = r.sample(37, 37);
  std::sort(all.begin(), all.end());
  for (std::size_t i = 0; i < all.size(); ++i)
    EXPECT_EQ(all[i], i);
  try {
    r.sample(3, 4);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "`amount` of samples must be less than or equal to `length`");
  }
  // 64-bit lengths use 64-bit rejection draws.
  RandomSource big = RandomSource::from_seed(9);
  const auto v = big.sample(std::size_t{1} << 40, 5);
  EXPECT_EQ(std::set<std::size_t>(v.begin(), v.end()).size(), 5u);
}

}  // namespace
}  // namespace velmora
