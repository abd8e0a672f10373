// Entry points of velmora._native for the baseline embedding methods: a
// cover prepared once (a capsule that owns the engine's Prepared), then its
// costs, change probabilities and stego images for any number of payloads.
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "baselines/baselines.hpp"
#include "module/convert.hpp"
#include "module/entry_points.hpp"

namespace velmora::py {

namespace {

namespace bl = velmora::baselines;

constexpr char kCapsuleName[] = "velmora._native.BaselineCover";

constexpr const char* kPrepareParams[] = {"image", "method"};
constexpr const char* kPreparedParams[] = {"prepared"};
constexpr const char* kAlphaParams[] = {"prepared", "alpha"};
constexpr const char* kSimulateParams[] = {"prepared", "alpha", "seed"};

void destroy_prepared(PyObject* capsule) {
  delete static_cast<bl::Prepared*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

bool convert_method(PyObject* obj, bl::Method& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'method': expected str, got '%s'",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return false;
  const auto method = bl::parse_method(std::string_view(text, static_cast<std::size_t>(size)));
  if (!method) {
    PyErr_Format(PyExc_ValueError, "unknown method %R: choose lsbm, hill, suniward, wow or mipod",
                 obj);
    return false;
  }
  out = *method;
  return true;
}

bl::Prepared* convert_prepared(PyObject* obj) {
  if (!PyCapsule_IsValid(obj, kCapsuleName)) {
    PyErr_Format(PyExc_TypeError,
                 "argument 'prepared': expected a cover from baseline_prepare, got '%s'",
                 Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  return static_cast<bl::Prepared*>(PyCapsule_GetPointer(obj, kCapsuleName));
}

// alpha: a real number in [0, the method's largest payload].
bool convert_alpha(PyObject* obj, const bl::Prepared& prepared, double& out) {
  if (PyBool_Check(obj) || !PyNumber_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'alpha': expected a real number, got '%s'",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  out = PyFloat_AsDouble(obj);
  if (out == -1.0 && PyErr_Occurred()) return false;
  const double top = bl::max_alpha(prepared.method);
  if (!(out >= 0 && out <= top)) {
    const char* range = prepared.method == bl::Method::lsbm
                            ? "1 (LSB matching carries at most one bit per pixel)"
                            : "log2(3) = 1.585 (the entropy of a ternary change)";
    PyErr_Format(PyExc_ValueError, "alpha must be between 0 and %s bits per pixel, got %R", range,
                 obj);
    return false;
  }
  return true;
}

template <class T>
PyObject* plane_to_array(const std::vector<T>& values, const bl::Prepared& p, int type_num) {
  HeapArray<T> storage(values.size());
  if (!values.empty()) std::memcpy(storage.data(), values.data(), values.size() * sizeof(T));
  const npy_intp dims[2] = {static_cast<npy_intp>(p.rows), static_cast<npy_intp>(p.cols)};
  const npy_intp strides[2] = {static_cast<npy_intp>(p.cols * sizeof(T)),
                               static_cast<npy_intp>(sizeof(T))};
  T* data = storage.data();
  return array_from_buffer(std::move(storage), type_num, 2, dims, strides, data);
}

// (plus, minus) as a tuple of two new arrays.
template <class T>
PyObject* pair_to_tuple(const std::vector<T>& plus, const std::vector<T>& minus,
                        const bl::Prepared& p, int type_num) {
  Ref a = Ref::steal(plane_to_array(plus, p, type_num));
  Ref b = Ref::steal(plane_to_array(minus, p, type_num));
  return make_tuple({&a, &b});
}

PyObject* unreachable(const bl::Prepared& p, double alpha) {
  // PyErr_Format has no conversion for floating-point numbers: the message
  // is formatted here, with the shortest text that reads back as alpha.
  const std::string name(bl::method_name(p.method));
  char number[32];
  const auto written = std::to_chars(number, number + sizeof number, alpha);
  const std::string message = name + " cannot carry " + std::string(number, written.ptr) +
                              " bits per pixel in this " + std::to_string(p.rows) + "x" +
                              std::to_string(p.cols) +
                              " cover: no change rates its search reaches give that much entropy";
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

PyObject* prepare(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[2];
  if (!bind_arguments(baseline_prepare_desc, args, nargs, kwnames, slots)) return nullptr;
  ImageArg image;
  if (!convert_image(slots[0], "image", image)) return nullptr;
  bl::Method method;
  if (!convert_method(slots[1], method)) return nullptr;
  if (image.view().empty()) {
    PyErr_SetString(PyExc_ValueError, "the cover is empty (0 rows or columns)");
    return nullptr;
  }
  auto prepared = std::make_unique<bl::Prepared>(bl::prepare(image.view(), method, signal_check()));
  image.release();
  PyObject* capsule = PyCapsule_New(prepared.get(), kCapsuleName, destroy_prepared);
  if (capsule != nullptr) prepared.release();
  return capsule;
}

PyObject* costs(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  if (!bind_arguments(baseline_costs_desc, args, nargs, kwnames, slots)) return nullptr;
  const bl::Prepared* p = convert_prepared(slots[0]);
  if (p == nullptr) return nullptr;
  if (!p->plus32.empty()) return pair_to_tuple(p->plus32, p->minus32, *p, NPY_FLOAT32);
  if (!p->minus.empty()) return pair_to_tuple(p->plus, p->minus, *p, NPY_FLOAT64);
  if (!p->plus.empty()) {
    Ref a = Ref::steal(plane_to_array(p->plus, *p, NPY_FLOAT64));
    return make_tuple({&a});
  }
  return PyTuple_New(0);
}

PyObject* probabilities(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[2];
  if (!bind_arguments(baseline_probabilities_desc, args, nargs, kwnames, slots)) return nullptr;
  bl::Prepared* p = convert_prepared(slots[0]);
  if (p == nullptr) return nullptr;
  double alpha;
  if (!convert_alpha(slots[1], *p, alpha)) return nullptr;
  const bl::Probabilities result = bl::change_probabilities(*p, alpha, signal_check());
  if (!result.reached) return unreachable(*p, alpha);
  if (!result.plus32.empty()) return pair_to_tuple(result.plus32, result.minus32, *p, NPY_FLOAT32);
  return pair_to_tuple(result.plus, result.minus, *p, NPY_FLOAT64);
}

PyObject* simulate(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[3];
  if (!bind_arguments(baseline_simulate_desc, args, nargs, kwnames, slots)) return nullptr;
  bl::Prepared* p = convert_prepared(slots[0]);
  if (p == nullptr) return nullptr;
  double alpha;
  if (!convert_alpha(slots[1], *p, alpha)) return nullptr;
  std::uint64_t seed;
  if (!convert_unsigned(slots[2], "seed", seed)) return nullptr;
  if (p->method == bl::Method::mipod && seed > 0xffffffffULL) {
    PyErr_Format(PyExc_ValueError,
                 "MiPOD draws with numpy.random.RandomState, whose seeds are below 2**32; got %R",
                 slots[2]);
    return nullptr;
  }
  const std::vector<std::uint8_t> stego = bl::simulate(*p, alpha, seed, signal_check());
  if (stego.empty()) return unreachable(*p, alpha);
  return plane_to_array(stego, *p, NPY_UINT8);
}

}  // namespace

FunctionDescription baseline_prepare_desc{"baseline_prepare", kPrepareParams, 2, 2};
FunctionDescription baseline_costs_desc{"baseline_costs", kPreparedParams, 1, 1};
FunctionDescription baseline_probabilities_desc{"baseline_probabilities", kAlphaParams, 2, 2};
FunctionDescription baseline_simulate_desc{"baseline_simulate", kSimulateParams, 3, 3};

PyObject* baseline_prepare(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return prepare(args, nargs, kwnames); });
}
PyObject* baseline_costs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return costs(args, nargs, kwnames); });
}
PyObject* baseline_probabilities(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&] { return probabilities(args, nargs, kwnames); });
}
PyObject* baseline_simulate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return simulate(args, nargs, kwnames); });
}

}  // namespace velmora::py
