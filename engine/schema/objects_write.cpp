// Insert and put: Layout rows and object maps made into records, keys and
// index entries, then stored.
#include <limits>

#include "format/object/codec.hpp"
#include "format/object/key.hpp"
#include "schema/objects_store.hpp"
#include "text_format.hpp"

namespace deziro::objects {
namespace {

constexpr std::uint64_t kCounterEnd = std::uint64_t(1) << 63;

std::uint8_t tag_of(const LayoutValue& v) {
  switch (v.kind) {
    case LayoutValue::Kind::Bool:
      return v.integer != 0 ? codec::kTagTrue : codec::kTagFalse;
    case LayoutValue::Kind::Int:
      return codec::kTagInt;
    case LayoutValue::Kind::Float:
      return codec::kTagFloat;
    case LayoutValue::Kind::Str:
      return codec::kTagString;
    case LayoutValue::Kind::Bytes:
      return codec::kTagBytes;
    case LayoutValue::Kind::Absent:
      break;
  }
  return 0;
}

bool tag_fits(const FieldKind& kind, std::uint8_t tag) {
  switch (kind.code()) {
    case KindCode::Bool:
      return tag == codec::kTagFalse || tag == codec::kTagTrue;
    case KindCode::Int:
      return tag == codec::kTagInt;
    case KindCode::Float:
      return tag == codec::kTagFloat;
    case KindCode::Str:
      return tag == codec::kTagString;
    case KindCode::Bytes:
      return tag == codec::kTagBytes;
    default:
      return false;
  }
}

void write_layout_value(std::vector<std::uint8_t>& out, std::uint64_t field_id,
                        const LayoutValue& v) {
  codec::write_varint(out, field_id);
  switch (v.kind) {
    case LayoutValue::Kind::Bool:
      out.push_back(tag_of(v));
      break;
    case LayoutValue::Kind::Int:
      codec::write_int(out, v.integer);
      break;
    case LayoutValue::Kind::Float:
      codec::write_float(out, v.floating);
      break;
    case LayoutValue::Kind::Str:
    case LayoutValue::Kind::Bytes:
      codec::write_text(out, tag_of(v), v.bytes);
      break;
    case LayoutValue::Kind::Absent:
      break;
  }
}

Value to_value(const LayoutValue& v) {
  switch (v.kind) {
    case LayoutValue::Kind::Bool:
      return Value::boolean(v.integer != 0);
    case LayoutValue::Kind::Int:
      return Value::integer(v.integer);
    case LayoutValue::Kind::Float:
      return Value::floating(v.floating);
    case LayoutValue::Kind::Str:
      return Value::string(
          std::string(reinterpret_cast<const char*>(v.bytes.data()), v.bytes.size()));
    case LayoutValue::Kind::Bytes:
      return Value::bytes(v.bytes);
    case LayoutValue::Kind::Absent:
      break;
  }
  return Value::null();
}

// The next number of the collection's counter, refused once it has passed
// the largest int.
Result<std::int64_t> take_counter(WriteTxn& txn, const CollectionRef& target) {
  const std::uint64_t counter = DZ_TRY(read_counter(txn, target));
  if (counter >= kCounterEnd)
    return fail(Error::invalid_argument(
        format_text("`{}` has used every auto-increment number", target.collection().name)));
  return static_cast<std::int64_t>(counter);
}

void set_counter_source(Prepared& prepared, std::int64_t counter) {
  prepared.source = KeySource::Counter;
  prepared.number = counter;
  prepared.key = Value::integer(counter);
}

// Entries of the final record, then the store.
Result<Value> finish_write(WriteTxn& txn, const CollectionRef& target, Prepared& prepared,
                           WriteScratch& scratch, WriteMode mode) {
  const Collection& collection = target.collection();
  // The object-map road encodes the key early, to name a wrong key first.
  if (scratch.key.empty()) DZ_CHECK(key::primary_key_of(collection, prepared.key, scratch.key));
  scratch.new_keys.clear();
  std::optional<std::string> message;
  DZ_CHECK(record_index_keys(collection, scratch.record, scratch.key, scratch.new_keys, message));
  return store_object(txn, target, prepared, scratch, mode);
}

Result<Value> write_layout_row(WriteTxn& txn, const CollectionRef& target,
                               const ClassMapping& mapping, std::span<const LayoutValue> row,
                               WriteMode mode) {
  const Collection& collection = target.collection();
  ScratchLease scratch(txn);
  std::vector<std::uint8_t>& record = scratch->record;
  Prepared prepared;
  std::optional<std::int64_t> counter;
  // The key taken from the counter, written as the key field's value.
  auto write_counter_key = [&](std::uint64_t field_id) -> Status {
    if (!counter) counter = DZ_TRY(take_counter(txn, target));
    codec::write_varint(record, field_id);
    codec::write_int(record, *counter);
    return ok();
  };

  // Quick path: every value written as it comes, then checked by its tag.
  const std::size_t n = mapping.fields.size();
  record.clear();
  codec::write_varint(record, n);
  std::uint64_t written = 0;
  bool quick = mapping.all_plain;
  for (std::size_t i = 0; quick && i < n; ++i) {
    const FieldMapping& entry = mapping.fields[i];
    const LayoutValue& v = row[entry.position];
    if (v.kind == LayoutValue::Kind::Absent) {
      if (i == mapping.key_entry && mapping.auto_increment) {
        DZ_CHECK(write_counter_key(entry.field_id));
        ++written;
      } else if (!entry.optional) {
        quick = false;
      }
      continue;
    }
    if (!tag_fits(collection.fields[i].kind, tag_of(v))) {
      quick = false;
      continue;
    }
    write_layout_value(record, entry.field_id, v);
    ++written;
  }

  if (!quick) {
    // The complete road: field by field, with defaults and exact messages.
    record.clear();
    codec::write_varint(record, n);
    written = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const FieldMapping& entry = mapping.fields[i];
      const Field& field = collection.fields[i];
      const LayoutValue& v = row[entry.position];
      if (v.kind == LayoutValue::Kind::Absent) {
        if (i == mapping.key_entry && mapping.auto_increment) {
          DZ_CHECK(write_counter_key(entry.field_id));
        } else if (field.optional) {
          continue;
        } else if (entry.default_bytes) {
          codec::write_varint(record, entry.field_id);
          record.insert(record.end(), entry.default_bytes->begin(), entry.default_bytes->end());
        } else {
          return fail(object_refused(collection, format_text("`{}` is required", field.name)));
        }
      } else if (field.kind.is_plain()) {
        if (!tag_fits(field.kind, tag_of(v)))
          return fail(object_refused(collection, codec::msg::kOtherType));
        write_layout_value(record, entry.field_id, v);
      } else {
        codec::write_varint(record, entry.field_id);
        if (auto r =
                codec::encode_typed_value(to_value(v), field.kind, target.schema->schema, record);
            !r)
          return fail(
              object_refused(collection, format_text("`{}` holds {}", field.name, r.error())));
      }
      ++written;
    }
  }
  codec::patch_count(record, 0, written, n);

  const LayoutValue& key_value = row[mapping.fields[mapping.key_entry].position];
  if (counter && key_value.kind == LayoutValue::Kind::Absent) {
    set_counter_source(prepared, *counter);
  } else {
    prepared.key = to_value(key_value);
    if (mapping.auto_increment && key_value.kind == LayoutValue::Kind::Int) {
      prepared.source = KeySource::Explicit;
      prepared.number = key_value.integer;
    }
  }
  return finish_write(txn, target, prepared, *scratch, mode);
}

}  // namespace

Result<Value> write_object_map(WriteTxn& txn, const CollectionRef& target, const ObjectMap& object,
                               WriteMode mode) {
  const Collection& collection = target.collection();
  const std::span<const Field> fields = collection.fields;
  const std::vector<std::uint32_t>& by_name = target.resolved().fields_by_name;
  if (by_name.size() != fields.size())
    return fail(Error::internal("a collection has no order of its fields"));
  std::size_t key_pos = fields.size();
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (fields[i].id == collection.primary_key_field_id) key_pos = i;
  if (key_pos == fields.size()) return fail(Error::internal("a collection has no key field"));

  ScratchLease scratch(txn);
  const std::optional<std::string_view> unknown =
      fill_slots(object, fields, by_name, scratch->slots);
  Prepared prepared;
  Value counter_key;
  const Value* given = scratch->slots[key_pos];
  if (collection.auto_increment && (given == nullptr || given->is_null())) {
    const std::int64_t c = DZ_TRY(take_counter(txn, target));
    set_counter_source(prepared, c);
    counter_key = Value::integer(c);
    scratch->slots[key_pos] = &counter_key;
  } else {
    prepared.key = given ? *given : Value::null();
    if (collection.auto_increment && prepared.key.kind() == ValueKind::Int) {
      prepared.source = KeySource::Explicit;
      prepared.number = prepared.key.as_int();
    }
  }
  // The key is checked before the fields, so a wrong key is named first.
  DZ_CHECK(key::primary_key_of(collection, prepared.key, scratch->key));

  std::vector<std::uint8_t>& record = scratch->record;
  record.clear();
  codec::write_varint(record, fields.size());
  auto written = encode_fields(fields, scratch->slots, target.schema->schema, record);
  if (unknown)
    return fail(object_refused(collection, format_text("`{}` is not a field", *unknown)));
  if (!written) return fail(object_refused(collection, written.error()));
  codec::patch_count(record, 0, *written, fields.size());
  return finish_write(txn, target, prepared, *scratch, mode);
}

std::optional<Value> write_typed_object(WriteTxn& txn, const CollectionRef& target, LayoutRun& run,
                                        WriteMode mode, std::optional<Error>& error) {
  if (run.field_count == 0 || (run.next + 1) * run.field_count > run.values.size())
    return std::nullopt;
  auto result = [&]() -> Result<Value> {
    if (run.field_count < run.layout.fields.size())
      return fail(
          Error::invalid_argument(format_text("a row holds {} values for a class of {} fields",
                                              run.field_count, run.layout.fields.size())));
    auto mapping = DZ_TRY(typed::class_mapping(*target.schema, target.position, run.layout));
    const auto row = run.values.subspan(run.next * run.field_count, run.field_count);
    ++run.next;
    return write_layout_row(txn, target, *mapping, row, mode);
  }();
  if (!result) {
    error = std::move(result).error();
    return std::nullopt;
  }
  return std::move(*result);
}

std::optional<Value> write_batch_next(WriteTxn& txn, const CollectionRef& target,
                                      std::span<const ObjectMap> objects, std::size_t& next,
                                      WriteMode mode, std::optional<Error>& error) {
  if (next >= objects.size()) return std::nullopt;
  auto result = write_object_map(txn, target, objects[next], mode);
  ++next;
  if (!result) {
    error = std::move(result).error();
    return std::nullopt;
  }
  return std::move(*result);
}

}  // namespace deziro::objects
