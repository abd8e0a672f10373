#include "quadtree/quadtree.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "core/variance.hpp"

namespace velmora {

double quadtree_threshold(double mean, double variance) {
  const double t = mean * 0.1 + std::sqrt(variance) * 0.6;
  return t > 8.0 ? t : 8.0;
}

// Rounding-error analysis of Welford's recurrences for values in [0, 255],
// with u = 2^-53 and every operation rounded to nearest:
//  * the computed running mean stays within E = u (130 N + 650) of the exact
//    running mean (each step damps the previous error by (k-1)/k and adds at
//    most 256 u + 513 u / k);
//  * each computed term (p - mean_k)(p - mean_{k-1}) is then within
//    dt = 195800 u + 512 E of the exact term, and the exact terms sum to
//    N * variance;
//  * recursive summation of N non-negative terms adds at most 1.01 N u times
//    their sum, and the final division one more rounding.
// The bound holds while N u is far below 1 (N <= 2^36 where it is used); the
// result is multiplied by 4 so that a slip in a constant cannot change a
// decision.
double welford_error_bound(std::uint64_t count, double variance) {
  constexpr double u = 0x1p-53;
  const double n = static_cast<double>(count);
  const double mean_error = u * (130.0 * n + 650.0);
  const double term_error = 195800.0 * u + 512.0 * mean_error;
  const double m2_error = term_error + 1.01 * u * n * (variance + term_error);
  return 4.0 * (m2_error + u * (variance + m2_error));
}

namespace {

constexpr std::uint64_t kMaxBoundedCount = std::uint64_t{1} << 36;
// Pixels between two polls of the cancellation check.
constexpr std::size_t kPollPixels = std::size_t{1} << 16;

enum : std::uint8_t { kSmooth = 0, kTextured = 1, kUndecided = 2 };

struct Span {
  std::size_t start;
  std::size_t len;
};

// Integer sums of the grey levels and of their squares over a block.
struct Sums {
  std::uint64_t s1 = 0;
  std::uint64_t s2 = 0;
};

// One level of the tree as a grid: every block the recursion can reach at
// this depth is (row span) x (column span) for a row span and a column span of
// the level. Empty spans are left out.
struct Level {
  std::vector<Span> rows, cols;
  // Position in the next level of a span's last child: a span of length >= 2
  // has children first - 1 (top / left) and first (bottom / right), a span of
  // length 1 only the bottom / right one.
  std::vector<std::size_t> row_child, col_child;
  std::vector<Sums> sums;            // rows x cols, row-major
  std::vector<std::uint8_t> states;  // rows x cols: kSmooth, kTextured or kUndecided
};

std::size_t max_len(const std::vector<Span>& spans) {
  std::size_t m = 0;
  for (const Span& s : spans)
    m = std::max(m, s.len);
  return m;
}

// Whether some block of the level has two or more pixels and a side of at
// most min_block, so that it can be a leaf of the pool.
bool has_leaf_candidate(const Level& level, std::uint64_t min_block) {
  const std::size_t max_rows = max_len(level.rows), max_cols = max_len(level.cols);
  for (const Span& r : level.rows) {
    if (r.len <= min_block && r.len * max_cols >= 2) return true;
  }
  for (const Span& c : level.cols) {
    if (c.len <= min_block && c.len * max_rows >= 2) return true;
  }
  return false;
}

// The spans of the next level, recording each parent's last child.
std::vector<Span> split_spans(const std::vector<Span>& spans, std::vector<std::size_t>& child) {
  std::vector<Span> next;
  next.reserve(spans.size() * 2);
  child.resize(spans.size());
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const std::size_t half = spans[i].len / 2;
    if (half > 0) next.push_back({spans[i].start, half});
    child[i] = next.size();
    next.push_back({spans[i].start + half, spans[i].len - half});
  }
  return next;
}

// State of the root block's Welford chain between rows.
struct RootChain {
  double mean = 0.0;
  double m2 = 0.0;
  std::int64_t count = 1;
};

// One image row: advances the root chain over its pixels and adds each pixel
// and its square to its column's running sums. Kept out of line so that the
// chain's state stays in registers: the chain of dependent divisions is the
// whole cost, and the integer sums ride along in otherwise idle units.
[[gnu::noinline]] RootChain sweep_row(RootChain chain, const std::uint8_t* row, std::ptrdiff_t cs,
                                      std::size_t width, std::uint64_t* col_s1,
                                      std::uint64_t* col_s2) {
  double mean = chain.mean, m2 = chain.m2;
  std::int64_t count = chain.count;
  for (std::size_t x = 0; x < width; ++x) {
    const std::uint32_t v = row[static_cast<std::ptrdiff_t>(x) * cs];
    const double p = static_cast<double>(v);
    const double d = p - mean;
    mean = mean + d / static_cast<double>(count);
    m2 = m2 + (p - mean) * d;
    count = count + 1;
    col_s1[x] += v;
    col_s2[x] += v * v;
  }
  return {mean, m2, count};
}

// Classifies blocks of one pixel count n from their exact integer sums.
// Welford's variance lies within welford_error_bound of the exact one, so a
// block whose exact variance is further than that from the threshold is
// decided here; the rare others stay undecided and run the Welford chain if
// the recursion reaches them.
class Classifier {
 public:
  Classifier(std::uint64_t n, double threshold) : n_(n), threshold_(threshold) {
    const double nd = static_cast<double>(n);
    n_squared_ = nd * nd;
    // The bound is affine in the variance: bound(n, v) = base + slope * v.
    base_ = welford_error_bound(n, 0.0);
    slope_ = welford_error_bound(n, 1.0) - base_;
  }

  std::uint64_t count() const { return n_; }

  std::uint8_t operator()(const Sums& s) const {
    if (n_ < 2) return kSmooth;  // a single pixel has variance 0
    if (n_ > kMaxBoundedCount) return kUndecided;
    double num;  // n^2 times the exact variance
    if (n_ < (std::uint64_t{1} << 24)) {
      // n * s2 <= 65025 n^2 < 2^64
      num = static_cast<double>(static_cast<std::int64_t>(n_ * s.s2 - s.s1 * s.s1));
    } else {
      num = static_cast<double>(static_cast<unsigned __int128>(n_) * s.s2 -
                                static_cast<unsigned __int128>(s.s1) * s.s1);
    }
    const double v = num / n_squared_;  // three roundings: within 3.01 u of exact
    // The slope is doubled to cover rounding in base + slope * v, and 8 u v
    // covers the distance between v and the exact variance.
    const double margin = base_ + (2.0 * slope_ + 0x1p-50) * v;
    if (v >= threshold_ + margin) return kTextured;
    if (v < threshold_ - margin) return kSmooth;
    return kUndecided;
  }

 private:
  std::uint64_t n_;
  double threshold_;
  double n_squared_;
  double base_;
  double slope_;
};

class QuadtreeBuilder {
 public:
  QuadtreeBuilder(const ImageView& view, std::uint64_t min_block, const CancelCheck& cancel)
      : view_(view), min_block_(min_block), cancel_(cancel) {}

  QuadtreePool run();

 private:
  void build_levels();
  void sweep();
  void classify_levels();
  bool textured(std::size_t level_index, std::size_t i, std::size_t j) const;
  void collect_below(std::size_t level_index, std::size_t i, std::size_t j);

  const ImageView& view_;
  std::uint64_t min_block_;
  const CancelCheck& cancel_;

  std::vector<Level> levels_;
  double root_variance_ = 0.0;
  double threshold_ = 8.0;
  QuadtreePool pool_;
};

// Levels 0 .. D, where D is the deepest level at which a block of two or more
// pixels can be reached: a level has children when some block of it has both
// sides above min_block, and a level of single pixels needs no statistics
// (variance 0, below every threshold).
void QuadtreeBuilder::build_levels() {
  levels_.clear();
  levels_.push_back({});
  levels_[0].rows = {{0, view_.rows()}};
  levels_[0].cols = {{0, view_.cols()}};
  while (max_len(levels_.back().rows) > min_block_ && max_len(levels_.back().cols) > min_block_) {
    Level& cur = levels_.back();
    std::vector<std::size_t> row_child, col_child;
    Level next;
    next.rows = split_spans(cur.rows, row_child);
    next.cols = split_spans(cur.cols, col_child);
    if (max_len(next.rows) * max_len(next.cols) < 2) break;
    cur.row_child = std::move(row_child);
    cur.col_child = std::move(col_child);
    levels_.push_back(std::move(next));
  }
  // A deepest level whose blocks all have both sides above min_block can add
  // nothing: each of its textured blocks splits into single pixels. Neither
  // can the level above once that one is gone, and so on upwards.
  while (levels_.size() > 1 && !has_leaf_candidate(levels_.back(), min_block_)) {
    levels_.pop_back();
  }
  // Sums and states of every level, and the leaf list (at most one leaf per
  // deepest block): refused at once when the machine could never hold them
  // (huge broadcast images), instead of being granted and touched page by page.
  std::size_t bytes = 0;
  for (const Level& level : levels_) {
    const std::size_t blocks = checked_bytes(level.rows.size(), level.cols.size());
    bytes = checked_sum({bytes, checked_bytes(blocks, sizeof(Sums) + 1)});
  }
  const std::size_t deepest_blocks = levels_.back().rows.size() * levels_.back().cols.size();
  ensure_fits_in_memory(checked_sum({bytes, checked_bytes(deepest_blocks, 48)}));
  for (Level& level : levels_)
    level.sums.assign(level.rows.size() * level.cols.size(), Sums{});
}

// One row-major pass over the image: the root's Welford chain (the global mean
// and variance, hence the threshold) and the deepest level's integer sums,
// gathered per column over each band of rows and folded into the band's
// blocks at its end.
void QuadtreeBuilder::sweep() {
  Level& deepest = levels_.back();
  const std::size_t width = view_.cols(), ncols = deepest.cols.size();
  std::vector<std::uint64_t> col_s1(width), col_s2(width);
  RootChain chain;
  std::size_t since_poll = 0;
  for (std::size_t a = 0; a < deepest.rows.size(); ++a) {
    const Span r = deepest.rows[a];
    for (std::size_t y = r.start; y < r.start + r.len; ++y) {
      chain = sweep_row(chain, view_.row_ptr(y), view_.col_stride(), width, col_s1.data(),
                        col_s2.data());
      since_poll += width;
      if (since_poll >= kPollPixels) {
        since_poll = 0;
        cancel_.check();
      }
    }
    Sums* cells = &deepest.sums[a * ncols];
    for (std::size_t c = 0; c < ncols; ++c) {
      const Span span = deepest.cols[c];
      for (std::size_t x = span.start; x < span.start + span.len; ++x) {
        cells[c].s1 += col_s1[x];
        cells[c].s2 += col_s2[x];
        col_s1[x] = 0;
        col_s2[x] = 0;
      }
    }
  }
  Welford root;
  root.mean = chain.mean;
  root.m2 = chain.m2;
  root_variance_ = root.variance(static_cast<std::uint64_t>(view_.rows()) * view_.cols());
  threshold_ = quadtree_threshold(root.mean, root_variance_);
}

// Sums of every level from those of the level below, then each block's state.
void QuadtreeBuilder::classify_levels() {
  for (std::size_t l = levels_.size() - 1; l-- > 0;) {
    Level& cur = levels_[l];
    const Level& below = levels_[l + 1];
    const std::size_t ncols = cur.cols.size(), below_cols = below.cols.size();
    for (std::size_t i = 0; i < cur.rows.size(); ++i) {
      const std::size_t r1 = cur.row_child[i], r0 = cur.rows[i].len >= 2 ? r1 - 1 : r1;
      for (std::size_t j = 0; j < ncols; ++j) {
        const std::size_t c1 = cur.col_child[j], c0 = cur.cols[j].len >= 2 ? c1 - 1 : c1;
        Sums s;
        for (std::size_t r = r0; r <= r1; ++r) {
          for (std::size_t c = c0; c <= c1; ++c) {
            s.s1 += below.sums[r * below_cols + c].s1;
            s.s2 += below.sums[r * below_cols + c].s2;
          }
        }
        cur.sums[i * ncols + j] = s;
      }
    }
  }
  for (std::size_t l = 1; l < levels_.size(); ++l) {
    Level& level = levels_[l];
    const std::size_t ncols = level.cols.size();
    level.states.resize(level.sums.size());
    // At the deepest level a block with both sides above min_block could only
    // split into single pixels: whatever its texture, it adds nothing.
    const bool deepest = l + 1 == levels_.size();
    Classifier classify(0, threshold_);
    for (std::size_t i = 0; i < level.rows.size(); ++i) {
      for (std::size_t j = 0; j < ncols; ++j) {
        if (deepest && level.rows[i].len > min_block_ && level.cols[j].len > min_block_) {
          level.states[i * ncols + j] = kSmooth;
          continue;
        }
        const std::uint64_t n = static_cast<std::uint64_t>(level.rows[i].len) * level.cols[j].len;

        if (n != classify.count()) classify = Classifier(n, threshold_);
        level.states[i * ncols + j] = classify(level.sums[i * ncols + j]);
      }
    }
  }
}

// Whether a block counts as textured: its Welford variance is not below the
// threshold. (A block whose variance equals the threshold is textured.)
bool QuadtreeBuilder::textured(std::size_t level_index, std::size_t i, std::size_t j) const {
  if (level_index == 0) return !(threshold_ > root_variance_);
  const Level& level = levels_[level_index];
  const std::uint8_t state = level.states[i * level.cols.size() + j];
  if (state != kUndecided) return state == kTextured;
  cancel_.check();
  const Span r = level.rows[i], c = level.cols[j];
  return !(threshold_ > block_variance(view_, r.start, c.start, r.len, c.len));
}

// Depth-first pre-order over the textured blocks below (level, i, j), the
// block itself textured, recording the blocks that are not split. Children
// that are leaves are handled inline: they are most of the tree.
void QuadtreeBuilder::collect_below(std::size_t level_index, std::size_t i, std::size_t j) {
  const Level& level = levels_[level_index];
  const Span r = level.rows[i], c = level.cols[j];
  if (r.len <= min_block_ || c.len <= min_block_) {
    pool_.append({r.start, c.start, r.len, c.len});
    return;
  }
  // Below the deepest level every block is a single pixel or empty.
  if (level_index + 1 == levels_.size()) return;
  const std::size_t next = level_index + 1;
  const Level& below = levels_[next];
  const std::size_t bottom = level.row_child[i], right = level.col_child[j];
  // An odd side of 1 has no top (left) half.
  const std::size_t first_row = r.len >= 2 ? bottom - 1 : bottom;
  const std::size_t first_col = c.len >= 2 ? right - 1 : right;
  for (std::size_t ci = first_row; ci <= bottom; ++ci) {
    for (std::size_t cj = first_col; cj <= right; ++cj) {
      if (!textured(next, ci, cj)) continue;
      const Span cr = below.rows[ci], cc = below.cols[cj];
      if (cr.len <= min_block_ || cc.len <= min_block_) {
        pool_.append({cr.start, cc.start, cr.len, cc.len});
      } else {
        collect_below(next, ci, cj);
      }
    }
  }
}

QuadtreePool QuadtreeBuilder::run() {
  std::size_t pixels = 0;
  if (__builtin_mul_overflow(view_.rows(), view_.cols(), &pixels)) throw CapacityOverflow();
  if (pixels == 0) return {};  // threshold 8.0 and nothing to split
  build_levels();
  // The root can only split into blocks that add nothing: the pool is empty
  // whatever the pixels are.
  if (levels_.size() == 1 && !has_leaf_candidate(levels_[0], min_block_)) return {};
  sweep();
  classify_levels();
  // Leaves never overlap and each covers at least one deepest-level block.
  pool_.reserve(levels_.back().sums.size());
  if (textured(0, 0, 0)) collect_below(0, 0, 0);
  pool_.finish();
  return std::move(pool_);
}

}  // namespace

PixelCoord QuadtreePool::operator[](std::size_t i) const {
  if (i >= size()) throw InternalError("pool index out of range");
  std::size_t k;
  if ((i >> 6) < bucket_block_.size()) {
    k = bucket_block_[i >> 6];
    while (ends_[k] <= i)
      ++k;
  } else {
    k = static_cast<std::size_t>(std::upper_bound(ends_.begin(), ends_.end(), i) - ends_.begin());
  }

  const Block& b = blocks_[k];
  const std::size_t offset = i - (k == 0 ? 0 : ends_[k - 1]);
  return {b.y + offset / b.w, b.x + offset % b.w};
}

Pool QuadtreePool::to_vector() const {
  Pool out;
  out.resize(size());  // every element is written below
  PixelCoord* p = out.data();
  for_each([&p](PixelCoord c) { *p++ = c; });
  return out;
}

void QuadtreePool::finish() {
  bucket_block_.resize((size() + 63) / 64);
  std::size_t k = 0;
  for (std::size_t b = 0; b < bucket_block_.size(); ++b) {
    while (ends_[k] <= b * 64)
      ++k;
    bucket_block_[b] = k;
  }
}

void QuadtreePool::reserve(std::size_t blocks) {
  blocks_.reserve(blocks);
  ends_.reserve(blocks);
}

void QuadtreePool::append(const Block& b) {
  blocks_.push_back(b);
  ends_.push_back(size() + b.h * b.w);
}

QuadtreePool adaptive_quadtree(const ImageView& view, std::uint64_t min_block,
                               const CancelCheck& cancel) {
  return QuadtreeBuilder(view, min_block, cancel).run();
}

}  // namespace velmora
