#include "errors.hpp"

#include "process_cell.hpp"
#include "py_ref.hpp"

namespace deziro::binding {

namespace {

// Filled on the first raise, not at import: importing deziro._errors is the
// package's business, and a failed import is retried by the next raise.
ProcessCell veva_duzor_class;
ProcessCell internal_failure_class;

PyRef look_up_veva_duzor() {
  PyRef module = PyRef::steal(PyImport_ImportModule("deziro._errors"));
  if (!module) return {};
  PyRef found = PyRef::steal(PyObject_GetAttrString(module.get(), "VevaDuzor"));
  if (!found) return {};
  if (!PyType_Check(found.get())) {
    PyErr_SetString(PyExc_TypeError, "`deziro._errors.VevaDuzor` is not a class");
    return {};
  }
  return found;
}

std::nullptr_t raise_veva_duzor(std::string_view code, std::string_view message) {
  PyObject* exception_class = veva_duzor_class.get(look_up_veva_duzor);
  if (exception_class == nullptr) return nullptr;
  // Checked on every raise: a class that is no exception stays in the cell,
  // and every raise reports it.
  if (!PyExceptionClass_Check(exception_class)) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return nullptr;
  }
  PyRef code_str = PyRef::steal(text_to_str(code));
  if (!code_str) return nullptr;
  PyRef message_str = PyRef::steal(text_to_str(message));
  if (!message_str) return nullptr;
  PyRef arguments = PyRef::steal(PyTuple_Pack(2, code_str.get(), message_str.get()));
  if (!arguments) return nullptr;
  // The interpreter calls VevaDuzor(code, message) when it needs the object.
  PyErr_SetObject(exception_class, arguments.get());
  return nullptr;
}

}  // namespace

PyObject* text_to_str(std::string_view text) noexcept {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

std::nullptr_t raise_engine_error(const Error& error) {
  return raise_veva_duzor(error.code_name(), error.to_string());
}

std::nullptr_t new_dazi_error(ErrorKind code, std::string_view message) {
  return raise_veva_duzor(error_code_name(code), message);
}

PyObject* internal_failure_type() {
  return internal_failure_class.get([] {
    return PyRef::steal(PyErr_NewExceptionWithDoc(
        "deziro._native.InternalFailure",
        "A broken invariant inside DeziRO, which is a bug; the call was abandoned.",
        PyExc_BaseException, nullptr));
  });
}

std::nullptr_t raise_internal_failure(std::string_view message) noexcept {
  PyObject* type = internal_failure_type();
  if (type == nullptr) return nullptr;
  PyRef text = PyRef::steal(text_to_str(message));
  if (!text) return nullptr;
  PyErr_SetObject(type, text.get());
  return nullptr;
}

}  // namespace deziro::binding
