// The second-order subtractive pixel adjacency model (SPAM): co-occurrences
// of three successive differences of neighbouring pixels, truncated to
// -3 ... 3, in eight directions, averaged into a straight-direction half and
// a diagonal half of 343 values each.
#pragma once

#include <span>

#include "core/image_view.hpp"

namespace velmora::features::detail {

constexpr std::size_t kSpamHalf = 343;

// Features of `image` (at least 4 x 4 pixels) into `out` (686 values).
void extract_spam(const ImageView& image, std::span<double> out);

}  // namespace velmora::features::detail
