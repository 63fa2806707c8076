// Classes of the module, made as heap types from specs and kept once per
// process. A spec's name is the qualified name with its module, such as
// "deziro._native.Param", which gives the class its __module__. A class
// that Python may not call sets Py_TPFLAGS_DISALLOW_INSTANTIATION, and
// calling it raises TypeError. A heap type's tp_dealloc must release the
// reference that each instance holds on its type (Py_DECREF(Py_TYPE(self))).
#pragma once

#include "process_cell.hpp"
#include "py_ref.hpp"

namespace deziro::binding {

// A new class from `spec`, derived from `bases` (a class, a tuple of
// classes, or null for object). Empty with the exception set on failure.
PyRef make_heap_type(PyType_Spec& spec, PyObject* bases = nullptr);

// The class of `spec`, made on first use and then taken from `cell`
// (borrowed); null with the exception set when making it failed.
PyObject* class_object(ProcessCell& cell, PyType_Spec& spec, PyObject* bases = nullptr);

}  // namespace deziro::binding
