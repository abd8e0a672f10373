// The one translation unit that defines the pointer to NumPy's C API table.
#define VELMORA_IMPORT_NUMPY
#include "module/registration.hpp"

#include "module/convert.hpp"
#include "module/refs.hpp"

namespace velmora::py {

namespace {

// Adds one function: binds it to the module, appends its __name__ to
// __all__ (creating the list if needed) and sets the attribute.
bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  Ref func = Ref::steal(PyCMethod_New(def, module, module_name, nullptr));
  if (!func) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(func.get(), "__name__"));
  if (!name) return false;
  Ref all;
  if (PyObject_HasAttrString(module, "__all__")) {
    all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  } else {
    all = Ref::steal(PyList_New(0));
    if (all && PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!all) return false;
  if (!PyList_Check(all.get())) {
    PyErr_Format(PyExc_TypeError, "%s.__all__ is not a list", PyModule_GetName(module));
    return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), func.get()) == 0;
}

PyObject* create_module(ModuleSpec& spec) {
  if (_import_array() < 0) return nullptr;
  if (!init_conversions(spec.owner_type_name)) return nullptr;
  for (std::size_t i = 0; i < spec.function_count; ++i) {
    if (!intern_names(*spec.descriptions[i])) return nullptr;
  }
  Ref module = Ref::steal(PyModule_Create2(&spec.definition, 1013));
  if (!module) return nullptr;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (std::size_t i = 0; i < spec.function_count; ++i) {
    if (!add_function(module.get(), module_name.get(), &spec.functions[i])) return nullptr;
  }
  return module.release();
}

}  // namespace

PyObject* init_module(ModuleSpec& spec) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  std::int64_t expected = -1;
  if (!spec.owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_Format(PyExc_ImportError,
                 "%s does not support sub-interpreters: it is already loaded by another "
                 "interpreter of this process",
                 spec.definition.m_name);
    return nullptr;
  }
  if (spec.module_object == nullptr) {
    spec.module_object = create_module(spec);
    if (spec.module_object == nullptr) return nullptr;
  }
  Py_INCREF(spec.module_object);
  return spec.module_object;
}

}  // namespace velmora::py
