#include "baselines/sender.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "baselines/dispatch.hpp"
#include "baselines/estimates.hpp"
#include "baselines/simd.hpp"

namespace velmora::baselines {

namespace {

// Whether every entropy of a search is evaluated in full (the engine's tests
// compare both ways).
std::atomic<bool> literal_flag{false};

using simd::f32x4;
using simd::f64x4;
using simd::i64x4;
using i32x4 = std::int32_t __attribute__((vector_size(16)));

// The entropy term -(q log2 q) of probability p, with p <= 0 taken as 1 and
// a NaN term as 0 (np.nansum).
VELMORA_ALWAYS_INLINE f64x4 term64(f64x4 p) {
  const f64x4 q = simd::select(p <= 0.0, simd::splat(1.0), p);
  const f64x4 t = -(q * simd::log2(q));
  return simd::select(t != t, simd::splat(0.0), t);
}

VELMORA_ALWAYS_INLINE f32x4 log2_f32(f32x4 q) {
  return __builtin_convertvector(simd::log2(__builtin_convertvector(q, f64x4)), f32x4);
}

VELMORA_ALWAYS_INLINE f32x4 term32(f32x4 p) {
  const f32x4 one = f32x4{} + 1.0f;
  const f32x4 q = p <= 0.0f ? one : p;
  const f32x4 t = -(q * log2_f32(q));
  return t != t ? f32x4{} : t;
}

VELMORA_ALWAYS_INLINE bool any(i64x4 m) {
  return (m[0] | m[1] | m[2] | m[3]) != 0;
}
VELMORA_ALWAYS_INLINE bool any(i32x4 m) {
  return (m[0] | m[1] | m[2] | m[3]) != 0;
}

// Four pixels in double: p+, p- and their three entropy terms.
VELMORA_ALWAYS_INLINE void pixels64(double neg_lambda, const double* rp, const double* rm,
                                    double* out_p, double* out_m, double* t_plus, double* t_minus,
                                    double* t_zero) {
  const f64x4 a = simd::load<f64x4>(rp), b = simd::load<f64x4>(rm);
  const f64x4 ep = simd::exp(neg_lambda * a);
  f64x4 pp, pm, tp, tm;
  if (!any(a != b)) {
    // Equal costs (almost every pixel): p- is p+, computed the same way.
    pp = ep / ((1.0 + ep) + ep);
    pm = pp;
    tp = term64(pp);
    tm = tp;
  } else {
    const f64x4 em = simd::exp(neg_lambda * b);
    pp = ep / ((1.0 + ep) + em);
    pm = em / ((1.0 + em) + ep);
    tp = term64(pp);
    tm = term64(pm);
  }
  simd::store(t_plus, tp);
  simd::store(t_minus, tm);
  simd::store(t_zero, term64(1.0 - (pp + pm)));
  if (out_p != nullptr) {
    simd::store(out_p, pp);
    simd::store(out_m, pm);
  }
}

// Four pixels in float: every operation rounded to float, exp and log2
// computed in double and rounded.
VELMORA_ALWAYS_INLINE void pixels32(float neg_lambda, const float* rp, const float* rm,
                                    float* out_p, float* out_m, float* t_plus, float* t_minus,
                                    float* t_zero) {
  const f32x4 a = simd::load<f32x4>(rp), b = simd::load<f32x4>(rm);
  const f32x4 one = f32x4{} + 1.0f;
  const f32x4 ep =
      __builtin_convertvector(simd::exp(__builtin_convertvector(neg_lambda * a, f64x4)), f32x4);
  f32x4 pp, pm, tp, tm;
  if (!any(a != b)) {
    pp = ep / ((one + ep) + ep);
    pm = pp;
    tp = term32(pp);
    tm = tp;
  } else {
    const f32x4 em =
        __builtin_convertvector(simd::exp(__builtin_convertvector(neg_lambda * b, f64x4)), f32x4);
    pp = ep / ((one + ep) + em);
    pm = em / ((one + em) + ep);
    tp = term32(pp);
    tm = term32(pm);
  }
  simd::store(t_plus, tp);
  simd::store(t_minus, tm);
  simd::store(t_zero, term32(one - (pp + pm)));
  if (out_p != nullptr) {
    simd::store(out_p, pp);
    simd::store(out_m, pm);
  }
}

template <class T>
VELMORA_ALWAYS_INLINE void pixels(double lambda, const T* a, const T* b, T* op, T* om, T* tp, T* tm,
                                  T* tz) {
  if constexpr (sizeof(T) == 8) {
    pixels64(-lambda, a, b, op, om, tp, tm, tz);
  } else {
    pixels32(static_cast<float>(-lambda), a, b, op, om, tp, tm, tz);
  }
}

// The terms of pixels [0, n) into terms[0, 3n) (and p+, p- unless null).
// A last block of fewer than four pixels goes through a padded copy.
template <class T>
VELMORA_ALWAYS_INLINE void terms_body(double lambda, const T* rp, const T* rm, std::size_t n,
                                      T* terms, T* out_p, T* out_m) {
  T* t_plus = terms;
  T* t_minus = terms + n;
  T* t_zero = terms + 2 * n;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    pixels(lambda, rp + i, rm + i, out_p ? out_p + i : nullptr, out_m ? out_m + i : nullptr,
           t_plus + i, t_minus + i, t_zero + i);
  }
  if (i < n) {
    T a[4] = {}, b[4] = {}, op[4], om[4], tp[4], tm[4], tz[4];
    const std::size_t rest = n - i;
    std::copy(rp + i, rp + n, a);
    std::copy(rm + i, rm + n, b);
    pixels(lambda, a, b, op, om, tp, tm, tz);
    std::copy(tp, tp + rest, t_plus + i);
    std::copy(tm, tm + rest, t_minus + i);
    std::copy(tz, tz + rest, t_zero + i);
    if (out_p != nullptr) {
      std::copy(op, op + rest, out_p + i);
      std::copy(om, om + rest, out_m + i);
    }
  }
}

// A block of NumPy's pairwise sum: n <= 128 values.
template <class T>
VELMORA_ALWAYS_INLINE T pairwise_leaf(const T* a, std::size_t n) {
  if (n < 8) {
    T res = T(0);
    for (std::size_t i = 0; i < n; ++i)
      res += a[i];
    return res;
  }
  T r[8];
  for (int j = 0; j < 8; ++j)
    r[j] = a[j];
  std::size_t i = 8;
  for (; i < n - (n % 8); i += 8)
    for (int j = 0; j < 8; ++j)
      r[j] += a[i + j];
  T res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
  for (; i < n; ++i)
    res += a[i];
  return res;
}

template <class T>
T pairwise_body(const T* a, std::size_t n) {
  if (n <= 128) return pairwise_leaf(a, n);
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_body(a, n2) + pairwise_body(a + n2, n - n2);
}

template <class T>
void terms_generic(double lambda, const T* rp, const T* rm, std::size_t n, T* terms, T* p, T* m) {
  terms_body(lambda, rp, rm, n, terms, p, m);
}

#ifdef VELMORA_X86_KERNELS
template <class T>
__attribute__((target("avx2"))) void terms_avx2(double lambda, const T* rp, const T* rm,
                                                std::size_t n, T* terms, T* p, T* m) {
  terms_body(lambda, rp, rm, n, terms, p, m);
}

#endif

template <class T>
void compute_terms(double lambda, const T* rp, const T* rm, std::size_t n, T* terms, T* p, T* m) {
#ifdef VELMORA_X86_KERNELS
  if (use_avx2()) return terms_avx2(lambda, rp, rm, n, terms, p, m);
#endif
  terms_generic(lambda, rp, rm, n, terms, p, m);
}

}  // namespace

namespace detail {
void use_literal_search(bool literal) {
  literal_flag.store(literal);
}
bool literal_search() {
  return literal_flag.load(std::memory_order_relaxed);
}
}  // namespace detail

template <class T>
T pairwise_sum(const T* a, std::size_t n) {
  return pairwise_body(a, n);
}

template <class T>
TernarySender<T>::TernarySender(std::span<const T> rho_plus, std::span<const T> rho_minus)
    : rho_plus_(rho_plus), rho_minus_(rho_minus) {
  if (rho_plus.empty() || rho_minus.size() != rho_plus.size())
    throw InternalError("TernarySender: cost maps of different sizes");
}

template <class T>
TernarySender<T>::TernarySender(TernarySender&&) noexcept = default;
template <class T>
TernarySender<T>::~TernarySender() = default;

template <class T>
T TernarySender<T>::entropy(double lambda, std::span<T> p_plus, std::span<T> p_minus) {
  const std::size_t n = rho_plus_.size();
  terms_.resize(3 * n);
  compute_terms(lambda, rho_plus_.data(), rho_minus_.data(), n, terms_.data(),
                p_plus.empty() ? nullptr : p_plus.data(),
                p_minus.empty() ? nullptr : p_minus.data());
  return pairwise_sum(terms_.data(), terms_.size());
}

template <class T>
const TernaryEstimate<T>& TernarySender<T>::estimate() {
  if (!estimate_) estimate_ = std::make_unique<TernaryEstimate<T>>(rho_plus_, rho_minus_);
  return *estimate_;
}

namespace {

// An entropy of the search: its estimate, replaced by the full evaluation
// (bound 0) once that has been needed.
struct Value {
  double lambda = 0;
  Estimate e;
};

template <class T>
class Evaluator {
 public:
  Evaluator(TernarySender<T>& sender, const CancelCheck& cancel)
      : sender_(sender), literal_(literal_flag.load(std::memory_order_relaxed)), cancel_(cancel) {
    if (!literal_) estimate_ = &sender.estimate();
  }

  int evaluations = 0, full_evaluations = 0;

  Value at(double lambda) {
    cancel_.check();
    ++evaluations;
    if (literal_) return exact(lambda);
    return {lambda, (*estimate_)(lambda)};
  }
  Value exact(double lambda) {
    cancel_.check();
    ++full_evaluations;
    return {lambda, {static_cast<double>(sender_.entropy(lambda)), 0.0}};
  }
  void make_exact(Value& v) {
    if (v.e.bound != 0) v = exact(v.lambda);
  }
  void fill(double lambda, std::span<T> p, std::span<T> m) { sender_.entropy(lambda, p, m); }

 private:
  TernarySender<T>& sender_;
  bool literal_;
  const TernaryEstimate<T>* estimate_ = nullptr;
  const CancelCheck& cancel_;
};

// The sign of (value - threshold) for the full evaluation's value (of type
// T), from the estimate when its bound decides it, else from the full
// evaluation.
template <class T>
int order(Evaluator<T>& ev, Value& v, T threshold) {
  const double t = static_cast<double>(threshold);
  if (v.e.bound != 0) {
    if (v.e.value - v.e.bound > t) return 1;
    if (v.e.value + v.e.bound < t) return -1;
    ev.make_exact(v);
  }
  const T value = static_cast<T>(v.e.value);
  return value > threshold ? 1 : value < threshold ? -1 : 0;
}

// conseal's stopping rule float(m1 - m3) / n > alpha / 1000, the
// difference taken in T.
template <class T>
bool keep_searching(Evaluator<T>& ev, Value& m1, Value& m3, double n, double stop) {
  const double diff = m1.e.value - m3.e.value;
  const double margin = m1.e.bound + m3.e.bound;
  if (margin != 0) {
    // The rounding of the difference to T moves it by at most one ulp of T.
    const double slack = margin + 2 * std::numeric_limits<T>::epsilon() * std::fabs(diff) + 1e-9;
    if (diff - slack > stop * n) return true;
    if (diff + slack < stop * n) return false;
    ev.make_exact(m1);
    ev.make_exact(m3);
  }
  const T d = static_cast<T>(static_cast<T>(m1.e.value) - static_cast<T>(m3.e.value));
  return static_cast<double>(d) / n > stop;
}

}  // namespace

template <class T>
Search TernarySender<T>::probabilities(double alpha, std::span<T> p_plus, std::span<T> p_minus,
                                       const CancelCheck& cancel) {
  const std::size_t n = rho_plus_.size();
  if (p_plus.size() != n || p_minus.size() != n)
    throw InternalError("TernarySender: probability arrays of another size");
  Evaluator<T> ev(*this, cancel);
  const double nd = static_cast<double>(n);
  // calc_lambda(rhos, m, n, alpha_max=max(1, alpha + 0.1)), as conseal runs
  // it. Its comparisons of a payload with the integer m take m to T (NumPy's
  // rules for a Python int against a NumPy scalar).
  const auto m = static_cast<std::int64_t>(std::nearbyint(alpha * nd));
  const T mt = static_cast<T>(m);
  const double alpha_max = std::max(1.0, alpha + 0.1);
  double l3 = 1000;
  int iterations = 0;
  // m3 starts as the Python float m + 1, above m: the loop runs at least once.
  Value m3;
  do {
    l3 *= 2;
    m3 = ev.at(l3);
    ++iterations;
    if (iterations > 15) {
      // conseal gives up ("unbounded distortion") and embeds at this lambda,
      // above the payload.
      ev.fill(l3, p_plus, p_minus);
      return {l3, true, ev.evaluations, ev.full_evaluations};
    }
  } while (order(ev, m3, mt) > 0);
  // m1 begins as the Python float n * alpha_max, taken to T by m1 - m3.
  Value m1{0, {static_cast<double>(static_cast<T>(nd * alpha_max)), 0.0}};
  double l1 = 0;
  // The tolerance is that of the payload m / n, not of the alpha asked for.
  const double stop = static_cast<double>(m) / nd / 1000;
  const int limit = static_cast<int>(30 * alpha_max);
  bool reached = false;
  double lambda = l3;
  while (keep_searching(ev, m1, m3, nd, stop) && iterations < limit) {
    lambda = l1 + (l3 - l1) / 2;
    Value m2 = ev.at(lambda);
    if (order(ev, m2, mt) < 0) {
      l3 = lambda;
      m3 = m2;
    } else {
      l1 = lambda;
      m1 = m2;
      reached = true;
    }
    ++iterations;
  }
  // The search ran out of steps with every lambda short of the payload:
  // conseal would embed less than asked; this says so instead.
  if (!reached) return {lambda, false, ev.evaluations, ev.full_evaluations};
  ev.fill(lambda, p_plus, p_minus);
  return {lambda, true, ev.evaluations, ev.full_evaluations};
}

template float pairwise_sum(const float*, std::size_t);
template double pairwise_sum(const double*, std::size_t);
template class TernarySender<float>;
template class TernarySender<double>;

}  // namespace velmora::baselines
