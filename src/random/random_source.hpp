// The engine's only source of randomness: xoshiro256++ with the draws built
// on it. Every draw is defined to the bit, so that a seed fixes every result.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/error.hpp"

namespace velmora {

// Reusable scratch memory of RandomSource::sample, so that repeated draws
// (a colony of food sources) allocate once.
struct SampleWorkspace {
  std::vector<std::uint32_t> permutation;  // sample_inplace
  std::vector<std::uint64_t> seen;         // rejection: open-addressing set
};

class RandomSource {
 public:
  using State = std::array<std::uint64_t, 4>;

  // The state used in place of an all-zero seed.
  static constexpr State kZeroSeedState = {0xe220a8397b1dcdafULL, 0x6e789e6aa1b965f4ULL,
                                           0x06c45d188009454fULL, 0xf88bb8a8724c81ecULL};

  // 32 bytes of operating-system entropy (getrandom, or /dev/urandom where the
  // system call is missing). Throws InternalError("from_entropy failed: ...").
  static RandomSource from_entropy();
  // The 64-bit seed expanded to 32 bytes with PCG32 (advanced before each
  // output).
  static RandomSource from_seed(std::uint64_t seed);
  // Four little-endian words; 32 zero bytes give kZeroSeedState.
  static RandomSource from_bytes(const std::array<std::uint8_t, 32>& seed);

  const State& state() const { return s_; }

  std::uint64_t next_u64() {
    const std::uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }
  std::uint32_t next_u32() { return static_cast<std::uint32_t>(next_u64() >> 32); }
  std::uint8_t next_bit() { return static_cast<std::uint8_t>(next_u64() >> 63); }
  double next_f64() { return static_cast<double>(next_u64() >> 11) * 0x1p-53; }

  // Uniform in [low, high); InternalError("cannot sample empty range") when
  // high <= low. One step per attempt.
  std::uint64_t gen_range(std::uint64_t low, std::uint64_t high) {
    if (high <= low) throw InternalError("cannot sample empty range");
    return low + bounded_u64(high - low);
  }
  std::uint32_t gen_range_u32(std::uint32_t low, std::uint32_t high) {
    if (high <= low) throw InternalError("cannot sample empty range");
    return low + bounded_u32(high - low);
  }
  // Uniform in [low, high], also over all 2^32 values.
  std::uint32_t gen_range_inclusive_u32(std::uint32_t low, std::uint32_t high) {
    if (high < low) throw InternalError("cannot sample empty range");
    const std::uint32_t range = high - low + 1;  // 0 for the full range
    if (range == 0) return next_u32();
    return low + bounded_u32(range);
  }

  // `amount` distinct values of [0, length) in the order of the method that
  // draws them: Floyd's combination algorithm, a partial Fisher-Yates shuffle
  // or rejection, chosen by fixed thresholds. Written to out[0 .. amount).
  void sample(std::size_t length, std::size_t amount, std::size_t* out, SampleWorkspace& work);
  std::vector<std::size_t> sample(std::size_t length, std::size_t amount);

  // Which method `sample` uses for these sizes.
  enum class SampleMethod {
    kEmpty,
    kFloydInsert,
    kFloydAppend,
    kInplace,
    kRejection32,
    kRejection64
  };
  static SampleMethod sample_method(std::size_t length, std::size_t amount);

  // The bounded draws at the core of gen_range: uniform in [0, range) for a
  // range of at least 1, rejecting products whose low half exceeds the zone
  // (range << leading_zeros(range)) - 1.
  std::uint64_t bounded_u64(std::uint64_t range) {
    const std::uint64_t zone = (range << __builtin_clzll(range)) - 1;
    for (;;) {
      const unsigned __int128 m = static_cast<unsigned __int128>(next_u64()) * range;
      if (static_cast<std::uint64_t>(m) <= zone) return static_cast<std::uint64_t>(m >> 64);
    }
  }
  std::uint32_t bounded_u32(std::uint32_t range) {
    const std::uint32_t zone = (range << __builtin_clz(range)) - 1;
    for (;;) {
      const std::uint64_t m = static_cast<std::uint64_t>(next_u32()) * range;
      if (static_cast<std::uint32_t>(m) <= zone) return static_cast<std::uint32_t>(m >> 32);
    }
  }

 private:
  explicit RandomSource(const State& s) : s_(s) {}
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

  void sample_floyd(std::uint32_t length, std::uint32_t amount, bool insert, std::size_t* out);
  void sample_inplace(std::uint32_t length, std::uint32_t amount, std::size_t* out,
                      SampleWorkspace& work);
  template <class Word>
  void sample_rejection(std::uint64_t length, std::size_t amount, std::size_t* out,
                        SampleWorkspace& work);

  State s_;
};

}  // namespace velmora
