#include "baselines/bins.hpp"

#include <bit>
#include <cmath>

namespace velmora::baselines {

namespace {
// More bins than this per value would cost more than visiting the values.
constexpr std::uint64_t kMaxBins = std::uint64_t{1} << 22;
}  // namespace

Bins make_bins(std::span<const double> values, std::span<const std::uint8_t> keep, int bits) {
  Bins bins;
  const std::size_t n = values.size();
  const int shift = 52 - bits;
  std::uint64_t lo = UINT64_MAX, hi = 0;
  std::vector<std::uint8_t> binned(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double v = values[i];
    if ((!keep.empty() && !keep[i]) || !(v > 0) || !std::isfinite(v)) {
      bins.others.push_back(static_cast<std::uint32_t>(i));
      continue;
    }
    binned[i] = 1;
    const std::uint64_t key = std::bit_cast<std::uint64_t>(v) >> shift;
    lo = key < lo ? key : lo;
    hi = key > hi ? key : hi;
  }
  bins.start.push_back(0);  // start has a bin's end more than there are bins
  if (lo > hi) return bins;
  if (hi - lo + 1 > kMaxBins) {
    // Too spread out: everything is left to the caller's own loop.
    bins.others.clear();
    for (std::size_t i = 0; i < n; ++i)
      bins.others.push_back(static_cast<std::uint32_t>(i));
    return bins;
  }
  // Counting sort by key.
  const std::size_t slots = static_cast<std::size_t>(hi - lo + 1);
  std::vector<std::uint32_t> counts(slots + 1, 0);
  for (std::size_t i = 0; i < n; ++i)
    if (binned[i]) ++counts[(std::bit_cast<std::uint64_t>(values[i]) >> shift) - lo + 1];
  for (std::size_t k = 0; k < slots; ++k)
    counts[k + 1] += counts[k];
  const std::size_t total = counts[slots];
  bins.values.resize(total);
  bins.index.resize(total);
  std::vector<std::uint32_t> fill(counts.begin(), counts.end() - 1);
  for (std::size_t i = 0; i < n; ++i) {
    if (!binned[i]) continue;
    const std::size_t k = (std::bit_cast<std::uint64_t>(values[i]) >> shift) - lo;
    bins.values[fill[k]] = values[i];
    bins.index[fill[k]] = static_cast<std::uint32_t>(i);
    ++fill[k];
  }
  // The occupied slots become bins.
  for (std::size_t k = 0; k < slots; ++k) {
    const std::size_t begin = counts[k], end = counts[k + 1];
    if (begin == end) continue;
    const std::uint64_t key = lo + k;
    const double low = std::bit_cast<double>(key << shift);
    const double high = std::bit_cast<double>((key + 1) << shift);
    const double c = low + (high - low) / 2;
    double s1 = 0, s2 = 0, s3 = 0, s4 = 0, far = 0;
    for (std::size_t j = begin; j < end; ++j) {
      const double d = bins.values[j] - c;
      const double d2 = d * d;
      s1 += d;
      s2 += d2;
      s3 += d2 * d;
      s4 += d2 * d2;
      far = std::fabs(d) > far ? std::fabs(d) : far;
    }
    bins.center.push_back(c);
    bins.half_width.push_back(far);
    bins.count.push_back(static_cast<double>(end - begin));
    bins.s1.push_back(s1);
    bins.s2.push_back(s2);
    bins.s3.push_back(s3);
    bins.s4.push_back(s4);
    bins.start.push_back(end);
  }
  return bins;
}

}  // namespace velmora::baselines
