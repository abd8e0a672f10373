// NumPy's own pseudo-random streams, to the bit, for simulators whose
// reference draws its changes with NumPy:
//   NumpyPcg64    numpy.random.default_rng(seed): SeedSequence(seed) seeding
//                 PCG64 (XSL-RR output of a 128-bit LCG);
//   NumpyMt19937  numpy.random.RandomState(seed): the Mersenne Twister of
//                 Matsumoto and Nishimura, seeded with init_genrand.
// next_double() is what random() and random_sample() return for each
// element, in the order of the elements of a C-ordered array.
#pragma once

#include <array>
#include <cstdint>

namespace velmora {

class NumpyPcg64 {
 public:
  // default_rng(seed) for a non-negative integer seed below 2^64.
  explicit NumpyPcg64(std::uint64_t seed);

  std::uint64_t next_u64() {
    state_ = state_ * kMultiplier + inc_;
    const std::uint64_t high = static_cast<std::uint64_t>(state_ >> 64);
    const std::uint64_t low = static_cast<std::uint64_t>(state_);
    const unsigned rot = static_cast<unsigned>(high >> 58);
    const std::uint64_t x = high ^ low;
    return (x >> rot) | (x << ((64 - rot) & 63));
  }
  // A double in [0, 1) with 53 random bits.
  double next_double() { return static_cast<double>(next_u64() >> 11) * 0x1p-53; }

 private:
  using u128 = unsigned __int128;
  static constexpr u128 kMultiplier =
      (static_cast<u128>(0x2360ED051FC65DA4ULL) << 64) | 0x4385DF649FCCF645ULL;
  u128 state_ = 0;
  u128 inc_ = 0;
};

// The four 64-bit words that SeedSequence(seed).generate_state(4, uint64)
// returns: PCG64's initial state (words 0 and 1) and increment (2 and 3).
std::array<std::uint64_t, 4> seed_sequence_state(std::uint64_t seed);

class NumpyMt19937 {
 public:
  // RandomState(seed) for a seed below 2^32.
  explicit NumpyMt19937(std::uint32_t seed);

  std::uint32_t next_u32() {
    if (index_ >= kN) refill();
    std::uint32_t y = state_[index_++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680U;
    y ^= (y << 15) & 0xefc60000U;
    return y ^ (y >> 18);
  }
  // random_sample(): (a >> 5) * 2^26 + (b >> 6), over 2^53.
  double next_double() {
    const std::uint32_t a = next_u32() >> 5;
    const std::uint32_t b = next_u32() >> 6;
    return (a * 67108864.0 + b) / 9007199254740992.0;
  }

 private:
  static constexpr int kN = 624;
  void refill();
  std::array<std::uint32_t, kN> state_{};
  int index_ = kN;
};

}  // namespace velmora
