// The selection-channel-aware spatial rich model, maxSRM (Denemark,
// Sedighi, Holub, Cogranne and Fridrich, 2014), as the authors' C++ release
// computes it: the rich model's residuals and co-occurrences, each 4-tuple
// counted with the weight of the largest change probability of its four
// pixels instead of 1.
#pragma once

#include <span>

#include "core/error.hpp"
#include "core/image_view.hpp"

namespace velmora::features::detail {

// The maxsrm features of `image` (at least 8 x 8 pixels) with the change
// probabilities `map` (row-major, the image's shape, values in [0, 1]) into
// `out`: 34,671 values in the order of the srm set.
//
// A map whose nonzero values are all one value takes a faster path (counts,
// then that value added as many times); `count_single_values` false makes it
// take the general one, for the tests that compare the two.
void extract_maxsrm(const ImageView& image, std::span<const double> map, std::span<double> out,
                    const CancelCheck& cancel, bool count_single_values = true);

}  // namespace velmora::features::detail
