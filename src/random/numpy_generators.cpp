#include "random/numpy_generators.hpp"

namespace velmora {

namespace {

// SeedSequence's hashing constants (pool of four 32-bit words).
constexpr std::uint32_t kInitA = 0x43b0d7e5U;
constexpr std::uint32_t kMultA = 0x931e8875U;
constexpr std::uint32_t kInitB = 0x8b51f9ddU;
constexpr std::uint32_t kMultB = 0x58f38dedU;
constexpr std::uint32_t kMixMultL = 0xca01f9ddU;
constexpr std::uint32_t kMixMultR = 0x4973f715U;
constexpr int kPoolSize = 4;

std::uint32_t hashmix(std::uint32_t value, std::uint32_t& hash_const) {
  value ^= hash_const;
  hash_const *= kMultA;
  value *= hash_const;
  return value ^ (value >> 16);
}

std::uint32_t mix(std::uint32_t x, std::uint32_t y) {
  std::uint32_t result = kMixMultL * x - kMixMultR * y;
  return result ^ (result >> 16);
}

}  // namespace

std::array<std::uint64_t, 4> seed_sequence_state(std::uint64_t seed) {
  // The seed as 32-bit words, lowest first: one word below 2^32, else two.
  std::uint32_t entropy[2] = {static_cast<std::uint32_t>(seed),
                              static_cast<std::uint32_t>(seed >> 32)};
  const int words = seed >> 32 ? 2 : 1;
  std::uint32_t pool[kPoolSize];
  std::uint32_t hash_const = kInitA;
  for (int i = 0; i < kPoolSize; ++i)
    pool[i] = hashmix(i < words ? entropy[i] : 0, hash_const);
  for (int src = 0; src < kPoolSize; ++src)
    for (int dst = 0; dst < kPoolSize; ++dst)
      if (src != dst) pool[dst] = mix(pool[dst], hashmix(pool[src], hash_const));
  // generate_state(8 uint32 words), viewed as four little-endian uint64.
  std::uint32_t out[8];
  std::uint32_t hb = kInitB;
  for (int i = 0; i < 8; ++i) {
    std::uint32_t v = pool[i % kPoolSize];
    v ^= hb;
    hb *= kMultB;
    v *= hb;
    out[i] = v ^ (v >> 16);
  }
  std::array<std::uint64_t, 4> state{};
  for (int i = 0; i < 4; ++i)
    state[i] =
        static_cast<std::uint64_t>(out[2 * i]) | (static_cast<std::uint64_t>(out[2 * i + 1]) << 32);
  return state;
}

NumpyPcg64::NumpyPcg64(std::uint64_t seed) {
  const auto words = seed_sequence_state(seed);
  const u128 initstate = (static_cast<u128>(words[0]) << 64) | words[1];
  const u128 initseq = (static_cast<u128>(words[2]) << 64) | words[3];
  // pcg_setseq_128_srandom_r
  state_ = 0;
  inc_ = (initseq << 1) | 1;
  state_ = state_ * kMultiplier + inc_;
  state_ += initstate;
  state_ = state_ * kMultiplier + inc_;
}

NumpyMt19937::NumpyMt19937(std::uint32_t seed) {
  state_[0] = seed;
  for (int i = 1; i < kN; ++i)
    state_[i] =
        1812433253U * (state_[i - 1] ^ (state_[i - 1] >> 30)) + static_cast<std::uint32_t>(i);
  index_ = kN;
}

void NumpyMt19937::refill() {
  constexpr int kM = 397;
  constexpr std::uint32_t kUpper = 0x80000000U, kLower = 0x7fffffffU, kMatrix = 0x9908b0dfU;
  int i = 0;
  for (; i < kN - kM; ++i) {
    const std::uint32_t y = (state_[i] & kUpper) | (state_[i + 1] & kLower);
    state_[i] = state_[i + kM] ^ (y >> 1) ^ ((y & 1U) ? kMatrix : 0U);
  }
  for (; i < kN - 1; ++i) {
    const std::uint32_t y = (state_[i] & kUpper) | (state_[i + 1] & kLower);
    state_[i] = state_[i + (kM - kN)] ^ (y >> 1) ^ ((y & 1U) ? kMatrix : 0U);
  }
  const std::uint32_t y = (state_[kN - 1] & kUpper) | (state_[0] & kLower);
  state_[kN - 1] = state_[kM - 1] ^ (y >> 1) ^ ((y & 1U) ? kMatrix : 0U);
  index_ = 0;
}

}  // namespace velmora
