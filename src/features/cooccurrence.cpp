#include "features/cooccurrence.hpp"

#include <algorithm>
#include <cstring>

#include "core/error.hpp"

namespace velmora::features::detail {

namespace {

constexpr std::size_t kMaxLoad = 0xFFFF;

}  // namespace

std::uint64_t window_count(std::size_t h, std::size_t w, Direction dir) {
  if (dir == Direction::horizontal) return w < 3 ? 0 : std::uint64_t{h} * (w - 3);
  return h < 3 ? 0 : std::uint64_t{h - 3} * w;
}

WindowCounter::WindowCounter() : codes_(kChunk) {
  std::memset(tables_, 0, sizeof tables_);
}

void WindowCounter::add(const std::uint16_t* codes, std::size_t n, Counts4& counts) {
  const std::size_t per_table = (n + kTables - 1) / kTables;
  if (load_ + per_table > kMaxLoad) flush(counts);
  load_ += per_table;
  std::uint16_t* t0 = tables_[0];
  std::uint16_t* t1 = tables_[1];
  std::uint16_t* t2 = tables_[2];
  std::uint16_t* t3 = tables_[3];
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++t0[codes[i]];
    ++t1[codes[i + 1]];
    ++t2[codes[i + 2]];
    ++t3[codes[i + 3]];
  }
  for (std::size_t k = 0; i < n; ++i, ++k)
    ++tables_[k][codes[i]];
}

void WindowCounter::flush(Counts4& counts) {
  if (load_ == 0) return;
  std::uint32_t five[kCells5];
  for (std::size_t c = 0; c < kCells5; ++c) {
    five[c] = std::uint32_t{tables_[0][c]} + tables_[1][c] + tables_[2][c] + tables_[3][c];
  }
  // (a, b, c, d, e) holds (a, b, c, d) = index / 5 and (b, c, d, e) = index % 625.
  for (std::size_t p = 0; p < kCells4; ++p) {
    const std::uint32_t* f = five + 5 * p;
    counts[p] += std::uint64_t{f[0]} + f[1] + f[2] + f[3] + f[4];
  }
  for (std::size_t a = 0; a < kCodes; ++a) {
    const std::uint32_t* f = five + kCells4 * a;
    for (std::size_t p = 0; p < kCells4; ++p)
      counts[p] += f[p];
  }
  std::memset(tables_, 0, sizeof tables_);
  load_ = 0;
}

void WindowCounter::count_vertical(const std::uint8_t* codes, std::size_t h, std::size_t w,
                                   std::size_t stride, Counts4& counts) {
  if (h >= 4) {
    const std::size_t windows = h - 3, pairs = windows / 2;
    for (std::size_t t = 0; t < pairs; ++t) {
      const std::uint8_t* top = codes + 2 * t * stride;
      for (std::size_t x = 0; x < w; x += kChunk) {
        const std::size_t n = std::min(kChunk, w - x);
        const std::uint8_t* rows[5];
        for (std::size_t k = 0; k < 5; ++k)
          rows[k] = top + k * stride + x;
        column_codes5(rows, n, codes_.data());
        add(codes_.data(), n, counts);
      }
    }
    if (windows % 2 != 0) {
      const std::uint8_t* top = codes + (windows - 1) * stride;
      for (std::size_t x = 0; x < w; ++x)
        add_single(top + x, stride, counts);
    }
  }
  flush(counts);
}

}  // namespace velmora::features::detail
