#include "features/residuals.hpp"

#include "features/kernels.hpp"

namespace velmora::features::detail {

namespace {

constexpr bool sums_to_zero(const Kernel& k) {
  int s = 0;
  for (const auto& row : k)
    for (int v : row)
      s += v;
  return s == 0;
}

// clang-format off

// First order: a neighbour minus the pixel. The image is cropped by one pixel.
constexpr Kernel kFirst[] = {
    {{{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, -1, 1, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},  // R
    {{{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 1, -1, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},  // L
    {{{0, 0, 0, 0, 0}, {0, 0, 1, 0, 0}, {0, 0, -1, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},  // U
    {{{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, -1, 0, 0}, {0, 0, 1, 0, 0}, {0, 0, 0, 0, 0}}},  // D
    {{{0, 0, 0, 0, 0}, {0, 0, 0, 1, 0}, {0, 0, -1, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},  // RU
    {{{0, 0, 0, 0, 0}, {0, 1, 0, 0, 0}, {0, 0, -1, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},  // LU
    {{{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, -1, 0, 0}, {0, 0, 0, 1, 0}, {0, 0, 0, 0, 0}}},  // RD
    {{{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, -1, 0, 0}, {0, 1, 0, 0, 0}, {0, 0, 0, 0, 0}}},  // LD
};

// Second order along the four directions, cropped by one pixel.
constexpr Kernel kSecond[] = {
    {{{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 1, -2, 1, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},  // horizontal
    {{{0, 0, 0, 0, 0}, {0, 0, 1, 0, 0}, {0, 0, -2, 0, 0}, {0, 0, 1, 0, 0}, {0, 0, 0, 0, 0}}},  // vertical
    {{{0, 0, 0, 0, 0}, {0, 1, 0, 0, 0}, {0, 0, -2, 0, 0}, {0, 0, 0, 1, 0}, {0, 0, 0, 0, 0}}},  // diagonal
    {{{0, 0, 0, 0, 0}, {0, 0, 0, 1, 0}, {0, 0, -2, 0, 0}, {0, 1, 0, 0, 0}, {0, 0, 0, 0, 0}}},  // minor diagonal
};

// Third order towards each neighbour, cropped by two pixels.
constexpr Kernel kThird[] = {
    {{{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 1, -3, 3, -1}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},  // R
    {{{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {-1, 3, -3, 1, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},  // L
    {{{0, 0, -1, 0, 0}, {0, 0, 3, 0, 0}, {0, 0, -3, 0, 0}, {0, 0, 1, 0, 0}, {0, 0, 0, 0, 0}}},  // U
    {{{0, 0, 0, 0, 0}, {0, 0, 1, 0, 0}, {0, 0, -3, 0, 0}, {0, 0, 3, 0, 0}, {0, 0, -1, 0, 0}}},  // D
    {{{0, 0, 0, 0, -1}, {0, 0, 0, 3, 0}, {0, 0, -3, 0, 0}, {0, 1, 0, 0, 0}, {0, 0, 0, 0, 0}}},  // RU
    {{{-1, 0, 0, 0, 0}, {0, 3, 0, 0, 0}, {0, 0, -3, 0, 0}, {0, 0, 0, 1, 0}, {0, 0, 0, 0, 0}}},  // LU
    {{{0, 0, 0, 0, 0}, {0, 1, 0, 0, 0}, {0, 0, -3, 0, 0}, {0, 0, 0, 3, 0}, {0, 0, 0, 0, -1}}},  // RD
    {{{0, 0, 0, 0, 0}, {0, 0, 0, 1, 0}, {0, 0, -3, 0, 0}, {0, 3, 0, 0, 0}, {-1, 0, 0, 0, 0}}},  // LD
};

// The 3x3 SQUARE kernel's four EDGE halves and the whole square, cropped by
// one pixel.
constexpr Kernel kSquare3[] = {
    {{{0, 0, 0, 0, 0}, {0, -1, 2, -1, 0}, {0, 2, -4, 2, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},   // up
    {{{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 2, -4, 2, 0}, {0, -1, 2, -1, 0}, {0, 0, 0, 0, 0}}},   // bottom
    {{{0, 0, 0, 0, 0}, {0, -1, 2, 0, 0}, {0, 2, -4, 0, 0}, {0, -1, 2, 0, 0}, {0, 0, 0, 0, 0}}},   // left
    {{{0, 0, 0, 0, 0}, {0, 0, 2, -1, 0}, {0, 0, -4, 2, 0}, {0, 0, 2, -1, 0}, {0, 0, 0, 0, 0}}},   // right
    {{{0, 0, 0, 0, 0}, {0, -1, 2, -1, 0}, {0, 2, -4, 2, 0}, {0, -1, 2, -1, 0}, {0, 0, 0, 0, 0}}},  // square
};

// The 5x5 SQUARE kernel's four EDGE halves and the whole square, cropped by
// two pixels.
constexpr Kernel kSquare5[] = {
    {{{-1, 2, -2, 2, -1}, {2, -6, 8, -6, 2}, {-2, 8, -12, 8, -2}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}},      // up
    {{{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {-2, 8, -12, 8, -2}, {2, -6, 8, -6, 2}, {-1, 2, -2, 2, -1}}},      // bottom
    {{{-1, 2, -2, 0, 0}, {2, -6, 8, 0, 0}, {-2, 8, -12, 0, 0}, {2, -6, 8, 0, 0}, {-1, 2, -2, 0, 0}}},      // left
    {{{0, 0, -2, 2, -1}, {0, 0, 8, -6, 2}, {0, 0, -12, 8, -2}, {0, 0, 8, -6, 2}, {0, 0, -2, 2, -1}}},      // right
    {{{-1, 2, -2, 2, -1}, {2, -6, 8, -6, 2}, {-2, 8, -12, 8, -2}, {2, -6, 8, -6, 2}, {-1, 2, -2, 2, -1}}},  // square
};

// clang-format on

constexpr bool all_sum_to_zero() {
  for (const auto* set : {kFirst, kThird})
    for (std::size_t i = 0; i < 8; ++i)
      if (!sums_to_zero(set[i])) return false;
  for (const Kernel& k : kSecond)
    if (!sums_to_zero(k)) return false;
  for (std::size_t i = 0; i < 5; ++i)
    if (!sums_to_zero(kSquare3[i]) || !sums_to_zero(kSquare5[i])) return false;
  return true;
}
static_assert(all_sum_to_zero(), "a residual of a flat image is zero");

constexpr std::array<const char*, 3> kQNames3 = {"1", "15", "2"};

}  // namespace

const ResidualFamily kResidualFamilies[5] = {
    {"s1", 1, kFirst, {2, 4, 0}, {"1", "2", ""}, 2},
    {"s2", 1, kSecond, {4, 6, 8}, kQNames3, 3},
    {"s3", 2, kThird, {6, 9, 12}, kQNames3, 3},
    {"s3x3", 1, kSquare3, {8, 12, 16}, kQNames3, 3},
    {"s5x5", 2, kSquare5, {24, 36, 48}, kQNames3, 3},
};

void quantized_residuals(const std::int16_t* pixels, std::size_t rows, std::size_t cols,
                         const ResidualFamily& f, std::size_t qi, RoundTies ties,
                         std::uint8_t* out) {
  const std::size_t c = f.crop, h = rows - 2 * c, w = cols - 2 * c;
  // r / q rounds to at least 1 when 4 r >= 2 q (> with ties down), to at
  // least 2 when 4 r >= 6 q; to at most -1 when 4 r <= -2 q, -2 when 4 r <=
  // -6 q; 2 q is the integer q2.
  const int q2 = f.twice_q[qi];
  const auto down1 = static_cast<std::int16_t>((q2 + 3) / 4);
  const auto down2 = static_cast<std::int16_t>((3 * q2 + 3) / 4);
  const auto up1 = ties == RoundTies::away ? down1 : static_cast<std::int16_t>(q2 / 4 + 1);
  const auto up2 = ties == RoundTies::away ? down2 : static_cast<std::int16_t>(3 * q2 / 4 + 1);
  for (std::size_t b = 0; b < f.bases.size(); ++b) {
    // The kernel's non-zero weights and where they sit relative to the
    // first pixel of a row of the cropped image.
    std::int16_t weights[25];
    std::ptrdiff_t offsets[25];
    std::size_t taps = 0;
    for (int dy = -2; dy <= 2; ++dy)
      for (int dx = -2; dx <= 2; ++dx)
        if (const int weight = f.bases[b][dy + 2][dx + 2]; weight != 0) {
          weights[taps] = static_cast<std::int16_t>(weight);
          offsets[taps++] =
              (static_cast<std::ptrdiff_t>(c) + dy) * static_cast<std::ptrdiff_t>(cols) +
              static_cast<std::ptrdiff_t>(c) + dx;
        }
    const std::int16_t* src[25];
    for (std::size_t y = 0; y < h; ++y) {
      const std::int16_t* row = pixels + y * cols;
      for (std::size_t t = 0; t < taps; ++t)
        src[t] = row + offsets[t];
      residual_codes(src, weights, taps, w, {up1, up2, down1, down2}, out + (b * h + y) * w);
    }
  }
}

}  // namespace velmora::features::detail
