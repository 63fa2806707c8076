// The schema as an application declares it: everything by name, no ids.
// The resolver (schema/resolve.hpp) turns it into a Schema against the one
// the file holds; declare::validate_options checks it before any file is
// touched.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "format/object/value.hpp"

namespace deziro {

struct DeclaredField;

// What a declared field holds. A list owns its element kind; an embedded
// object owns its field list.
class DeclaredKind {
 public:
  enum class Tag : std::uint8_t { Bool, Int, Float, Str, Bytes, Link, List, Object };

  static DeclaredKind boolean() { return DeclaredKind(Tag::Bool); }
  static DeclaredKind integer() { return DeclaredKind(Tag::Int); }
  static DeclaredKind floating() { return DeclaredKind(Tag::Float); }
  static DeclaredKind str() { return DeclaredKind(Tag::Str); }
  static DeclaredKind bytes() { return DeclaredKind(Tag::Bytes); }
  static DeclaredKind link(std::string target);
  static DeclaredKind list(DeclaredKind element);
  static DeclaredKind object(std::vector<DeclaredField> fields);

  // Defined where DeclaredField is complete, as the members holding fields
  // need.
  DeclaredKind(const DeclaredKind& other);
  DeclaredKind& operator=(const DeclaredKind& other);
  DeclaredKind(DeclaredKind&&) noexcept;
  DeclaredKind& operator=(DeclaredKind&&) noexcept;
  ~DeclaredKind();

  Tag tag() const { return tag_; }
  bool is_scalar() const { return tag_ <= Tag::Bytes; }
  // Link: the target collection's name.
  const std::string& link_target() const { return link_target_; }
  // List: the element kind.
  const DeclaredKind& element() const { return *element_; }
  // Object: the embedded object's fields.
  const std::vector<DeclaredField>& fields() const { return *fields_; }

  bool operator==(const DeclaredKind& other) const;

 private:
  explicit DeclaredKind(Tag tag) noexcept;

  Tag tag_;
  std::string link_target_;
  std::unique_ptr<DeclaredKind> element_;
  std::unique_ptr<std::vector<DeclaredField>> fields_;
};

struct DeclaredField {
  DeclaredKind kind;
  std::string name;
  // The value an object without the field reads as.
  std::optional<Value> default_value;
  bool optional = false;

  bool operator==(const DeclaredField& other) const = default;
};

struct DeclaredIndex {
  std::string field;
  bool unique = false;

  bool operator==(const DeclaredIndex& other) const = default;
};

struct DeclaredCollection {
  std::string name;
  std::vector<DeclaredField> fields;
  std::vector<DeclaredIndex> indexes;
  // The primary-key field's name; none gives the collection an auto-increment
  // int key called "id" that it does not declare.
  std::optional<std::string> key;

  bool operator==(const DeclaredCollection& other) const = default;
};

struct DeclaredSchema {
  std::uint64_t version = 1;
  std::vector<DeclaredCollection> collections;

  bool operator==(const DeclaredSchema& other) const = default;
};

// The name of the implicit auto-increment key.
inline constexpr std::string_view kImplicitKeyName = "id";

}  // namespace deziro
