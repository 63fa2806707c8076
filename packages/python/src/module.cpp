#include "module.hpp"

#include <cstdint>

#include "call_frame.hpp"
#include "errors.hpp"
#include "layout.hpp"
#include "native_database.hpp"
#include "query.hpp"
#include "salvage.hpp"
#include "schema.hpp"
#include "text_format.hpp"
#include "transaction.hpp"

namespace deziro::binding {

namespace {

PyObject* engine_version(PyObject*, PyObject*) {
  return guarded([] { return PyUnicode_FromString(DEZIRO_ENGINE_VERSION); });
}

PyMethodDef engine_version_definition = {
    "engine_version", engine_version, METH_NOARGS,
    "engine_version()\n--\n\nThe version of the engine inside the package."};

// The module's names, in the order __all__ lists them. Each later name has
// its slot here: add it at its place.
//   - A function: a static PyMethodDef whose docstring starts with its text
//     signature ("name(args)\n--\n\nSummary."), its body run inside
//     guarded(), and names.add_function(definition).
//   - A class: a PyType_Spec named "deziro._native.Name" whose Py_tp_doc
//     starts with "Name(args)\n--\n\n" when Python may call it, and has
//     Py_TPFLAGS_DISALLOW_INSTANTIATION when it may not; a function that
//     returns class_object(cell, spec); and names.add_class(that()).
void add_module_names(ModuleNames& names) {
  names.add_function(engine_version_definition);            //  1 engine_version
  names.add_int("FORMAT_VERSION", kNewestFormatVersion);    //  2 FORMAT_VERSION
  names.add_class(layout::layout_type());                   //  3 Layout
  names.add_class(schema::native_schema_type());            //  4 NativeSchema
  names.add_class(query::param_type());                     //  5 Param
  names.add_class(query::native_query_type());              //  6 NativeQuery
  names.add_function(query::compile_query_definition());    //  7 compile_query
  names.add_function(query::parse_query_definition());      //  8 parse_query
  names.add_class(database::native_database_type());        //  9 NativeDatabase
  names.add_function(database::open_definition());          // 10 open
  names.add_function(salvage::salvage_definition());        // 11 salvage
  names.add_class(transaction::native_transaction_type());  // 12 NativeTransaction
}

// The id of the interpreter the module serves: the first one whose exec step
// succeeded, or -1 until then. The classes, the exception classes among
// them, are kept once per process and so belong to that interpreter; another
// one would be handed classes of the first, and a failure there would raise
// an exception it cannot catch by its class. Interpreter lock held.
int64_t served_interpreter = -1;

// Whether the module may serve `interpreter`; sets ImportError when not.
bool serves(int64_t interpreter) {
  if (served_interpreter == -1 || served_interpreter == interpreter) return true;
  PyErr_SetString(PyExc_ImportError,
                  "deziro._native is in use in another interpreter of this process, and "
                  "serves one interpreter per process");
  return false;
}

int exec_module(PyObject* module) {
  return guarded_status([&] {
    if (!PyModule_Check(module)) {
      PyErr_SetString(PyExc_TypeError, "the exec step was given something that is not a module");
      return false;
    }
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0 || !serves(interpreter)) return false;
    ModuleNames names(module);
    add_module_names(names);
    if (!names.ok()) return false;
    // Adding the names may have let another interpreter's import in first.
    if (served_interpreter == -1) served_interpreter = interpreter;
    return serves(interpreter);
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_native",     // m_name
    "",            // m_doc
    0,             // m_size: no per-module state
    nullptr,       // m_methods: every function is added by the exec step
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

PyModuleDef& module_definition() { return definition; }

void ModuleNames::add(const char* name, PyRef value) {
  if (!ok_) return;
  if (!value || PyObject_SetAttrString(module_, name, value.get()) < 0) {
    ok_ = false;
    return;
  }
  if (!all_) {
    all_ = PyRef::steal(PyList_New(0));
    if (!all_ || PyObject_SetAttrString(module_, "__all__", all_.get()) < 0) {
      ok_ = false;
      return;
    }
  }
  PyRef name_str = PyRef::steal(PyUnicode_FromString(name));
  if (!name_str || PyList_Append(all_.get(), name_str.get()) < 0) {
    raise_internal_failure(format_text("could not append `{}` to `__all__`", name));
    ok_ = false;
  }
}

void ModuleNames::add_function(PyMethodDef& definition) {
  if (!ok_) return;
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module_));
  if (!module_name) {
    ok_ = false;
    return;
  }
  add(definition.ml_name, PyRef::steal(PyCFunction_NewEx(&definition, module_, module_name.get())));
}

void ModuleNames::add_class(PyObject* cls) {
  if (!ok_) return;
  if (cls == nullptr) {
    ok_ = false;
    return;
  }
  PyRef name = PyRef::steal(PyObject_GetAttrString(cls, "__name__"));
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (text == nullptr) {
    ok_ = false;
    return;
  }
  add(text, PyRef::borrow(cls));
}

void ModuleNames::add_int(const char* name, long long value) {
  add(name, PyRef::steal(PyLong_FromLongLong(value)));
}

}  // namespace deziro::binding
