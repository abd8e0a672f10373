#include "features/symmetrize.hpp"

#include <cstdint>

namespace velmora::features::detail {

namespace {

constexpr int kT = 2;

constexpr int cell(int a, int b, int c, int d) {
  return 125 * (a + kT) + 25 * (b + kT) + 5 * (c + kT) + (d + kT);
}

// Each output of the spam merge adds up to four cells, in this order; -1 ends
// the list.
struct SpamTable {
  std::int16_t cells[kSignSymmetric][4];
};

// Each output of the min/max merge is one cell or a cell and its reversal.
struct MinMaxTable {
  std::int16_t cells[kMinMaxMerged][2];
};

// The outputs come in the order of a scan over (a, b, c, d) with a varying
// slowest: a cell starts a new output the first time the scan meets it or,
// for the spam merge, one of the cells it is merged with.
constexpr SpamTable make_spam_table() {
  SpamTable t{};
  bool done[625] = {};
  for (auto& row : t.cells)
    for (auto& c : row)
      c = -1;
  t.cells[0][0] = static_cast<std::int16_t>(cell(0, 0, 0, 0));
  std::size_t next = 1;
  for (int i = -kT; i <= kT; ++i)
    for (int j = -kT; j <= kT; ++j)
      for (int k = -kT; k <= kT; ++k)
        for (int n = -kT; n <= kT; ++n) {
          if (done[cell(i, j, k, n)] || (i == 0 && j == 0 && k == 0 && n == 0)) continue;
          t.cells[next][0] = static_cast<std::int16_t>(cell(i, j, k, n));
          t.cells[next][1] = static_cast<std::int16_t>(cell(-i, -j, -k, -n));
          done[cell(i, j, k, n)] = done[cell(-i, -j, -k, -n)] = true;
          if ((i != n || j != k) && !done[cell(n, k, j, i)]) {
            t.cells[next][2] = static_cast<std::int16_t>(cell(n, k, j, i));
            t.cells[next][3] = static_cast<std::int16_t>(cell(-n, -k, -j, -i));
            done[cell(n, k, j, i)] = done[cell(-n, -k, -j, -i)] = true;
          }
          ++next;
        }
  return t;
}

constexpr MinMaxTable make_minmax_table() {
  MinMaxTable t{};
  bool done[625] = {};
  std::size_t m = 0;
  for (int i = -kT; i <= kT; ++i)
    for (int j = -kT; j <= kT; ++j)
      for (int k = -kT; k <= kT; ++k)
        for (int n = -kT; n <= kT; ++n) {
          if (i != n || j != k) {
            if (done[cell(i, j, k, n)]) continue;
            t.cells[m][0] = static_cast<std::int16_t>(cell(i, j, k, n));
            t.cells[m][1] = static_cast<std::int16_t>(cell(n, k, j, i));
            done[cell(i, j, k, n)] = done[cell(n, k, j, i)] = true;
          } else {
            t.cells[m][0] = static_cast<std::int16_t>(cell(i, j, k, n));
            t.cells[m][1] = -1;
            done[cell(i, j, k, n)] = true;
          }
          ++m;
        }
  return t;
}

constexpr SpamTable kSpam = make_spam_table();
constexpr MinMaxTable kMinMax = make_minmax_table();

static_assert(kSpam.cells[kSignSymmetric - 1][0] >= 0, "every spam output is filled");
static_assert(kMinMax.cells[kMinMaxMerged - 1][0] >= 0, "every min/max output is filled");

}  // namespace

std::array<float, kSignSymmetric> symmetrize_spam(const std::array<float, 625>& a) {
  std::array<float, kSignSymmetric> out{};
  out[0] = a[static_cast<std::size_t>(kSpam.cells[0][0])];
  for (std::size_t m = 1; m < kSignSymmetric; ++m) {
    const std::int16_t* c = kSpam.cells[m];
    float v = a[static_cast<std::size_t>(c[0])] + a[static_cast<std::size_t>(c[1])];
    if (c[2] >= 0) {
      v = v + a[static_cast<std::size_t>(c[2])];
      v = v + a[static_cast<std::size_t>(c[3])];
    }
    out[m] = v;
  }
  return out;
}

std::array<float, kMinMaxMerged> symmetrize_minmax(const std::array<float, 625>& min,
                                                   const std::array<float, 625>& max) {
  // Negating all four values of a cell maps index i to 624 - i.
  std::array<float, 625> a;
  for (std::size_t i = 0; i < 625; ++i)
    a[i] = min[i] + max[624 - i];
  std::array<float, kMinMaxMerged> out{};
  for (std::size_t m = 0; m < kMinMaxMerged; ++m) {
    const std::int16_t* c = kMinMax.cells[m];
    out[m] = c[1] < 0 ? a[static_cast<std::size_t>(c[0])]
                      : a[static_cast<std::size_t>(c[0])] + a[static_cast<std::size_t>(c[1])];
  }
  return out;
}

}  // namespace velmora::features::detail
