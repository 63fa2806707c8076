#include "format/object/schema_codec.hpp"

#include <limits>

namespace deziro::schema_codec {

using codec::StoredField;
using codec::StoredRecord;
using codec::StoredValue;

namespace {

constexpr std::string_view kLacksField = "the schema lacks a field";
constexpr std::string_view kWrongType = "the schema holds a field of the wrong type";
constexpr std::string_view kNegative = "the schema holds a negative number";
constexpr std::string_view kUnknownKind = "the schema names an unknown kind";
constexpr std::string_view kDefaultNotPlain = "a default is not a plain value";

StoredValue stored_id(std::uint64_t x) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  return StoredValue::integer(static_cast<std::int64_t>(x > kMax ? kMax : x));
}

StoredValue stored_text(const std::string& s) { return StoredValue::string(s); }

StoredValue encode_index(const Index& index) {
  StoredRecord r;
  r.push_back({1, stored_id(index.id)});
  r.push_back({2, stored_id(index.field_id)});
  r.push_back({3, StoredValue::boolean(index.unique)});
  return StoredValue::record(std::move(r));
}

StoredValue encode_field(const Field& field) {
  StoredRecord r;
  r.push_back({1, stored_id(field.id)});
  r.push_back({2, stored_text(field.name)});
  r.push_back({3, encode_kind(field.kind)});
  r.push_back({4, StoredValue::boolean(field.optional)});
  if (field.default_value) {
    if (auto stored = value_to_stored(*field.default_value)) r.push_back({5, std::move(*stored)});
  }
  return StoredValue::record(std::move(r));
}

StoredValue encode_collection(const Collection& collection) {
  StoredRecord r;
  r.push_back({1, stored_id(collection.id)});
  r.push_back({2, stored_text(collection.name)});
  r.push_back({3, encode_fields(collection.fields)});
  r.push_back({4, stored_id(collection.next_field_id)});
  r.push_back({5, stored_id(collection.primary_key_field_id)});
  r.push_back({6, StoredValue::boolean(collection.auto_increment)});
  codec::StoredList indexes;
  indexes.reserve(collection.indexes.size());
  for (const Index& index : collection.indexes) indexes.push_back(encode_index(index));
  r.push_back({7, StoredValue::list(std::move(indexes))});
  return StoredValue::record(std::move(r));
}

}  // namespace

StoredValue encode_fields(const std::vector<Field>& fields) {
  codec::StoredList list;
  list.reserve(fields.size());
  for (const Field& field : fields) list.push_back(encode_field(field));
  return StoredValue::list(std::move(list));
}

StoredValue encode_kind(const FieldKind& kind) {
  StoredRecord r;
  r.push_back({1, StoredValue::integer(static_cast<std::int64_t>(kind.code()))});
  switch (kind.code()) {
    case KindCode::Link:
      r.push_back({2, stored_id(kind.link_target())});
      break;
    case KindCode::List:
      r.push_back({3, encode_kind(kind.element())});
      break;
    case KindCode::Object:
      r.push_back({4, encode_fields(kind.fields())});
      r.push_back({5, stored_id(kind.next_field_id())});
      break;
    default:
      break;
  }
  return StoredValue::record(std::move(r));
}

std::optional<StoredValue> value_to_stored(const Value& value) {
  switch (value.kind()) {
    case ValueKind::Bool:
      return StoredValue::boolean(value.as_bool());
    case ValueKind::Int:
      return StoredValue::integer(value.as_int());
    case ValueKind::Float:
      return StoredValue::floating(value.as_float());
    case ValueKind::String:
      return StoredValue::string(value.as_string());
    case ValueKind::Bytes:
      return StoredValue::bytes(value.as_bytes());
    case ValueKind::List: {
      codec::StoredList items;
      items.reserve(value.as_list().size());
      for (const Value& item : value.as_list()) {
        auto stored = value_to_stored(item);
        if (!stored) return std::nullopt;
        items.push_back(std::move(*stored));
      }
      return StoredValue::list(std::move(items));
    }
    case ValueKind::Null:
    case ValueKind::Object:
      break;
  }
  return std::nullopt;
}

std::vector<std::uint8_t> encode_schema(const Schema& schema) {
  StoredRecord r;
  r.push_back({1, StoredValue::integer(kStoredSchemaFormat)});
  r.push_back({2, stored_id(schema.version)});
  codec::StoredList collections;
  collections.reserve(schema.collections.size());
  for (const Collection& c : schema.collections) collections.push_back(encode_collection(c));
  r.push_back({3, StoredValue::list(std::move(collections))});
  r.push_back({4, stored_id(schema.next_collection_id)});
  r.push_back({5, stored_id(schema.next_index_id)});
  std::vector<std::uint8_t> out;
  codec::write_stored_record(out, r);
  return out;
}

// ------------------------------------------------------------- decoding

codec::Decoded<Value> stored_to_value(const StoredValue& stored) {
  using K = StoredValue::Kind;
  switch (stored.kind()) {
    case K::Bool:
      return Value::boolean(stored.as_bool());
    case K::Int:
      return Value::integer(stored.as_int());
    case K::Float:
      return Value::floating(stored.as_float());
    case K::String:
      return Value::string(stored.as_string());
    case K::Bytes:
      return Value::bytes(stored.as_bytes());
    case K::List: {
      ValueList items;
      items.reserve(stored.as_list().size());
      for (const StoredValue& item : stored.as_list()) {
        auto value = stored_to_value(item);
        if (!value) return value;
        items.push_back(std::move(*value));
      }
      return Value::list(std::move(items));
    }
    case K::Record:
    case K::Link:
      break;
  }
  return std::unexpected(kDefaultNotPlain);
}

namespace {

using Failure = std::unexpected<DecodeFailure>;

Failure refuse(std::string_view message) { return Failure(DecodeFailure{message, std::nullopt}); }

// Reads the fields of one stored record by id; the first field with an id
// wins, and ids it is not asked for are ignored.
class RecordView {
 public:
  explicit RecordView(const StoredRecord& record) : record_(record) {}

  std::expected<const StoredValue*, DecodeFailure> find(std::uint64_t id,
                                                        StoredValue::Kind kind) const {
    const StoredValue* value = optional(id);
    if (value == nullptr) return refuse(kLacksField);
    if (value->kind() != kind) return refuse(kWrongType);
    return value;
  }

  const StoredValue* optional(std::uint64_t id) const {
    for (const StoredField& field : record_)
      if (field.id == id) return &field.value;
    return nullptr;
  }

  // An id, counter or version: a non-negative int.
  std::expected<std::uint64_t, DecodeFailure> number(std::uint64_t id) const {
    const auto value = find(id, StoredValue::Kind::Int);
    if (!value) return Failure(value.error());
    if ((*value)->as_int() < 0) return refuse(kNegative);
    return static_cast<std::uint64_t>((*value)->as_int());
  }

  std::expected<bool, DecodeFailure> flag(std::uint64_t id) const {
    const auto value = find(id, StoredValue::Kind::Bool);
    if (!value) return Failure(value.error());
    return (*value)->as_bool();
  }

  std::expected<std::string, DecodeFailure> text(std::uint64_t id) const {
    const auto value = find(id, StoredValue::Kind::String);
    if (!value) return Failure(value.error());
    return (*value)->as_string();
  }

  // A list whose every element is a record.
  std::expected<std::vector<const StoredRecord*>, DecodeFailure> records(std::uint64_t id) const {
    const auto value = find(id, StoredValue::Kind::List);
    if (!value) return Failure(value.error());
    std::vector<const StoredRecord*> out;
    out.reserve((*value)->as_list().size());
    for (const StoredValue& item : (*value)->as_list()) {
      if (item.kind() != StoredValue::Kind::Record) return refuse(kWrongType);
      out.push_back(&item.as_record());
    }
    return out;
  }

 private:
  const StoredRecord& record_;
};

#define DZ_SCHEMA_TRY(expr)                                                       \
  __extension__({                                                                 \
    auto dz_schema_result_ = (expr);                                              \
    if (!dz_schema_result_) return Failure(std::move(dz_schema_result_).error()); \
    std::move(dz_schema_result_).value();                                         \
  })

std::expected<std::vector<Field>, DecodeFailure> decode_fields(
    const std::vector<const StoredRecord*>& records);

std::expected<FieldKind, DecodeFailure> decode_kind(const StoredRecord& record) {
  const RecordView view(record);
  const StoredValue* code = DZ_SCHEMA_TRY(view.find(1, StoredValue::Kind::Int));
  switch (code->as_int()) {
    case 1:
      return FieldKind::boolean();
    case 2:
      return FieldKind::integer();
    case 3:
      return FieldKind::floating();
    case 4:
      return FieldKind::str();
    case 5:
      return FieldKind::bytes();
    case 6:
      return FieldKind::link(DZ_SCHEMA_TRY(view.number(2)));
    case 7: {
      const StoredValue* element = DZ_SCHEMA_TRY(view.find(3, StoredValue::Kind::Record));
      return FieldKind::list(DZ_SCHEMA_TRY(decode_kind(element->as_record())));
    }
    case 8: {
      std::vector<Field> fields = DZ_SCHEMA_TRY(decode_fields(DZ_SCHEMA_TRY(view.records(4))));
      return FieldKind::object(std::move(fields), DZ_SCHEMA_TRY(view.number(5)));
    }
    default:
      return refuse(kUnknownKind);
  }
}

std::expected<Field, DecodeFailure> decode_field(const StoredRecord& record) {
  const RecordView view(record);
  Field field;
  field.id = DZ_SCHEMA_TRY(view.number(1));
  field.name = DZ_SCHEMA_TRY(view.text(2));
  const StoredValue* kind = DZ_SCHEMA_TRY(view.find(3, StoredValue::Kind::Record));
  field.kind = DZ_SCHEMA_TRY(decode_kind(kind->as_record()));
  field.optional = DZ_SCHEMA_TRY(view.flag(4));
  if (const StoredValue* stored = view.optional(5)) {
    auto value = stored_to_value(*stored);
    if (!value) return refuse(value.error());
    field.default_value = std::move(*value);
  }
  return field;
}

std::expected<std::vector<Field>, DecodeFailure> decode_fields(
    const std::vector<const StoredRecord*>& records) {
  std::vector<Field> fields;
  fields.reserve(records.size());
  for (const StoredRecord* record : records) fields.push_back(DZ_SCHEMA_TRY(decode_field(*record)));
  return fields;
}

std::expected<std::vector<Index>, DecodeFailure> decode_indexes(
    const std::vector<const StoredRecord*>& records) {
  std::vector<Index> indexes;
  indexes.reserve(records.size());
  for (const StoredRecord* record : records) {
    const RecordView view(*record);
    Index index;
    index.id = DZ_SCHEMA_TRY(view.number(1));
    index.field_id = DZ_SCHEMA_TRY(view.number(2));
    index.unique = DZ_SCHEMA_TRY(view.flag(3));
    indexes.push_back(index);
  }
  return indexes;
}

std::expected<Collection, DecodeFailure> decode_collection(const StoredRecord& record) {
  const RecordView view(record);
  Collection collection;
  collection.id = DZ_SCHEMA_TRY(view.number(1));
  collection.name = DZ_SCHEMA_TRY(view.text(2));
  collection.fields = DZ_SCHEMA_TRY(decode_fields(DZ_SCHEMA_TRY(view.records(3))));
  collection.next_field_id = DZ_SCHEMA_TRY(view.number(4));
  collection.primary_key_field_id = DZ_SCHEMA_TRY(view.number(5));
  collection.auto_increment = DZ_SCHEMA_TRY(view.flag(6));
  collection.indexes = DZ_SCHEMA_TRY(decode_indexes(DZ_SCHEMA_TRY(view.records(7))));
  return collection;
}

}  // namespace

std::expected<Schema, DecodeFailure> decode_schema(ByteView bytes) {
  const auto record = codec::decode_record_object(bytes);
  if (!record) return refuse(record.error());
  const RecordView view(*record);
  const StoredValue* format = DZ_SCHEMA_TRY(view.find(1, StoredValue::Kind::Int));
  if (format->as_int() != kStoredSchemaFormat) {
    return Failure(DecodeFailure{{}, format->as_int()});
  }
  Schema schema;
  schema.version = DZ_SCHEMA_TRY(view.number(2));
  for (const StoredRecord* collection : DZ_SCHEMA_TRY(view.records(3)))
    schema.collections.push_back(DZ_SCHEMA_TRY(decode_collection(*collection)));
  schema.next_collection_id = DZ_SCHEMA_TRY(view.number(4));
  schema.next_index_id = DZ_SCHEMA_TRY(view.number(5));
  if (const auto broken = check_consistency(schema)) return refuse(*broken);
  return schema;
}

#undef DZ_SCHEMA_TRY

Error decode_failure_error(std::string path, const DecodeFailure& failure) {
  if (failure.unreadable_format) {
    const std::int64_t found = *failure.unreadable_format;
    const std::uint32_t shown = (found < 0 || found > std::numeric_limits<std::uint32_t>::max())
                                    ? std::numeric_limits<std::uint32_t>::max()
                                    : static_cast<std::uint32_t>(found);
    return Error::unsupported_format_version(std::move(path), shown,
                                             static_cast<std::uint32_t>(kStoredSchemaFormat));
  }
  return Error::corrupted(std::move(path), "the stored schema: " + std::string(failure.message));
}

}  // namespace deziro::schema_codec
