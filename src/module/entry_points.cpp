#include "module/entry_points.hpp"

#include <cstdint>

#include "dabc/colony.hpp"
#include "dabc/food_source.hpp"
#include "module/convert.hpp"
#include "quadtree/quadtree.hpp"
#include "random/random_source.hpp"

namespace velmora::py {

namespace {

constexpr const char* kPipelineParams[] = {"image", "payload_size", "colony_size", "max_iter",
                                           "min_block"};
constexpr const char* kQuadtreeParams[] = {"image", "min_block"};
constexpr const char* kSelectorParams[] = {"image",       "pool",     "payload_size",
                                           "colony_size", "max_iter", "seed"};

constexpr std::uint64_t kDefaultColonySize = 30;
constexpr std::uint64_t kDefaultMaxIter = 50;
constexpr std::uint64_t kDefaultMinBlock = 4;

// The converted arguments of the two embedding pipelines.
struct PipelineArgs {
  ImageArg image;
  std::uint64_t payload_size = 0;
  std::uint64_t colony_size = kDefaultColonySize;
  std::uint64_t max_iter = kDefaultMaxIter;
  std::uint64_t min_block = kDefaultMinBlock;
};

// Binds and converts in declaration order; an absent optional argument keeps
// its default without any conversion.
bool parse_pipeline_args(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, PipelineArgs& out) {
  PyObject* slots[5];
  if (!bind_arguments(desc, args, nargs, kwnames, slots)) return false;
  if (!convert_image(slots[0], "image", out.image)) return false;
  if (!convert_unsigned(slots[1], "payload_size", out.payload_size)) return false;
  if (slots[2] != nullptr && !convert_unsigned(slots[2], "colony_size", out.colony_size)) {
    return false;
  }
  if (slots[3] != nullptr && !convert_unsigned(slots[3], "max_iter", out.max_iter)) return false;
  if (slots[4] != nullptr && !convert_unsigned(slots[4], "min_block", out.min_block)) return false;
  return true;
}

PyObject* not_implemented(const char* name) {
  PyErr_Format(PyExc_NotImplementedError, "%s() is not implemented yet", name);
  return nullptr;
}

}  // namespace

FunctionDescription run_velmora_engine_desc{"run_velmora_engine", kPipelineParams, 5, 2};
FunctionDescription embed_with_details_desc{"embed_with_details", kPipelineParams, 5, 2};
FunctionDescription get_quadtree_sparse_map_desc{"get_quadtree_sparse_map", kQuadtreeParams, 2, 1};
FunctionDescription dabc_select_coords_desc{"dabc_select_coords", kSelectorParams, 6, 6};

PyObject* run_velmora_engine(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PipelineArgs a;
    if (!parse_pipeline_args(run_velmora_engine_desc, args, nargs, kwnames, a)) return nullptr;
    return not_implemented("run_velmora_engine");
  });
}

PyObject* embed_with_details(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PipelineArgs a;
    if (!parse_pipeline_args(embed_with_details_desc, args, nargs, kwnames, a)) return nullptr;
    return not_implemented("embed_with_details");
  });
}

PyObject* get_quadtree_sparse_map(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[2];
    if (!bind_arguments(get_quadtree_sparse_map_desc, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    ImageArg image;
    if (!convert_image(slots[0], "image", image)) return nullptr;
    std::uint64_t min_block = kDefaultMinBlock;
    if (slots[1] != nullptr && !convert_unsigned(slots[1], "min_block", min_block)) {
      return nullptr;
    }
    const QuadtreePool pool = adaptive_quadtree(image.view(), min_block, signal_check());
    image.release();
    return coords_to_list(pool);
  });
}

PyObject* dabc_select_coords(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[6];
    if (!bind_arguments(dabc_select_coords_desc, args, nargs, kwnames, slots)) return nullptr;
    ImageArg image;
    if (!convert_image(slots[0], "image", image)) return nullptr;
    Pool pool;
    if (!convert_pool(slots[1], "pool", pool)) return nullptr;
    std::uint64_t payload_size, colony_size, max_iter, seed;
    if (!convert_unsigned(slots[2], "payload_size", payload_size)) return nullptr;
    if (!convert_unsigned(slots[3], "colony_size", colony_size)) return nullptr;
    if (!convert_unsigned(slots[4], "max_iter", max_iter)) return nullptr;
    if (!convert_unsigned(slots[5], "seed", seed)) return nullptr;
    const ImageView& view = image.view();

    const std::size_t pool_len = pool.size();
    if (pool_len <= payload_size) {
      PyErr_Format(PyExc_ValueError, "Quadtree pool (%llu) <= payload_size (%llu).",
                   static_cast<unsigned long long>(pool_len),
                   static_cast<unsigned long long>(payload_size));
      return nullptr;
    }
    RandomSource rng = RandomSource::from_seed(seed);
    // Entries whose 3x3 window would start past the image edge have no score.
    const std::size_t outside = first_entry_outside(pool, view);
    if (outside != pool_len) {
      PyErr_Format(PyExc_ValueError,
                   "pool entry %zu, (y, x) = (%zu, %zu), lies outside the image of shape "
                   "(%zu, %zu): every entry needs y <= %zu and x <= %zu",
                   outside, pool[outside].y, pool[outside].x, view.rows(), view.cols(),
                   view.rows() + 1, view.cols() + 1);
      return nullptr;
    }
    const std::vector<std::size_t> indices = run_discrete_abc(
        pool, pool_len, view, payload_size, colony_size, max_iter, rng, signal_check());
    Pool coords;
    coords.reserve(indices.size());
    for (std::size_t i : indices) {
      if (i >= pool_len) throw InternalError("colony search returned an index outside the pool");
      coords.push_back(pool[i]);
    }
    image.release();
    return coords_to_list(coords);
  });
}

}  // namespace velmora::py
