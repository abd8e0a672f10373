// Entry points of velmora._native for steganalysis features.
#include <string>
#include <string_view>

#include "features/features.hpp"
#include "module/convert.hpp"
#include "module/entry_points.hpp"

namespace velmora::py {

namespace {

constexpr const char* kExtractParams[] = {"image", "kind"};
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
    PyErr_Format(PyExc_ValueError, "unknown feature set %R: choose spam, srmq1 or srm", obj);
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

PyObject* extract(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[2];
  if (!bind_arguments(extract_features_desc, args, nargs, kwnames, slots)) return nullptr;
  ImageArg image;
  if (!convert_image(slots[0], "image", image)) return nullptr;
  features::FeatureSet set;
  if (!convert_feature_set(slots[1], "kind", set)) return nullptr;
  const ImageView& view = image.view();
  const std::size_t side = features::min_side(set);
  if (view.rows() < side || view.cols() < side) {
    const std::string name(features::feature_set_name(set));
    PyErr_Format(PyExc_ValueError,
                 "%s features need an image of at least %zux%zu pixels, got %zux%zu", name.c_str(),
                 side, side, view.rows(), view.cols());
    return nullptr;
  }
  HeapArray<double> values(features::dimension(set));
  features::extract(view, set, {values.data(), values.size()}, signal_check());
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

FunctionDescription extract_features_desc{"extract_features", kExtractParams, 2, 2};
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
