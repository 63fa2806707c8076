// The class check: how the fields of an application's class (described by
// a Layout) map onto the fields a collection stores. The mapping is made
// once per (Layout, collection) and kept in the handle's ClassCache, so the
// write and read paths only copy positions and encoded defaults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "format/object/schema.hpp"
#include "schema/resolved_schema.hpp"

namespace deziro {

// One field of a class as its Layout names it: the stored name it stands
// for, when it reads an embedded object the fields of that object's class,
// and the kind it reads the field's values as.
struct ClassField {
  std::string name;
  std::optional<std::vector<ClassField>> nested;
  // For a list (at any depth) whose elements the class reads as embedded
  // objects, the fields of the elements' class.
  std::optional<std::vector<ClassField>> element_nested;
  // The kind the class reads, from the field down through the elements of
  // lists to the first kind that is no list: {List, Int} for a list of ints,
  // {Object} for an embedded object. The class reads values by this kind, so
  // it must be the stored one. Empty: not compared, for a caller that only
  // writes rows, whose values the write checks against the stored kinds.
  std::vector<KindCode> kind;
};

// A Layout as the engine sees it: its process-wide serial number (from 1)
// and its fields in the Layout's order.
struct LayoutShape {
  std::uint64_t serial = 0;
  std::vector<ClassField> fields;
};

// Where one stored field's value sits among the class's values.
struct FieldMapping {
  // The field's default in the record format (tag and body), when it has one.
  std::optional<std::vector<std::uint8_t>> default_bytes;
  std::uint64_t field_id = 0;
  // The class field's position in the class's field list.
  std::uint32_t position = 0;
  bool optional = false;
  // For an embedded object, or for the elements of a list of them, the
  // mapping of its fields.
  std::vector<FieldMapping> nested;
  bool embedded = false;
  bool element_embedded = false;
};

struct ClassMapping {
  // One per stored field, in field-id order.
  std::vector<FieldMapping> fields;
  // The mapping entry of the primary key, and whether the key comes from
  // the collection's counter when absent (top-level mappings only).
  std::size_t key_entry = 0;
  bool auto_increment = false;
  // Every stored field is bool, int, float, str or bytes.
  bool all_plain = true;
};

namespace typed {

// Compares the class's fields with the stored ones; `path` names the stored
// side in messages (the collection's name at the top). Returns the mapping,
// or INVALID_ARGUMENT saying what differs.
Result<ClassMapping> compare_class(std::span<const ClassField> class_fields,
                                   std::span<const Field> stored, const Schema& schema,
                                   std::string_view path);

// The mapping of `layout` for the collection at `position`, from the cache
// or checked and cached; INVALID_ARGUMENT "the class does not match the
// collection `{}` the database holds: {}" when the class does not fit (a
// failed check caches nothing).
Result<std::shared_ptr<const ClassMapping>> class_mapping(const ResolvedSchema& resolved,
                                                          std::size_t position,
                                                          const LayoutShape& layout);

}  // namespace typed
}  // namespace deziro
