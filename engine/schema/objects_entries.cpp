// Index entries: which entries an object or a stored record gives, in
// which byte form.
#include <algorithm>
#include <cstring>

#include "format/object/codec.hpp"
#include "format/object/key.hpp"
#include "schema/objects.hpp"

namespace deziro {

namespace objects {

bool contains(const IndexKeys& keys, std::uint32_t slot, ByteView key) {
  for (std::size_t i = 0; i < keys.size(); ++i)
    if (keys.slot_at(i) == slot && std::ranges::equal(keys.key_at(i), key)) return true;
  return false;
}

namespace {

void push_end(IndexKeys& out, std::uint32_t index) {
  out.refs().push_back(IndexKeys::Ref{index, out.arena().size()});
}

void append_bytes(std::vector<std::uint8_t>& out, ByteView bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

bool bytes_less(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  const std::size_t common = std::min(a.size(), b.size());
  if (common != 0) {
    if (const int c = std::memcmp(a.data(), b.data(), common); c != 0) return c < 0;
  }
  return a.size() < b.size();
}

// The entry key of one value that is not a list.
Status append_one(std::vector<std::uint8_t>& out, bool unique, const Value& value,
                  ByteView primary_key) {
  const std::size_t start = out.size();
  if (auto r = key::encode_value(value, out); !r) {
    out.resize(start);
    return fail(Error::internal(std::string(r.error())));
  }
  if (value.is_null() || !unique) append_bytes(out, primary_key);
  return ok();
}

// The entry of a scalar stored with the tag of its field's kind, straight
// from the record bytes; false when the value needs decoding instead.
bool scalar_index_entry(IndexKeys& out, std::uint32_t index, bool unique, ByteView record,
                        std::size_t tag_pos, const FieldKind& kind, ByteView primary_key) {
  const std::uint8_t tag = record[tag_pos];
  codec::Reader reader(record, tag_pos + 1);
  switch (kind.code()) {
    case KindCode::Bool:
      if (tag != codec::kTagFalse && tag != codec::kTagTrue) return false;
      out.arena().push_back(tag == codec::kTagTrue ? key::kTagTrue : key::kTagFalse);
      break;
    case KindCode::Int: {
      if (tag != codec::kTagInt) return false;
      auto raw = codec::read_varint(reader);
      if (!raw) return false;
      key::encode_int(codec::unzigzag(*raw), out.arena());
      break;
    }
    case KindCode::Float: {
      if (tag != codec::kTagFloat) return false;
      auto x = codec::read_f64(reader);
      if (!x) return false;
      key::encode_float(*x, out.arena());
      break;
    }
    case KindCode::Str:
    case KindCode::Bytes: {
      const bool is_str = kind.code() == KindCode::Str;
      if (tag != (is_str ? codec::kTagString : codec::kTagBytes)) return false;
      auto body = codec::read_length_prefixed(reader);
      if (!body) return false;
      if (is_str && !codec::is_utf8(*body)) return false;
      key::write_escaped(is_str ? key::kTagString : key::kTagBytes, *body, out.arena());
      break;
    }
    default:
      return false;
  }
  if (!unique) append_bytes(out.arena(), primary_key);
  push_end(out, index);
  return true;
}

// The indexed value of a field an object lacks (or holds as Null): its
// default when it has one, else Null. The same rule in every builder keeps
// the entries written and the entries later removed the same.
const Value& missing_value(const Field& field) {
  static const Value null;
  return field.default_value ? *field.default_value : null;
}

}  // namespace

Status append_index_keys(IndexKeys& out, std::uint32_t index, bool unique, const Value& value,
                         ByteView primary_key) {
  if (value.kind() != ValueKind::List) {
    DZ_CHECK(append_one(out.arena(), unique, value, primary_key));
    push_end(out, index);
    return ok();
  }
  std::vector<std::vector<std::uint8_t>> keys;
  keys.reserve(value.as_list().size());
  for (const Value& element : value.as_list()) {
    DZ_CHECK(append_one(keys.emplace_back(), unique, element, primary_key));
  }
  // One entry per distinct key, in ascending byte order.
  std::sort(keys.begin(), keys.end(), bytes_less);
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  for (const auto& one : keys) {
    append_bytes(out.arena(), one);
    push_end(out, index);
  }
  return ok();
}

Status record_index_keys(const Collection& collection, ByteView record, ByteView primary_key,
                         IndexKeys& out, std::optional<std::string>& message) {
  auto refuse = [&](std::string_view text) {
    message = std::string(text);
    return fail(Error::internal(std::string(text)));
  };
  out.arena().reserve(out.arena().size() + 48);
  out.refs().reserve(out.refs().size() + collection.indexes.size());
  for (std::uint32_t i = 0; i < collection.indexes.size(); ++i) {
    const Index& index = collection.indexes[i];
    const Field* field = collection.field_by_id(index.field_id);
    if (field == nullptr)
      return fail(Error::internal("an index is on a field its collection does not have"));
    auto position = codec::walk_fields(record, index.field_id);
    if (!position) return refuse(position.error());
    if (!*position) {
      if (!field->default_value && !field->optional) return refuse(codec::msg::kLacksRequired);
      DZ_CHECK(append_index_keys(out, i, index.unique, missing_value(*field), primary_key));
      continue;
    }
    if (**position >= record.size()) return refuse(codec::msg::kEndsEarly);
    if (field->kind.is_plain() &&
        scalar_index_entry(out, i, index.unique, record, **position, field->kind, primary_key))
      continue;
    codec::Reader reader(record, **position);
    auto value = codec::decode_typed_value(reader, field->kind, 0);
    if (!value) return refuse(value.error());
    const Value& indexed = value->is_null() ? missing_value(*field) : *value;
    DZ_CHECK(append_index_keys(out, i, index.unique, indexed, primary_key));
  }
  return ok();
}

Result<std::vector<std::pair<ByteString, ByteString>>> index_entries(std::uint64_t field_id,
                                                                     bool unique,
                                                                     std::span<const Field> fields,
                                                                     const ObjectMap& object,
                                                                     ByteView primary_key) {
  const Field* field = nullptr;
  for (const Field& f : fields)
    if (f.id == field_id) field = &f;
  if (field == nullptr)
    return fail(Error::internal("an index is on a field its collection does not have"));
  const Value* given = object.get(field->name);
  const Value& value = (given == nullptr || given->is_null()) ? missing_value(*field) : *given;
  IndexKeys buffer;
  DZ_CHECK(append_index_keys(buffer, 0, unique, value, primary_key));
  std::vector<std::pair<ByteString, ByteString>> entries;
  entries.reserve(buffer.size());
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    ByteView k = buffer.key_at(i);
    entries.emplace_back(
        ByteString(k.begin(), k.end()),
        unique ? ByteString(primary_key.begin(), primary_key.end()) : ByteString());
  }
  return entries;
}

}  // namespace objects
}  // namespace deziro
