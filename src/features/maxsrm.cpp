#include "features/maxsrm.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/heap_array.hpp"
#include "features/cooccurrence.hpp"
#include "features/kernels.hpp"
#include "features/residuals.hpp"
#include "features/srm.hpp"
#include "features/symmetrize.hpp"

namespace velmora::features::detail {

namespace {

// ---------------------------------------------------------------------------
// The release's submodels, in its order of computation. Each is a list of
// operations: a set of base residuals (a bit set over the family's bases, as
// residuals.cpp orders them) whose min and max (or, for a spam submodel, the
// single base) are counted along the rows (kH), the columns (kV), or the rows
// and then the columns (kHV) into one accumulator; the operations' sums are
// added in order. Two spam submodels of one name are the halves of it; so are
// the 3x3 and 5x5 families' spam11, of s35_spam11.

enum Scan : std::uint8_t { kH = 1, kV = 2, kHV = 3 };

struct Op {
  Scan scan;
  std::uint16_t mask;
};

struct MaxSubmodel {
  const char* name;  // the output submodel, without its "_q"
  bool minmax;
  std::uint8_t n;
  Op ops[8];
};

// clang-format off
constexpr MaxSubmodel kS1[] = {
    {"s1_spam14hv", false, 2, {{kH, 0x01}, {kV, 0x04}}},
    {"s1_spam14hv", false, 2, {{kV, 0x01}, {kH, 0x04}}},
    {"s1_minmax22h", true, 2, {{kH, 0x03}, {kV, 0x0c}}},
    {"s1_minmax22v", true, 2, {{kV, 0x03}, {kH, 0x0c}}},
    {"s1_minmax24", true, 4, {{kHV, 0x05}, {kHV, 0x09}, {kHV, 0x06}, {kHV, 0x0a}}},
    {"s1_minmax34", true, 4, {{kHV, 0x15}, {kHV, 0x26}, {kHV, 0x8a}, {kHV, 0x49}}},
    {"s1_minmax34h", true, 4, {{kH, 0x07}, {kH, 0x0b}, {kV, 0x0d}, {kV, 0x0e}}},
    {"s1_minmax34v", true, 4, {{kV, 0x07}, {kV, 0x0b}, {kH, 0x0d}, {kH, 0x0e}}},
    {"s1_minmax41", true, 1, {{kHV, 0x0f}}},
    {"s1_minmax48h", true, 8, {{kH, 0x35}, {kH, 0x36}, {kH, 0xc9}, {kH, 0xca},
                               {kV, 0x55}, {kV, 0x59}, {kV, 0xa6}, {kV, 0xaa}}},
    {"s1_minmax48v", true, 8, {{kV, 0x35}, {kV, 0x36}, {kV, 0xc9}, {kV, 0xca},
                               {kH, 0x55}, {kH, 0x59}, {kH, 0xa6}, {kH, 0xaa}}},
    {"s1_minmax54", true, 4, {{kHV, 0x75}, {kHV, 0xb6}, {kHV, 0xd9}, {kHV, 0xea}}},
};
constexpr MaxSubmodel kS2[] = {
    {"s2_spam12hv", false, 2, {{kH, 0x01}, {kV, 0x02}}},
    {"s2_spam12hv", false, 2, {{kV, 0x01}, {kH, 0x02}}},
    {"s2_minmax21", true, 1, {{kHV, 0x03}}},
    {"s2_minmax24h", true, 4, {{kH, 0x09}, {kH, 0x05}, {kV, 0x06}, {kV, 0x0a}}},
    {"s2_minmax24v", true, 4, {{kV, 0x09}, {kV, 0x05}, {kH, 0x06}, {kH, 0x0a}}},
    {"s2_minmax32", true, 2, {{kHV, 0x07}, {kHV, 0x0b}}},
    {"s2_minmax41", true, 1, {{kHV, 0x0f}}},
};
constexpr MaxSubmodel kS3[] = {
    {"s3_spam14hv", false, 2, {{kH, 0x01}, {kV, 0x04}}},
    {"s3_spam14hv", false, 2, {{kV, 0x01}, {kH, 0x04}}},
    {"s3_minmax22h", true, 2, {{kH, 0x03}, {kV, 0x0c}}},
    {"s3_minmax22v", true, 2, {{kV, 0x03}, {kH, 0x0c}}},
    {"s3_minmax24", true, 4, {{kHV, 0x05}, {kHV, 0x09}, {kHV, 0x06}, {kHV, 0x0a}}},
    {"s3_minmax34", true, 4, {{kHV, 0x15}, {kHV, 0x26}, {kHV, 0x8a}, {kHV, 0x49}}},
    {"s3_minmax34h", true, 4, {{kH, 0x07}, {kH, 0x0b}, {kV, 0x0d}, {kV, 0x0e}}},
    {"s3_minmax34v", true, 4, {{kV, 0x07}, {kV, 0x0b}, {kH, 0x0d}, {kH, 0x0e}}},
    {"s3_minmax41", true, 1, {{kHV, 0x0f}}},
    {"s3_minmax48h", true, 8, {{kH, 0x35}, {kH, 0x36}, {kH, 0xc9}, {kH, 0xca},
                               {kV, 0x55}, {kV, 0x59}, {kV, 0xa6}, {kV, 0xaa}}},
    {"s3_minmax48v", true, 8, {{kV, 0x35}, {kV, 0x36}, {kV, 0xc9}, {kV, 0xca},
                               {kH, 0x55}, {kH, 0x59}, {kH, 0xa6}, {kH, 0xaa}}},
    {"s3_minmax54", true, 4, {{kHV, 0x75}, {kHV, 0xb6}, {kHV, 0xd9}, {kHV, 0xea}}},
};
// The square families' bases: up, bottom, left, right EDGE and the SQUARE.
constexpr MaxSubmodel kS3x3[] = {
    {"s35_spam11", false, 1, {{kHV, 0x10}}},
    {"s3x3_spam14hv", false, 4, {{kH, 0x01}, {kH, 0x02}, {kV, 0x08}, {kV, 0x04}}},
    {"s3x3_spam14hv", false, 4, {{kV, 0x01}, {kV, 0x02}, {kH, 0x08}, {kH, 0x04}}},
    {"s3x3_minmax22h", true, 2, {{kH, 0x03}, {kV, 0x0c}}},
    {"s3x3_minmax22v", true, 2, {{kV, 0x03}, {kH, 0x0c}}},
    {"s3x3_minmax24", true, 4, {{kHV, 0x09}, {kHV, 0x0a}, {kHV, 0x05}, {kHV, 0x06}}},
    {"s3x3_minmax41", true, 1, {{kHV, 0x0f}}},
};
constexpr MaxSubmodel kS5x5[] = {
    {"s35_spam11", false, 1, {{kHV, 0x10}}},
    {"s5x5_spam14hv", false, 4, {{kH, 0x01}, {kH, 0x02}, {kV, 0x08}, {kV, 0x04}}},
    {"s5x5_spam14hv", false, 4, {{kV, 0x01}, {kV, 0x02}, {kH, 0x08}, {kH, 0x04}}},
    {"s5x5_minmax22h", true, 2, {{kH, 0x03}, {kV, 0x0c}}},
    {"s5x5_minmax22v", true, 2, {{kV, 0x03}, {kH, 0x0c}}},
    {"s5x5_minmax24", true, 4, {{kHV, 0x09}, {kHV, 0x0a}, {kHV, 0x05}, {kHV, 0x06}}},
    {"s5x5_minmax41", true, 1, {{kHV, 0x0f}}},
};
// clang-format on

const std::span<const MaxSubmodel> kFamilySubmodels[5] = {kS1, kS2, kS3, kS3x3, kS5x5};

// ---------------------------------------------------------------------------
// Where each 4-tuple's count goes among a submodel's symmetrized bins: for a
// spam submodel, bin[code]; for a min/max one, min_bin[code] for the min's
// tuple and max_bin[code] for the max's. The same classes as
// symmetrize_spam and symmetrize_minmax merge, read off them.

struct BinTables {
  std::array<std::uint16_t, kCells4> spam{}, min{}, max{};

  BinTables() {
    for (std::size_t code = 0; code < kCells4; ++code) {
      std::array<float, kCells4> unit{}, zero{};
      unit[code] = 1;
      spam[code] = only_bin(symmetrize_spam(unit));
      min[code] = only_bin(symmetrize_minmax(unit, zero));
      max[code] = only_bin(symmetrize_minmax(zero, unit));
    }
  }

  template <std::size_t N>
  static std::uint16_t only_bin(const std::array<float, N>& merged) {
    std::size_t found = N;
    for (std::size_t i = 0; i < N; ++i) {
      if (merged[i] == 0) continue;
      if (merged[i] != 1 || found != N) throw InternalError("a co-occurrence cell in two bins");
      found = i;
    }
    if (found == N) throw InternalError("a co-occurrence cell in no bin");
    return static_cast<std::uint16_t>(found);
  }
};

const BinTables& bin_tables() {
  static const BinTables tables;
  return tables;
}

// A submodel's bins as the release accumulates them: float, each count of
// weight w added as (float)(bin + w) with w a double.
using Bins = std::vector<float>;

inline void add(float& bin, double w) {
#if defined(__SSE2__)
  // The conversion from a fresh register: converting straight from memory
  // would merge into the register's old contents and chain every addition
  // to the one before.
  const __m128d sum = _mm_add_sd(_mm_cvtss_sd(_mm_setzero_pd(), _mm_load_ss(&bin)), _mm_set_sd(w));
  _mm_store_ss(&bin, _mm_cvtsd_ss(_mm_setzero_ps(), sum));
#else
  bin = static_cast<float>(static_cast<double>(bin) + w);
#endif
}

class MaxSrmRun {
 public:
  MaxSrmRun(const ImageView& image, std::span<const double> map, const CancelCheck& cancel,
            bool count_single_values)
      : rows_(image.rows()),
        cols_(image.cols()),
        pixels_(rows_ * cols_),
        map_(map),
        cancel_(cancel) {
    for (std::size_t y = 0; y < rows_; ++y)
      for (std::size_t x = 0; x < cols_; ++x)
        pixels_[y * cols_ + x] = image.at(y, x);
    const std::size_t n = (rows_ - 2) * (cols_ - 2);
    bases_ = HeapArray<std::uint8_t>(checked_sum({checked_bytes(8, n), kReadPadding}));
    std::memset(bases_.data() + 8 * n, 0, kReadPadding);
    // A map whose nonzero values are all one value c: then every bin's sum
    // is c added k times, and only the counts k need the residuals.
    constant_ = 0;
    for (const double v : map_) {
      if (v == 0) continue;
      if (constant_ == 0) {
        constant_ = v;
      } else if (v != constant_) {
        constant_ = -1;
        break;
      }
    }
    if (!count_single_values) constant_ = -1;
    if (constant_ > 0) {
      derived_ = HeapArray<std::uint8_t>(checked_bytes(2, checked_sum({n, kReadPadding})));
      std::memset(derived_.data(), 0, derived_.size());
    }
  }

  void run(std::span<double> out) {
    // Each output submodel's parts, in the order the release computes them.
    std::map<std::string, std::vector<Bins>> parts;
    for (std::size_t fi = 0; fi < 5; ++fi) {
      const ResidualFamily& f = kResidualFamilies[fi];
      prepare_weights(f.crop);
      prepare_streams(kFamilySubmodels[fi]);
      for (std::size_t qi = 0; qi < f.q_count; ++qi) {
        cancel_.check();
        quantized_residuals(pixels_.data(), rows_, cols_, f, qi, RoundTies::down, bases_.data());
        if (constant_ > 0) {
          accumulate_counted();
        } else if (constant_ < 0) {
          accumulate();
        } else {
          std::fill(acc_.begin(), acc_.end(), 0.0f);
        }
        std::size_t op = 0;
        for (const MaxSubmodel& sub : kFamilySubmodels[fi]) {
          parts[std::string(sub.name) + "_q" + f.q_names[qi]].push_back(finish(sub, op));
          op += sub.n;
        }
      }
    }
    double* next = out.data();
    for (const auto& [name, dim] : srm_submodels(false)) {
      const auto found = parts.find(name);
      std::size_t written = 0;
      if (found != parts.end()) {
        for (const Bins& part : found->second)
          written += part.size();
      }
      if (written != dim)
        throw InternalError("maxsrm submodel " + name + " of the wrong dimension");
      for (const Bins& part : found->second)
        next = std::copy(part.begin(), part.end(), next);
    }
    if (next != out.data() + out.size())
      throw InternalError("maxsrm features of the wrong dimension");
  }

 private:
  // One operation of the family's submodels: the residual set it counts
  // (an index into masks_), whether it counts a min and a max or a single
  // base, its scans, and where its accumulator starts in acc_.
  struct Stream {
    std::size_t mask;
    bool minmax;
    Scan scan;
    std::size_t acc;
  };

  void prepare_streams(std::span<const MaxSubmodel> submodels) {
    streams_.clear();
    masks_.clear();
    std::size_t at = 0;
    for (const MaxSubmodel& sub : submodels) {
      for (std::size_t o = 0; o < sub.n; ++o) {
        const auto it = std::find(masks_.begin(), masks_.end(), sub.ops[o].mask);
        const auto m = static_cast<std::size_t>(it - masks_.begin());
        if (it == masks_.end()) masks_.push_back(sub.ops[o].mask);
        streams_.push_back({m, sub.minmax, sub.ops[o].scan, at});
        at += sub.minmax ? kMinMaxMerged : kSignSymmetric;
      }
    }
    acc_.assign(at, 0.0f);
    // Four rows of each residual set's min and max (the vertical scans read
    // four), and a row of codes of each set's min and max tuples.
    rows_lo_.assign(masks_.size() * 4 * w_, 0);
    rows_hi_.assign(masks_.size() * 4 * w_, 0);
    codes_.assign(masks_.size() * 2 * w_, 0);
  }

  // Row y of the min and max of residual set m into its slot y % 4.
  void mask_row(std::size_t m, std::size_t y) {
    const std::size_t n = h_ * w_;
    const std::uint8_t* rows[8];
    std::size_t k = 0;
    for (std::uint16_t rest = masks_[m]; rest != 0; rest &= static_cast<std::uint16_t>(rest - 1))
      rows[k++] = bases_.data() + static_cast<std::size_t>(std::countr_zero(rest)) * n + y * w_;
    std::uint8_t* lo = rows_lo_.data() + (m * 4 + y % 4) * w_;
    std::uint8_t* hi = rows_hi_.data() + (m * 4 + y % 4) * w_;
    if (k == 1) {
      std::memcpy(lo, rows[0], w_);
    } else {
      min_max_rows(rows, k, w_, lo, hi);
    }
  }

  // Every stream's accumulator over all its scans: the horizontal scans of
  // every row first, then the vertical ones. The streams are independent,
  // so each position's additions to all of them overlap; each stream's own
  // additions keep the release's order (raster order, the rows before the
  // columns, min before max at each position).
  void accumulate() {
    std::fill(acc_.begin(), acc_.end(), 0.0f);
    const std::size_t nm = masks_.size();
    // Horizontal.
    const std::size_t hw = w_ >= 4 ? w_ - 3 : 0;
    const std::vector<std::uint8_t> on_h = sets_used(kH);
    for (std::size_t y = 0; y < h_ && hw > 0; ++y) {
      for (std::size_t m = 0; m < nm; ++m) {
        if (!on_h[m]) continue;
        mask_row(m, y);
        for (std::size_t op = 0; op < ops(m); ++op) {
          const std::uint8_t* row = (op == 0 ? rows_lo_ : rows_hi_).data() + (m * 4 + y % 4) * w_;
          const std::uint8_t* r[4] = {row, row + 1, row + 2, row + 3};
          codes4(r, hw, codes_.data() + (2 * m + op) * w_);
        }
      }
      add_row(kH, weight_h_.data() + y * hw, hw);
    }
    // Vertical.
    const std::size_t vh = h_ >= 4 ? h_ - 3 : 0;
    const std::vector<std::uint8_t> on_v = sets_used(kV);
    for (std::size_t y = 0; y < vh; ++y) {
      for (std::size_t m = 0; m < nm; ++m) {
        if (!on_v[m]) continue;
        if (y == 0)
          for (std::size_t r = 0; r < 3; ++r)
            mask_row(m, r);
        mask_row(m, y + 3);
        for (std::size_t op = 0; op < ops(m); ++op) {
          const std::vector<std::uint8_t>& rows = op == 0 ? rows_lo_ : rows_hi_;
          const std::uint8_t* r[4];
          for (std::size_t k = 0; k < 4; ++k)
            r[k] = rows.data() + (m * 4 + (y + k) % 4) * w_;
          codes4(r, w_, codes_.data() + (2 * m + op) * w_);
        }
      }
      add_row(kV, weight_v_.data() + y * w_, w_);
    }
  }

  // Set m's arrays: its min and max, or its one base.
  std::size_t ops(std::size_t m) const { return std::popcount(masks_[m]) == 1 ? 1 : 2; }

  // Which residual sets a scan's streams count.
  std::vector<std::uint8_t> sets_used(Scan scan) const {
    std::vector<std::uint8_t> on(masks_.size(), 0);
    for (const Stream& s : streams_)
      if (s.scan & scan) on[s.mask] = 1;
    return on;
  }

  // The same sums for a map of one nonzero value c: the four-windows of
  // each residual set's min and max counted in each direction (as the srm
  // set counts them), less those of weight 0, each stream's bins summed, and
  // each bin set to c added to 0 as many times as it was counted, in float
  // as the release adds it.
  void accumulate_counted() {
    const std::size_t n = h_ * w_;
    struct MaskCounts {
      Counts4 counts[2][2];  // [min, max][H, V]
      bool used[2][2] = {};
    };
    std::vector<MaskCounts> counted(masks_.size());
    for (const Stream& s : streams_)
      for (std::size_t op = 0; op < (s.minmax ? 2u : 1u); ++op) {
        if (s.scan & kH) counted[s.mask].used[op][0] = true;
        if (s.scan & kV) counted[s.mask].used[op][1] = true;
      }
    for (std::size_t m = 0; m < masks_.size(); ++m) {
      MaskCounts& mc = counted[m];
      const std::uint8_t* sources[8] = {};
      std::size_t k = 0;
      for (std::uint16_t rest = masks_[m]; rest != 0; rest &= static_cast<std::uint16_t>(rest - 1))
        sources[k++] = bases_.data() + static_cast<std::size_t>(std::countr_zero(rest)) * n;
      const std::uint8_t* arrays[2] = {sources[0], nullptr};
      if (k > 1) {
        std::uint8_t* lo = derived_.data();
        std::uint8_t* hi = derived_.data() + n + kReadPadding;
        const std::uint8_t* rows[8];
        for (std::size_t y = 0; y < h_; ++y) {
          for (std::size_t i = 0; i < k; ++i)
            rows[i] = sources[i] + y * w_;
          min_max_rows(rows, k, w_, lo + y * w_, hi + y * w_);
        }
        arrays[0] = lo;
        arrays[1] = hi;
      }
      for (std::size_t op = 0; op < 2; ++op) {
        const std::uint8_t* codes = arrays[op];
        if (mc.used[op][0]) {
          mc.counts[op][0].fill(0);
          counter_.count_horizontal(
              h_, w_, [&](std::size_t y) { return codes + y * w_; }, mc.counts[op][0]);
          for (const std::size_t at : zero_h_) {
            const std::uint8_t* p = codes + at;
            --mc.counts[op][0][125u * p[0] + 25u * p[1] + 5u * p[2] + p[3]];
          }
        }
        if (mc.used[op][1]) {
          mc.counts[op][1].fill(0);
          counter_.count_vertical(codes, h_, w_, w_, mc.counts[op][1]);
          for (const std::size_t at : zero_v_) {
            const std::uint8_t* p = codes + at;
            --mc.counts[op][1][125u * p[0] + 25u * p[w_] + 5u * p[2 * w_] + p[3 * w_]];
          }
        }
      }
    }
    const BinTables& t = bin_tables();
    std::vector<std::uint64_t> k;
    for (const Stream& s : streams_) {
      const MaskCounts& mc = counted[s.mask];
      k.assign(s.minmax ? kMinMaxMerged : kSignSymmetric, 0);
      for (std::size_t d = 0; d < 2; ++d) {
        if (!(s.scan & (d == 0 ? kH : kV))) continue;
        for (std::size_t code = 0; code < kCells4; ++code) {
          if (s.minmax) {
            k[t.min[code]] += mc.counts[0][d][code];
            k[t.max[code]] += mc.counts[1][d][code];
          } else {
            k[t.spam[code]] += mc.counts[0][d][code];
          }
        }
      }
      for (std::size_t b = 0; b < k.size(); ++b)
        acc_[s.acc + b] = repeated_sum(k[b]);
    }
  }

  // 0 plus constant_ added `times` times in float, each sum rounded as the
  // release rounds it; the partial sums are kept for the next call.
  float repeated_sum(std::uint64_t times) {
    if (sums_.empty()) sums_.push_back(0.0f);
    while (sums_.size() <= times) {
      float next = sums_.back();
      add(next, constant_);
      sums_.push_back(next);
    }
    return sums_[times];
  }

  // The additions of one row of positions of a scan: at each, every
  // stream's min (or single) bin, then its max bin, gains the position's
  // weight. The min/max streams come first, then the single ones.
  void add_row(Scan scan, const double* weights, std::size_t n) {
    const BinTables& t = bin_tables();
    float* acc[kMaxStreams];
    const std::uint16_t* lo[kMaxStreams];
    const std::uint16_t* hi[kMaxStreams];
    std::size_t pairs = 0;
    for (const Stream& s : streams_)
      if ((s.scan & scan) && s.minmax) {
        acc[pairs] = acc_.data() + s.acc;
        lo[pairs] = codes_.data() + 2 * s.mask * w_;
        hi[pairs] = lo[pairs] + w_;
        ++pairs;
      }
    std::size_t singles = pairs;
    for (const Stream& s : streams_)
      if ((s.scan & scan) && !s.minmax) {
        acc[singles] = acc_.data() + s.acc;
        lo[singles] = codes_.data() + 2 * s.mask * w_;
        ++singles;
      }
    for (std::size_t x = 0; x < n; ++x) {
      const double w = weights[x];
      for (std::size_t i = 0; i < pairs; ++i) {
        add(acc[i][t.min[lo[i][x]]], w);
        add(acc[i][t.max[hi[i][x]]], w);
      }
      for (std::size_t i = pairs; i < singles; ++i)
        add(acc[i][t.spam[lo[i][x]]], w);
    }
  }

  // A submodel from its operations' accumulators (the first at stream
  // `first`), added in order and normalized by the sum of its bins truncated
  // to integers: a quarter of it for min/max submodels, half for spam ones,
  // none when its quarter is 0.
  Bins finish(const MaxSubmodel& sub, std::size_t first) const {
    const std::size_t dim = sub.minmax ? kMinMaxMerged : kSignSymmetric;
    Bins sum(dim, 0.0f);
    for (std::size_t o = 0; o < sub.n; ++o) {
      const float* part = acc_.data() + streams_[first + o].acc;
      for (std::size_t i = 0; i < dim; ++i)
        sum[i] += part[i];
    }
    int total = 0;
    for (const float v : sum)
      total += static_cast<int>(v);
    if (total / 4 > 0) {
      const auto by = static_cast<float>(sub.minmax ? total / 4 : total / 2);
      for (float& v : sum)
        v /= by;
    }
    return sum;
  }

  // The largest map value of each horizontal and vertical four-window of the
  // family's grid (the map cropped as the residuals are).
  void prepare_weights(std::size_t crop) {
    h_ = rows_ - 2 * crop;
    w_ = cols_ - 2 * crop;
    const std::size_t hw = w_ >= 4 ? w_ - 3 : 0, vh = h_ >= 4 ? h_ - 3 : 0;
    weight_h_.assign(h_ * hw, 0.0);
    weight_v_.assign(vh * w_, 0.0);
    auto at = [&](std::size_t y, std::size_t x) { return map_[(y + crop) * cols_ + x + crop]; };
    for (std::size_t y = 0; y < h_; ++y)
      for (std::size_t x = 0; x < hw; ++x)
        weight_h_[y * hw + x] = std::max({at(y, x), at(y, x + 1), at(y, x + 2), at(y, x + 3)});
    for (std::size_t y = 0; y < vh; ++y)
      for (std::size_t x = 0; x < w_; ++x)
        weight_v_[y * w_ + x] = std::max({at(y, x), at(y + 1, x), at(y + 2, x), at(y + 3, x)});
    if (constant_ > 0) {
      // The windows of weight 0, as offsets of their first code.
      zero_h_.clear();
      zero_v_.clear();
      for (std::size_t y = 0; y < h_; ++y)
        for (std::size_t x = 0; x < hw; ++x)
          if (weight_h_[y * hw + x] == 0) zero_h_.push_back(y * w_ + x);
      for (std::size_t i = 0; i < vh * w_; ++i)
        if (weight_v_[i] == 0) zero_v_.push_back(i);
    }
  }

  static constexpr std::size_t kMaxStreams = 64;

  std::size_t rows_, cols_;
  HeapArray<std::int16_t> pixels_;
  std::span<const double> map_;
  HeapArray<std::uint8_t> bases_;
  std::vector<Stream> streams_;
  std::vector<std::uint16_t> masks_;  // the residual sets of the family's operations
  std::vector<float> acc_;
  std::vector<std::uint8_t> rows_lo_, rows_hi_;
  std::vector<std::uint16_t> codes_;  // a row of codes of each set's min and max
  std::vector<double> weight_h_, weight_v_;
  // The map's one nonzero value, 0 for a map of zeros, -1 for any other map.
  double constant_ = -1;
  HeapArray<std::uint8_t> derived_;
  WindowCounter counter_;
  std::vector<std::size_t> zero_h_, zero_v_;
  std::vector<float> sums_;
  std::size_t h_ = 0, w_ = 0;
  const CancelCheck& cancel_;
};

}  // namespace

void extract_maxsrm(const ImageView& image, std::span<const double> map, std::span<double> out,
                    const CancelCheck& cancel, bool count_single_values) {
  if (image.rows() < 8 || image.cols() < 8)
    throw InternalError("image too small for maxsrm features");
  if (map.size() != image.rows() * image.cols())
    throw InternalError("maxsrm: a map of another size than the image");
  MaxSrmRun run(image, map, cancel, count_single_values);
  run.run(out);
}

}  // namespace velmora::features::detail
