// Registration of the velmora_core module with the interpreter.
#include "module/entry_points.hpp"
#include "module/python.hpp"
#include "module/registration.hpp"

namespace velmora::py {
namespace {

// Docstrings: the first line and the "--" line form the text signature that
// the interpreter shows as __text_signature__ and strips from __doc__.
constexpr char kRunVelmoraEngineDoc[] =
    "run_velmora_engine(image, payload_size, colony_size=30, max_iter=50, min_block=4)\n"
    "--\n"
    "\n"
    "**Primary pipeline entry-point exposed to Python.**\n"
    "\n"
    "Executes the full three-phase steganography pipeline end-to-end and\n"
    "returns the stego image together with runtime telemetry.\n"
    "\n"
    "# Python Signature\n"
    "```python\n"
    "stego_img, elapsed_ms, pool_size = velmora_core.run_velmora_engine(\n"
    "    image,            # np.ndarray, shape (H, W), dtype=np.uint8\n"
    "    payload_size,     # int \u2014 number of secret bits to embed\n"
    "    colony_size=30,   # int \u2014 D-ABC colony size (must be even)\n"
    "    max_iter=50,      # int \u2014 D-ABC iteration budget\n"
    "    min_block=4,      # int \u2014 Quadtree minimum block side (pixels)\n"
    ")\n"
    "```\n"
    "\n"
    "# Returns\n"
    "- `stego_img`  : `np.ndarray` \u2014 stego image, same shape/dtype as input.\n"
    "- `elapsed_ms` : `float`      \u2014 wall-clock execution time in milliseconds.\n"
    "- `pool_size`  : `int`        \u2014 size of the Quadtree sparse pool K.\n"
    "\n"
    "# Raises\n"
    "- `ValueError` if the Quadtree pool is smaller than `payload_size`.";

constexpr char kEmbedWithDetailsDoc[] =
    "embed_with_details(image, payload_size, colony_size=30, max_iter=50, min_block=4)\n"
    "--\n"
    "\n"
    "**Full-detail pipeline** \u2014 returns stego image, ABC-selected embedding\n"
    "coordinates, and the actual payload bits for visualisation purposes.\n"
    "\n"
    "# Python Signature\n"
    "```python\n"
    "stego, elapsed_ms, pool_size, coords_y, coords_x, payload = \\\n"
    "    velmora_core.embed_with_details(image, payload_size, colony_size, max_iter, min_block)\n"
    "```\n"
    "- `coords_y`, `coords_x` : `np.ndarray[int64]` \u2014 row / column of each embedded bit.\n"
    "- `payload`              : `np.ndarray[uint8]`  \u2014 the embedded bit sequence (0 or 1).";

constexpr char kGetQuadtreeSparseMapDoc[] =
    "get_quadtree_sparse_map(image, min_block=4)\n"
    "--\n"
    "\n"
    "**Quadtree Sparse Map Inspector** \u2014 exposed for Python-side visualisation.\n"
    "\n"
    "Returns the raw list of (y, x) coordinates that constitute the Quadtree\n"
    "sparse pool, allowing Python code to overlay them on the original image\n"
    "for publication-quality figures.\n"
    "\n"
    "# Python Signature\n"
    "```python\n"
    "coords = velmora_core.get_quadtree_sparse_map(image, min_block=4)\n"
    "# coords: list[tuple[int, int]]\n"
    "```";

constexpr char kDabcSelectCoordsDoc[] =
    "dabc_select_coords(image, pool, payload_size, colony_size, max_iter, seed)\n"
    "--\n"
    "\n"
    "**Deterministic D-ABC Coordinate Selector** \u2014 exposed for product workflows.\n"
    "\n"
    "Accepts a precomputed quadtree pool and returns the D-ABC-optimised\n"
    "coordinates using a deterministic RNG seed for reproducibility.\n"
    "\n"
    "# Python Signature\n"
    "```python\n"
    "coords = velmora_core.dabc_select_coords(\n"
    "    image, pool, payload_size, colony_size, max_iter, seed\n"
    ")\n"
    "```";

constexpr char kModuleDoc[] =
    "**Module Registrar** \u2014 called by the Python import machinery.\n"
    "\n"
    "Registers all public symbols into the `velmora_core` Python module.";

// In the order in which they are added to the module and listed in __all__.
PyMethodDef functions[] = {
    fastcall_method("run_velmora_engine", run_velmora_engine, kRunVelmoraEngineDoc),
    fastcall_method("embed_with_details", embed_with_details, kEmbedWithDetailsDoc),
    fastcall_method("get_quadtree_sparse_map", get_quadtree_sparse_map, kGetQuadtreeSparseMapDoc),
    fastcall_method("dabc_select_coords", dabc_select_coords, kDabcSelectCoordsDoc),
};

FunctionDescription* descriptions[] = {&run_velmora_engine_desc, &embed_with_details_desc,
                                       &get_quadtree_sparse_map_desc, &dabc_select_coords_desc};

ModuleSpec spec("velmora_core", kModuleDoc, functions, descriptions,
                "velmora_core.PySliceContainer");

}  // namespace
}  // namespace velmora::py

PyMODINIT_FUNC PyInit_velmora_core(void) {
  return velmora::py::init_module(velmora::py::spec);
}
