#include "arguments.hpp"

#include <limits>

#include "py_ref.hpp"

namespace deziro::binding {

namespace {

// The type name for "expected ..., not NAME" messages.
PyRef type_name_of(PyObject* value) {
  return PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
}

void raise_wrong_type(const char* argument, const char* expected, PyObject* value) {
  PyRef name = type_name_of(value);
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, not %U", argument, expected,
               name.get());
}

// The object's __index__, named for the argument when it has none.
PyRef as_index(PyObject* value, const char* argument) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) name_argument_in_error(argument);
  return index;
}

}  // namespace

void name_argument_in_error(const char* argument) noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError && type != PyExc_OverflowError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  PyRef text = PyRef::steal(owned_value ? PyObject_Str(owned_value.get()) : nullptr);
  if (!text) {
    // The message could not be read: keep the original exception.
    PyErr_Clear();
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    return;
  }
  PyErr_Format(owned_type.get(), "argument '%s': %U", argument, text.get());
}

std::nullptr_t raise_out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return nullptr;
}

std::optional<std::uint64_t> to_u64(PyObject* value, const char* argument) {
  PyRef index = as_index(value, argument);
  if (!index) return std::nullopt;
  unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    name_argument_in_error(argument);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(result);
}

std::optional<std::uint32_t> to_u32(PyObject* value, const char* argument) {
  PyRef index = as_index(value, argument);
  if (!index) return std::nullopt;
  // Beyond the signed 64-bit range the interpreter's own OverflowError
  // stands as it is.
  long long wide = PyLong_AsLongLong(index.get());
  if (wide == -1 && PyErr_Occurred()) return std::nullopt;
  if (wide < 0 || wide > std::numeric_limits<std::uint32_t>::max()) {
    raise_out_of_range();
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(wide);
}

std::optional<std::int64_t> to_i64(PyObject* value, const char* argument) {
  PyRef index = as_index(value, argument);
  if (!index) return std::nullopt;
  long long result = PyLong_AsLongLong(index.get());
  if (result == -1 && PyErr_Occurred()) {
    name_argument_in_error(argument);
    return std::nullopt;
  }
  return static_cast<std::int64_t>(result);
}

std::optional<double> to_f64(PyObject* value, const char* argument) {
  double result = PyFloat_AsDouble(value);
  if (result == -1.0 && PyErr_Occurred()) {
    name_argument_in_error(argument);
    return std::nullopt;
  }
  return result;
}

std::optional<bool> to_bool(PyObject* value, const char* argument) {
  if (!PyBool_Check(value)) {
    raise_wrong_type(argument, "a bool", value);
    return std::nullopt;
  }
  return value == Py_True;
}

std::optional<std::string_view> to_str(PyObject* value, const char* argument) {
  if (!PyUnicode_Check(value)) {
    raise_wrong_type(argument, "a str", value);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return std::nullopt;
  return std::string_view(text, static_cast<std::size_t>(size));
}

}  // namespace deziro::binding
