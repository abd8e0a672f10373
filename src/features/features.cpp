#include "features/features.hpp"

#include <string>
#include <utility>
#include <vector>

#include "features/maxsrm.hpp"
#include "features/spam.hpp"
#include "features/srm.hpp"

namespace velmora::features {

namespace {

// Names and dimensions of each set's submodels, built once.
struct Catalog {
  std::vector<std::string> names;
  std::vector<Submodel> submodels;
  std::size_t dimension = 0;

  explicit Catalog(std::vector<std::pair<std::string, std::size_t>> list) {
    names.reserve(list.size());
    for (auto& [name, dim] : list)
      names.push_back(std::move(name));
    for (std::size_t i = 0; i < list.size(); ++i) {
      submodels.push_back({names[i], list[i].second});
      dimension += list[i].second;
    }
  }
};

const Catalog& catalog(FeatureSet set) {
  static const Catalog spam({{"straight", detail::kSpamHalf}, {"diagonal", detail::kSpamHalf}});
  static const Catalog srmq1(detail::srm_submodels(true));
  static const Catalog srm(detail::srm_submodels(false));
  switch (set) {
    case FeatureSet::spam:
      return spam;
    case FeatureSet::srmq1:
      return srmq1;
    case FeatureSet::srm:
    case FeatureSet::maxsrm:  // the srm's submodels, each weighted
      break;
  }
  return srm;
}

}  // namespace

std::optional<FeatureSet> parse_feature_set(std::string_view name) {
  if (name == "spam") return FeatureSet::spam;
  if (name == "srmq1") return FeatureSet::srmq1;
  if (name == "srm") return FeatureSet::srm;
  if (name == "maxsrm") return FeatureSet::maxsrm;
  return std::nullopt;
}

std::string_view feature_set_name(FeatureSet set) {
  switch (set) {
    case FeatureSet::spam:
      return "spam";
    case FeatureSet::srmq1:
      return "srmq1";
    case FeatureSet::maxsrm:
      return "maxsrm";
    case FeatureSet::srm:
      break;
  }
  return "srm";
}

std::span<const Submodel> submodels(FeatureSet set) {
  return catalog(set).submodels;
}

std::size_t dimension(FeatureSet set) {
  return catalog(set).dimension;
}

std::size_t min_side(FeatureSet set) {
  // SPAM's triples of differences span four pixels; the rich model's widest
  // residuals lose two pixels on each side, and its four-windows need four
  // of what is left.
  return set == FeatureSet::spam ? 4 : 8;
}

bool needs_map(FeatureSet set) {
  return set == FeatureSet::maxsrm;
}

void extract(const ImageView& image, FeatureSet set, std::span<double> out,
             const CancelCheck& cancel, std::span<const double> map) {
  if (out.size() != dimension(set)) throw InternalError("feature buffer of the wrong size");
  if (image.rows() < min_side(set) || image.cols() < min_side(set)) {
    throw InternalError("image smaller than the feature set accepts");
  }
  if (needs_map(set) != !map.empty()) throw InternalError("a map where the set takes none");
  if (set == FeatureSet::maxsrm) {
    detail::extract_maxsrm(image, map, out, cancel);
  } else if (set == FeatureSet::spam) {
    detail::extract_spam(image, out);
  } else {
    detail::extract_srm(image, set == FeatureSet::srmq1, out, cancel);
  }
}

}  // namespace velmora::features
