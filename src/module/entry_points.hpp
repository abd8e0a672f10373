// The four exported functions, in the calling convention of METH_FASTCALL |
// METH_KEYWORDS, and the descriptions that bind their arguments.
#pragma once

#include "module/binding.hpp"
#include "module/python.hpp"

namespace velmora::py {

extern FunctionDescription run_velmora_engine_desc;
extern FunctionDescription embed_with_details_desc;
extern FunctionDescription get_quadtree_sparse_map_desc;
extern FunctionDescription dabc_select_coords_desc;

PyObject* run_velmora_engine(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* embed_with_details(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* get_quadtree_sparse_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* dabc_select_coords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

}  // namespace velmora::py
