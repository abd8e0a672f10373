#include "module/entry_points.hpp"

#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>

#include "dabc/colony.hpp"
#include "dabc/food_source.hpp"
#include "module/convert.hpp"
#include "pipeline/pipeline.hpp"
#include "quadtree/quadtree.hpp"
#include "random/random_source.hpp"

namespace velmora::py {

namespace {

constexpr const char* kPipelineParams[] = {"image", "payload_size", "colony_size", "max_iter",
                                           "min_block"};
constexpr const char* kSeededPipelineParams[] = {"image",       "payload_size", "seed",
                                                 "colony_size", "max_iter",     "min_block"};
constexpr const char* kQuadtreeParams[] = {"image", "min_block"};
constexpr const char* kSelectorParams[] = {"image",       "pool",     "payload_size",
                                           "colony_size", "max_iter", "seed"};

constexpr std::uint64_t kDefaultColonySize = 30;
constexpr std::uint64_t kDefaultMaxIter = 50;
constexpr std::uint64_t kDefaultMinBlock = 4;

// The converted arguments of the embedding pipelines.
struct PipelineArgs {
  ImageArg image;
  std::uint64_t payload_size = 0;
  std::uint64_t colony_size = kDefaultColonySize;
  std::uint64_t max_iter = kDefaultMaxIter;
  std::uint64_t min_block = kDefaultMinBlock;
  std::optional<std::uint64_t> seed;  // the caller's seed, in place of fresh entropy
};

// Binds and converts in declaration order; an absent optional argument keeps
// its default without any conversion. `seeded` selects the parameter list
// with a required `seed` after `payload_size`.
bool parse_pipeline_args(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, bool seeded, PipelineArgs& out) {
  PyObject* slots[6];
  if (!bind_arguments(desc, args, nargs, kwnames, slots)) return false;
  if (!convert_image(slots[0], "image", out.image)) return false;
  if (!convert_unsigned(slots[1], "payload_size", out.payload_size)) return false;
  PyObject* const* optional = slots + 2;
  if (seeded) {
    std::uint64_t seed;
    if (!convert_unsigned(slots[2], "seed", seed)) return false;
    out.seed = seed;
    ++optional;
  }
  if (optional[0] != nullptr && !convert_unsigned(optional[0], "colony_size", out.colony_size)) {
    return false;
  }
  if (optional[1] != nullptr && !convert_unsigned(optional[1], "max_iter", out.max_iter)) {
    return false;
  }
  if (optional[2] != nullptr && !convert_unsigned(optional[2], "min_block", out.min_block)) {
    return false;
  }
  return true;
}

timespec monotonic_now() {
  timespec t{};
  if (clock_gettime(CLOCK_MONOTONIC, &t) != 0) {
    throw InternalError(std::string("clock_gettime failed: ") + std::strerror(errno));
  }
  return t;
}

// Milliseconds from start to end as (s + ns / 1e9) * 1000 in double precision,
// never negative.
double elapsed_ms(const timespec& start, const timespec& end = monotonic_now()) {
  std::int64_t s = static_cast<std::int64_t>(end.tv_sec) - start.tv_sec;
  std::int64_t ns = static_cast<std::int64_t>(end.tv_nsec) - start.tv_nsec;
  if (ns < 0) {
    ns += 1000000000;
    s -= 1;
  }
  if (s < 0) return 0.0;
  return (static_cast<double>(s) + static_cast<double>(ns) / 1000000000.0) * 1000.0;
}

PyObject* stego_to_array(StegoImage&& stego) {
  const npy_intp dims[2] = {static_cast<npy_intp>(stego.rows), static_cast<npy_intp>(stego.cols)};
  const npy_intp strides[2] = {stego.row_stride, stego.col_stride};
  std::uint8_t* origin =
      stego.buffer.data() == nullptr ? nullptr : stego.buffer.data() + stego.origin;
  return array_from_buffer(std::move(stego.buffer), NPY_UINT8, 2, dims, strides, origin);
}

// The embedding pipelines: same phases and draws, `details` adds the
// coordinates and the payload bits to the result. The generator comes from
// fresh entropy, or from the caller's seed when the parameters have one.
PyObject* embed(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, bool details, bool seeded) {
  PipelineArgs a;
  if (!parse_pipeline_args(desc, args, nargs, kwnames, seeded, a)) return nullptr;
  const timespec start = monotonic_now();
  const ImageView& view = a.image.view();
  // Seeded before any image work: an entropy failure ends every call.
  RandomSource rng = a.seed ? RandomSource::from_seed(*a.seed) : RandomSource::from_entropy();
  PipelineResult r = run_pipeline(view, a.payload_size, a.colony_size, a.max_iter, a.min_block, rng,
                                  signal_check());
  if (!r.embedded) {
    const std::string k = std::to_string(r.pool_size), p = std::to_string(a.payload_size);
    const std::string message =
        details ? "Quadtree pool (" + k + ") <= payload_size (" + p + ")."
                : "Quadtree sparse pool (" + k + " pixels) is \u2264 payload_size (" + p +
                      " bits). Try a more textured image or reduce payload_size.";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
  }
  const double ms = elapsed_ms(start);

  Ref stego = Ref::steal(stego_to_array(std::move(r.stego)));
  if (!stego) return nullptr;
  Ref rows, cols, payload;
  if (details) {
    const std::size_t n = r.coords.size();
    HeapArray<std::int64_t> ys(n), xs(n);
    for (std::size_t i = 0; i < n; ++i) {
      ys[i] = static_cast<std::int64_t>(r.coords[i].y);
      xs[i] = static_cast<std::int64_t>(r.coords[i].x);
    }
    rows = Ref::steal(vector_to_array(std::move(ys), NPY_INT64));
    if (!rows) return nullptr;
    cols = Ref::steal(vector_to_array(std::move(xs), NPY_INT64));
    if (!cols) return nullptr;
    payload = Ref::steal(vector_to_array(std::move(r.payload), NPY_UINT8));
    if (!payload) return nullptr;
  }
  const std::size_t pool_len = r.pool_size;
  r = PipelineResult();
  a.image.release();
  Ref elapsed = Ref::steal(PyFloat_FromDouble(ms));
  Ref pool_size = Ref::steal(PyLong_FromUnsignedLongLong(pool_len));
  if (details) return make_tuple({&stego, &elapsed, &pool_size, &rows, &cols, &payload});
  return make_tuple({&stego, &elapsed, &pool_size});
}

// Where the time of a call went, in milliseconds, for the instrumented
// variants; null for the ordinary calls.
struct CallTimes {
  double conversion = 0.0;  // converting the caller's pool
  double engine = 0.0;      // the quadtree or the colony search
  double output = 0.0;      // building the result list
};

// The clock, read only by the instrumented variants: the inspector and the
// selector themselves read none.
timespec read_clock(const CallTimes* times) {
  return times != nullptr ? monotonic_now() : timespec{};
}

PyObject* with_times(PyObject* result, std::initializer_list<double> times) {
  Ref list = Ref::steal(result);
  if (!list) return nullptr;
  Ref items[4];
  std::size_t n = 0;
  for (double t : times)
    items[n++] = Ref::steal(PyFloat_FromDouble(t));
  if (n == 2) return make_tuple({&list, &items[0], &items[1]});
  return make_tuple({&list, &items[0], &items[1], &items[2]});
}

// The arguments (image, min_block=4) of the quadtree's entry points.
bool parse_quadtree_args(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, ImageArg& image, std::uint64_t& min_block) {
  PyObject* slots[2];
  if (!bind_arguments(desc, args, nargs, kwnames, slots)) return false;
  if (!convert_image(slots[0], "image", image)) return false;
  min_block = kDefaultMinBlock;
  return slots[1] == nullptr || convert_unsigned(slots[1], "min_block", min_block);
}

// get_quadtree_sparse_map, and pool_size when `count_only`.
PyObject* sparse_map(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, bool count_only, CallTimes* times) {
  ImageArg image;
  std::uint64_t min_block;
  if (!parse_quadtree_args(desc, args, nargs, kwnames, image, min_block)) return nullptr;
  const timespec start = read_clock(times);
  const QuadtreePool pool = adaptive_quadtree(image.view(), min_block, signal_check());
  image.release();
  if (count_only) return PyLong_FromUnsignedLongLong(pool.size());
  const timespec built = read_clock(times);
  PyObject* list = coords_to_list(pool);
  if (times != nullptr) {
    times->engine = elapsed_ms(start, built);
    times->output = elapsed_ms(built);
  }
  return list;
}

// The pool as two int64 arrays and its score table.
PyObject* scored_pool(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ImageArg image;
  std::uint64_t min_block;
  if (!parse_quadtree_args(pool_scores_desc, args, nargs, kwnames, image, min_block))
    return nullptr;
  const CancelCheck cancel = signal_check();
  const QuadtreePool pool = adaptive_quadtree(image.view(), min_block, cancel);
  const std::vector<double> table = score_table(pool, image.view(), cancel);
  image.release();
  const std::size_t n = pool.size();
  HeapArray<std::int64_t> ys(n), xs(n);
  HeapArray<double> scores(n);
  std::size_t i = 0;
  pool.for_each([&](const PixelCoord& c) {
    ys[i] = static_cast<std::int64_t>(c.y);
    xs[i] = static_cast<std::int64_t>(c.x);
    scores[i] = table[i];
    ++i;
  });
  Ref rows = Ref::steal(vector_to_array(std::move(ys), NPY_INT64));
  if (!rows) return nullptr;
  Ref cols = Ref::steal(vector_to_array(std::move(xs), NPY_INT64));
  if (!cols) return nullptr;
  Ref values = Ref::steal(vector_to_array(std::move(scores), NPY_FLOAT64));
  if (!values) return nullptr;
  return make_tuple({&rows, &cols, &values});
}

PyObject* select_coords(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, CallTimes* times) {
  PyObject* slots[6];
  if (!bind_arguments(desc, args, nargs, kwnames, slots)) return nullptr;
  ImageArg image;
  if (!convert_image(slots[0], "image", image)) return nullptr;
  Pool pool;
  const timespec start = read_clock(times);
  if (!convert_pool(slots[1], "pool", pool)) return nullptr;
  const timespec converted = read_clock(times);
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
  const timespec searching = read_clock(times);
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
  const timespec searched = read_clock(times);
  PyObject* list = coords_to_list(coords);
  if (times != nullptr) {
    times->conversion = elapsed_ms(start, converted);
    times->engine = elapsed_ms(searching, searched);
    times->output = elapsed_ms(searched);
  }
  return list;
}

}  // namespace

FunctionDescription run_velmora_engine_desc{"run_velmora_engine", kPipelineParams, 5, 2};
FunctionDescription embed_with_details_desc{"embed_with_details", kPipelineParams, 5, 2};
FunctionDescription get_quadtree_sparse_map_desc{"get_quadtree_sparse_map", kQuadtreeParams, 2, 1};
FunctionDescription dabc_select_coords_desc{"dabc_select_coords", kSelectorParams, 6, 6};
FunctionDescription embed_seeded_desc{"embed_seeded", kSeededPipelineParams, 6, 3};
FunctionDescription pool_size_desc{"pool_size", kQuadtreeParams, 2, 1};
FunctionDescription timed_sparse_map_desc{"timed_sparse_map", kQuadtreeParams, 2, 1};
FunctionDescription pool_scores_desc{"pool_scores", kQuadtreeParams, 2, 1};
FunctionDescription timed_select_coords_desc{"timed_select_coords", kSelectorParams, 6, 6};

PyObject* run_velmora_engine(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded(
      [&] { return embed(run_velmora_engine_desc, args, nargs, kwnames, false, false); });
}

PyObject* embed_with_details(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&] { return embed(embed_with_details_desc, args, nargs, kwnames, true, false); });
}

PyObject* get_quadtree_sparse_map(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guarded([&] {
    return sparse_map(get_quadtree_sparse_map_desc, args, nargs, kwnames, false, nullptr);
  });
}

PyObject* dabc_select_coords(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded(
      [&] { return select_coords(dabc_select_coords_desc, args, nargs, kwnames, nullptr); });
}

PyObject* embed_seeded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return embed(embed_seeded_desc, args, nargs, kwnames, true, true); });
}

PyObject* pool_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return sparse_map(pool_size_desc, args, nargs, kwnames, true, nullptr); });
}

PyObject* pool_scores(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return scored_pool(args, nargs, kwnames); });
}

PyObject* timed_sparse_map(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    CallTimes t;
    PyObject* list = sparse_map(timed_sparse_map_desc, args, nargs, kwnames, false, &t);
    return with_times(list, {t.engine, t.output});
  });
}

PyObject* timed_select_coords(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&] {
    CallTimes t;
    PyObject* list = select_coords(timed_select_coords_desc, args, nargs, kwnames, &t);
    return with_times(list, {t.conversion, t.engine, t.output});
  });
}

}  // namespace velmora::py
