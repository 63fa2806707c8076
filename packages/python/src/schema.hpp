// NativeSchema: a schema declared from Python tuples, ready for open; and
// the other direction, the nested dicts that show a declared schema.
#pragma once

#include "python.hpp"
#include "schema/declared.hpp"

namespace deziro::binding::schema {

// The class NativeSchema (borrowed), made on first use.
PyObject* native_schema_type();

// The declared schema of a NativeSchema (or subclass) object; null with
// TypeError set for anything else.
const DeclaredSchema* declared_schema_of(PyObject* object);

// The schema as nested dicts: {"version", "collections": [{"name", "key",
// "auto_increment", "fields", "indexes"}]}. New reference or null.
PyObject* stored_schema_to_python(const DeclaredSchema& schema);

// One dict per field: {"name", "type", "optional"[, "default"]}.
PyObject* fields_to_python(const std::vector<DeclaredField>& fields);

// A type dict: the kind's data first, then "kind".
PyObject* field_type_to_python(const DeclaredKind& kind);

}  // namespace deziro::binding::schema
