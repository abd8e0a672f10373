// The payload-limited sender of conseal's ternary simulators
// (conseal.simulate._ternary.probability with calc_lambda and
// average_payload): the change probabilities
//   p+ = e^(-l rho+) / (1 + e^(-l rho+) + e^(-l rho-)),  p- likewise,
// at the lambda l whose ternary entropy carries the payload, found by
// conseal's search. T is the costs' type (float for HILL, double for
// S-UNIWARD and WOW): conseal computes in it, and so does this.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace velmora::baselines {

// The outcome of a search for lambda: `reached` is false when no lambda the
// search tried carries the payload (the probabilities are then not filled).
struct Search {
  double lambda = 0;
  bool reached = false;
  int evaluations = 0;       // entropies the search compared
  int full_evaluations = 0;  // of them, evaluated in full (the final one aside)
};

template <class T>
class TernaryEstimate;

// The sender of one cover: its costs (which must outlive it), and what its
// payloads share (the entropy's buffers, the estimates' bins).
template <class T>
class TernarySender {
 public:
  TernarySender(std::span<const T> rho_plus, std::span<const T> rho_minus);
  TernarySender(TernarySender&&) noexcept;
  ~TernarySender();

  // Fills p_plus and p_minus (n values each) for a payload of round(alpha n)
  // bits.
  Search probabilities(double alpha, std::span<T> p_plus, std::span<T> p_minus,
                       const CancelCheck& cancel = {});
  // The entropy in bits at lambda, as conseal's average_payload sums it (the
  // terms -p log2 p of all p+, then all p-, then all 1 - p+ - p-, in one
  // pairwise sum in T); fills p_plus and p_minus unless they are empty.
  T entropy(double lambda, std::span<T> p_plus = {}, std::span<T> p_minus = {});
  const TernaryEstimate<T>& estimate();

 private:
  std::span<const T> rho_plus_, rho_minus_;
  std::vector<T> terms_;
  std::unique_ptr<TernaryEstimate<T>> estimate_;
};

// NumPy's sum of a contiguous array: its pairwise summation (blocks of at
// most 128 values added in eight interleaved partial sums, halves split at
// multiples of eight), in T.
template <class T>
T pairwise_sum(const T* a, std::size_t n);

namespace detail {
// Evaluates every entropy of the searches in full instead of deciding
// comparisons from estimates first (the results are the same either way).
void use_literal_search(bool literal);
bool literal_search();
}  // namespace detail

}  // namespace velmora::baselines
