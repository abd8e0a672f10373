#include "dabc/food_source.hpp"

#include <algorithm>

namespace velmora {

namespace {

// Pool entries between two polls of the cancellation check.
constexpr std::size_t kPollEntries = std::size_t{1} << 15;

// Start and end (exclusive) of the window along one axis of length `len`.
// False when the window would start past the end of the axis.
bool window(std::size_t c, std::size_t len, std::size_t& start, std::size_t& end) {
  start = std::max<std::size_t>(c, 1) - 1;
  if (start > len) return false;
  end = c >= len ? len : std::min(c + 2, len);
  return true;
}

double window_variance(const ImageView& view, std::size_t r0, std::size_t r1, std::size_t c0,
                       std::size_t c1) {
  if (r0 >= r1 || c0 >= c1) return 0.0;
  double mean = 0.0, m2 = 0.0;
  std::int64_t count = 1;
  const std::ptrdiff_t cs = view.col_stride();
  for (std::size_t r = r0; r < r1; ++r) {
    const std::uint8_t* p = view.row_ptr(r) + static_cast<std::ptrdiff_t>(c0) * cs;
    for (std::size_t c = c0; c < c1; ++c, p += cs) {
      const double v = *p;
      const double d = v - mean;
      mean = mean + d / static_cast<double>(count);
      m2 = m2 + (v - mean) * d;
      ++count;
    }
  }
  return m2 / static_cast<double>((r1 - r0) * (c1 - c0));
}

// Full 3x3 windows of interior pixels: the same nine steps for every entry,
// so independent entries run side by side (two chains per loop iteration
// keep the divider busy while each chain waits on its own divisions).
struct Window9 {
  double v[9];
};

inline Window9 gather9(const ImageView& view, std::size_t y, std::size_t x) {
  Window9 w;
  const std::ptrdiff_t cs = view.col_stride();
  for (std::size_t r = 0; r < 3; ++r) {
    const std::uint8_t* p = view.row_ptr(y - 1 + r) + static_cast<std::ptrdiff_t>(x - 1) * cs;
    w.v[3 * r] = p[0];
    w.v[3 * r + 1] = p[cs];
    w.v[3 * r + 2] = p[2 * cs];
  }
  return w;
}

inline void welford9x2(const Window9& a, const Window9& b, double& out_a, double& out_b) {
  double ma = 0.0, m2a = 0.0, mb = 0.0, m2b = 0.0;
  for (int i = 0; i < 9; ++i) {
    const double n = static_cast<double>(i + 1);
    const double da = a.v[i] - ma, db = b.v[i] - mb;
    ma = ma + da / n;
    mb = mb + db / n;
    m2a = m2a + (a.v[i] - ma) * da;
    m2b = m2b + (b.v[i] - mb) * db;
  }
  out_a = m2a / 9.0;
  out_b = m2b / 9.0;
}

// Scores `count` entries given by coord(i), writing out[i].
template <class CoordAt>
void score_entries(const ImageView& view, std::size_t count, CoordAt&& coord_at, double* out) {
  const std::size_t H = view.rows(), W = view.cols();
  auto interior = [&](const PixelCoord& c) {
    return c.y >= 1 && c.x >= 1 && c.y + 1 < H && c.x + 1 < W;
  };
  std::size_t pending = count;  // an interior entry waiting for a partner
  for (std::size_t i = 0; i < count; ++i) {
    const PixelCoord c = coord_at(i);
    if (!interior(c)) {
      out[i] = local_variance(view, c);
      continue;
    }
    if (pending == count) {
      pending = i;
      continue;
    }
    welford9x2(gather9(view, coord_at(pending).y, coord_at(pending).x), gather9(view, c.y, c.x),
               out[pending], out[i]);
    pending = count;
  }
  if (pending != count) out[pending] = local_variance(view, coord_at(pending));
}

}  // namespace

double local_variance(const ImageView& view, const PixelCoord& coord) {
  std::size_t r0, r1, c0, c1;
  if (!window(coord.y, view.rows(), r0, r1) || !window(coord.x, view.cols(), c0, c1)) {
    throw InternalError("assertion failed: start <= axis_len");
  }
  return window_variance(view, r0, r1, c0, c1);
}

std::vector<double> score_table(const Pool& pool, const ImageView& view,
                                const CancelCheck& cancel) {
  std::vector<double> scores(pool.size());
  for (std::size_t start = 0; start < pool.size(); start += kPollEntries) {
    cancel.check();
    const std::size_t count = std::min(kPollEntries, pool.size() - start);
    score_entries(
        view, count, [&](std::size_t i) { return pool[start + i]; }, scores.data() + start);
  }
  return scores;
}

std::vector<double> score_table(const QuadtreePool& pool, const ImageView& view,
                                const CancelCheck& cancel) {
  std::vector<double> scores(pool.size());
  std::size_t offset = 0, next_poll = 0;
  for (const QuadtreePool::Block& b : pool.blocks()) {
    if (offset >= next_poll) {
      cancel.check();
      next_poll = offset + kPollEntries;
    }
    score_entries(
        view, b.h * b.w, [&](std::size_t i) { return PixelCoord{b.y + i / b.w, b.x + i % b.w}; },
        scores.data() + offset);
    offset += b.h * b.w;
  }
  return scores;
}

std::size_t first_entry_outside(const Pool& pool, const ImageView& view) {
  for (std::size_t i = 0; i < pool.size(); ++i) {
    // The window starts at max(c, 1) - 1, past the edge when c >= len + 2.
    if (pool[i].y > view.rows() + 1 || pool[i].x > view.cols() + 1) return i;
  }
  return pool.size();
}

void FoodSource::init(const std::vector<double>& scores) {
  double fitness = -0.0;
  for (std::size_t i = 0; i < size_; ++i) {
    fitness = fitness + scores[indices_[i]];
    insert(indices_[i]);
  }
  *fitness_ = fitness;
}

void FoodSource::resample(RandomSource& rng, SampleWorkspace& work,
                          const std::vector<double>& scores) {
  for (std::size_t i = 0; i < size_; ++i)
    erase(indices_[i]);
  rng.sample(pool_len_, size_, indices_, work);
  init(scores);
}

std::size_t FoodSource::scan_free(std::size_t start) const {
  const std::size_t words = (pool_len_ + 63) / 64;
  auto free_bits = [&](std::size_t w) {
    std::uint64_t m = ~members_[w];
    if (w + 1 == words && (pool_len_ & 63) != 0) m &= (std::uint64_t{1} << (pool_len_ & 63)) - 1;
    return m;
  };
  const std::size_t first = start >> 6;
  std::uint64_t m = free_bits(first) & (~std::uint64_t{0} << (start & 63));
  for (std::size_t w = first;;) {
    if (m != 0) return w * 64 + static_cast<std::size_t>(__builtin_ctzll(m));
    if (++w == words) break;
    m = free_bits(w);
  }
  for (std::size_t w = 0; w <= first; ++w) {
    m = free_bits(w);
    if (w == first) m &= (std::uint64_t{1} << (start & 63)) - 1;
    if (m != 0) return w * 64 + static_cast<std::size_t>(__builtin_ctzll(m));
  }
  return pool_len_;
}

FoodSource::Neighbour FoodSource::mutate(RandomSource& rng,
                                         const std::vector<double>& scores) const {
  const std::size_t pos = static_cast<std::size_t>(rng.gen_range(0, size_));
  const std::size_t old_index = indices_[pos];
  std::size_t new_index = old_index;
  const std::size_t n = pool_len_;
  if (size_ < n) {
    const std::size_t free = n - size_;
    if (free >= (n >> 2)) {
      do {
        new_index = static_cast<std::size_t>(rng.gen_range(0, n));
      } while (contains(new_index));
    } else {
      const std::size_t found = scan_free(static_cast<std::size_t>(rng.gen_range(0, n)));
      if (found < n) new_index = found;
    }
  }
  if (old_index >= scores.size() || new_index >= scores.size()) {
    throw InternalError("index out of range for the score table");
  }
  return {pos, old_index, new_index, (scores[new_index] - scores[old_index]) + *fitness_};
}

void FoodSource::apply(const Neighbour& n) {
  indices_[n.pos] = n.new_index;
  erase(n.old_index);
  insert(n.new_index);
  *fitness_ = n.fitness;
}

}  // namespace velmora
