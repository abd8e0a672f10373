// Values grouped by magnitude, for sums of a smooth function over many of
// them: the values whose leading bits agree share a bin, and a bin keeps its
// count, centre and the power sums of the values' distances from the
// centre, from which a Taylor expansion of the function about the centre
// gives the bin's sum without visiting its values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora::baselines {

struct Bins {
  // Per bin, in increasing order of the values: the centre c, the largest
  // distance of a value from it, and count, sum (v - c), ... sum (v - c)^4.
  std::vector<double> center, half_width;
  std::vector<double> count, s1, s2, s3, s4;
  // The values of bin b are values[start[b] .. start[b + 1]), each with its
  // position in the input (index); start has one entry more than there are
  // bins, even when there are none.
  std::vector<std::size_t> start;
  std::vector<double> values;
  std::vector<std::uint32_t> index;
  // Positions of the values left out (not positive and finite, or marked by
  // the caller).
  std::vector<std::uint32_t> others;
};

// Bins of values[i] for the i where `keep` is empty or keep[i] is true: a
// bin per value of the exponent and the leading `bits` bits of the
// mantissa. Empty (everything in `others`) when the values span too many
// bins to be worth it.
Bins make_bins(std::span<const double> values, std::span<const std::uint8_t> keep, int bits);

}  // namespace velmora::baselines
