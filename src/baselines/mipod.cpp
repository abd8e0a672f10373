#include "baselines/mipod.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "baselines/estimates.hpp"
#include "baselines/filters.hpp"
#include "baselines/simd.hpp"

#include "baselines/dispatch.hpp"

#ifdef VELMORA_X86_KERNELS
#include <immintrin.h>
#endif

namespace velmora::baselines {

namespace {

using simd::f64x4;
using simd::i64x4;

constexpr std::size_t kBlock = 9;  // side of the variance's blocks
constexpr std::size_t kWindow = kBlock * kBlock;
constexpr double kResidualDims = 81 - 45;  // p^2 - q

// --- the projection: sum over r of (sum over k of P[r][k] w[k])^2 --------
// Each inner sum is one fused multiply-add per k, in order of k (the
// product P_G_orth @ windows of OpenBLAS's kernels), the squares added in
// order of r (NumPy's sum over axis 0).

// Pixels [0, n) of one row: out[x] = the sum for the window whose top-left
// corner is at top + x, rows `stride` apart.
void project_generic(const double* top, std::size_t stride, const double* P, std::size_t n,
                     double* out) {
  for (std::size_t x = 0; x < n; ++x) {
    double total = 0;
    for (std::size_t r = 0; r < kWindow; ++r) {
      const double* pr = P + r * kWindow;
      double v = 0;
      for (std::size_t wy = 0; wy < kBlock; ++wy)
        for (std::size_t wx = 0; wx < kBlock; ++wx)
          v = std::fma(pr[wy * kBlock + wx], top[wy * stride + x + wx], v);
      total = r == 0 ? v * v : total + v * v;
    }
    out[x] = total;
  }
}

#ifdef VELMORA_X86_KERNELS
// ROWS rows of P (r0 ...) times the windows of twelve pixels (three vectors)
// whose top-left corners are at line[0 ... 11]: the squares of the products
// added to total in order of r.
template <int ROWS>
__attribute__((target("avx2,fma"), always_inline)) inline void project_rows(
    const double* top, std::size_t stride, const double* P, std::size_t r0, bool first,
    __m256d total[3]) {
  __m256d acc[ROWS][3];
  for (int i = 0; i < ROWS; ++i)
    for (int j = 0; j < 3; ++j)
      acc[i][j] = _mm256_setzero_pd();
  const double* prow = P + r0 * kWindow;
  for (std::size_t wy = 0; wy < kBlock; ++wy) {
    const double* line = top + wy * stride;
    for (std::size_t wx = 0; wx < kBlock; ++wx) {
      const std::size_t k = wy * kBlock + wx;
      const __m256d w0 = _mm256_loadu_pd(line + wx);
      const __m256d w1 = _mm256_loadu_pd(line + wx + 4);
      const __m256d w2 = _mm256_loadu_pd(line + wx + 8);
      for (int i = 0; i < ROWS; ++i) {
        const __m256d p = _mm256_broadcast_sd(prow + i * kWindow + k);
        acc[i][0] = _mm256_fmadd_pd(p, w0, acc[i][0]);
        acc[i][1] = _mm256_fmadd_pd(p, w1, acc[i][1]);
        acc[i][2] = _mm256_fmadd_pd(p, w2, acc[i][2]);
      }
    }
  }
  for (int i = 0; i < ROWS; ++i) {
    for (int j = 0; j < 3; ++j) {
      const __m256d sq = _mm256_mul_pd(acc[i][j], acc[i][j]);
      total[j] = first && i == 0 ? sq : _mm256_add_pd(total[j], sq);
    }
  }
}

// Twelve pixels by four rows of P at a time (81 = 20 x 4 + 1).
__attribute__((target("avx2,fma"))) void project_avx2(const double* top, std::size_t stride,
                                                      const double* P, std::size_t n, double* out) {
  if (n < 12) return project_generic(top, stride, P, n, out);
  // The last block of pixels overlaps the one before rather than leaving a
  // remainder (the sums are the same either way).
  for (std::size_t x = 0;; x += 12) {
    if (x + 12 > n) x = n - 12;
    __m256d total[3];
    for (std::size_t r = 0; r + 4 <= kWindow; r += 4)
      project_rows<4>(top + x, stride, P, r, r == 0, total);
    project_rows<1>(top + x, stride, P, kWindow - 1, false, total);
    for (std::size_t j = 0; j < 3; ++j)
      _mm256_storeu_pd(out + x + 4 * j, total[j]);
    if (x + 12 == n) break;
  }
}

#endif

void project_row(const double* top, std::size_t stride, const double* P, std::size_t n,
                 double* out) {
#ifdef VELMORA_X86_KERNELS
  if (use_avx2(true)) return project_avx2(top, stride, P, n, out);
#endif
  project_generic(top, stride, P, n, out);
}

// conseal's wiener2(im, (2, 2)) with the noise power estimated, subtracted
// from the image: the residual whose variance MiPOD models.
Plane<double> wiener_residual(const Plane<double>& x0) {
  const Kernel<double> ones{2, 2, {1, 1, 1, 1}};
  Plane<double> mean = filter_same(x0, ones, false, Boundary::zero);
  Plane<double> squares = x0;
  for (double& v : squares.values)
    v = v * v;
  Plane<double> var = filter_same(squares, ones, false, Boundary::zero);
  bool flat = false;
  for (std::size_t i = 0; i < var.values.size(); ++i) {
    mean.values[i] = mean.values[i] / 4;
    const double m = mean.values[i];
    var.values[i] = var.values[i] / 4 - m * m;
    flat |= var.values[i] == 0;
  }
  if (flat)  // "invalid variance in flat areas, clipping"
    for (double& v : var.values)
      v = v < 1e-8 ? 1e-8 : v;
  const double noise =
      pairwise_sum(var.values.data(), var.values.size()) / static_cast<double>(var.values.size());
  Plane<double> residual(x0.rows, x0.cols);
  for (std::size_t i = 0; i < x0.values.size(); ++i) {
    const double m = mean.values[i], v = var.values[i];
    double res = x0.values[i] - m;
    res *= 1 - noise / (v > noise ? v : noise);
    res += m;
    residual.values[i] = x0.values[i] - (v < noise ? m : res);
  }
  return residual;
}

// --- the search --------------------------------------------------------------

// Pixels at a time in the rates kernel: four vectors, whose fixed-point
// iterations (each step waits for the last) run side by side.
constexpr int kGroup = 4;

// x with x log(x - 2) = y for each lane of kGroup vectors (invxlnx3_fast):
// the table's linear interpolation up to 1000, 1 + 20 fixed-point steps
// z = y / log(z - 2) above.
VELMORA_ALWAYS_INLINE void invert_xlogx(const f64x4* y, const double* table, f64x4* out) {
  bool any_large = false;
  for (int g = 0; g < kGroup; ++g) {
    const i64x4 small = y[g] <= 1000.0;
    const i64x4 large = y[g] > 1000.0;
    any_large |= (large[0] | large[1] | large[2] | large[3]) != 0;
    out[g] = simd::splat(0.0);
    if ((small[0] | small[1] | small[2] | small[3]) == 0) continue;
    f64x4 lo{}, hi{}, left{};
    for (int lane = 0; lane < 4; ++lane) {
      if (!small[lane]) continue;
      const auto iyl = static_cast<std::int64_t>(std::floor(y[g][lane] / 0.01));
      const std::int64_t iyr = iyl + 1 > 100000 ? 100000 : iyl + 1;
      lo[lane] = table[iyl];
      hi[lane] = table[iyr];
      left[lane] = static_cast<double>(iyl);
    }
    out[g] = simd::select(small, lo + (y[g] - left * 0.01) * (hi - lo), out[g]);
  }
  if (!any_large) return;
  f64x4 safe[kGroup], z[kGroup];
  for (int g = 0; g < kGroup; ++g) {
    safe[g] = simd::select(y[g] > 1000.0, y[g], simd::splat(2000.0));
    z[g] = safe[g] / simd::log<false>(safe[g] - 2.0);
  }
  // Once a step leaves every lane unchanged, the steps left would too.
  for (int i = 0; i < 20; ++i) {
    i64x4 same = simd::splat_i(-1);
    for (int g = 0; g < kGroup; ++g) {
      const f64x4 next = safe[g] / simd::log<false>(z[g] - 2.0);
      same &= next == z[g];
      z[g] = next;
    }
    if ((same[0] & same[1] & same[2] & same[3]) != 0) break;
  }
  for (int g = 0; g < kGroup; ++g)
    out[g] = simd::select(y[g] > 1000.0, z[g], out[g]);
}

VELMORA_ALWAYS_INLINE f64x4 term(f64x4 p) {
  const f64x4 q = simd::select(p <= 0.0, simd::splat(1.0), p);
  const f64x4 t = -(q * simd::log(q));
  return simd::select(t != t, simd::splat(0.0), t);
}

// The change rates at lambda (into beta unless null) and the entropy terms
// (beta's term into terms[0, n), 1 - 2 beta's into terms[n, 2n)) unless
// terms is null.
VELMORA_ALWAYS_INLINE void rates_body(double lambda, const double* fisher, std::size_t n,
                                      const double* table, double* beta, double* terms) {
  constexpr std::size_t kBlock = 4 * kGroup;
  double buf_f[kBlock], buf_b[kBlock], buf_t[kBlock], buf_z[kBlock];
  for (std::size_t i = 0; i < n; i += kBlock) {
    const std::size_t count = i + kBlock <= n ? kBlock : n - i;
    const double* f = fisher + i;
    if (count < kBlock) {
      for (std::size_t l = 0; l < kBlock; ++l)
        buf_f[l] = l < count ? fisher[i + l] : 1.0;
      f = buf_f;
    }
    f64x4 y[kGroup], x[kGroup];
    for (int g = 0; g < kGroup; ++g)
      y[g] = simd::load<f64x4>(f + 4 * g) * lambda;
    invert_xlogx(y, table, x);
    for (int g = 0; g < kGroup; ++g) {
      const f64x4 b = 1. / x[g];
      simd::store(buf_b + 4 * g, b);
      if (terms != nullptr) {
        simd::store(buf_t + 4 * g, term(b));
        simd::store(buf_z + 4 * g, term(1.0 - (b + b)));
      }
    }
    for (std::size_t l = 0; l < count; ++l) {
      if (beta != nullptr) beta[i + l] = buf_b[l];
      if (terms != nullptr) {
        terms[i + l] = buf_t[l];
        terms[n + i + l] = buf_z[l];
      }
    }
  }
}

void rates_generic(double lambda, const double* fisher, std::size_t n, const double* table,
                   double* beta, double* terms) {
  rates_body(lambda, fisher, n, table, beta, terms);
}

#ifdef VELMORA_X86_KERNELS
__attribute__((target("avx2"))) void rates_avx2(double lambda, const double* fisher, std::size_t n,
                                                const double* table, double* beta, double* terms) {
  rates_body(lambda, fisher, n, table, beta, terms);
}
#endif

void compute_rates(double lambda, const double* fisher, std::size_t n, const double* table,
                   double* beta, double* terms) {
#ifdef VELMORA_X86_KERNELS
  if (use_avx2()) return rates_avx2(lambda, fisher, n, table, beta, terms);
#endif
  rates_generic(lambda, fisher, n, table, beta, terms);
}

// ternary_entropy(beta) - payload over the column-major Fisher information:
// conseal's sum runs over (beta, beta, 1 - 2 beta) of the pixels in
// column-major order.
class Entropy {
 public:
  Entropy(std::span<const double> fisher_f, double payload, const CancelCheck& cancel,
          std::vector<double>& terms, std::vector<double>& sum)
      : fisher_(fisher_f), payload_(payload), terms_(terms), sum_(sum), cancel_(cancel) {
    terms_.resize(2 * fisher_f.size());
    sum_.resize(3 * fisher_f.size());
  }

  double operator()(double lambda, double* beta = nullptr) {
    cancel_.check();
    const std::size_t n = fisher_.size();
    compute_rates(lambda, fisher_.data(), n, mipod_lookup_table().data(), beta, terms_.data());
    std::copy(terms_.begin(), terms_.begin() + static_cast<std::ptrdiff_t>(n), sum_.begin());
    std::copy(terms_.begin(), terms_.end(), sum_.begin() + static_cast<std::ptrdiff_t>(n));
    return pairwise_sum(sum_.data(), sum_.size()) - payload_;
  }

  // The change rates at lambda alone.
  void rates(double lambda, double* beta) {
    cancel_.check();
    compute_rates(lambda, fisher_.data(), fisher_.size(), mipod_lookup_table().data(), beta,
                  nullptr);
  }

 private:
  std::span<const double> fisher_;
  double payload_;
  std::vector<double>& terms_;
  std::vector<double>& sum_;
  const CancelCheck& cancel_;
};

// A bracket that a thousand halvings or doublings cannot find does not exist
// (the payload is above what the cover can carry).
constexpr int kMaxBracketSteps = 1000;
constexpr int kMaxIterations = 60;

}  // namespace

std::vector<double> mipod_fisher_information(const ImageView& image, const CancelCheck& cancel) {
  const std::size_t h = image.rows(), w = image.cols();
  Plane<double> x0(h, w);
  for (std::size_t y = 0; y < h; ++y)
    for (std::size_t x = 0; x < w; ++x)
      x0.at(y, x) = image.at(y, x);
  const Plane<double> padded = pad_symmetric(wiener_residual(x0), kBlock / 2);
  const double* P = mipod_projection().data();
  Plane<double> fisher(h, w);
  for (std::size_t y = 0; y < h; ++y) {
    if (y % 32 == 0) cancel.check();
    double* row = fisher.row(y);
    project_row(padded.row(y), padded.cols, P, w, row);
    for (std::size_t x = 0; x < w; ++x) {
      double v = row[x] / kResidualDims;
      if (v < 0.01) v = 0.01;
      row[x] = 1 / (v * v);
    }
  }
  const Kernel<double> mean7{7, 7, std::vector<double>(49, 1.0 / 49)};
  return filter_same(fisher, mean7, false, Boundary::symmetric).values;
}

MipodSender::MipodSender(std::span<const double> fisher, std::size_t rows, std::size_t cols)
    : rows_(rows), cols_(cols), fisher_f_(rows * cols) {
  if (rows * cols == 0 || fisher.size() != rows * cols)
    throw InternalError("MipodSender: a Fisher information of another size");
  // Column-major, as conseal flattens it.
  for (std::size_t x = 0; x < cols; ++x)
    for (std::size_t y = 0; y < rows; ++y)
      fisher_f_[x * rows + y] = fisher[y * cols + x];
}

MipodSender::MipodSender(MipodSender&&) noexcept = default;
MipodSender::~MipodSender() = default;

double MipodSender::entropy(double lambda) {
  const CancelCheck none;
  Entropy full(fisher_f_, 0.0, none, terms_, sum_);
  return full(lambda);
}

const MipodEstimate& MipodSender::estimate() {
  if (!estimate_) estimate_ = std::make_unique<MipodEstimate>(fisher_f_);
  return *estimate_;
}

Search MipodSender::change_rates(double alpha, std::span<double> beta, const CancelCheck& cancel) {
  const std::size_t rows = rows_, cols = cols_, n = rows * cols;
  if (beta.size() != n) throw InternalError("MipodSender: a rate array of another size");
  const double payload = alpha * static_cast<double>(n) * 0.6931471805599453;  // nats
  Entropy full(fisher_f_, payload, cancel, terms_, sum_);
  const bool literal = detail::literal_search();
  const MipodEstimate* estimate = literal ? nullptr : &this->estimate();
  // f(lambda) = entropy - payload, as an estimate until a comparison needs
  // the full value.
  // `level` 0: a coarse estimate, 1: a fine one, 2: the full value.
  struct F {
    double lambda;
    Estimate e;
    int level;
  };
  int evaluations = 0, full_evaluations = 0;
  auto at = [&](double lambda) -> F {
    cancel.check();
    ++evaluations;
    if (literal) ++full_evaluations;
    if (literal) return {lambda, {full(lambda), 0.0}, 2};
    const Estimate e = (*estimate)(lambda, false);
    return {lambda, {e.value - payload, e.bound}, 0};
  };
  auto refine = [&](F& v) {
    cancel.check();
    if (v.level == 0) {
      const Estimate e = (*estimate)(v.lambda, true);
      v = {v.lambda, {e.value - payload, e.bound}, 1};
    } else {
      ++full_evaluations;
      v = {v.lambda, {full(v.lambda), 0.0}, 2};
    }
  };
  auto exact = [&](F& v) {
    while (v.level < 2)
      refine(v);
  };
  // The sign of f, and whether |f| exceeds the search's tolerance, each
  // from the roughest value that decides it.
  auto sign = [&](F& v) {
    for (;;) {
      if (v.e.value - v.e.bound > 0) return 1;
      if (v.e.value + v.e.bound < 0) return -1;
      if (v.level == 2) return 0;
      refine(v);
    }
  };
  auto beyond_tolerance = [&](F& v) {
    for (;;) {
      const double a = std::fabs(v.e.value);
      if (a - v.e.bound > 0.0001) return true;
      if (v.level == 2 || a + v.e.bound <= 0.0001) return false;
      refine(v);
    }
  };
  F lo = at(1000), hi = at(1000000);
  int steps = 0;
  while (sign(lo) * sign(hi) > 0) {
    if (++steps > kMaxBracketSteps || lo.lambda == 0)
      return {lo.lambda, false, evaluations, full_evaluations};
    if (sign(lo) > 0) {
      hi = at(2 * hi.lambda);
    } else {
      lo = at(lo.lambda / 2);
    }
  }
  int i = 0;
  F mid{lo.lambda, {1, 0}, 2};
  std::vector<F> history;
  while (beyond_tolerance(mid) && i < kMaxIterations) {
    mid = at((lo.lambda + hi.lambda) / 2);
    history.push_back(mid);
    ++i;
    // Which end mid replaces matters only if the search goes on.
    if (i == kMaxIterations || !beyond_tolerance(mid)) break;
    if (sign(lo) * sign(mid) < 0) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  double chosen = mid.lambda;
  if (i == kMaxIterations) {
    // The lambda whose payload came closest (the first of equals): the
    // entries that might be it are evaluated in full.
    double least = HUGE_VAL;
    for (const F& h : history)
      least = std::min(least, std::fabs(h.e.value) + h.e.bound);
    for (F& h : history)
      if (std::fabs(h.e.value) - h.e.bound <= least) exact(h);
    std::size_t best = 0;
    for (std::size_t j = 1; j < history.size(); ++j)
      if (history[j].e.bound == 0 &&
          (history[best].e.bound != 0 ||
           std::fabs(history[j].e.value) < std::fabs(history[best].e.value)))
        best = j;
    chosen = history[best].lambda;
  }
  std::vector<double>& beta_f = terms_;  // free once the search is over
  full.rates(chosen, beta_f.data());
  for (std::size_t x = 0; x < cols; ++x)
    for (std::size_t y = 0; y < rows; ++y)
      beta[y * cols + x] = beta_f[x * rows + y];
  return {chosen, true, evaluations, full_evaluations};
}

}  // namespace velmora::baselines
