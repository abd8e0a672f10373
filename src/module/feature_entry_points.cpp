// Entry points of velmora._native for steganalysis features.
#include <string>
#include <string_view>

#include "features/features.hpp"
#include "module/convert.hpp"
#include "module/entry_points.hpp"

namespace velmora::py {

namespace {

constexpr const char* kExtractParams[] = {"image", "kind", "beta"};
constexpr const char* kKindParams[] = {"kind"};

// A feature set's name: TypeError (naming the parameter) for anything but a
// str, ValueError for an unknown name.
bool convert_feature_set(PyObject* obj, const char* name, features::FeatureSet& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got '%s'", name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return false;
  const auto set =
      features::parse_feature_set(std::string_view(text, static_cast<std::size_t>(size)));
  if (!set) {
    PyErr_Format(PyExc_ValueError, "unknown feature set %R: choose spam, srmq1, srm or maxsrm",
                 obj);
    return false;
  }
  out = *set;
  return true;
}

// The one argument of the catalogue functions.
bool parse_kind(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, features::FeatureSet& out) {
  PyObject* slots[1];
  if (!bind_arguments(desc, args, nargs, kwnames, slots)) return false;
  return convert_feature_set(slots[0], "kind", out);
}

// The change-probability map of maxsrm: a 2-D array of a real floating
// type with the image's shape, its values in [0, 1]; converted to a
// C-ordered float64 array (a new reference in `out`).
bool convert_map(PyObject* obj, const ImageView& view, Ref& out) {
  if (!PyArray_Check(obj) ||
      !PyTypeNum_ISFLOAT(PyArray_TYPE(reinterpret_cast<PyArrayObject*>(obj))) ||
      PyTypeNum_ISCOMPLEX(PyArray_TYPE(reinterpret_cast<PyArrayObject*>(obj)))) {
    PyErr_Format(PyExc_TypeError,
                 "argument 'beta': expected a numpy.ndarray of a floating dtype, got '%s'",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 2) {
    PyErr_Format(PyExc_ValueError,
                 "argument 'beta': the map must have the image's shape (%zu, %zu), got a %d-D "
                 "array",
                 view.rows(), view.cols(), PyArray_NDIM(array));
    return false;
  }
  if (static_cast<std::size_t>(PyArray_DIM(array, 0)) != view.rows() ||
      static_cast<std::size_t>(PyArray_DIM(array, 1)) != view.cols()) {
    PyErr_Format(PyExc_ValueError,
                 "argument 'beta': the map must have the image's shape (%zu, %zu), got (%zd, %zd)",
                 view.rows(), view.cols(), static_cast<Py_ssize_t>(PyArray_DIM(array, 0)),
                 static_cast<Py_ssize_t>(PyArray_DIM(array, 1)));
    return false;
  }
  out = Ref::steal(
      PyArray_FromArray(array, PyArray_DescrFromType(NPY_FLOAT64),
                        NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST));
  if (!out) return false;
  const auto* values =
      static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
  const std::size_t n = view.rows() * view.cols();
  for (std::size_t i = 0; i < n; ++i) {
    if (!(values[i] >= 0.0 && values[i] <= 1.0)) {
      const Ref value = Ref::steal(PyFloat_FromDouble(values[i]));
      if (!value) return false;
      PyErr_Format(
          PyExc_ValueError,
          "argument 'beta': change probabilities must lie in [0, 1], found %R at (%zu, %zu)",
          value.get(), i / view.cols(), i % view.cols());
      return false;
    }
  }
  return true;
}

PyObject* extract(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[3];
  if (!bind_arguments(extract_features_desc, args, nargs, kwnames, slots)) return nullptr;
  ImageArg image;
  if (!convert_image(slots[0], "image", image)) return nullptr;
  features::FeatureSet set;
  if (!convert_feature_set(slots[1], "kind", set)) return nullptr;
  const ImageView& view = image.view();
  const bool given = slots[2] != nullptr && slots[2] != Py_None;
  if (given != features::needs_map(set)) {
    const std::string name(features::feature_set_name(set));
    if (given) {
      PyErr_Format(PyExc_ValueError, "%s features take no change-probability map (beta)",
                   name.c_str());
    } else {
      PyErr_Format(PyExc_ValueError,
                   "%s features need the image's change probabilities: beta, a float array of "
                   "its shape",
                   name.c_str());
    }
    return nullptr;
  }
  const std::size_t side = features::min_side(set);
  if (view.rows() < side || view.cols() < side) {
    const std::string name(features::feature_set_name(set));
    PyErr_Format(PyExc_ValueError,
                 "%s features need an image of at least %zux%zu pixels, got %zux%zu", name.c_str(),
                 side, side, view.rows(), view.cols());
    return nullptr;
  }
  Ref map;
  if (given && !convert_map(slots[2], view, map)) return nullptr;
  std::span<const double> weights;
  if (map) {
    weights = {
        static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(map.get()))),
        view.rows() * view.cols()};
  }
  HeapArray<double> values(features::dimension(set));
  features::extract(view, set, {values.data(), values.size()}, signal_check(), weights);
  image.release();
  return vector_to_array(std::move(values), NPY_FLOAT64);
}

PyObject* submodel_list(features::FeatureSet set) {
  const auto list = features::submodels(set);
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(list.size())));
  if (!result) return nullptr;
  for (std::size_t i = 0; i < list.size(); ++i) {
    PyObject* item =
        Py_BuildValue("(s#n)", list[i].name.data(), static_cast<Py_ssize_t>(list[i].name.size()),
                      static_cast<Py_ssize_t>(list[i].dimension));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), item);
  }
  return result.release();
}

}  // namespace

FunctionDescription extract_features_desc{"extract_features", kExtractParams, 3, 2};
FunctionDescription feature_submodels_desc{"feature_submodels", kKindParams, 1, 1};
FunctionDescription feature_min_side_desc{"feature_min_side", kKindParams, 1, 1};

PyObject* extract_features(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return extract(args, nargs, kwnames); });
}

PyObject* feature_submodels(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    features::FeatureSet set;
    if (!parse_kind(feature_submodels_desc, args, nargs, kwnames, set)) return nullptr;
    return submodel_list(set);
  });
}

PyObject* feature_min_side(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    features::FeatureSet set;
    if (!parse_kind(feature_min_side_desc, args, nargs, kwnames, set)) return nullptr;
    return PyLong_FromSize_t(features::min_side(set));
  });
}

}  // namespace velmora::py
