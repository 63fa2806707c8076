// Records decoded by a collection's fields into Values.
#include <algorithm>
#include <numeric>

#include "format/object/codec.hpp"
#include "format/object/codec_internal.hpp"
#include "text_format.hpp"

namespace deziro::codec {

using detail::refuse;

namespace {

// A declared field the record does not hold: its default, else Null when
// optional, else refused.
Decoded<Value> missing_value(const Field& field) {
  if (field.default_value) return *field.default_value;
  if (field.optional) return Value::null();
  return refuse(msg::kLacksRequired);
}

DecodeStatus fill_missing(const Field& field, std::vector<ObjectEntry>& out) {
  auto value = missing_value(field);
  if (!value) return refuse(value.error());
  out.emplace_back(field.name, std::move(*value));
  return {};
}

Decoded<Value> convert_record(StoredRecord stored, std::span<const Field> fields) {
  std::vector<ObjectEntry> entries;
  entries.reserve(fields.size());
  std::size_t s = 0;
  for (const Field& field : fields) {
    while (s < stored.size() && stored[s].id < field.id) ++s;  // no longer declared
    if (s < stored.size() && stored[s].id == field.id) {
      auto value = convert_stored_value(std::move(stored[s].value), field.kind);
      if (!value) return value;
      entries.emplace_back(field.name, std::move(*value));
      ++s;
    } else if (const auto filled = fill_missing(field, entries); !filled) {
      return refuse(filled.error());
    }
  }
  return Value::object(ObjectMap::from_entries(std::move(entries)));
}

Decoded<Value> key_from_stored(StoredValue stored) {
  switch (stored.kind()) {
    case StoredValue::Kind::Int:
      return Value::integer(stored.as_int());
    case StoredValue::Kind::String:
      return Value::string(std::move(stored.as_string()));
    case StoredValue::Kind::Bytes:
      return Value::bytes(std::move(stored.as_bytes()));
    default:
      return refuse(msg::kBadLink);
  }
}

}  // namespace

Decoded<Value> convert_stored_value(StoredValue stored, const FieldKind& kind) {
  using K = StoredValue::Kind;
  switch (kind.code()) {
    case KindCode::Bool:
      if (stored.kind() == K::Bool) return Value::boolean(stored.as_bool());
      break;
    case KindCode::Int:
      if (stored.kind() == K::Int) return Value::integer(stored.as_int());
      break;
    case KindCode::Float:
      if (stored.kind() == K::Float) return Value::floating(stored.as_float());
      break;
    case KindCode::Str:
      if (stored.kind() == K::String) return Value::string(std::move(stored.as_string()));
      break;
    case KindCode::Bytes:
      if (stored.kind() == K::Bytes) return Value::bytes(std::move(stored.as_bytes()));
      break;
    case KindCode::Link:
      if (stored.kind() == K::Link) return key_from_stored(std::move(stored.link_target()));
      break;
    case KindCode::List:
      if (stored.kind() == K::List) {
        ValueList items;
        items.reserve(stored.as_list().size());
        for (StoredValue& item : stored.as_list()) {
          auto value = convert_stored_value(std::move(item), kind.element());
          if (!value) return value;
          items.push_back(std::move(*value));
        }
        return Value::list(std::move(items));
      }
      break;
    case KindCode::Object:
      if (stored.kind() == K::Record)
        return convert_record(std::move(stored.as_record()), kind.fields());
      break;
  }
  return refuse(msg::kOtherType);
}

namespace {

// Whether `tag` is the stored tag of a plain kind's values.
bool plain_tag_fits(KindCode code, std::uint8_t tag) {
  switch (code) {
    case KindCode::Bool:
      return tag == kTagFalse || tag == kTagTrue;
    case KindCode::Int:
      return tag == kTagInt;
    case KindCode::Float:
      return tag == kTagFloat;
    case KindCode::Str:
      return tag == kTagString;
    case KindCode::Bytes:
      return tag == kTagBytes;
    default:
      return false;
  }
}

// The body of a plain value (tags 2 to 7) whose tag has just been read.
Decoded<Value> read_plain_body(Reader& reader, std::uint8_t tag) {
  switch (tag) {
    case kTagInt: {
      const auto x = read_varint(reader);
      if (!x) return refuse(x.error());
      return Value::integer(unzigzag(*x));
    }
    case kTagFloat: {
      const auto x = read_f64(reader);
      if (!x) return refuse(x.error());
      return Value::floating(*x);
    }
    case kTagString: {
      auto s = read_string(reader);
      if (!s) return refuse(s.error());
      return Value::string(std::move(*s));
    }
    case kTagBytes: {
      const auto b = read_length_prefixed(reader);
      if (!b) return refuse(b.error());
      return Value::bytes(*b);
    }
    default:
      return Value::boolean(tag == kTagTrue);
  }
}

}  // namespace

Decoded<Value> decode_typed_value(Reader& reader, const FieldKind& kind, std::size_t depth) {
  if (depth >= kMaxDepth) return refuse(msg::kNestsTooDeeply);
  if (reader.at_end()) return refuse(msg::kEndsEarly);
  const std::size_t tag_pos = reader.pos;
  const std::uint8_t tag = reader.bytes[tag_pos];
  // The expected tag of each kind goes straight into a Value; lists and
  // mismatches take the road through StoredValue below.
  if (plain_tag_fits(kind.code(), tag)) {
    ++reader.pos;
    return read_plain_body(reader, tag);
  }
  if (kind.code() == KindCode::Link && tag == kTagLink && depth + 1 < kMaxDepth &&
      reader.remaining() >= 2) {
    // A link reads as the key it holds.
    const std::uint8_t inner = reader.bytes[tag_pos + 1];
    if (inner == kTagInt || inner == kTagString || inner == kTagBytes) {
      reader.pos += 2;
      return read_plain_body(reader, inner);
    }
  }
  if (kind.code() == KindCode::Object && tag == kTagRecord) {
    ++reader.pos;
    const auto length = read_varint(reader);
    if (!length) return refuse(length.error());
    auto sub = take_slice(reader, *length);
    if (!sub) return refuse(sub.error());
    auto map = decode_embedded_fields(*sub, kind.fields(), depth + 1);
    if (!map) return refuse(map.error());
    if (!sub->at_end()) return refuse(msg::kEmbeddedTrailing);
    return Value::object(std::move(*map));
  }
  reader.pos = tag_pos;
  auto stored = decode_value(reader, depth);
  if (!stored) return refuse(stored.error());
  return convert_stored_value(std::move(*stored), kind);
}

namespace {

// The merge of a record's stored fields with the declared ones: hands
// emit(declared position, value) one value per declared field, in field-id
// order, filling missing fields; stored fields of undeclared ids are read
// (so they must be well formed) and dropped.
template <typename Emit>
DecodeStatus merge_fields(Reader& reader, std::span<const Field> fields, std::size_t depth,
                          Emit&& emit) {
  const auto count = read_count(reader, 2);
  if (!count) return refuse(count.error());
  std::size_t d = 0;
  std::uint64_t previous = 0;
  auto fill_up_to = [&](std::uint64_t id) -> DecodeStatus {
    for (; d < fields.size() && fields[d].id < id; ++d) {
      auto value = missing_value(fields[d]);
      if (!value) return refuse(value.error());
      emit(d, std::move(*value));
    }
    return {};
  };
  for (std::uint64_t i = 0; i < *count; ++i) {
    const auto id = read_varint(reader);
    if (!id) return refuse(id.error());
    if (i != 0 && *id <= previous) return refuse(msg::kIdsOutOfOrder);
    previous = *id;
    if (auto filled = fill_up_to(*id); !filled) return filled;
    if (d < fields.size() && fields[d].id == *id) {
      auto value = decode_typed_value(reader, fields[d].kind, depth);
      if (!value) return refuse(value.error());
      emit(d, std::move(*value));
      ++d;
    } else {
      const auto dropped = decode_value(reader, depth);
      if (!dropped) return refuse(dropped.error());
    }
  }
  return fill_up_to(UINT64_MAX);
}

}  // namespace

DecodeStatus decode_fields(Reader& reader, std::span<const Field> fields, std::size_t depth,
                           std::vector<ObjectEntry>& out) {
  out.reserve(out.size() + fields.size());
  return merge_fields(reader, fields, depth, [&](std::size_t d, Value&& value) {
    out.emplace_back(fields[d].name, std::move(value));
  });
}

Decoded<Value> check_value_end(ByteView bytes, const FieldKind& kind) {
  Reader reader(bytes);
  auto stored = decode_value(reader, 0);
  if (!stored) return refuse(stored.error());
  if (!reader.at_end()) return refuse(msg::kValueTrailing);
  return convert_stored_value(std::move(*stored), kind);
}

Decoded<ObjectMap> decode_embedded_fields(Reader& reader, std::span<const Field> fields,
                                          std::size_t depth) {
  std::vector<ObjectEntry> entries;
  const auto decoded = decode_fields(reader, fields, depth, entries);
  if (!decoded) return refuse(decoded.error());
  return ObjectMap::from_entries(std::move(entries));
}

std::vector<std::uint32_t> field_order_by_name(std::span<const Field> fields) {
  std::vector<std::uint32_t> order(fields.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return compare_names(fields[a].name, fields[b].name) < 0;
  });
  return order;
}

namespace {

// Moves entries[order[i]] to position i for every i, following cycles; a
// 64-bit mask marks the places already filled.
void permute(std::vector<ObjectEntry>& entries, std::span<const std::uint32_t> order) {
  std::uint64_t done = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (done & (1ULL << i)) continue;
    ObjectEntry held = std::move(entries[i]);
    std::size_t j = i;
    for (;;) {
      done |= 1ULL << j;
      const std::size_t from = order[j];
      if (from == i) {
        entries[j] = std::move(held);
        break;
      }
      entries[j] = std::move(entries[from]);
      j = from;
    }
  }
}

}  // namespace

Decoded<ObjectMap> decode_record(ByteView bytes, std::span<const Field> fields,
                                 std::span<const std::uint32_t> name_order) {
  Reader reader(bytes);
  std::vector<ObjectEntry> entries;
  const auto decoded = decode_fields(reader, fields, 0, entries);
  if (!decoded) return refuse(decoded.error());
  if (!reader.at_end()) return refuse(msg::kRecordTrailing);
  if (!name_order.empty() && name_order.size() == entries.size() && entries.size() <= 64) {
    permute(entries, name_order);
    return ObjectMap::from_sorted_entries(std::move(entries));
  }
  return ObjectMap::from_entries(std::move(entries));
}

DecodeStatus decode_object_fields_into(ByteView bytes, std::span<const Field> fields,
                                       ObjectMap& out, std::span<const std::uint32_t> name_order) {
  std::vector<ObjectEntry>& entries = out.mutable_entries();
  Reader reader(bytes);
  DecodeStatus decoded;
  if (name_order.size() == fields.size() && fields.size() <= 64 && !fields.empty()) {
    // Each value goes straight to its place in name order; a map reused for
    // the same collection keeps its names and only takes new values.
    std::uint8_t rank[64];
    for (std::size_t i = 0; i < name_order.size(); ++i)
      rank[name_order[i]] = static_cast<std::uint8_t>(i);
    entries.resize(fields.size());
    decoded = merge_fields(reader, fields, 0, [&](std::size_t d, Value&& value) {
      ObjectEntry& slot = entries[rank[d]];
      if (slot.name.view() != fields[d].name) slot.name = MapName(fields[d].name);
      slot.value = std::move(value);
    });
  } else {
    entries.clear();
    decoded = decode_fields(reader, fields, 0, entries);
    if (decoded) out.sort_by_name();
  }
  if (decoded && !reader.at_end()) decoded = refuse(msg::kRecordTrailing);
  if (!decoded) entries.clear();
  return decoded;
}

Decoded<ObjectMap> decode_object_fields(ByteView bytes, std::span<const Field> fields) {
  ObjectMap map;
  const auto decoded = decode_object_fields_into(bytes, fields, map);
  if (!decoded) return refuse(decoded.error());
  return map;
}

std::string object_error(std::string_view collection_name, Message message) {
  return format_text("an object of `{}`: {}", collection_name, message);
}

Result<ObjectMap> decode_for_collection(CollectionView& view, ByteView bytes,
                                        FunctionRef<Error(std::string)> on_error) {
  Decoded<ObjectMap> map;
  if (!view.name_order_.empty()) {
    map = decode_record(bytes, view.fields_, view.name_order_);
  } else if (view.first_record_) {
    // One record alone is not worth computing the order for.
    view.first_record_ = false;
    map = decode_object_fields(bytes, view.fields_);
  } else {
    view.computed_order_ = field_order_by_name(view.fields_);
    view.name_order_ = view.computed_order_;
    map = decode_record(bytes, view.fields_, view.name_order_);
  }
  if (!map) return fail(on_error(object_error(view.name_, map.error())));
  return std::move(*map);
}

}  // namespace deziro::codec
