// The adaptive quadtree: reduces an image to the ordered pool of candidate
// pixels that lie in textured leaf blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/error.hpp"
#include "core/image_view.hpp"
#include "core/pixel_coord.hpp"

namespace velmora {

// Homogeneity threshold from the image's mean and population variance:
// max(0.1 * mean + 0.6 * sqrt(variance), 8.0).
double quadtree_threshold(double mean, double variance);

// A pool that the quadtree produced, held as its leaf blocks rather than one
// coordinate per pixel: entry i is a pixel of the block that covers position
// i, the blocks in pool order and each block's pixels row-major. It is the
// same ordered list of coordinates as the expanded Pool, in an eighth of the
// memory or less.
class QuadtreePool {
 public:
  struct Block {
    std::size_t y, x, h, w;
  };

  QuadtreePool() = default;

  std::size_t size() const { return ends_.empty() ? 0 : ends_.back(); }
  bool empty() const { return size() == 0; }
  const std::vector<Block, BulkAllocator<Block>>& blocks() const { return blocks_; }

  // Entry i, for i < size().
  PixelCoord operator[](std::size_t i) const;

  // Calls f(PixelCoord) for every entry in pool order.
  template <class F>
  void for_each(F&& f) const {
    for (const Block& b : blocks_) {
      for (std::size_t r = b.y; r < b.y + b.h; ++r) {
        for (std::size_t c = b.x; c < b.x + b.w; ++c)
          f(PixelCoord{r, c});
      }
    }
  }

  // The expanded list of coordinates.
  Pool to_vector() const;

  void reserve(std::size_t blocks);
  void append(const Block& b);
  // Indexes the blocks for operator[]; call once after the last append.
  void finish();

 private:
  std::vector<Block, BulkAllocator<Block>> blocks_;
  std::vector<std::size_t, BulkAllocator<std::size_t>> ends_;  // just after each block's last entry
  // Block holding entry 64 * b, so that a lookup scans only a few blocks.
  std::vector<std::size_t> bucket_block_;
};

// The pool of `view`: the pixels of every textured block that is not split
// further, blocks in depth-first pre-order (top-left, top-right, bottom-left,
// bottom-right), each block's pixels row-major.
QuadtreePool adaptive_quadtree(const ImageView& view, std::uint64_t min_block,
                               const CancelCheck& cancel = {});

// Largest absolute difference between the variance that Welford's method
// computes in double precision over `count` grey levels (0..255) and their
// exact population variance, given an upper bound `variance` of the latter.
// The quadtree decides blocks whose exact variance lies further than this from
// the threshold without running the (division-bound) Welford chain.
double welford_error_bound(std::uint64_t count, double variance);

}  // namespace velmora
