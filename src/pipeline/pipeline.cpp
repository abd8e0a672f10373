#include "pipeline/pipeline.hpp"

#include "dabc/colony.hpp"
#include "quadtree/quadtree.hpp"

namespace velmora {

PipelineResult run_pipeline(const ImageView& view, std::uint64_t payload_size,
                            std::uint64_t colony_size, std::uint64_t max_iter,
                            std::uint64_t min_block, RandomSource& rng, const CancelCheck& cancel) {
  PipelineResult result;
  const QuadtreePool pool = adaptive_quadtree(view, min_block, cancel);
  result.pool_size = pool.size();
  if (result.pool_size <= payload_size) return result;

  const std::vector<std::size_t> indices =
      run_discrete_abc(pool, pool.size(), view, payload_size, colony_size, max_iter, rng, cancel);
  result.coords.resize(indices.size());  // every element is written below
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (indices[i] >= pool.size()) throw InternalError("pool index out of range");
    result.coords[i] = pool[indices[i]];
  }
  const std::size_t bits = static_cast<std::size_t>(payload_size);
  result.payload = HeapArray<std::uint8_t>(bits);
  for (std::size_t i = 0; i < bits; ++i)
    result.payload[i] = rng.next_bit();
  result.stego = lsb_matching_embed(view, result.coords.data(), result.coords.size(),
                                    result.payload.data(), bits, rng);
  result.embedded = true;
  return result;
}

}  // namespace velmora
