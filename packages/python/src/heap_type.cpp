#include "heap_type.hpp"

namespace deziro::binding {

PyRef make_heap_type(PyType_Spec& spec, PyObject* bases) {
  return PyRef::steal(PyType_FromSpecWithBases(&spec, bases));
}

PyObject* class_object(ProcessCell& cell, PyType_Spec& spec, PyObject* bases) {
  return cell.get([&] { return make_heap_type(spec, bases); });
}

}  // namespace deziro::binding
