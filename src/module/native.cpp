// Registration of velmora._native, the velmora package's own extension module:
// the same engine and boundary as velmora_core, with entry points that
// velmora_core does not have.
#include "module/entry_points.hpp"
#include "module/python.hpp"
#include "module/registration.hpp"

namespace velmora::py {
namespace {

constexpr char kEmbedSeededDoc[] =
    "embed_seeded(image, payload_size, seed, colony_size=30, max_iter=50, min_block=4)\n"
    "--\n"
    "\n"
    "The detailed embedding pipeline of velmora_core.embed_with_details, with its\n"
    "random generator seeded from `seed` (0 to 2**64 - 1) instead of fresh\n"
    "operating-system entropy: the same arguments give the same result in every\n"
    "call and every process.\n"
    "\n"
    "Returns (stego, elapsed_ms, pool_size, coords_y, coords_x, payload), and\n"
    "raises the same errors with the same messages as embed_with_details. The\n"
    "colony search is the generator's first user, so coords_y and coords_x are\n"
    "the coordinates that velmora_core.dabc_select_coords returns for the same\n"
    "image, its quadtree pool, payload_size, colony_size, max_iter and seed.";

constexpr char kPoolSizeDoc[] =
    "pool_size(image, min_block=4)\n"
    "--\n"
    "\n"
    "The number of entries of the quadtree pool of `image`: the length of the\n"
    "list that velmora_core.get_quadtree_sparse_map returns, without building it.";

constexpr char kPoolScoresDoc[] =
    "pool_scores(image, min_block=4)\n"
    "--\n"
    "\n"
    "The quadtree pool of `image` and the colony search's score of each entry:\n"
    "(coords_y, coords_x, scores), new 1-D arrays (int64, int64, float64) in pool\n"
    "order, the entries of velmora_core.get_quadtree_sparse_map and, for each,\n"
    "the population variance of its 3x3 window clipped to the image.";

constexpr char kTimedSparseMapDoc[] =
    "timed_sparse_map(image, min_block=4)\n"
    "--\n"
    "\n"
    "velmora_core.get_quadtree_sparse_map, instrumented for benchmarks: returns\n"
    "(pool, engine_ms, output_ms), the milliseconds spent building the quadtree\n"
    "pool and converting it to the list of tuples.";

constexpr char kTimedSelectCoordsDoc[] =
    "timed_select_coords(image, pool, payload_size, colony_size, max_iter, seed)\n"
    "--\n"
    "\n"
    "velmora_core.dabc_select_coords, instrumented for benchmarks: returns\n"
    "(coords, conversion_ms, engine_ms, output_ms), the milliseconds spent\n"
    "converting the caller's pool, in the colony search, and building the result.";

constexpr char kExtractFeaturesDoc[] =
    "extract_features(image, kind, beta=None)\n"
    "--\n"
    "\n"
    "The steganalysis features of `image` (a 2-D uint8 array of any strides,\n"
    "never modified) as a new 1-D float64 array: kind \"spam\" (686 values),\n"
    "\"srmq1\" (12,753), \"srm\" (34,671) or \"maxsrm\" (34,671, with `beta` the\n"
    "image's change probabilities, a float array of its shape with values in\n"
    "[0, 1]), submodel after submodel in the order of feature_submodels(kind).\n"
    "Raises ValueError for an unknown kind, a map given to a kind that takes\n"
    "none or missing for maxsrm, a map of another shape or with values outside\n"
    "[0, 1], and an image with fewer rows or columns than feature_min_side(kind).";

constexpr char kFeatureSubmodelsDoc[] =
    "feature_submodels(kind)\n"
    "--\n"
    "\n"
    "The submodels of feature set `kind` as a list of (name, dimension) tuples,\n"
    "in the order in which extract_features writes them.";

constexpr char kFeatureMinSideDoc[] =
    "feature_min_side(kind)\n"
    "--\n"
    "\n"
    "The smallest number of rows and of columns of an image whose `kind`\n"
    "features are defined.";

constexpr char kBaselinePrepareDoc[] =
    "baseline_prepare(image, method)\n"
    "--\n"
    "\n"
    "A cover (a 2-D uint8 array of any strides, copied) prepared for the baseline\n"
    "method `method` (\"lsbm\", \"hill\", \"suniward\", \"wow\" or \"mipod\"): its costs\n"
    "or Fisher information computed once, for the payloads that follow. Returns\n"
    "an opaque capsule for the other baseline_* functions; use it from one\n"
    "thread at a time.";

constexpr char kBaselineCostsDoc[] =
    "baseline_costs(prepared)\n"
    "--\n"
    "\n"
    "The prepared cover's costs of +1 and -1 changes (float32 for HILL, float64\n"
    "for S-UNIWARD and WOW), its Fisher information alone (MiPOD), or nothing\n"
    "(LSB matching), as a tuple of new 2-D arrays.";

constexpr char kBaselineProbabilitiesDoc[] =
    "baseline_probabilities(prepared, alpha)\n"
    "--\n"
    "\n"
    "The probabilities (p+, p-) of a +1 and of a -1 change of each pixel for\n"
    "`alpha` bits per pixel, as new 2-D arrays (float32 for HILL, float64\n"
    "otherwise); zero everywhere at alpha 0. Raises ValueError for an alpha\n"
    "outside [0, log2 3] ([0, 1] for LSB matching) or one the cover cannot carry.";

constexpr char kBaselineSimulateDoc[] =
    "baseline_simulate(prepared, alpha, seed)\n"
    "--\n"
    "\n"
    "The stego image, a new 2-D uint8 array, of the method's simulated embedding\n"
    "of `alpha` bits per pixel with the changes drawn from `seed` (0 to 2**64 - 1;\n"
    "below 2**32 for MiPOD), pixel for pixel conseal's. Raises ValueError as\n"
    "baseline_probabilities does.";

constexpr char kModuleDoc[] =
    "Native entry points of the velmora package, built from the same engine and\n"
    "argument handling as velmora_core: embedding seeded from a caller's number,\n"
    "the pool size alone, the pool with its scores, instrumented calls for benchmarks, "
    "steganalysis\n"
    "features (SPAM and the spatial rich model), and the baseline embedding\n"
    "methods (LSB matching, HILL, S-UNIWARD, WOW, MiPOD).";

PyMethodDef functions[] = {
    fastcall_method("embed_seeded", embed_seeded, kEmbedSeededDoc),
    fastcall_method("pool_size", pool_size, kPoolSizeDoc),
    fastcall_method("pool_scores", pool_scores, kPoolScoresDoc),
    fastcall_method("timed_sparse_map", timed_sparse_map, kTimedSparseMapDoc),
    fastcall_method("timed_select_coords", timed_select_coords, kTimedSelectCoordsDoc),
    fastcall_method("extract_features", extract_features, kExtractFeaturesDoc),
    fastcall_method("feature_submodels", feature_submodels, kFeatureSubmodelsDoc),
    fastcall_method("feature_min_side", feature_min_side, kFeatureMinSideDoc),
    fastcall_method("baseline_prepare", baseline_prepare, kBaselinePrepareDoc),
    fastcall_method("baseline_costs", baseline_costs, kBaselineCostsDoc),
    fastcall_method("baseline_probabilities", baseline_probabilities, kBaselineProbabilitiesDoc),
    fastcall_method("baseline_simulate", baseline_simulate, kBaselineSimulateDoc),
};

FunctionDescription* descriptions[] = {&embed_seeded_desc,
                                       &pool_size_desc,
                                       &pool_scores_desc,
                                       &timed_sparse_map_desc,
                                       &timed_select_coords_desc,
                                       &extract_features_desc,
                                       &feature_submodels_desc,
                                       &feature_min_side_desc,
                                       &baseline_prepare_desc,
                                       &baseline_costs_desc,
                                       &baseline_probabilities_desc,
                                       &baseline_simulate_desc};

ModuleSpec spec("velmora._native", kModuleDoc, functions, descriptions,
                "velmora._native.PySliceContainer");

}  // namespace
}  // namespace velmora::py

PyMODINIT_FUNC PyInit__native(void) {
  return velmora::py::init_module(velmora::py::spec);
}
