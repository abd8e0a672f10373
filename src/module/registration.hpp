// Creation of a single-phase extension module from a table of fast-call
// functions: the owner-interpreter check, NumPy's C API, the output-buffer
// owner type, interned parameter names, and __all__ in table order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "module/binding.hpp"
#include "module/python.hpp"

namespace velmora::py {

// A function in the calling convention of METH_FASTCALL | METH_KEYWORDS.
using FastCall = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

// The function record of `fn`, whose docstring `doc` starts with its text signature.
inline PyMethodDef fastcall_method(const char* name, FastCall fn, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

struct ModuleSpec {
  PyModuleDef* definition;             // no method table: functions are added afterwards
  PyMethodDef* functions;              // in the order of __all__
  FunctionDescription** descriptions;  // argument binding, one per function
  std::size_t function_count;
  const char* owner_type_name;  // name of the type of returned arrays' base objects
  // Process-wide state of this module: the interpreter that imported it first
  // (-1 before that) and the module object, kept for the rest of the process.
  std::atomic<std::int64_t>* owner_interpreter;
  PyObject** module_object;
};

// The body of a PyInit_ hook: a new reference to the module (created at the
// first import, the same object afterwards), or null with ImportError when an
// interpreter other than the first one imports it.
PyObject* init_module(ModuleSpec& spec);

}  // namespace velmora::py
