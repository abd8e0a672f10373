#include "features/spam.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "core/error.hpp"
#include "core/heap_array.hpp"

namespace velmora::features::detail {

namespace {

constexpr int kT = 3;
constexpr std::size_t kValues = 2 * kT + 1;

using Counts3 = std::array<std::uint64_t, kSpamHalf>;

// Counts of the triples (L, C, R) of truncated differences along one
// direction, at index L + 7 C + 49 R (values shifted to 0 ... 6). In each
// direction the difference array D is walked in steps (sy, sx) and the triple
// at a position p is (D(p + 2s), D(p + s), D(p)); the triples of the opposite
// direction are those of the negated array read the other way round, i.e.
// (-R, -C, -L), so one count serves both.
class SpamRun {
 public:
  explicit SpamRun(const ImageView& image) : rows_(image.rows()), cols_(image.cols()) {
    pixels_ = HeapArray<std::int16_t>(rows_ * cols_);
    for (std::size_t y = 0; y < rows_; ++y)
      for (std::size_t x = 0; x < cols_; ++x)
        pixels_[y * cols_ + x] = image.at(y, x);
    diffs_ = HeapArray<std::uint8_t>(rows_ * cols_);
  }

  // D(y, x) = X(y + ay, x + ax) - X(y + by, x + bx), truncated and shifted,
  // over the dh x dw positions where both pixels exist; then the triples of
  // positions p = (y, x), p + s, p + 2s for s = (sy, sx), with D(p + 2s) as L
  // and D(p) as R, or the other way round when `left_first`.
  Counts3 count(std::size_t ay, std::size_t ax, std::size_t by, std::size_t bx, std::size_t sy,
                std::ptrdiff_t sx, bool left_first = false) {
    const std::size_t dh = rows_ - 1 + (ay == by), dw = cols_ - 1 + (ax == bx);
    for (std::size_t y = 0; y < dh; ++y) {
      const std::int16_t* a = pixels_.data() + (y + ay) * cols_ + ax;
      const std::int16_t* b = pixels_.data() + (y + by) * cols_ + bx;
      std::uint8_t* d = diffs_.data() + y * dw;
      for (std::size_t x = 0; x < dw; ++x)
        d[x] = static_cast<std::uint8_t>(std::clamp(a[x] - b[x], -kT, kT) + kT);
    }
    Counts3 counts{};
    const std::size_t span_x = 2 * static_cast<std::size_t>(sx < 0 ? -sx : sx);
    // With sx < 0 the walk starts two steps in from the left edge.
    const std::size_t x0 = sx < 0 ? span_x : 0;
    const auto step = static_cast<std::ptrdiff_t>(sy * dw) + sx;
    for (std::size_t y = 0; y + 2 * sy < dh; ++y) {
      const std::uint8_t* p = diffs_.data() + y * dw + x0;
      for (std::size_t x = 0; x + span_x < dw; ++x, ++p) {
        const std::size_t first = p[0], c = p[step], last = p[2 * step];
        const std::size_t l = left_first ? first : last, r = left_first ? last : first;
        ++counts[l + kValues * c + kValues * kValues * r];
      }
    }
    return counts;
  }

 private:
  std::size_t rows_, cols_;
  HeapArray<std::int16_t> pixels_;
  HeapArray<std::uint8_t> diffs_;
};

// Adds the normalized counts of a direction and of its opposite to `sum`, in
// that order.
void add_both_ways(const Counts3& counts, std::array<double, kSpamHalf>& sum, bool first) {
  std::uint64_t total = 0;
  for (std::uint64_t c : counts)
    total += c;
  const auto n = static_cast<double>(total);
  for (std::size_t i = 0; i < kValues; ++i)
    for (std::size_t j = 0; j < kValues; ++j)
      for (std::size_t k = 0; k < kValues; ++k) {
        const std::size_t cell = i + kValues * j + kValues * kValues * k;
        const std::size_t opposite =
            (kValues - 1 - k) + kValues * (kValues - 1 - j) + kValues * kValues * (kValues - 1 - i);
        const double forward = static_cast<double>(counts[cell]) / n;
        const double backward = static_cast<double>(counts[opposite]) / n;
        sum[cell] = first ? forward + backward : (sum[cell] + forward) + backward;
      }
}

}  // namespace

void extract_spam(const ImageView& image, std::span<double> out) {
  if (image.rows() < 4 || image.cols() < 4)
    throw InternalError("image too small for spam features");
  if (out.size() != 2 * kSpamHalf) throw InternalError("spam features of the wrong dimension");
  SpamRun run(image);
  std::array<double, kSpamHalf> straight{}, diagonal{};
  // Horizontal: D(y, x) = X(y, x) - X(y, x + 1), triples along the row.
  add_both_ways(run.count(0, 0, 0, 1, 0, 1), straight, true);
  // Vertical: D(y, x) = X(y, x) - X(y + 1, x).
  add_both_ways(run.count(0, 0, 1, 0, 1, 0), straight, false);
  // Diagonal: D(y, x) = X(y, x) - X(y + 1, x + 1), triples down the diagonal.
  add_both_ways(run.count(0, 0, 1, 1, 1, 1), diagonal, true);
  // Minor diagonal: D(y, x) = X(y + 1, x) - X(y, x + 1); the triple at
  // (y, x + 2), (y + 1, x + 1), (y + 2, x) with (y, x + 2) as L.
  add_both_ways(run.count(1, 0, 0, 1, 1, -1, true), diagonal, false);
  for (std::size_t i = 0; i < kSpamHalf; ++i) {
    out[i] = straight[i] / 4;
    out[kSpamHalf + i] = diagonal[i] / 4;
  }
}

}  // namespace velmora::features::detail
