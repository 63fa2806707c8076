// The module deziro._native: its definition and the exec step that adds its
// names in their fixed order.
#pragma once

#include <string_view>

#include "py_ref.hpp"

namespace deziro::binding {

// The definition handed to the interpreter by PyInit__native: empty
// docstring, no state, no method table, one Py_mod_exec slot.
PyModuleDef& module_definition();

// Adds names to a module one at a time, in the order the calls are made,
// and lists each in the module's __all__ (created by the first addition).
// After the first failure every later call does nothing and ok() is false,
// with the failure's exception set.
class ModuleNames {
 public:
  explicit ModuleNames(PyObject* module) : module_(module) {}

  // A function bound to the module, under its own __name__. `definition`
  // must outlive the function (a static).
  void add_function(PyMethodDef& definition);
  // A class (borrowed, or null with an exception set when making it
  // failed), under its __name__.
  void add_class(PyObject* cls);
  void add_int(const char* name, long long value);

  bool ok() const { return ok_; }

 private:
  void add(const char* name, PyRef value);

  PyObject* module_;
  PyRef all_;
  bool ok_ = true;
};

}  // namespace deziro::binding
