// Steganalysis features of grayscale images, computed as the field's
// reference extractors compute them:
//   spam   the second-order subtractive pixel adjacency model (686 values:
//          the straight-direction half, then the diagonal half);
//   srm    the spatial rich model (34,671 values in 106 submodels);
//   srmq1  the rich model with one quantization step per residual (12,753
//          values: the srm submodels whose names end in "_q1");
//   maxsrm the selection-channel-aware rich model (34,671 values, the srm's
//          submodels), each co-occurrence weighted by a map of change
//          probabilities, as its authors' C++ release computes it.
// Submodels come in the order of the original rich-model extractor's output.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "core/error.hpp"
#include "core/image_view.hpp"

namespace velmora::features {

enum class FeatureSet { spam, srmq1, srm, maxsrm };

struct Submodel {
  std::string_view name;
  std::size_t dimension;
};

// The set of a name ("spam", "srmq1", "srm"), or nothing.
std::optional<FeatureSet> parse_feature_set(std::string_view name);
std::string_view feature_set_name(FeatureSet set);

// Submodels in output order, with their dimensions.
std::span<const Submodel> submodels(FeatureSet set);
// Number of values of one image's features.
std::size_t dimension(FeatureSet set);
// The smallest image side (rows and columns) for which every co-occurrence
// of the set has at least one sample.
std::size_t min_side(FeatureSet set);

// Whether the set weighs its co-occurrences by a map of change
// probabilities (maxsrm).
bool needs_map(FeatureSet set);

// Writes the features of `image` into `out` (dimension(set) values). The image
// must have at least min_side(set) rows and columns, and `map` is the image's
// change probabilities (row-major) for a set that needs one, empty otherwise
// (InternalError otherwise); `cancel` is polled between the stages of the
// computation.
void extract(const ImageView& image, FeatureSet set, std::span<double> out,
             const CancelCheck& cancel = {}, std::span<const double> map = {});

}  // namespace velmora::features
