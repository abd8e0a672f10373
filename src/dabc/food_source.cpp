#include "dabc/food_source.hpp"

#include <algorithm>

#include "core/variance.hpp"

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

// Full 3x3 windows of interior pixels take the same nine Welford steps, so
// independent windows run side by side in SIMD lanes (each lane does exactly
// the scalar operations; vector division is IEEE division).
constexpr int kLanes = 8;

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VELMORA_SIMD_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VELMORA_SIMD_CLONES
#endif

VELMORA_SIMD_CLONES
void welford9_lanes(const double (*v)[kLanes], double* result) {
  double mean[kLanes] = {}, m2[kLanes] = {};
  for (int i = 0; i < 9; ++i) {
    const double n = static_cast<double>(i + 1);
    for (int l = 0; l < kLanes; ++l) {
      const double d = v[i][l] - mean[l];
      mean[l] = mean[l] + d / n;
      m2[l] = m2[l] + (v[i][l] - mean[l]) * d;
    }
  }
  for (int l = 0; l < kLanes; ++l)
    result[l] = m2[l] / 9.0;
}

// Collects interior entries into batches of kLanes windows; other entries
// are scored on the spot.
class ScoreBatcher {
 public:
  explicit ScoreBatcher(const ImageView& view) : view_(view) {}
  ScoreBatcher(const ScoreBatcher&) = delete;
  ScoreBatcher& operator=(const ScoreBatcher&) = delete;

  void add(const PixelCoord& c, double* out) {
    // Written so that no coordinate, however large, can wrap around.
    const std::size_t H = view_.rows(), W = view_.cols();
    const bool interior =
        c.y >= 1 && c.x >= 1 && c.y < H && H - c.y >= 2 && c.x < W && W - c.x >= 2;
    if (!interior) {
      *out = local_variance(view_, c);
      return;
    }
    const std::ptrdiff_t cs = view_.col_stride();
    for (std::size_t r = 0; r < 3; ++r) {
      const std::uint8_t* p =
          view_.row_ptr(c.y - 1 + r) + static_cast<std::ptrdiff_t>(c.x - 1) * cs;
      v_[3 * r][n_] = p[0];
      v_[3 * r + 1][n_] = p[cs];
      v_[3 * r + 2][n_] = p[2 * cs];
    }
    out_[n_] = out;
    if (++n_ == kLanes) flush();
  }

  void flush() {
    if (n_ == 0) return;
    for (int l = n_; l < kLanes; ++l) {
      for (int i = 0; i < 9; ++i)
        v_[i][l] = v_[i][0];
    }
    double result[kLanes];
    welford9_lanes(v_, result);
    for (int l = 0; l < n_; ++l)
      *out_[l] = result[l];
    n_ = 0;
  }

 private:
  const ImageView& view_;
  double v_[9][kLanes];
  double* out_[kLanes];
  int n_ = 0;
};

}  // namespace

double local_variance(const ImageView& view, const PixelCoord& coord) {
  std::size_t r0, r1, c0, c1;
  if (!window(coord.y, view.rows(), r0, r1) || !window(coord.x, view.cols(), c0, c1)) {
    throw InternalError("assertion failed: start <= axis_len");
  }
  // The window is a block of the image: the same population variance.
  return block_variance(view, r0, c0, r1 > r0 ? r1 - r0 : 0, c1 > c0 ? c1 - c0 : 0);
}

std::vector<double> score_table(const Pool& pool, const ImageView& view,
                                const CancelCheck& cancel) {
  std::vector<double> scores(pool.size());
  ScoreBatcher batch(view);
  for (std::size_t i = 0; i < pool.size(); ++i) {
    if (i % kPollEntries == 0) cancel.check();
    batch.add(pool[i], &scores[i]);
  }
  batch.flush();
  return scores;
}

std::vector<double> score_table(const QuadtreePool& pool, const ImageView& view,
                                const CancelCheck& cancel) {
  std::vector<double> scores(pool.size());
  ScoreBatcher batch(view);
  std::size_t i = 0;
  for (const QuadtreePool::Block& b : pool.blocks()) {
    for (std::size_t r = b.y; r < b.y + b.h; ++r) {
      for (std::size_t c = b.x; c < b.x + b.w; ++c, ++i) {
        if (i % kPollEntries == 0) cancel.check();
        batch.add({r, c}, &scores[i]);
      }
    }
  }
  batch.flush();
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
