// The schema model: the one in-memory description of a database's
// collections. The stored schema decodes into it, a declared schema resolves
// into it, and the typed operations and the planner read it.
//
// Collections, fields and indexes are named by ids handed out from counters
// that the schema carries; everything in the file refers to ids, so a name
// can change without touching stored data.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/object/value.hpp"

namespace deziro {

struct Field;

// The stored kind codes of the stored schema; bool to embedded object.
enum class KindCode : std::uint8_t {
  Bool = 1,
  Int = 2,
  Float = 3,
  Str = 4,
  Bytes = 5,
  Link = 6,
  List = 7,
  Object = 8,
};

// The kind with its article, as messages name it: "an int", "bytes".
std::string_view kind_phrase(KindCode code);

// What values a field holds. A link holds the primary-key value of an object
// of its target collection; a list holds values of its element kind; an
// embedded object is stored inside its parent's record, with field ids of its
// own scope counted by its own next field id.
class FieldKind {
 public:
  static FieldKind boolean() { return FieldKind(KindCode::Bool); }
  static FieldKind integer() { return FieldKind(KindCode::Int); }
  static FieldKind floating() { return FieldKind(KindCode::Float); }
  static FieldKind str() { return FieldKind(KindCode::Str); }
  static FieldKind bytes() { return FieldKind(KindCode::Bytes); }
  static FieldKind link(std::uint64_t target_collection_id);
  static FieldKind list(FieldKind element);
  static FieldKind object(std::vector<Field> fields, std::uint64_t next_field_id);

  // Defined where Field is complete, as the members holding fields need.
  FieldKind(const FieldKind& other);
  FieldKind& operator=(const FieldKind& other);
  FieldKind(FieldKind&& other) noexcept;
  FieldKind& operator=(FieldKind&& other) noexcept;
  ~FieldKind();

  KindCode code() const noexcept { return code_; }
  // Bool, int, float, str or bytes.
  bool is_plain() const noexcept { return code_ <= KindCode::Bytes; }

  // Link only.
  std::uint64_t link_target() const noexcept { return link_target_; }
  // List only.
  const FieldKind& element() const noexcept { return *element_; }
  FieldKind& element() noexcept { return *element_; }
  // Embedded object only.
  const std::vector<Field>& fields() const noexcept { return *fields_; }
  std::vector<Field>& fields() noexcept { return *fields_; }
  std::uint64_t next_field_id() const noexcept { return next_field_id_; }
  void set_next_field_id(std::uint64_t id) noexcept { next_field_id_ = id; }

  bool operator==(const FieldKind& other) const;

 private:
  explicit FieldKind(KindCode code) noexcept;

  KindCode code_;
  std::uint64_t link_target_ = 0;
  std::uint64_t next_field_id_ = 0;
  std::unique_ptr<FieldKind> element_;
  std::unique_ptr<std::vector<Field>> fields_;
};

struct Field {
  std::uint64_t id = 0;
  std::string name;
  FieldKind kind = FieldKind::integer();
  bool optional = false;
  // What a record without this field reads as.
  std::optional<Value> default_value;

  bool operator==(const Field& other) const = default;
};

struct Index {
  std::uint64_t id = 0;
  // The indexed top-level field of the collection.
  std::uint64_t field_id = 0;
  bool unique = false;

  bool operator==(const Index& other) const = default;
};

struct Collection {
  std::uint64_t id = 0;
  std::string name;
  // Top-level fields in ascending field id.
  std::vector<Field> fields;
  std::uint64_t next_field_id = 1;
  std::uint64_t primary_key_field_id = 0;
  bool auto_increment = false;
  // Their order is the index position that index maintenance uses.
  std::vector<Index> indexes;

  // Linear scans: collections are small.
  const Field* field_by_id(std::uint64_t field_id) const noexcept;
  const Field* primary_key_field() const noexcept { return field_by_id(primary_key_field_id); }

  bool operator==(const Collection& other) const = default;
};

struct Schema {
  std::uint64_t version = 0;
  // In ascending collection id, the order in which they are stored.
  std::vector<Collection> collections;
  std::uint64_t next_collection_id = 1;
  std::uint64_t next_index_id = 1;

  const Collection* collection_by_id(std::uint64_t collection_id) const noexcept;

  bool operator==(const Schema& other) const = default;
};

namespace schema {

// The entry whose name equals `name` byte for byte, or null; a linear search
// over collections or fields.
template <typename T>
const T* find_by_name(std::span<const T> items, std::string_view name) noexcept {
  for (const T& item : items)
    if (item.name == name) return &item;
  return nullptr;
}

}  // namespace schema

namespace schema_codec {

// Checks the invariants of a schema in a fixed order and returns the first
// broken one's message, or none. The stored-schema decoder runs it last.
std::optional<std::string_view> check_consistency(const Schema& schema);

}  // namespace schema_codec

}  // namespace deziro
