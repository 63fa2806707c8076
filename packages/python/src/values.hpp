// Python values into engine values and back. Conversions run with the
// interpreter lock held and produce owned results, so that the engine work
// that follows can run without it. Each returns its result, or nothing with
// the Python exception set: a VevaDuzor of the binding's own (its messages
// below), or whatever the interpreter raised while a Python protocol was used
// (attribute access, iteration, encoding, bytes()), passed on unchanged.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "format/object/schema.hpp"
#include "format/object/value.hpp"
#include "layout.hpp"
#include "python.hpp"

namespace deziro::binding::values {

// A value with no kind known: None, bool, int (64-bit), float, str,
// bytes-like, list or tuple (items alike). INVALID_ARGUMENT "{} is beyond a
// 64-bit int" and "DeziRO cannot store {}".
std::optional<Value> value_from_python(PyObject* object);

// A primary key: Int, String or Bytes, else INVALID_ARGUMENT "a primary key
// is an int, a str or bytes, not {}".
std::optional<Value> key_from_python(PyObject* object);

// The bytes of a bytes, bytearray or memoryview object (through bytes()).
std::optional<ByteString> bytes_from_python(PyObject* object);

// A value for a layout field of kind `kind`: an exact int widens for a
// float field; a list field takes any iterable that is not text or
// bytes-like; an embedded layout reads the object's attributes.
std::optional<Value> value_by_layout_kind(const LayoutKind& kind, PyObject* object);

// An object through its layout: instance check, then each field's attribute
// by its kind, keyed by stored names; None attributes are left out.
std::optional<ObjectMap> read_attributes(const LayoutData& layout, PyObject* object);

// A dict of a collection reached by name, with the fields of the collection
// or embedded object when they are known (null otherwise).
std::optional<ObjectMap> record_from_dict(PyObject* object, const std::vector<Field>* fields);

// A value for a field of a collection reached by name; `kind` null when the
// name matches no field.
std::optional<Value> value_by_field_kind(const FieldKind* kind, PyObject* object);

// isinstance(object, cls), else INVALID_ARGUMENT "expected a {}, not {}".
bool expect_type(PyObject* cls, PyObject* object);

// The __name__ of a class, or "object" when it cannot be read.
std::string type_name(PyObject* cls);
// "a " and the type's name ("a int", never "an"), or "a value".
std::string article_type_name(PyTypeObject* type);

// str(object) as UTF-8 for a message (lone surrogates escaped); nothing
// with the exception set.
std::optional<std::string> str_of(PyObject* object);

// Engine values into Python: new reference, or null with the exception set.
PyObject* value_to_python(const Value& value);
// An object map into a dict, keys in the map's (name) order.
PyObject* record_to_dict(const ObjectMap& map);

}  // namespace deziro::binding::values
