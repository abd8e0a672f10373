// Co-occurrences of four neighbouring values along rows or columns of arrays
// of small codes (0 ... 4), the core of the rich-model features.
//
// Four-windows are counted two at a time: a five-window (a, b, c, d, e)
// holds the four-windows (a, b, c, d) and (b, c, d, e), so counting the
// five-windows that start at every second position, and then adding up each
// five-window's count into both of its four-windows, gives the same counts
// with half the histogram updates. The updates go to four interleaved 16-bit
// tables (25 KB together, so that they stay in L1 and repeated codes do not
// wait on one another) that are flushed into the 64-bit four-window counts
// before any of them can overflow.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "features/kernels.hpp"

namespace velmora::features::detail {

constexpr std::size_t kCodes = 5;      // quantized values -2 ... 2 as codes 0 ... 4
constexpr std::size_t kCells4 = 625;   // kCodes^4
constexpr std::size_t kCells5 = 3125;  // kCodes^5
constexpr std::uint8_t kZeroCode = 2;

enum class Direction { horizontal, vertical };

// Four-window counts: index 125 a + 25 b + 5 c + d for the window whose
// values are a, b, c, d in order of increasing column (horizontal) or row
// (vertical).
using Counts4 = std::array<std::uint64_t, kCells4>;

// Number of four-windows of an h x w array in one direction.
std::uint64_t window_count(std::size_t h, std::size_t w, Direction dir);

class WindowCounter {
 public:
  WindowCounter();

  // Adds the horizontal four-windows of an h x w code array, whose row y
  // `row(y)` returns, to `counts`.
  template <class RowFn>
  void count_horizontal(std::size_t h, std::size_t w, RowFn&& row, Counts4& counts) {
    if (w >= 4) {
      const std::size_t windows = w - 3, pairs = windows / 2;
      for (std::size_t y = 0; y < h; ++y) {
        const std::uint8_t* r = row(y);
        for (std::size_t i = 0; i < pairs; i += kChunk) {
          const std::size_t n = pairs - i < kChunk ? pairs - i : kChunk;
          row_codes5(r + 2 * i, n, codes_.data());
          add(codes_.data(), n, counts);
        }
        if (windows % 2 != 0) add_single(r + windows - 1, 1, counts);
      }
    }
    flush(counts);
  }

  // Adds the vertical four-windows of the h x w code array `codes` (rows
  // `stride` apart) to `counts`.
  void count_vertical(const std::uint8_t* codes, std::size_t h, std::size_t w, std::size_t stride,
                      Counts4& counts);

 private:
  static constexpr std::size_t kTables = 4;
  static constexpr std::size_t kTableSize = 3136;  // kCells5 rounded up to 64 bytes
  static constexpr std::size_t kChunk = 2048;      // codes computed per batch

  void add(const std::uint16_t* codes, std::size_t n, Counts4& counts);
  // The four-window starting at p, whose values lie `step` apart.
  static void add_single(const std::uint8_t* p, std::size_t step, Counts4& counts) {
    ++counts[125u * p[0] + 25u * p[step] + 5u * p[2 * step] + p[3 * step]];
  }
  void flush(Counts4& counts);

  alignas(64) std::uint16_t tables_[kTables][kTableSize];
  std::size_t load_ = 0;  // the most any table may hold since the last flush
  std::vector<std::uint16_t> codes_;
};

}  // namespace velmora::features::detail
