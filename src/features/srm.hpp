// The spatial rich model: residuals of the image under 30-odd linear and
// min/max filters, quantized with several steps, truncated to -2 ... 2, and
// summarised by their 4-D co-occurrences, symmetrized into 106 submodels.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/image_view.hpp"
#include "features/features.hpp"

namespace velmora::features::detail {

// Submodels of the full model in output order (the quantization steps "_q1"
// only when `q1_only`).
std::vector<std::pair<std::string, std::size_t>> srm_submodels(bool q1_only);

// Features of `image` (at least 8 x 8 pixels) into `out`.
void extract_srm(const ImageView& image, bool q1_only, std::span<double> out,
                 const CancelCheck& cancel);

}  // namespace velmora::features::detail
