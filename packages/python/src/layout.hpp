// Layout: how the objects of one Python class correspond to the objects of a
// collection or of an embedded object. Each field names the attribute that
// holds the value, the name the file stores it under, and its kind. A Layout
// never changes once made; it holds strong references to its class and to
// nested layouts, so it takes part in garbage collection.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "py_ref.hpp"

namespace deziro::binding {

// The kind of a layout field. The variant numbers are fixed.
struct LayoutKind {
  enum class Variant : std::uint8_t { Bool, Int, Float, Str, Bytes, Key, List, Layout };

  Variant variant = Variant::Bool;
  // List: the element kind.
  std::unique_ptr<LayoutKind> element;
  // Layout: the nested Layout object (an embedded object).
  PyRef layout;
};

struct LayoutField {
  LayoutKind kind;
  // The field's name in the file: the key of the engine's object maps.
  std::string stored_name;
  // The interned attribute name.
  PyRef attribute;
};

// The stored names of a layout with the shapes of nested layouts: plain data,
// readable with the interpreter lock released.
struct LayoutShapeEntry {
  std::string stored_name;
  // The field's embedded layout's shape.
  std::optional<std::vector<LayoutShapeEntry>> nested;
  // For a list (at any depth) of embedded layouts, the element layout's
  // shape, so that such a field can be matched and read as a list of
  // objects instead of being taken for damage.
  std::optional<std::vector<LayoutShapeEntry>> element_nested;
  // The field's kind from the field down through list elements to the first
  // kind that is no list: {List, Int} for ("list", "int"), {Layout} for an
  // embedded layout. The match compares it with the stored kind.
  std::vector<LayoutKind::Variant> kind;
};

struct LayoutData {
  std::vector<LayoutField> fields;
  std::vector<LayoutShapeEntry> shape;
  PyRef cls;
  // Attribute name to the position of the (last) field with that attribute.
  std::unordered_map<std::string, std::uint64_t> attribute_positions;
  // Unique in the process, never reused.
  std::uint64_t layout_id = 0;
  // At least one field, and every field bool, int, float, str or bytes.
  bool flat = false;
};

namespace layout {

// The class Layout (borrowed), made on first use; null with the exception
// set when making it failed.
PyObject* layout_type();

// The data of a Layout object (an instance of Layout or a subclass), or
// null with TypeError set for anything else; a Layout cleared by the garbage
// collector also gives null, with an internal failure set.
const LayoutData* layout_data(PyObject* object);

// One kind as Python writes it: "bool", "int", "float", "str", "bytes",
// "key", ("list", kind) or a Layout. Null with the exception set.
std::optional<LayoutKind> field_kind_from_python(PyObject* object);

}  // namespace layout

}  // namespace deziro::binding
