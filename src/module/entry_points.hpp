// The exported functions, in the calling convention of METH_FASTCALL |
// METH_KEYWORDS, and the descriptions that bind their arguments.
//
// velmora_core exports the first four. The velmora package's own extension
// module exports the rest: the detailed pipeline seeded from a caller's
// number, the pool size alone, two instrumented variants of the velmora_core
// functions for benchmarks, and steganalysis features.
#pragma once

#include "module/binding.hpp"
#include "module/python.hpp"

namespace velmora::py {

extern FunctionDescription run_velmora_engine_desc;
extern FunctionDescription embed_with_details_desc;
extern FunctionDescription get_quadtree_sparse_map_desc;
extern FunctionDescription dabc_select_coords_desc;
extern FunctionDescription embed_seeded_desc;
extern FunctionDescription pool_size_desc;
extern FunctionDescription timed_sparse_map_desc;
extern FunctionDescription pool_scores_desc;
extern FunctionDescription timed_select_coords_desc;
extern FunctionDescription extract_features_desc;
extern FunctionDescription feature_submodels_desc;
extern FunctionDescription feature_min_side_desc;
extern FunctionDescription baseline_prepare_desc;
extern FunctionDescription baseline_costs_desc;
extern FunctionDescription baseline_probabilities_desc;
extern FunctionDescription baseline_simulate_desc;

PyObject* run_velmora_engine(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* embed_with_details(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* get_quadtree_sparse_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* dabc_select_coords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

// embed_seeded(image, payload_size, seed, colony_size=30, max_iter=50, min_block=4):
// embed_with_details with the generator seeded from `seed`.
PyObject* embed_seeded(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// pool_size(image, min_block=4): the length of the quadtree pool.
PyObject* pool_size(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// pool_scores(image, min_block=4) -> (coords_y, coords_x, scores): the
// quadtree pool and the colony's score of each entry, as arrays.
PyObject* pool_scores(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// timed_sparse_map(image, min_block=4) -> (pool list, engine_ms, output_ms)
PyObject* timed_sparse_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
// timed_select_coords(image, pool, payload_size, colony_size, max_iter, seed)
//     -> (coordinate list, conversion_ms, engine_ms, output_ms)
PyObject* timed_select_coords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

// extract_features(image, kind) -> 1-D float64 array of the image's features.
PyObject* extract_features(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
// feature_submodels(kind) -> [(name, dimension), ...] in output order.
PyObject* feature_submodels(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
// feature_min_side(kind) -> the smallest image side the set accepts.
PyObject* feature_min_side(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

// baseline_prepare(image, method) -> a capsule holding the prepared cover.
PyObject* baseline_prepare(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
// baseline_costs(prepared) -> (rho+, rho-), (fisher,) or ().
PyObject* baseline_costs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
// baseline_probabilities(prepared, alpha) -> (p+, p-).
PyObject* baseline_probabilities(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
// baseline_simulate(prepared, alpha, seed) -> stego image.
PyObject* baseline_simulate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace velmora::py
