#include "maintenance.hpp"

#include <string_view>

#include "call_frame.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "native_database.hpp"
#include "py_ref.hpp"

namespace deziro::binding::database {

namespace {

bool dict_set(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef text(std::string_view bytes) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

PyRef optional_text(const std::optional<std::string>& bytes) {
  return bytes ? text(*bytes) : PyRef::borrow(Py_None);
}

PyObject* check(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto held = handles(self);
    if (!held) return nullptr;
    // The snapshot lives and ends inside the engine call.
    auto report = without_gil([&] { return tools::check_commit(held->instance, held->schema); });
    if (!report) return raise_engine_error(report.error());
    PyRef result = PyRef::steal(PyDict_New());
    if (!result ||
        !dict_set(result.get(), "ok", PyRef::borrow(report->ok() ? Py_True : Py_False)) ||
        !dict_set_int(result.get(), "commit_id", report->commit_id) ||
        !dict_set_int(result.get(), "page_count", report->page_count) ||
        !dict_set_int(result.get(), "pages_checked", report->pages_checked) ||
        !dict_set_int(result.get(), "objects_checked", report->objects_checked) ||
        !dict_set_problems(result.get(), report->problems))
      return nullptr;
    return result.release();
  });
}

PyMethodDef methods[] = {
    {"check", check, METH_NOARGS, "check($self)\n--\n\nChecks the published commit completely."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* maintenance_methods() { return methods; }

bool dict_set_int(PyObject* dict, const char* key, std::uint64_t value) {
  return dict_set(dict, key, PyRef::steal(PyLong_FromUnsignedLongLong(value)));
}

bool dict_set_optional_int(PyObject* dict, const char* key, std::optional<std::uint64_t> value) {
  if (!value) return dict_set(dict, key, PyRef::borrow(Py_None));
  return dict_set_int(dict, key, *value);
}

bool dict_set_problems(PyObject* dict, const std::vector<Problem>& problems) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return false;
  for (const Problem& problem : problems) {
    PyRef item = PyRef::steal(PyDict_New());
    if (!item || !dict_set_optional_int(item.get(), "page", problem.page) ||
        !dict_set(item.get(), "tree", optional_text(problem.tree)) ||
        !dict_set(item.get(), "message", text(problem.message)) ||
        PyList_Append(list.get(), item.get()) < 0)
      return false;
  }
  return dict_set(dict, "problems", std::move(list));
}

}  // namespace deziro::binding::database
