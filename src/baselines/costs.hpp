// The cost maps of HILL, S-UNIWARD and WOW as conseal 2025.11 computes them
// (compute_cost_adjusted with the wet costs of simulate_single_channel),
// with SciPy's summation order (filters.hpp):
//   HILL       float throughout; wet cost 1e10
//   S-UNIWARD  sigma 1, double; wet cost 1e8
//   WOW        p = -1, double; wet cost 1e8
// Costs that are infinite, NaN or above the wet cost become the wet cost;
// a +1 change of a pixel at 255 and a -1 change of a pixel at 0 cost the
// wet cost.
#pragma once

#include <vector>

#include "core/image_view.hpp"

namespace velmora::baselines {

template <class T>
struct CostMaps {
  std::vector<T> plus;   // rho+, row-major
  std::vector<T> minus;  // rho-
};

CostMaps<float> hill_costs(const ImageView& image);
CostMaps<double> suniward_costs(const ImageView& image);
CostMaps<double> wow_costs(const ImageView& image);

}  // namespace velmora::baselines
