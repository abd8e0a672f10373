// Fast estimates, with error bounds, of the entropies that the searches for
// lambda evaluate some thirty times per payload. The searches compare each
// entropy with a threshold; an estimate whose bound keeps it clear of the
// threshold decides the comparison as the full evaluation would, and only
// the others are evaluated in full (sender.cpp, mipod.cpp). The estimates
// therefore change no result, only the time.
//
// Pixels with equal costs of +1 and -1 (almost all) contribute h(lambda rho)
// bits, h(t) = (ln(1 + 2 e^-t) + 2 t p) / ln 2 with p = e^-t / (1 + 2 e^-t);
// they are grouped by the leading bits of rho (bins.hpp) and each group's
// sum taken from a Taylor expansion of h of degree 4 about its centre, with
// h's derivatives as polynomials in t and p and the remainder bounded by
// the fifth derivative (|h^(5)| <= 0.6 nats everywhere, <= 0.12 (t^2 + 1)
// e^-t for t >= 10). Pixels with one change wet (at 0 or 255) are binned
// likewise by the other change's cost, with the entropy of two outcomes,
// once lambda is large enough for the wet change's probability to be 0. The
// other pixels are summed one by one.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "baselines/bins.hpp"

namespace velmora::baselines {

// A value and a bound on its distance from the full evaluation's.
struct Estimate {
  double value = 0;
  double bound = 0;
};

// The ternary entropy in bits of conseal's average_payload at lambda, for
// costs of type T (whose rounding the bound allows for).
template <class T>
class TernaryEstimate {
 public:
  TernaryEstimate(std::span<const T> rho_plus, std::span<const T> rho_minus);
  Estimate operator()(double lambda) const;

 private:
  std::size_t n_;
  Bins bins_;                                     // equal costs
  Bins one_sided_;                                // one cost wet: binned by the other
  double wet_min_ = HUGE_VAL;                     // the smallest wet cost of one_sided_
  std::vector<double> one_plus_, one_minus_;      // one_sided_'s pixels in full
  std::vector<double> other_plus_, other_minus_;  // the rest
};

// MiPOD's ternary entropy in nats at lambda (its ternary_probs), over the
// Fisher information I of the pixels: pixels whose y = lambda I is above the
// lookup table's end (1000) contribute g(y), g(y) = 2 ln(x) / x - (1 - 2/x)
// ln(1 - 2/x) with x log(x - 2) = y, a smooth function summed per bin with
// a Taylor expansion of degree 3 (|g''''| <= 200 g / y^4 bounds the
// remainder). The others go through the table one by one, as in full
// (`fine`), or, coarsely, by the linear expansion of their terms within
// their cell of the table.
class MipodEstimate {
 public:
  explicit MipodEstimate(std::span<const double> fisher);
  Estimate operator()(double lambda, bool fine) const;

 private:
  std::size_t n_;
  Bins bins_;
  std::vector<double> others_;
};

}  // namespace velmora::baselines
