// An owned reference to a Python object. Created, copied and destroyed only
// with the interpreter lock held.
#pragma once

#include <utility>

#include "python.hpp"

namespace deziro::binding {

class PyRef {
 public:
  PyRef() = default;

  // Takes over a new reference, as returned by most of the C API; a null
  // pointer (a failed call) gives an empty PyRef.
  static PyRef steal(PyObject* object) { return PyRef(object); }

  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef& other) : object_(other.object_) { Py_XINCREF(object_); }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Hands the reference to the caller (to return it to the interpreter).
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace deziro::binding
