// Scores of pool coordinates and the food sources of the colony search: sets
// of distinct pool indices whose fitness is the sum of their scores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/error.hpp"
#include "core/image_view.hpp"
#include "core/pixel_coord.hpp"
#include "quadtree/quadtree.hpp"
#include "random/random_source.hpp"

namespace velmora {

// Population variance of the 3x3 window centred on `coord`, clipped to the
// image (Welford, row-major); 0.0 for an empty window. A coordinate whose
// window would start past the image edge (y >= H + 2 or x >= W + 2) is an
// InternalError.
double local_variance(const ImageView& view, const PixelCoord& coord);

// local_variance of every pool entry, in pool order.
std::vector<double> score_table(const Pool& pool, const ImageView& view,
                                const CancelCheck& cancel = {});
std::vector<double> score_table(const QuadtreePool& pool, const ImageView& view,
                                const CancelCheck& cancel = {});

// Position of the first pool entry whose window would start past the image
// edge, or pool.size() if there is none.
std::size_t first_entry_outside(const Pool& pool, const ImageView& view);

// One food source: `size` distinct pool indices with a membership bitmap over
// all `pool_len` pool indices and the fitness, all living in storage owned by
// the colony. Moves are applied in place: `mutate` proposes the neighbour
// (one position replaced) with its fitness, and `apply` makes it the food
// source, so nothing is copied for a move that is not kept.
class FoodSource {
 public:
  struct Neighbour {
    std::size_t pos;
    std::size_t old_index;
    std::size_t new_index;
    double fitness;
  };

  FoodSource(std::size_t* indices, std::size_t size, std::uint64_t* members, std::size_t pool_len,
             double* fitness)
      : indices_(indices), size_(size), members_(members), pool_len_(pool_len), fitness_(fitness) {}

  // Makes this food source the selection already written to indices():
  // membership set, fitness summed from -0.0 in list order.
  void init(const std::vector<double>& scores);
  // Replaces the selection with `sample(pool_len, size)` drawn from `rng`.
  void resample(RandomSource& rng, SampleWorkspace& work, const std::vector<double>& scores);

  // The neighbourhood move: a uniform position, and a replacement index that
  // is not in the selection (drawn by rejection while at least a quarter of
  // the pool is free, else found by a cyclic scan from one uniform start).
  // With no free index the neighbour equals the source.
  Neighbour mutate(RandomSource& rng, const std::vector<double>& scores) const;
  void apply(const Neighbour& n);

  const std::size_t* indices() const { return indices_; }
  std::size_t* indices() { return indices_; }
  std::size_t size() const { return size_; }
  double fitness() const { return *fitness_; }
  bool contains(std::size_t index) const { return (members_[index >> 6] >> (index & 63)) & 1; }

 private:
  void insert(std::size_t index) { members_[index >> 6] |= std::uint64_t{1} << (index & 63); }
  void erase(std::size_t index) { members_[index >> 6] &= ~(std::uint64_t{1} << (index & 63)); }
  std::size_t scan_free(std::size_t start) const;

  std::size_t* indices_;
  std::size_t size_;
  std::uint64_t* members_;
  std::size_t pool_len_;
  double* fitness_;
};

}  // namespace velmora
