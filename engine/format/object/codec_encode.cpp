// Values and objects encoded by their fields' kinds.
#include <cstring>

#include "format/object/codec.hpp"
#include "format/object/codec_internal.hpp"
#include "text_format.hpp"

namespace deziro::codec {

using detail::as_bytes;
using detail::insert_length_before;
using detail::varint_bytes;

namespace {

std::unexpected<std::string> not_a(KindCode code) {
  return std::unexpected(format_text("a value that is not {}", kind_phrase(code)));
}

EncodeStatus encode_value_unchecked_depth(const Value& value, const FieldKind& kind,
                                          const Schema& schema, std::vector<std::uint8_t>& out,
                                          std::size_t depth) {
  switch (kind.code()) {
    case KindCode::Bool:
      if (value.kind() != ValueKind::Bool) return not_a(kind.code());
      out.push_back(value.as_bool() ? kTagTrue : kTagFalse);
      return {};
    case KindCode::Int:
      if (value.kind() != ValueKind::Int) return not_a(kind.code());
      write_int(out, value.as_int());
      return {};
    case KindCode::Float:
      if (value.kind() != ValueKind::Float) return not_a(kind.code());
      write_float(out, value.as_float());
      return {};
    case KindCode::Str:
      if (value.kind() != ValueKind::String) return not_a(kind.code());
      write_text(out, kTagString, value.byte_view());
      return {};
    case KindCode::Bytes:
      if (value.kind() != ValueKind::Bytes) return not_a(kind.code());
      write_text(out, kTagBytes, value.byte_view());
      return {};
    case KindCode::Link: {
      const Collection* target = schema.collection_by_id(kind.link_target());
      const Field* key = target ? target->primary_key_field() : nullptr;
      if (key == nullptr) return not_a(kind.code());
      out.push_back(kTagLink);
      return encode_typed_value(value, key->kind, schema, out, depth + 1);
    }
    case KindCode::List: {
      if (value.kind() != ValueKind::List) return not_a(kind.code());
      out.push_back(kTagList);
      write_varint(out, value.as_list().size());
      for (const Value& item : value.as_list()) {
        if (auto r = encode_typed_value(item, kind.element(), schema, out, depth + 1); !r) return r;
      }
      return {};
    }
    case KindCode::Object: {
      if (value.kind() != ValueKind::Object) return not_a(kind.code());
      out.push_back(kTagRecord);
      const std::size_t start = out.size();
      if (auto r = encode_object_fields(value.as_object(), kind.fields(), schema, out, depth + 1);
          !r)
        return r;
      insert_length_before(out, start);
      return {};
    }
  }
  return not_a(kind.code());
}

}  // namespace

EncodeStatus encode_typed_value(const Value& value, const FieldKind& kind, const Schema& schema,
                                std::vector<std::uint8_t>& out, std::size_t depth) {
  // A value this deep could be written but never read back.
  if (depth >= kMaxDepth) return std::unexpected(std::string(msg::kNestsTooDeeply));
  const std::size_t start = out.size();
  auto r = encode_value_unchecked_depth(value, kind, schema, out, depth);
  if (!r) out.resize(start);
  return r;
}

EncodeStatus encode_object_fields(const ObjectMap& object, std::span<const Field> fields,
                                  const Schema& schema, std::vector<std::uint8_t>& out,
                                  std::size_t depth) {
  const std::size_t count_pos = out.size();
  write_varint(out, fields.size());
  std::uint64_t written = 0;
  std::size_t matched = 0;
  std::optional<std::string> failure;
  for (const Field& field : fields) {
    const Value* given = object.get(field.name);
    if (given != nullptr) ++matched;
    const Value* to_write = (given != nullptr && !given->is_null()) ? given : nullptr;
    if (to_write == nullptr) {
      if (field.optional) continue;
      if (!field.default_value) {
        failure = format_text("`{}` is required", field.name);
        break;
      }
      to_write = &*field.default_value;
    }
    write_varint(out, field.id);
    if (auto r = encode_typed_value(*to_write, field.kind, schema, out, depth); !r) {
      failure = format_text("`{}` holds {}", field.name, r.error());
      break;
    }
    ++written;
  }
  if (matched != object.size()) {
    for (const ObjectEntry& entry : object.entries()) {
      if (schema::find_by_name(fields, entry.name.view()) == nullptr) {
        failure = format_text("`{}` is not a field", entry.name.view());
        break;
      }
    }
  }
  if (failure) {
    out.resize(count_pos);
    return std::unexpected(std::move(*failure));
  }
  patch_count(out, count_pos, written, fields.size());
  return {};
}

void patch_count(std::vector<std::uint8_t>& buffer, std::size_t position, std::uint64_t written,
                 std::uint64_t declared) {
  if (written == declared) return;
  const std::size_t old_size = varint_size(declared);
  std::uint8_t buf[10];
  const std::size_t n = varint_bytes(written, buf);
  const auto at = buffer.begin() + static_cast<std::ptrdiff_t>(position);
  if (n < old_size) {
    buffer.erase(at, at + static_cast<std::ptrdiff_t>(old_size - n));
  } else if (n > old_size) {
    buffer.insert(at, n - old_size, 0);
  }
  std::memcpy(buffer.data() + position, buf, n);
}

void encode_str_list(std::vector<std::uint8_t>& out, std::span<const std::string_view> strings) {
  out.push_back(kTagList);
  write_varint(out, strings.size());
  for (const std::string_view s : strings) write_text(out, kTagString, as_bytes(s));
}

void encode_str_list(std::vector<std::uint8_t>& out, std::span<const std::string> strings) {
  out.push_back(kTagList);
  write_varint(out, strings.size());
  for (const std::string& s : strings) write_text(out, kTagString, as_bytes(s));
}

}  // namespace deziro::codec
