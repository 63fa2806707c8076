#include "instances.hpp"

#include <algorithm>

#include "process_cell.hpp"
#include "values.hpp"

namespace deziro::binding::values {

namespace {

ProcessCell object_new_cell;

}  // namespace

PyObject* object_new() {
  return object_new_cell.get([] {
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return PyRef();
    PyRef object = PyRef::steal(PyObject_GetAttrString(builtins.get(), "object"));
    if (!object) return PyRef();
    return PyRef::steal(PyObject_GetAttrString(object.get(), "__new__"));
  });
}

PyObject* new_instance(const LayoutData& layout, const std::vector<PyRef>& slots) {
  PyObject* make = object_new();
  if (make == nullptr) return nullptr;
  PyRef instance = PyRef::steal(PyObject_CallFunctionObjArgs(make, layout.cls.get(), nullptr));
  if (!instance) return nullptr;
  PyRef dict = PyRef::steal(PyObject_GetAttrString(instance.get(), "__dict__"));
  if (!dict) return nullptr;
  if (!PyDict_Check(dict.get())) {
    std::string got = type_name(reinterpret_cast<PyObject*>(Py_TYPE(dict.get())));
    PyErr_Format(PyExc_TypeError, "an instance's __dict__ is a dict, not %s", got.c_str());
    return nullptr;
  }
  const std::size_t count = std::min(layout.fields.size(), slots.size());
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* value = slots[i] ? slots[i].get() : Py_None;
    if (PyObject_SetItem(dict.get(), layout.fields[i].attribute.get(), value) < 0) return nullptr;
  }
  return instance.release();
}

}  // namespace deziro::binding::values
