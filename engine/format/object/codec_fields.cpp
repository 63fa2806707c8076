#include "format/object/codec_fields.hpp"

#include <cstring>

#include "format/object/key.hpp"
#include "format/object/names.hpp"
#include "text_format.hpp"

namespace deziro {
namespace codec {

FieldValue FieldValue::of(const Value& value) {
  FieldValue v;
  switch (value.kind()) {
    case ValueKind::Null:
      v.kind = Kind::Null;
      break;
    case ValueKind::Bool:
      v.kind = Kind::Bool;
      v.b = value.as_bool();
      break;
    case ValueKind::Int:
      v.kind = Kind::Int;
      v.i = value.as_int();
      break;
    case ValueKind::Float:
      v.kind = Kind::Float;
      v.f = value.as_float();
      break;
    case ValueKind::String:
      v.kind = Kind::Str;
      v.bytes = value.byte_view();
      break;
    case ValueKind::Bytes:
      v.kind = Kind::Bytes;
      v.bytes = value.byte_view();
      break;
    default:
      v.kind = Kind::Owned;
      v.owned = &value;
      break;
  }
  return v;
}

Value FieldValue::to_value() const {
  switch (kind) {
    case Kind::Null:
      return Value::null();
    case Kind::Bool:
      return Value::boolean(b);
    case Kind::Int:
      return Value::integer(i);
    case Kind::Float:
      return Value::floating(f);
    case Kind::Str:
      return Value::string(std::string(bytes.begin(), bytes.end()));
    case Kind::Bytes:
      return Value::bytes(bytes);
    case Kind::Owned:
      return *owned;
  }
  return Value::null();
}

namespace {

// Whether a borrowed value suits a field of `code`.
bool fits_kind(KindCode code, FieldValue::Kind kind) {
  using K = FieldValue::Kind;
  switch (code) {
    case KindCode::Bool:
      return kind == K::Bool;
    case KindCode::Int:
      return kind == K::Int;
    case KindCode::Float:
      return kind == K::Float;
    case KindCode::Str:
      return kind == K::Str;
    case KindCode::Bytes:
      return kind == K::Bytes;
    default:
      return kind == K::Owned;
  }
}

Decoded<std::optional<std::size_t>> hinted_position(ByteView record, std::uint64_t field_id,
                                                    std::uint16_t hint) {
  if (hint == kNoHint) return walk_fields(record, field_id);
  if (hint == 0) return std::optional<std::size_t>();
  return std::optional<std::size_t>(hint);
}

}  // namespace

Result<FieldValue> read_top_field(const RecordContext& cx, const Field& field, std::uint16_t hint,
                                  Value& holder) {
  const auto pos = hinted_position(cx.record, field.id, hint);
  if (!pos) return fail(cx.error(pos.error()));
  if (!*pos) {
    if (field.default_value) return FieldValue::of(*field.default_value);
    if (field.optional) return FieldValue{};
    return fail(cx.error(msg::kLacksRequired));
  }
  const std::size_t p = **pos;
  if (p >= cx.record.size()) return fail(cx.error(msg::kEndsEarly));
  Reader reader(cx.record, p + 1);
  FieldValue v;
  switch (cx.record[p]) {
    case kTagFalse:
    case kTagTrue:
      v.kind = FieldValue::Kind::Bool;
      v.b = cx.record[p] == kTagTrue;
      break;
    case kTagInt: {
      const auto x = read_varint(reader);
      if (!x) return fail(cx.error(x.error()));
      v.kind = FieldValue::Kind::Int;
      v.i = unzigzag(*x);
      break;
    }
    case kTagFloat: {
      const auto x = read_f64(reader);
      if (!x) return fail(cx.error(x.error()));
      v.kind = FieldValue::Kind::Float;
      v.f = *x;
      break;
    }
    case kTagString:
    case kTagBytes: {
      const auto body = read_length_prefixed(reader);
      if (!body) return fail(cx.error(body.error()));
      if (cx.record[p] == kTagString) {
        if (!is_utf8(*body)) return fail(cx.error(msg::kNotUtf8));
        v.kind = FieldValue::Kind::Str;
      } else {
        v.kind = FieldValue::Kind::Bytes;
      }
      v.bytes = *body;
      break;
    }
    default: {
      const auto end = skip_value(cx.record, p, 0);
      if (!end) return fail(cx.error(end.error()));
      auto decoded = check_value_end(cx.record.subspan(p, *end - p), field.kind);
      if (!decoded) return fail(cx.error(decoded.error()));
      holder = std::move(*decoded);
      v.kind = FieldValue::Kind::Owned;
      v.owned = &holder;
      break;
    }
  }
  if (!fits_kind(field.kind.code(), v.kind)) return fail(cx.error(msg::kOtherType));
  return v;
}

std::uint16_t compute_slot_hint(ByteView record, std::uint64_t field_id) noexcept {
  Reader reader(record);
  const auto count = read_varint(reader);
  if (!count) return kNoHint;
  if (*count > reader.remaining() / 2) return kNoHint;
  std::uint64_t previous = 0;
  for (std::uint64_t i = 0; i < *count; ++i) {
    const auto id = read_varint(reader);
    if (!id) return kNoHint;
    if (i != 0 && *id <= previous) return kNoHint;
    previous = *id;
    if (*id > field_id) return 0;
    if (*id == field_id) return reader.pos >= kNoHint ? kNoHint : std::uint16_t(reader.pos);
    std::size_t next = 0;
    const std::uint8_t tag = reader.pos < record.size() ? record[reader.pos] : 0;
    if (tag == kTagFalse || tag == kTagTrue) {
      next = reader.pos + 1;
    } else {
      const auto end = skip_value(record, reader.pos, 0);
      if (!end) return kNoHint;
      next = *end;
    }
    reader.pos = next;
  }
  return 0;
}

}  // namespace codec

}  // namespace deziro
