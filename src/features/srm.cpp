#include "features/srm.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "core/heap_array.hpp"
#include "features/cooccurrence.hpp"
#include "features/kernels.hpp"
#include "features/residuals.hpp"
#include "features/symmetrize.hpp"

namespace velmora::features::detail {

namespace {

// ---------------------------------------------------------------------------
// Submodels. A residual array is a base residual or the pointwise min or max
// of several (a bit set of bases). A stack is a co-occurrence of one or more
// arrays in one direction, normalized by its total count as one; a piece of a
// submodel is the sum of one or two normalized stacks.

using Dir = Direction;
constexpr Dir H = Direction::horizontal;
constexpr Dir V = Direction::vertical;

struct Stack {
  Dir dir;
  std::uint8_t n;
  std::uint16_t masks[4];
};

enum class Kind : std::uint8_t {
  minmax,   // stacks[0..2) with min, and the same with max, merged
  spam_hv,  // symmetrized stacks[0..2), then symmetrized stacks[2..4)
  spam11,   // symmetrized stacks[0..2), kept for the s35 submodel
  s35,      // the kept 3x3 part, then symmetrized stacks[0..2)
};

struct SubmodelDef {
  const char* name;
  Kind kind;
  Stack stacks[4];
};

// Bases of the first- and third-order families.
namespace b8 {
constexpr std::uint16_t R = 1, L = 2, U = 4, D = 8, RU = 16, LU = 32, RD = 64, LD = 128;
// Unions of the min/max submodels.
constexpr std::uint16_t RU2 = R | U | RU | LU, RD2 = R | D | RD | RU, LD2 = L | D | LD | RD,
                        LU2 = L | U | LU | LD, RU3 = R | U | RU | RD, RD3 = R | D | RD | LD,
                        LD3 = L | D | LD | LU, LU3 = L | U | LU | RU;
constexpr std::uint16_t RU4 = RU2 | RD, RD4 = RD2 | LD, LD4 = LD2 | LU, LU4 = LU2 | RU;
constexpr std::uint16_t Um = L | U | R, Rm = U | R | D, Dm = R | D | L, Lm = D | L | U;

constexpr SubmodelDef kSubmodels[] = {
    {"minmax22h", Kind::minmax, {{H, 1, {R | L}}, {V, 1, {U | D}}}},
    {"minmax34h", Kind::minmax, {{H, 2, {Um, Dm}}, {V, 2, {Lm, Rm}}}},
    {"minmax22v", Kind::minmax, {{H, 1, {U | D}}, {V, 1, {R | L}}}},
    {"minmax24",
     Kind::minmax,
     {{H, 4, {R | U, R | D, L | U, L | D}}, {V, 4, {R | U, R | D, L | U, L | D}}}},
    {"minmax34v", Kind::minmax, {{V, 2, {Um, Dm}}, {H, 2, {Rm, Lm}}}},
    {"minmax41", Kind::minmax, {{H, 1, {R | L | U | D}}, {V, 1, {R | L | U | D}}}},
    {"minmax34",
     Kind::minmax,
     {{H, 4, {R | U | RU, R | D | RD, L | U | LU, L | D | LD}},
      {V, 4, {R | U | RU, R | D | RD, L | U | LU, L | D | LD}}}},
    {"minmax48h", Kind::minmax, {{H, 4, {RU2, LD2, RD3, LU3}}, {V, 4, {RD2, LU2, RU3, LD3}}}},
    {"minmax48v", Kind::minmax, {{H, 4, {RD2, LU2, RU3, LD3}}, {V, 4, {RU2, LD2, RD3, LU3}}}},
    {"minmax54", Kind::minmax, {{H, 4, {RU4, LD4, RD4, LU4}}, {V, 4, {RU4, LD4, RD4, LU4}}}},
    {"spam14hv", Kind::spam_hv, {{H, 1, {R}}, {V, 1, {U}}, {H, 1, {U}}, {V, 1, {R}}}},
};
}  // namespace b8

// Bases of the second-order family.
namespace b4 {
constexpr std::uint16_t Hz = 1, Vt = 2, Dg = 4, Mn = 8;
constexpr SubmodelDef kSubmodels[] = {
    {"minmax21", Kind::minmax, {{H, 1, {Hz | Vt}}, {V, 1, {Hz | Vt}}}},
    {"minmax41", Kind::minmax, {{H, 1, {Hz | Vt | Dg | Mn}}, {V, 1, {Hz | Vt | Dg | Mn}}}},
    {"minmax32",
     Kind::minmax,
     {{H, 2, {Hz | Vt | Mn, Hz | Vt | Dg}}, {V, 2, {Hz | Vt | Mn, Hz | Vt | Dg}}}},
    {"minmax24h", Kind::minmax, {{H, 2, {Mn | Hz, Dg | Hz}}, {V, 2, {Mn | Vt, Dg | Vt}}}},
    {"minmax24v", Kind::minmax, {{H, 2, {Mn | Vt, Dg | Vt}}, {V, 2, {Mn | Hz, Dg | Hz}}}},
    {"spam12hv", Kind::spam_hv, {{H, 1, {Hz}}, {V, 1, {Vt}}, {V, 1, {Hz}}, {H, 1, {Vt}}}},
};
}  // namespace b4

// Bases of the 3x3 and 5x5 families: the EDGE halves and the whole SQUARE.
namespace b5 {
constexpr std::uint16_t Up = 1, Bo = 2, Le = 4, Ri = 8, Sq = 16;
constexpr Stack kMinMax24[] = {{H, 4, {Up | Le, Bo | Ri, Up | Ri, Bo | Le}},
                               {V, 4, {Up | Le, Bo | Ri, Up | Ri, Bo | Le}}};
constexpr SubmodelDef kSubmodels3[] = {
    {"minmax24", Kind::minmax, {kMinMax24[0], kMinMax24[1]}},
    {"minmax22h", Kind::minmax, {{H, 1, {Up | Bo}}, {V, 1, {Ri | Le}}}},
    {"minmax22v", Kind::minmax, {{V, 1, {Up | Bo}}, {H, 1, {Ri | Le}}}},
    {"minmax41", Kind::minmax, {{H, 1, {Up | Le | Bo | Ri}}, {V, 1, {Up | Le | Bo | Ri}}}},
    {"spam14hv",
     Kind::spam_hv,
     {{H, 2, {Up, Bo}}, {V, 2, {Le, Ri}}, {V, 2, {Up, Bo}}, {H, 2, {Le, Ri}}}},
    {"spam11", Kind::spam11, {{H, 1, {Sq}}, {V, 1, {Sq}}}},
};
constexpr SubmodelDef kSubmodels5[] = {
    {"minmax24", Kind::minmax, {kMinMax24[0], kMinMax24[1]}},
    {"minmax22h", Kind::minmax, {{H, 1, {Up | Bo}}, {V, 1, {Ri | Le}}}},
    {"minmax22v", Kind::minmax, {{V, 1, {Up | Bo}}, {H, 1, {Ri | Le}}}},
    {"minmax41", Kind::minmax, {{H, 1, {Up | Le | Bo | Ri}}, {V, 1, {Up | Le | Bo | Ri}}}},
    {"spam11", Kind::s35, {{H, 1, {Sq}}, {V, 1, {Sq}}}},
    {"spam14hv",
     Kind::spam_hv,
     {{H, 2, {Up, Bo}}, {V, 2, {Le, Ri}}, {V, 2, {Up, Bo}}, {H, 2, {Le, Ri}}}},
};
}  // namespace b5

struct Family {
  const ResidualFamily& residuals;
  std::span<const SubmodelDef> submodels;
  const char* prefix() const { return residuals.prefix; }
};

const Family kFamilies[] = {
    {kResidualFamilies[0], b8::kSubmodels},  {kResidualFamilies[1], b4::kSubmodels},
    {kResidualFamilies[2], b8::kSubmodels},  {kResidualFamilies[3], b5::kSubmodels3},
    {kResidualFamilies[4], b5::kSubmodels5},
};

std::size_t output_dimension(Kind kind) {
  switch (kind) {
    case Kind::minmax:
      return kMinMaxMerged;
    case Kind::spam_hv:
    case Kind::s35:
      return 2 * kSignSymmetric;
    case Kind::spam11:
      return 0;
  }
  return 0;
}

std::string submodel_name(const Family& f, const SubmodelDef& s, std::size_t qi) {
  const std::string prefix = s.kind == Kind::s35 ? "s35" : f.prefix();
  return prefix + "_" + s.name + "_q" + f.residuals.q_names[qi];
}

// ---------------------------------------------------------------------------
// Computation

// One normalized co-occurrence: its counts and its total.
struct StackCounts {
  Counts4 counts{};
  std::uint64_t total = 0;
};

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// The stacks that count the min and the max of one set of bases (the base
// itself for a single one), horizontally and vertically.
struct MaskUses {
  std::uint16_t mask;
  std::size_t stack[2][2] = {{kNone, kNone}, {kNone, kNone}};  // [min, max][H, V]

  bool used(std::size_t op) const { return stack[op][0] != kNone || stack[op][1] != kNone; }
};

class SrmRun {
 public:
  SrmRun(const ImageView& image, const CancelCheck& cancel)
      : rows_(image.rows()), cols_(image.cols()), pixels_(rows_ * cols_), cancel_(cancel) {
    for (std::size_t y = 0; y < rows_; ++y)
      for (std::size_t x = 0; x < cols_; ++x)
        pixels_[y * cols_ + x] = image.at(y, x);
    // The largest family grid (cropped by one pixel) with eight bases; the
    // kernels may read a little past the end of an array.
    const std::size_t n = (rows_ - 2) * (cols_ - 2);
    bases_ = HeapArray<std::uint8_t>(checked_sum({checked_bytes(8, n), kReadPadding}));
    // Two derived arrays (a min and a max), each followed by padding.
    derived_ = HeapArray<std::uint8_t>(checked_bytes(2, checked_sum({n, kReadPadding})));
    std::memset(bases_.data() + 8 * n, 0, kReadPadding);
    std::memset(derived_.data(), 0, derived_.size());
  }

  void run(bool q1_only, std::span<double> out) {
    double* next = out.data();
    for (const Family& f : kFamilies) {
      const std::size_t qn = q1_only ? 1 : f.residuals.q_count;
      for (std::size_t qi = 0; qi < qn; ++qi) {
        cancel_.check();
        next = family_step(f, qi, next);
      }
    }
    if (next != out.data() + out.size()) throw InternalError("srm features of the wrong dimension");
  }

 private:
  double* family_step(const Family& f, std::size_t qi, double* out) {
    const std::size_t c = f.residuals.crop, h = rows_ - 2 * c, w = cols_ - 2 * c;
    quantized_residuals(pixels_.data(), rows_, cols_, f.residuals, qi, RoundTies::away,
                        bases_.data());

    // Every stack of every submodel, with min (and, for min/max submodels,
    // again with max) arrays; the stacks of submodel s start at first[s].
    struct StackRef {
      const Stack* stack;
      bool max;
    };
    std::vector<StackRef> stacks;
    std::vector<std::size_t> first;
    for (const SubmodelDef& s : f.submodels) {
      first.push_back(stacks.size());
      const std::size_t count = s.kind == Kind::spam_hv ? 4 : 2;
      for (std::size_t i = 0; i < count; ++i)
        stacks.push_back({&s.stacks[i], false});
      if (s.kind == Kind::minmax) {
        for (std::size_t i = 0; i < 2; ++i)
          stacks.push_back({&s.stacks[i], true});
      }
    }
    counts_.assign(stacks.size(), StackCounts{});

    // Each distinct set of bases once: its min and its max (one array for a
    // single base) computed together, each counted into the stack that holds
    // it in each direction. No submodel holds one array twice in one
    // direction.
    std::vector<MaskUses> masks;
    for (std::size_t i = 0; i < stacks.size(); ++i) {
      const Stack& st = *stacks[i].stack;
      for (std::size_t a = 0; a < st.n; ++a) {
        const std::uint16_t mask = st.masks[a];
        auto it = std::find_if(masks.begin(), masks.end(),
                               [&](const MaskUses& u) { return u.mask == mask; });
        if (it == masks.end()) it = masks.insert(masks.end(), MaskUses{mask});
        const bool max = stacks[i].max && std::popcount(mask) > 1;
        std::size_t& target = it->stack[max][st.dir == V];
        if (target != kNone) throw InternalError("a residual array counted twice in one direction");
        target = i;
        counts_[i].total += window_count(h, w, st.dir);
      }
    }
    for (const MaskUses& m : masks)
      count_mask(m, h, w);

    for (std::size_t s = 0; s < f.submodels.size(); ++s) {
      const SubmodelDef& def = f.submodels[s];
      const std::size_t k = first[s];
      switch (def.kind) {
        case Kind::minmax: {
          const auto merged = symmetrize_minmax(piece(k, k + 1), piece(k + 2, k + 3));
          out = std::copy(merged.begin(), merged.end(), out);
          break;
        }
        case Kind::spam_hv: {
          const auto hor = symmetrize_spam(piece(k, k + 1));
          const auto ver = symmetrize_spam(piece(k + 2, k + 3));
          out = std::copy(hor.begin(), hor.end(), out);
          out = std::copy(ver.begin(), ver.end(), out);
          break;
        }
        case Kind::spam11:
          square3_spam11_[qi] = symmetrize_spam(piece(k, k + 1));
          break;
        case Kind::s35: {
          const auto own = symmetrize_spam(piece(k, k + 1));
          out = std::copy(square3_spam11_[qi].begin(), square3_spam11_[qi].end(), out);
          out = std::copy(own.begin(), own.end(), out);
          break;
        }
      }
    }
    return out;
  }

  // Counts the co-occurrences of the min and of the max of the bases in
  // `m.mask` (of the base itself for a single one) into the stacks that hold
  // them. Both combinations come from one pass over the bases.
  void count_mask(const MaskUses& m, std::size_t h, std::size_t w) {
    const std::size_t n = h * w;
    const std::uint8_t* sources[8] = {};
    std::size_t k = 0;
    for (std::uint16_t rest = m.mask; rest != 0; rest &= static_cast<std::uint16_t>(rest - 1))
      sources[k++] = bases_.data() + static_cast<std::size_t>(std::countr_zero(rest)) * n;
    const bool used[2] = {m.used(0), m.used(1)};
    const std::uint8_t* arrays[2] = {sources[0], nullptr};
    if (k > 1) {
      std::uint8_t* lo = used[0] ? derived_.data() : nullptr;
      std::uint8_t* hi = used[1] ? derived_.data() + n + kReadPadding : nullptr;
      const std::uint8_t* rows[8];
      for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t i = 0; i < k; ++i)
          rows[i] = sources[i] + y * w;
        min_max_rows(rows, k, w, lo == nullptr ? nullptr : lo + y * w,
                     hi == nullptr ? nullptr : hi + y * w);
      }
      arrays[0] = lo;
      arrays[1] = hi;
    }
    for (std::size_t op = 0; op < 2; ++op) {
      const std::uint8_t* codes = arrays[op];
      if (const std::size_t t = m.stack[op][0]; t != kNone) {
        counter_.count_horizontal(
            h, w, [&](std::size_t y) { return codes + y * w; }, counts_[t].counts);
      }
      if (const std::size_t t = m.stack[op][1]; t != kNone) {
        counter_.count_vertical(codes, h, w, w, counts_[t].counts);
      }
    }
  }

  // The sum of two normalized stacks, each count divided by its stack's
  // total in double precision, rounded to single precision.
  std::array<float, kCells4> piece(std::size_t a, std::size_t b) const {
    std::array<float, kCells4> out{};
    const StackCounts& x = counts_[a];
    const StackCounts& y = counts_[b];
    const auto nx = static_cast<double>(x.total), ny = static_cast<double>(y.total);
    for (std::size_t p = 0; p < kCells4; ++p) {
      out[p] = static_cast<float>(static_cast<double>(x.counts[p]) / nx +
                                  static_cast<double>(y.counts[p]) / ny);
    }
    return out;
  }

  std::size_t rows_, cols_;
  HeapArray<std::int16_t> pixels_;
  HeapArray<std::uint8_t> bases_;
  HeapArray<std::uint8_t> derived_;
  std::vector<StackCounts> counts_;
  WindowCounter counter_;
  std::array<std::array<float, kSignSymmetric>, 3> square3_spam11_{};
  const CancelCheck& cancel_;
};

}  // namespace

std::vector<std::pair<std::string, std::size_t>> srm_submodels(bool q1_only) {
  std::vector<std::pair<std::string, std::size_t>> out;
  for (const Family& f : kFamilies) {
    const std::size_t qn = q1_only ? 1 : f.residuals.q_count;
    for (std::size_t qi = 0; qi < qn; ++qi)
      for (const SubmodelDef& s : f.submodels)
        if (output_dimension(s.kind) != 0)
          out.emplace_back(submodel_name(f, s, qi), output_dimension(s.kind));
  }
  return out;
}

void extract_srm(const ImageView& image, bool q1_only, std::span<double> out,
                 const CancelCheck& cancel) {
  if (image.rows() < 8 || image.cols() < 8) throw InternalError("image too small for srm features");
  SrmRun run(image, cancel);
  run.run(q1_only, out);
}

}  // namespace velmora::features::detail
