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

// One extension module: its definition, its functions, and its process-wide
// state. Lives for the whole process (the interpreter keeps pointers into it).
struct ModuleSpec {
  template <std::size_t N>
  ModuleSpec(const char* name, const char* doc, PyMethodDef (&table)[N],
             FunctionDescription* (&descs)[N], const char* owner_type)
      : functions(table), descriptions(descs), function_count(N), owner_type_name(owner_type) {
    definition.m_name = name;
    definition.m_doc = doc;
  }

  // No per-module state and no method table: the functions are added to the
  // module object after it is created.
  PyModuleDef definition = {
      PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
  PyMethodDef* functions;              // in the order of __all__
  FunctionDescription** descriptions;  // argument binding, one per function
  std::size_t function_count;
  const char* owner_type_name;  // name of the type of returned arrays' base objects
  // The interpreter that imported the module first (-1 before that), and the
  // module object, kept for the rest of the process.
  std::atomic<std::int64_t> owner_interpreter{-1};
  PyObject* module_object = nullptr;
};

// The body of a PyInit_ hook: a new reference to the module (created at the
// first import, the same object afterwards), or null with ImportError when an
// interpreter other than the first one imports it.
PyObject* init_module(ModuleSpec& spec);

}  // namespace velmora::py
