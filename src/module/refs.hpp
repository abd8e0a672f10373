// Owning handle of a strong reference to a Python object, so that no early
// return can leak one.
#pragma once

#include <utility>

#include "module/python.hpp"

namespace velmora::py {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (null allowed, e.g. a failed call's result).
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) Py_XSETREF(obj_, std::exchange(o.obj_, nullptr));
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  void reset() noexcept { Py_CLEAR(obj_); }

 private:
  explicit Ref(PyObject* o) noexcept : obj_(o) {}
  PyObject* obj_ = nullptr;
};

}  // namespace velmora::py
