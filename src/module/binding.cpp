#include "module/binding.hpp"

#include <string>

#include "module/refs.hpp"

namespace velmora::py {

bool intern_names(FunctionDescription& desc) {
  for (std::size_t i = 0; i < desc.param_count; ++i) {
    if (desc.interned[i] != nullptr) continue;
    desc.interned[i] = PyUnicode_InternFromString(desc.params[i]);
    if (desc.interned[i] == nullptr) return false;
  }
  return true;
}

namespace {

// Position of the parameter called `key`, or param_count. Keyword names are
// usually the interned strings themselves; otherwise the text is compared.
std::size_t find_param(const FunctionDescription& desc, PyObject* key) {
  for (std::size_t i = 0; i < desc.param_count; ++i) {
    if (key == desc.interned[i]) return i;
  }
  for (std::size_t i = 0; i < desc.param_count; ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, desc.params[i]) == 0) {
      return i;
    }
  }
  return desc.param_count;
}

void too_many_positional(const FunctionDescription& desc, Py_ssize_t given) {
  const auto total = static_cast<Py_ssize_t>(desc.param_count);
  const auto required = static_cast<Py_ssize_t>(desc.required);
  if (required < total) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zd to %zd positional arguments but %zd %s given", desc.name,
                 required, total, given, given == 1 ? "was" : "were");
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                 desc.name, total, total == 1 ? "" : "s", given, given == 1 ? "was" : "were");
  }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of names.
void missing_arguments(const FunctionDescription& desc, PyObject* const* slots) {
  std::string names;
  std::size_t missing = 0, listed = 0;
  for (std::size_t i = 0; i < desc.required; ++i)
    missing += slots[i] == nullptr;
  for (std::size_t i = 0; i < desc.required; ++i) {
    if (slots[i] != nullptr) continue;
    if (listed > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += listed + 1 == missing ? ", and " : ", ";
      }
    }
    names += '\'';
    names += desc.params[i];
    names += '\'';
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", desc.name,
               missing, missing == 1 ? "" : "s", names.c_str());
}

}  // namespace

bool bind_arguments(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
  for (std::size_t i = 0; i < desc.param_count; ++i)
    slots[i] = nullptr;
  if (nargs > static_cast<Py_ssize_t>(desc.param_count)) {
    too_many_positional(desc, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i)
    slots[i] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const std::size_t i = find_param(desc, key);
    if (i == desc.param_count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", desc.name, key);
      return false;
    }
    if (slots[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", desc.name,
                   desc.params[i]);
      return false;
    }
    slots[i] = args[nargs + k];
  }

  for (std::size_t i = 0; i < desc.required; ++i) {
    if (slots[i] == nullptr) {
      missing_arguments(desc, slots);
      return false;
    }
  }
  return true;
}

}  // namespace velmora::py
