// Conversions between Python objects and the engine's types, and the mapping
// of engine failures to Python exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <vector>

#include "core/error.hpp"
#include "core/heap_array.hpp"
#include "core/image_view.hpp"
#include "core/pixel_coord.hpp"
#include "module/python.hpp"
#include "module/refs.hpp"
#include "quadtree/quadtree.hpp"

namespace velmora::py {

// Creates the output-buffer owner type, named `owner_type_name`; false with an
// exception set. Later calls do nothing.
bool init_conversions(const char* owner_type_name);

// A caller's image array, referenced for as long as this object lives.
class ImageArg {
 public:
  const ImageView& view() const { return view_; }
  // Drops the reference (the view must not be used afterwards).
  void release() { array_.reset(); }

 private:
  friend bool convert_image(PyObject* obj, const char* name, ImageArg& out);
  Ref array_;
  ImageView view_;
};

// Each conversion returns false with a Python exception set when the object
// cannot be converted. A TypeError names the parameter ("argument 'NAME': ").
bool convert_image(PyObject* obj, const char* name, ImageArg& out);
bool convert_unsigned(PyObject* obj, const char* name, std::uint64_t& out);
bool convert_pool(PyObject* obj, const char* name, Pool& out);

// Python list of (y, x) tuples of ints.
PyObject* coords_to_list(const Pool& coords);
PyObject* coords_to_list(const QuadtreePool& coords);

// A new writeable NumPy array of `ndim` dimensions with byte strides `strides`
// whose element 0 is at `data` inside `storage` (a malloc block of which the
// call takes ownership in every case, null when the array is empty). No copy
// is made: the array's base object frees the block when the array dies.
PyObject* array_from_storage(void* storage, std::size_t bytes, int type_num, int ndim,
                             const npy_intp* dims, const npy_intp* strides, void* data);

template <class T>
PyObject* array_from_buffer(HeapArray<T>&& storage, int type_num, int ndim, const npy_intp* dims,
                            const npy_intp* strides, T* data) {
  const std::size_t bytes = storage.size() * sizeof(T);
  return array_from_storage(storage.release(), bytes, type_num, ndim, dims, strides, data);
}

// A NumPy 1-D array of `values`, taking the buffer over.
template <class T>
PyObject* vector_to_array(HeapArray<T>&& values, int type_num) {
  const npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  const npy_intp strides[1] = {values.size() == 0 ? 0 : static_cast<npy_intp>(sizeof(T))};
  T* data = values.data();
  return array_from_buffer(std::move(values), type_num, 1, dims, strides, data);
}

// A new tuple of already converted objects, which it takes over; null (with
// the exception of the failed conversion still set) if one of them is null.
PyObject* make_tuple(std::initializer_list<Ref*> items);

// The check that long computations poll: true (with the exception set) when a
// signal handler raised, e.g. KeyboardInterrupt on Ctrl-C.
CancelCheck signal_check();

// Sets the Python exception for a C++ exception caught at the boundary.
void set_exception_from(std::exception_ptr error);

// Runs `body` (which returns a new reference or null with an exception set)
// so that no C++ exception reaches the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_exception_from(std::current_exception());
    return nullptr;
  }
}

}  // namespace velmora::py
