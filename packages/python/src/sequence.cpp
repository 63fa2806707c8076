#include "sequence.hpp"

#include "arguments.hpp"
#include "process_cell.hpp"
#include "py_ref.hpp"
#include "values.hpp"

namespace deziro::binding {

namespace {

ProcessCell abc_sequence_class;

PyObject* abc_sequence() {
  return abc_sequence_class.get([] {
    PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return PyRef();
    return PyRef::steal(PyObject_GetAttrString(module.get(), "Sequence"));
  });
}

void raise_not_a(const char* argument, const char* expected, PyObject* object) {
  std::string got = values::type_name(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, not %s", argument, expected,
               got.c_str());
}

}  // namespace

bool for_each_item(PyObject* sequence, const char* argument,
                   bool (*visit)(PyObject* item, void* context), void* context) {
  if (PyUnicode_Check(sequence)) {
    raise_not_a(argument, "a sequence", sequence);
    return false;
  }
  if (!PySequence_Check(sequence)) {
    PyObject* abc = abc_sequence();
    if (abc == nullptr) return false;
    int is_sequence = PyObject_IsInstance(sequence, abc);
    if (is_sequence < 0) return false;
    if (is_sequence == 0) {
      raise_not_a(argument, "a sequence", sequence);
      return false;
    }
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
  if (!iterator) {
    name_argument_in_error(argument);
    return false;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!visit(item.get(), context)) return false;
  }
  if (PyErr_Occurred()) {
    name_argument_in_error(argument);
    return false;
  }
  return true;
}

std::optional<std::vector<PyObject*>> fixed_tuple(PyObject* object, Py_ssize_t size,
                                                  const char* argument) {
  if (!PyTuple_Check(object)) {
    raise_not_a(argument, "a tuple", object);
    return std::nullopt;
  }
  Py_ssize_t given = PyTuple_Size(object);
  if (given != size) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected a tuple of %zd items, not %zd",
                 argument, size, given);
    return std::nullopt;
  }
  std::vector<PyObject*> items(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i)
    items[static_cast<std::size_t>(i)] = PyTuple_GetItem(object, i);
  return items;
}

std::optional<std::vector<std::string>> path_from_python(PyObject* object, const char* argument) {
  std::vector<std::string> path;
  bool read = for_each_in_sequence(object, argument, [&](PyObject* item) {
    auto name = to_str(item, argument);
    if (!name) return false;
    path.emplace_back(*name);
    return true;
  });
  if (!read) return std::nullopt;
  return path;
}

}  // namespace deziro::binding
