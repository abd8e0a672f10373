// Binding of fast-call arguments (a vector of positional values and a tuple of
// keyword names) to declared parameters, with the interpreter's own wording
// for the errors of functions written in Python.
#pragma once

#include <cstddef>

#include "module/python.hpp"

namespace velmora::py {

constexpr std::size_t kMaxParams = 8;

struct FunctionDescription {
  const char* name;                  // as shown in messages, followed by "()"
  const char* const* params;         // positional-or-keyword parameter names
  std::size_t param_count;           // number of entries in params
  std::size_t required;              // leading parameters without a default
  PyObject* interned[kMaxParams]{};  // interned names, filled by intern_names
};

// Creates the interned parameter names; false with an exception set on failure.
bool intern_names(FunctionDescription& desc);

// Fills slots[0 .. param_count) with borrowed references to the arguments
// (null for an absent optional parameter). Returns false with TypeError set
// when the arguments do not fit the parameters.
bool bind_arguments(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

}  // namespace velmora::py
