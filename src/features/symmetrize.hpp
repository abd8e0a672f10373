// Merging of co-occurrence bins that natural images fill alike, in single
// precision and in the order of the reference extractor's additions (each
// float result depends on it).
//
// The 625 cells of a 4-D co-occurrence of values -2 ... 2 are indexed
// 125 (a + 2) + 25 (b + 2) + 5 (c + 2) + (d + 2).
#pragma once

#include <array>
#include <cstddef>

namespace velmora::features::detail {

constexpr std::size_t kSignSymmetric = 169;  // spam submodels
constexpr std::size_t kMinMaxMerged = 325;   // min/max submodels

// Sign and direction symmetry of one co-occurrence: (a, b, c, d) with
// (-a, -b, -c, -d), (d, c, b, a) and (-d, -c, -b, -a).
std::array<float, kSignSymmetric> symmetrize_spam(const std::array<float, 625>& a);

// The min co-occurrence with the max co-occurrence of negated values, then
// (a, b, c, d) with (d, c, b, a).
std::array<float, kMinMaxMerged> symmetrize_minmax(const std::array<float, 625>& min,
                                                   const std::array<float, 625>& max);

}  // namespace velmora::features::detail
