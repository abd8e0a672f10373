#include "baselines/estimates.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "baselines/dispatch.hpp"
#include "baselines/mipod.hpp"
#include "baselines/simd.hpp"

namespace velmora::baselines {

namespace {

using simd::f64x4;
constexpr double kLn2 = 0.6931471805599453;
// The costs of a change out of the range (at 0 or 255) are 1e8 or 1e10;
// only they make the two costs of a pixel differ. A cost from here up is
// taken for one of them (whether its exponential is 0 is checked for each
// lambda).
constexpr double kWetFloor = 1e7;

// Four bins' statistics as vectors (padded with empty bins past the end).
struct BinLanes {
  std::size_t lanes;
  f64x4 c, cnt, s1, s2, s3, s4, hw;
};

VELMORA_ALWAYS_INLINE BinLanes load_bins(const Bins& b, std::size_t i) {
  const std::size_t count = b.center.size();
  BinLanes v{i + 4 <= count ? 4 : count - i, simd::splat(b.center[i]), {}, {}, {}, {}, {}, {}};
  for (std::size_t l = 0; l < v.lanes; ++l) {
    v.c[l] = b.center[i + l];
    v.cnt[l] = b.count[i + l];
    v.s1[l] = b.s1[i + l];
    v.s2[l] = b.s2[i + l];
    v.s3[l] = b.s3[i + l];
    v.s4[l] = b.s4[i + l];
    v.hw[l] = b.half_width[i + l];
  }
  return v;
}

// Sum over the bins of the Taylor expansion of h about each centre, in
// nats, with the bound of the remainders and the sum of |h'(t)| t (the
// sensitivity of the terms to a relative error in t).
struct BinSums {
  double value = 0, remainder = 0, sensitivity = 0;
};

// `Binary`: the pixels whose other change is wet (its probability 0 at
// this lambda), whose entropy is that of (p, 1 - p), p = e^-t / (1 + e^-t):
// h(t) = ln(1 + e^-t) + t p, with derivatives of the same form (and |h^(5)|
// within the same bounds).
template <bool Binary>
BinSums sum_bins(const Bins& b, double lambda) {
  BinSums out;
  const std::size_t count = b.center.size();
  for (std::size_t i = 0; i < count; i += 4) {
    const auto [lanes, c, cnt, s1, s2, s3, s4, hw] = load_bins(b, i);
    const f64x4 t = lambda * c;
    const f64x4 s = simd::exp(-t);
    f64x4 h0, d1, d2, d3, d4;
    if constexpr (Binary) {
      const f64x4 p = s / (1.0 + s);
      const f64x4 k = p * (p - 1.0);  // the factor of every derivative
      const f64x4 p2 = p * p;
      h0 = simd::log(1.0 + s) + t * p;
      d1 = k * t;
      d2 = k * (2.0 * p * t - t + 1.0);
      d3 = k * (6.0 * p2 * t - 6.0 * p * t + 4.0 * p + t - 2.0);
      d4 = k * (24.0 * p2 * p * t - 36.0 * p2 * t + 18.0 * p2 + 14.0 * p * t - 18.0 * p - t + 3.0);
    } else {
      const f64x4 p = s / (1.0 + 2.0 * s);
      const f64x4 k = 2.0 * p * (2.0 * p - 1.0);
      const f64x4 p2 = p * p;
      h0 = simd::log(1.0 + 2.0 * s) + 2.0 * t * p;
      d1 = k * t;
      d2 = k * (4.0 * p * t - t + 1.0);
      d3 = k * (24.0 * p2 * t - 12.0 * p * t + 8.0 * p + t - 2.0);
      d4 =
          k * (192.0 * p2 * p * t - 144.0 * p2 * t + 72.0 * p2 + 28.0 * p * t - 36.0 * p - t + 3.0);
    }
    const f64x4 a = simd::splat(lambda);
    const f64x4 a2 = a * a;
    const f64x4 sum = cnt * h0 + d1 * a * s1 + d2 * a2 * s2 / 2.0 + d3 * a2 * a * s3 / 6.0 +
                      d4 * a2 * a2 * s4 / 24.0;
    // |h^(5)| over the bin: 0.6 nats, or 0.12 (t^2 + 1) e^-t from t = 10 on.
    const f64x4 reach = lambda * hw;
    const f64x4 t_low = t - reach;
    const f64x4 far = simd::exp(-simd::max(t_low, simd::splat(10.0)));
    const f64x4 h5 = t_low >= 10.0 ? 0.12 * (t_low * t_low + 1.0) * far : simd::splat(0.6);
    const f64x4 r2 = reach * reach;
    const f64x4 rem =
        simd::select(h5 == 0.0, simd::splat(0.0), cnt * h5 * (r2 * r2 * reach) / 120.0);
    // |h'(tau)| tau over the bin, from h' and h'' at its centre: at most
    // (|h'(t)| + |h''(t)| r + r^2) (t + r) for a reach r (|h'''| < 2), and at
    // most 2 tau^2 e^-tau, decreasing from tau = 2 on, far out.
    const f64x4 near = (simd::abs(d1) + simd::abs(d2) * reach + reach * reach) * (t + reach);
    const f64x4 low2 = simd::max(t_low, simd::splat(2.0));
    const f64x4 decay = 2.0 * low2 * low2 * simd::exp(-low2);
    const f64x4 sens = cnt * simd::select((t_low >= 2.0) & (decay < near), decay, near);
    for (std::size_t l = 0; l < lanes; ++l) {
      out.value += sum[l];
      out.remainder += rem[l];
      out.sensitivity += sens[l];
    }
  }
  return out;
}

// Pixels summed one by one, exactly in the mathematical sense: H = log2 Z +
// (a p+ + b p-) / ln 2 with a = lambda rho+, b = lambda rho-,
// Z = 1 + e^-a + e^-b.
double sum_others(const std::vector<double>& plus, const std::vector<double>& minus, double lambda,
                  double& sensitivity) {
  double total = 0, sens = 0;
  for (std::size_t i = 0; i < plus.size(); i += 4) {
    const std::size_t lanes = i + 4 <= plus.size() ? 4 : plus.size() - i;
    f64x4 rp = simd::splat(1.0), rm = simd::splat(1.0);
    for (std::size_t l = 0; l < lanes; ++l) {
      rp[l] = plus[i + l];
      rm[l] = minus[i + l];
    }
    const f64x4 a = lambda * rp, b = lambda * rm;
    const f64x4 ea = simd::exp(-a), eb = simd::exp(-b);
    const f64x4 z = (1.0 + ea) + eb;
    const f64x4 pa = ea / z, pb = eb / z;
    const f64x4 wa = simd::select(pa == 0.0, simd::splat(0.0), a * pa);
    const f64x4 wb = simd::select(pb == 0.0, simd::splat(0.0), b * pb);
    const f64x4 h = simd::log(z) + wa + wb;
    // |dH/da| a + |dH/db| b, with dH/da = p+ (b p- - a (1 - p+)).
    const f64x4 s = wa * (simd::abs(wb) + simd::abs(a)) + wb * (simd::abs(wa) + simd::abs(b));
    for (std::size_t l = 0; l < lanes; ++l) {
      total += h[l];
      sens += std::fabs(s[l]);
    }
  }
  sensitivity += sens;
  return total;
}

}  // namespace

template <class T>
TernaryEstimate<T>::TernaryEstimate(std::span<const T> rho_plus, std::span<const T> rho_minus)
    : n_(rho_plus.size()) {
  std::vector<double> rho(n_);
  std::vector<std::uint8_t> kind(n_);  // 1 equal costs, 2 one of them wet
  for (std::size_t i = 0; i < n_; ++i) {
    const double a = static_cast<double>(rho_plus[i]), b = static_cast<double>(rho_minus[i]);
    rho[i] = a < b ? a : b;
    const double high = a < b ? b : a;
    if (a == b) {
      kind[i] = 1;
    } else if (rho[i] > 0 && high >= kWetFloor) {
      kind[i] = 2;
      wet_min_ = high < wet_min_ ? high : wet_min_;
    }
  }
  // 256 bins per octave: over a bin, lambda rho varies by at most 1/512 of
  // itself.
  std::vector<std::uint8_t> keep(n_);
  for (std::size_t i = 0; i < n_; ++i)
    keep[i] = kind[i] == 1;
  bins_ = make_bins(rho, keep, 8);
  for (std::size_t i = 0; i < n_; ++i)
    keep[i] = kind[i] == 2;
  one_sided_ = make_bins(rho, keep, 8);
  // Everything not binned is summed pixel by pixel; the one-sided pixels are
  // also kept in full, for a lambda too small to make their wet side vanish.
  for (const std::uint32_t i : bins_.others) {
    if (kind[i] == 2) continue;
    other_plus_.push_back(static_cast<double>(rho_plus[i]));
    other_minus_.push_back(static_cast<double>(rho_minus[i]));
  }
  for (const std::uint32_t i : one_sided_.index) {
    one_plus_.push_back(static_cast<double>(rho_plus[i]));
    one_minus_.push_back(static_cast<double>(rho_minus[i]));
  }
  for (const std::uint32_t i : one_sided_.others) {
    if (kind[i] != 2) continue;
    other_plus_.push_back(static_cast<double>(rho_plus[i]));
    other_minus_.push_back(static_cast<double>(rho_minus[i]));
  }
}

template <class T>
Estimate TernaryEstimate<T>::operator()(double lambda) const {
  BinSums b = sum_bins<false>(bins_, lambda);
  double sensitivity = b.sensitivity;
  double others = sum_others(other_plus_, other_minus_, lambda, sensitivity);
  // The wet side's exponential is 0 in the full evaluation's type once
  // lambda times the wet cost passes its underflow (e^-746 is 0 in double,
  // e^-105 in float).
  const double underflow = sizeof(T) == 8 ? 746 : 105;
  if (lambda * wet_min_ > underflow) {
    const BinSums one = sum_bins<true>(one_sided_, lambda);
    b.value += one.value;
    b.remainder += one.remainder;
    sensitivity += one.sensitivity;
  } else {
    others += sum_others(one_plus_, one_minus_, lambda, sensitivity);
  }
  const double value = (b.value + others) / kLn2;
  // What the full evaluation's arithmetic in T may add: each of the 3n
  // terms within a few ulps of itself, 1 - p+ - p- within half an ulp of
  // its value near 1 (which moves its term by at most 0.72 ulp of 1), the
  // rounding of lambda and of lambda rho in T (an ulp of t in all, which
  // moves a pixel's entropy by |h'(t)| t ulps), and the pairwise sum (at
  // most 40 roundings deep); then this estimate's own roundings, all taken
  // four times over.
  constexpr double eps = std::numeric_limits<T>::epsilon();
  const double n = static_cast<double>(n_);
  const double rounding = (10 + 40) * eps * std::fabs(value) + n * eps + eps * sensitivity / kLn2 +
                          1e-12 * std::fabs(value) + 1e-9;
  return {value, 4 * (rounding + b.remainder / kLn2)};
}

template class TernaryEstimate<float>;
template class TernaryEstimate<double>;

}  // namespace velmora::baselines

namespace velmora::baselines {

namespace {

// y = lambda I beyond which MiPOD solves x log(x - 2) = y by iteration
// instead of the table.
constexpr double kTableEnd = 1000;

// The entropy terms of change rate beta as MiPOD sums them:
// -2 beta ln beta - (1 - 2 beta) ln(1 - 2 beta).
VELMORA_ALWAYS_INLINE f64x4 mipod_terms(f64x4 beta) {
  const f64x4 q0 = 1.0 - (beta + beta);
  const f64x4 a = simd::select(beta <= 0.0, simd::splat(0.0), beta * simd::log(beta));
  const f64x4 b = simd::select(q0 <= 0.0, simd::splat(0.0), q0 * simd::log(q0));
  return -(a + a) - b;
}

// x for y <= 1000 as invxlnx3_fast interpolates the table.
VELMORA_ALWAYS_INLINE f64x4 table_x(f64x4 y, const double* table) {
  using i32x4 = std::int32_t __attribute__((vector_size(16)));
  const i32x4 left = __builtin_convertvector(y / 0.01, i32x4);  // floor: y >= 0
  f64x4 lo, hi;
  for (int l = 0; l < 4; ++l) {
    lo[l] = table[left[l]];
    hi[l] = table[left[l] + 1 > 100000 ? 100000 : left[l] + 1];
  }
  return lo + (y - __builtin_convertvector(left, f64x4) * 0.01) * (hi - lo);
}

// The terms of values[0, count) at lambda, one by one: x from the table up
// to 1000, from 21 fixed-point steps beyond.
VELMORA_ALWAYS_INLINE double table_pixels_body(const double* values, std::size_t count,
                                               double lambda, const double* table) {
  f64x4 total{};
  for (std::size_t i = 0; i < count; i += 4) {
    const std::size_t lanes = i + 4 <= count ? 4 : count - i;
    f64x4 v = simd::splat(values[i]);
    for (std::size_t l = 0; l < lanes; ++l)
      v[l] = values[i + l];
    const f64x4 y = v * lambda;
    const simd::i64x4 large = y > kTableEnd;
    f64x4 x = table_x(simd::select(large, simd::splat(0.0), y), table);
    if ((large[0] | large[1] | large[2] | large[3]) != 0) {
      const f64x4 safe = simd::select(large, y, simd::splat(2 * kTableEnd));
      f64x4 z = safe / simd::log<false>(safe - 2.0);
      for (int k = 0; k < 20; ++k)
        z = safe / simd::log(z - 2.0);
      x = simd::select(large, z, x);
    }
    const f64x4 t = mipod_terms(1.0 / x);
    for (std::size_t l = 0; l < lanes; ++l)
      total[l] += t[l];
  }
  return (total[0] + total[1]) + (total[2] + total[3]);
}

double table_pixels_generic(const double* values, std::size_t count, double lambda,
                            const double* table) {
  return table_pixels_body(values, count, lambda, table);
}

#ifdef VELMORA_X86_KERNELS
__attribute__((target("avx2"))) double table_pixels_avx2(const double* values, std::size_t count,
                                                         double lambda, const double* table) {
  return table_pixels_body(values, count, lambda, table);
}
#endif

double sum_table_pixels(const double* values, std::size_t count, double lambda) {
  const double* table = mipod_lookup_table().data();
#ifdef VELMORA_X86_KERNELS
  if (use_avx2()) return table_pixels_avx2(values, count, lambda, table);
#endif
  return table_pixels_generic(values, count, lambda, table);
}

// Each cell j of the lookup table (y in [0.01 j, 0.01 (j + 1))) maps y to x
// = f_j + (y - 0.01 j) D_j, D_j = f_(j+1) - f_j (as invxlnx3_fast
// interpolates), so a pixel's terms there are G(f_j + d), d = (y - 0.01 j)
// D_j, with G(x) = -2 b ln b - (1 - 2b) ln(1 - 2b), b = 1 / x. G'(x) = -2
// ln(x - 2) / x^2 and G''(x) = -2 / ((x - 2) x^2) + 4 ln(x - 2) / x^3: per
// cell, G(f_j), G'(f_j) D_j (the slope in y), and a bound on half of
// |G''| d^2 over all cells.
struct Cells {
  std::vector<double> value, slope;
  double curvature = 0;
};

const Cells& cells() {
  static const Cells table = [] {
    const std::span<const double> f = mipod_lookup_table();
    Cells c;
    c.value.resize(f.size());
    c.slope.resize(f.size());
    auto g2 = [](double x) {
      const double L = simd::log(x - 2);
      return std::fabs(-2 / ((x - 2) * x * x) + 4 * L / (x * x * x));
    };
    for (std::size_t j = 0; j < f.size(); ++j) {
      const double x = f[j];
      const double next = f[j + 1 < f.size() ? j + 1 : j];
      const double d = next - x;
      c.value[j] = mipod_terms(simd::splat(1.0 / x))[0];
      c.slope[j] = -2 * simd::log(x - 2) / (x * x) * d;
      const double reach = 0.0101 * std::fabs(d);
      const double bend = 1.1 * std::max(g2(x), g2(x + reach)) * reach * reach / 2;
      c.curvature = std::max(c.curvature, bend);
    }
    return c;
  }();
  return table;
}

// The pixels' terms by the cells' linear expansions (all y <= 1000).
VELMORA_ALWAYS_INLINE double cell_pixels_body(const double* values, std::size_t count,
                                              double lambda, const Cells& c) {
  using i32x4 = std::int32_t __attribute__((vector_size(16)));
  f64x4 total{};
  for (std::size_t i = 0; i < count; i += 4) {
    const std::size_t lanes = i + 4 <= count ? 4 : count - i;
    f64x4 v{};
    for (std::size_t l = 0; l < lanes; ++l)
      v[l] = values[i + l];
    const f64x4 y = v * lambda;
    const i32x4 j = __builtin_convertvector(y / 0.01, i32x4);
    const f64x4 dy = y - __builtin_convertvector(j, f64x4) * 0.01;
    f64x4 g, s;
    for (int l = 0; l < 4; ++l) {
      g[l] = c.value[j[l]];
      s[l] = c.slope[j[l]];
    }
    const f64x4 t = g + s * dy;
    for (std::size_t l = 0; l < lanes; ++l)
      total[l] += t[l];
  }
  return (total[0] + total[1]) + (total[2] + total[3]);
}

double cell_pixels_generic(const double* values, std::size_t count, double lambda, const Cells& c) {
  return cell_pixels_body(values, count, lambda, c);
}

#ifdef VELMORA_X86_KERNELS
__attribute__((target("avx2"))) double cell_pixels_avx2(const double* values, std::size_t count,
                                                        double lambda, const Cells& c) {
  return cell_pixels_body(values, count, lambda, c);
}
#endif

double sum_cell_pixels(const double* values, std::size_t count, double lambda) {
  const Cells& c = cells();
#ifdef VELMORA_X86_KERNELS
  if (use_avx2()) return cell_pixels_avx2(values, count, lambda, c);
#endif
  return cell_pixels_generic(values, count, lambda, c);
}

// The bins from `first` on, all beyond the table: the Taylor expansion of
// degree 3 of g about each centre, g's derivatives by the chain rule through
// x(y) (x' = 1/A, A = ln(x - 2) + x / (x - 2)); the remainder bound
// |g''''| <= 200 g / y^4 (its largest ratio is below 89).
VELMORA_ALWAYS_INLINE double large_bins_body(const Bins& b, std::size_t first, double lambda,
                                             double& remainder) {
  const std::size_t count = b.center.size();
  f64x4 total{}, rem_total{};
  for (std::size_t i = first; i < count; i += 4) {
    const auto [lanes, c, cnt, s1, s2, s3, s4, hw] = load_bins(b, i);
    const f64x4 y = lambda * c;
    // x with x log(x - 2) = y: two fixed-point steps, then Newton's.
    f64x4 x = y / simd::log(y - 2.0);
    x = y / simd::log(x - 2.0);
    x = y / simd::log(x - 2.0);
    f64x4 L = simd::log(x - 2.0);
    for (int k = 0; k < 3; ++k) {
      x = x - (x * L - y) / (L + x / (x - 2.0));
      L = simd::log(x - 2.0);
    }
    const f64x4 xm2 = x - 2.0;
    const f64x4 A = L + x / xm2;
    const f64x4 lnx = simd::log(x);
    const f64x4 g = 2.0 * lnx / x - (1.0 - 2.0 / x) * (L - lnx);
    const f64x4 x2 = x * x;
    const f64x4 G1 = -2.0 * L / x2;
    const f64x4 G2 = -2.0 / (xm2 * x2) + 4.0 * L / (x2 * x);
    const f64x4 G3 = 2.0 / (xm2 * xm2 * x2) + 8.0 / (xm2 * x2 * x) - 12.0 * L / (x2 * x2);
    const f64x4 B = (x - 4.0) / (xm2 * xm2);
    const f64x4 Bx = (6.0 - x) / (xm2 * xm2 * xm2);
    const f64x4 d1 = 1.0 / A;
    const f64x4 d2 = -B * d1 * d1 * d1;
    const f64x4 d3 = -Bx * d1 * d1 * d1 * d1 + 3.0 * B * B * d1 * d1 * d1 * d1 * d1;
    const f64x4 g1 = G1 * d1;
    const f64x4 g2 = G2 * d1 * d1 + G1 * d2;
    const f64x4 g3 = G3 * d1 * d1 * d1 + 3.0 * G2 * d1 * d2 + G1 * d3;
    const f64x4 a = simd::splat(lambda);
    const f64x4 sum = cnt * g + g1 * a * s1 + g2 * (a * a) * s2 / 2.0 + g3 * (a * a * a) * s3 / 6.0;
    const f64x4 reach = lambda * hw;
    const f64x4 q = reach / (y - reach);
    const f64x4 rem = cnt * 200.0 * g * (q * q) * (q * q) / 24.0;
    for (std::size_t l = 0; l < lanes; ++l) {
      total[l] += sum[l];
      rem_total[l] += rem[l];
    }
  }
  remainder += (rem_total[0] + rem_total[1]) + (rem_total[2] + rem_total[3]);
  return (total[0] + total[1]) + (total[2] + total[3]);
}

double large_bins_generic(const Bins& b, std::size_t first, double lambda, double& remainder) {
  return large_bins_body(b, first, lambda, remainder);
}

#ifdef VELMORA_X86_KERNELS
__attribute__((target("avx2"))) double large_bins_avx2(const Bins& b, std::size_t first,
                                                       double lambda, double& remainder) {
  return large_bins_body(b, first, lambda, remainder);
}
#endif

double sum_large_bins(const Bins& b, std::size_t first, double lambda, double& remainder) {
#ifdef VELMORA_X86_KERNELS
  if (use_avx2()) return large_bins_avx2(b, first, lambda, remainder);
#endif
  return large_bins_generic(b, first, lambda, remainder);
}

}  // namespace

MipodEstimate::MipodEstimate(std::span<const double> fisher) : n_(fisher.size()) {
  // 256 bins per octave: lambda I varies by at most 1/512 of itself over a
  // bin.
  bins_ = make_bins(fisher, {}, 8);
  for (const std::uint32_t i : bins_.others)
    others_.push_back(fisher[i]);
}

Estimate MipodEstimate::operator()(double lambda, bool fine) const {
  const Bins& b = bins_;
  double value = sum_table_pixels(others_.data(), others_.size(), lambda);
  double remainder = 0;
  const std::size_t count = b.center.size();
  // Bins below the table's end, or reaching it, come first (the bins are in
  // increasing order).
  std::size_t first = 0;
  while (first < count && lambda * (b.center[first] - b.half_width[first]) <= kTableEnd)
    ++first;
  // The pixels below the table's end (and those of the bin that reaches it,
  // which may lie on either side): one by one as in full (`fine`), or by
  // the linear expansion within their cell of the table.
  std::size_t last = first;
  if (last > 0 && lambda * (b.center[last - 1] + b.half_width[last - 1]) > kTableEnd) --last;
  if (fine) {
    value += sum_table_pixels(b.values.data(), b.start[first], lambda);
  } else {
    value += sum_cell_pixels(b.values.data(), b.start[last], lambda);
    remainder += static_cast<double>(b.start[last]) * cells().curvature;
    value +=
        sum_table_pixels(b.values.data() + b.start[last], b.start[first] - b.start[last], lambda);
  }
  value += sum_large_bins(b, first, lambda, remainder);
  // The full evaluation: each of the 3n terms within a few ulps (x within a
  // few ulps of the root), 1 - 2 beta within half an ulp of 1, a pairwise
  // sum at most 40 roundings deep; this estimate's own roundings; all four
  // times over.
  constexpr double eps = std::numeric_limits<double>::epsilon();
  const double n = static_cast<double>(n_);
  const double rounding =
      (100 + 40) * eps * std::fabs(value) + 3 * n * eps + 1e-12 * std::fabs(value) + 1e-9;
  return {value, 4 * (rounding + remainder)};
}

}  // namespace velmora::baselines
