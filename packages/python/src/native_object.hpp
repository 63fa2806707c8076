// Making and freeing the instances of the module's heap types, whose C++
// state sits behind a pointer in the object.
#pragma once

#include "python.hpp"

namespace deziro::binding {

// A new, zeroed instance of `type` (tracked by the collector when the type
// has GC support); null with the exception set.
inline PyObject* allocate_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

// Frees an instance whose own state is already released, and drops the
// reference each instance of a heap type holds on its type.
inline void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

}  // namespace deziro::binding
