#include "format/object/schema.hpp"

#include <string_view>
#include <unordered_set>

namespace deziro {

std::string_view kind_phrase(KindCode code) {
  switch (code) {
    case KindCode::Bool:
      return "a bool";
    case KindCode::Int:
      return "an int";
    case KindCode::Float:
      return "a float";
    case KindCode::Str:
      return "a string";
    case KindCode::Bytes:
      return "bytes";
    case KindCode::Link:
      return "a link";
    case KindCode::List:
      return "a list";
    case KindCode::Object:
      return "an object";
  }
  return "a value";
}

// --------------------------------------------------------------- FieldKind

FieldKind::FieldKind(KindCode code) noexcept : code_(code) {}

FieldKind FieldKind::link(std::uint64_t target_collection_id) {
  FieldKind kind(KindCode::Link);
  kind.link_target_ = target_collection_id;
  return kind;
}

FieldKind FieldKind::list(FieldKind element) {
  FieldKind kind(KindCode::List);
  kind.element_ = std::make_unique<FieldKind>(std::move(element));
  return kind;
}

FieldKind FieldKind::object(std::vector<Field> fields, std::uint64_t next_field_id) {
  FieldKind kind(KindCode::Object);
  kind.fields_ = std::make_unique<std::vector<Field>>(std::move(fields));
  kind.next_field_id_ = next_field_id;
  return kind;
}

FieldKind::FieldKind(const FieldKind& other)
    : code_(other.code_),
      link_target_(other.link_target_),
      next_field_id_(other.next_field_id_),
      element_(other.element_ ? std::make_unique<FieldKind>(*other.element_) : nullptr),
      fields_(other.fields_ ? std::make_unique<std::vector<Field>>(*other.fields_) : nullptr) {}

FieldKind& FieldKind::operator=(const FieldKind& other) {
  if (this != &other) *this = FieldKind(other);
  return *this;
}

FieldKind::FieldKind(FieldKind&& other) noexcept = default;
FieldKind& FieldKind::operator=(FieldKind&& other) noexcept = default;
FieldKind::~FieldKind() = default;

bool FieldKind::operator==(const FieldKind& other) const {
  if (code_ != other.code_) return false;
  switch (code_) {
    case KindCode::Link:
      return link_target_ == other.link_target_;
    case KindCode::List:
      return *element_ == *other.element_;
    case KindCode::Object:
      return next_field_id_ == other.next_field_id_ && *fields_ == *other.fields_;
    default:
      return true;
  }
}

// ----------------------------------------------------------- lookups by id

const Field* Collection::field_by_id(std::uint64_t field_id) const noexcept {
  for (const Field& field : fields)
    if (field.id == field_id) return &field;
  return nullptr;
}

const Collection* Schema::collection_by_id(std::uint64_t collection_id) const noexcept {
  for (const Collection& collection : collections)
    if (collection.id == collection_id) return &collection;
  return nullptr;
}

// ------------------------------------------------------ consistency check

namespace schema_codec {
namespace {

constexpr std::string_view kCollectionIds = "the schema's collection ids are inconsistent";
constexpr std::string_view kFieldIds = "the schema's field ids are inconsistent";
// Objects, records and queries find collections and fields by name, so a name
// held twice in one scope would decode into objects that hold it twice.
constexpr std::string_view kCollectionNames = "the schema names two collections alike";
constexpr std::string_view kFieldNames = "the schema names two fields of one object alike";
constexpr std::string_view kNestedList = "a list holds lists or objects";
constexpr std::string_view kDanglingLink = "a link points at no collection";
constexpr std::string_view kDefaultType = "a field's default does not have the field's type";
constexpr std::string_view kPrimaryKey = "a collection's primary key is not a key field";
constexpr std::string_view kIndexIds = "the schema's index ids are inconsistent";
constexpr std::string_view kIndexField = "an index is on a field that cannot have one";

bool default_matches(const Value& value, const FieldKind& kind) {
  switch (kind.code()) {
    case KindCode::Bool:
      return value.kind() == ValueKind::Bool;
    case KindCode::Int:
      return value.kind() == ValueKind::Int;
    case KindCode::Float:
      return value.kind() == ValueKind::Float;
    case KindCode::Str:
      return value.kind() == ValueKind::String;
    case KindCode::Bytes:
      return value.kind() == ValueKind::Bytes;
    case KindCode::List:
      if (value.kind() != ValueKind::List) return false;
      for (const Value& item : value.as_list())
        if (!default_matches(item, kind.element())) return false;
      return true;
    case KindCode::Link:
    case KindCode::Object:
      return false;
  }
  return false;
}

class Checker {
 public:
  explicit Checker(const Schema& schema) : schema_(schema) {}

  std::optional<std::string_view> run() {
    std::unordered_set<std::uint64_t> collection_ids;
    std::unordered_set<std::uint64_t> index_ids;
    std::unordered_set<std::string_view> collection_names;
    for (const Collection& collection : schema_.collections) {
      if (collection.id >= schema_.next_collection_id ||
          !collection_ids.insert(collection.id).second)
        return kCollectionIds;
      if (!collection_names.insert(collection.name).second) return kCollectionNames;
      if (auto failure = check_fields(collection.fields, collection.next_field_id)) return failure;
      const Field* key = collection.primary_key_field();
      if (key == nullptr || key->optional ||
          (key->kind.code() != KindCode::Int && key->kind.code() != KindCode::Str &&
           key->kind.code() != KindCode::Bytes))
        return kPrimaryKey;
      for (const Index& index : collection.indexes) {
        if (index.id >= schema_.next_index_id || !index_ids.insert(index.id).second)
          return kIndexIds;
        const Field* field = collection.field_by_id(index.field_id);
        if (field == nullptr || !indexable(field->kind)) return kIndexField;
      }
    }
    return std::nullopt;
  }

 private:
  static bool indexable(const FieldKind& kind) {
    if (kind.is_plain() || kind.code() == KindCode::Link) return true;
    if (kind.code() != KindCode::List) return false;
    return kind.element().is_plain() || kind.element().code() == KindCode::Link;
  }

  std::optional<std::string_view> check_fields(const std::vector<Field>& fields,
                                               std::uint64_t next_field_id) {
    bool first = true;
    std::uint64_t previous = 0;
    std::unordered_set<std::string_view> names;
    for (const Field& field : fields) {
      if (field.id >= next_field_id || (!first && field.id <= previous)) return kFieldIds;
      first = false;
      previous = field.id;
      if (!names.insert(field.name).second) return kFieldNames;
      if (auto failure = check_kind(field.kind)) return failure;
      if (field.default_value && !default_matches(*field.default_value, field.kind))
        return kDefaultType;
    }
    return std::nullopt;
  }

  std::optional<std::string_view> check_kind(const FieldKind& kind) {
    switch (kind.code()) {
      case KindCode::List:
        if (kind.element().code() == KindCode::List || kind.element().code() == KindCode::Object)
          return kNestedList;
        return check_kind(kind.element());
      case KindCode::Link:
        if (schema_.collection_by_id(kind.link_target()) == nullptr) return kDanglingLink;
        return std::nullopt;
      case KindCode::Object:
        return check_fields(kind.fields(), kind.next_field_id());
      default:
        return std::nullopt;
    }
  }

  const Schema& schema_;
};

}  // namespace

std::optional<std::string_view> check_consistency(const Schema& schema) {
  return Checker(schema).run();
}

}  // namespace schema_codec
}  // namespace deziro
