// Making instances of a layout's class from values read out of a record:
// the class's own __new__ and __init__ are not run; the values go straight
// into the instance's __dict__ under the layout's interned attribute names.
#pragma once

#include <vector>

#include "layout.hpp"
#include "py_ref.hpp"

namespace deziro::binding::values {

// builtins.object.__new__, looked up once per process (borrowed); null with
// the lookup's exception set.
PyObject* object_new();

// An instance of the layout's class whose __dict__ holds, for each layout
// field in order while both remain, its slot's value (None for an empty
// slot). New reference, or null with the exception set: that of
// object.__new__, of reading __dict__ or of a store, or TypeError when
// __dict__ is not a dict.
PyObject* new_instance(const LayoutData& layout, const std::vector<PyRef>& slots);

}  // namespace deziro::binding::values
