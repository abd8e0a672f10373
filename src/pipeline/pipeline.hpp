// The embedding pipeline: quadtree pool, colony search over it, payload bits,
// LSB matching, all drawing from one RandomSource in that order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/error.hpp"
#include "core/heap_array.hpp"
#include "core/image_view.hpp"
#include "core/pixel_coord.hpp"
#include "embed/lsb_matching.hpp"
#include "random/random_source.hpp"

namespace velmora {

struct PipelineResult {
  std::size_t pool_size = 0;
  // False when the pool is not larger than the payload: nothing after the
  // quadtree ran and the fields below are empty.
  bool embedded = false;
  Pool coords;                      // coordinate i carries bit i
  HeapArray<std::uint8_t> payload;  // the drawn bits, 0 or 1
  StegoImage stego;
};

// Builds the pool of `view`; if it holds more than payload_size coordinates,
// selects payload_size of them with the colony search, draws one next_bit per
// payload bit and embeds the bits into a copy of the image.
PipelineResult run_pipeline(const ImageView& view, std::uint64_t payload_size,
                            std::uint64_t colony_size, std::uint64_t max_iter,
                            std::uint64_t min_block, RandomSource& rng,
                            const CancelCheck& cancel = {});

}  // namespace velmora
