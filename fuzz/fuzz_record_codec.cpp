// Record codec: any bytes offered as a record of a collection with fields of
// every kind. The schema-free and the typed decoders must agree (with and
// without the name order), the field reader of the query filters must read
// every field as the typed decoder did (by walking and through a slot
// hint), and whatever decodes must round-trip through its encoder. The one
// exception is a link holding a key of another type than its target's: the
// decoder, which knows no other collection, reads it, and the encoder
// refuses it, as following the link reports it damaged.
#include "format/object/codec.hpp"
#include "format/object/codec_fields.hpp"
#include "support/fuzz_support.hpp"
#include "support/query_world.hpp"

using namespace deziro;

namespace {

struct Setup {
  Schema schema = fuzz::world_schema(false);
  const Collection& items = schema.collections[0];
  std::vector<std::uint32_t> order = codec::field_order_by_name(items.fields);
  FieldKind as_object = FieldKind::object(items.fields, items.next_field_id);
};

// Every declared field read as the query filters read it equals the typed
// decoder's value.
void check_field_reads(const Setup& s, ByteView bytes, const ObjectMap& typed) {
  auto frame = [](std::string message) { return Error::corrupted("record", std::move(message)); };
  const codec::RecordContext record{bytes, s.items.name, frame};
  for (const Field& field : s.items.fields) {
    const Value* expected = typed.get(field.name);
    FUZZ_CHECK(expected != nullptr, field.name);
    const std::uint16_t hint = codec::compute_slot_hint(bytes, field.id);
    for (std::uint16_t h : {kNoHint, hint}) {
      Value holder;
      auto read = codec::read_top_field(record, field, h, holder);
      FUZZ_CHECK(read.has_value(), field.name + ": " + read.error().to_string());
      FUZZ_CHECK(read->to_value() == *expected, field.name);
    }
  }
}

// Whether every link in `value` holds a key of its target's key kind.
bool links_fit(const Schema& schema, const Value& value, const FieldKind& kind) {
  switch (kind.code()) {
    case KindCode::Link: {
      if (value.is_null()) return true;
      const Collection* target = schema.collection_by_id(kind.link_target());
      const KindCode key = target->primary_key_field()->kind.code();
      return (key == KindCode::Int && value.kind() == ValueKind::Int) ||
             (key == KindCode::Str && value.kind() == ValueKind::String) ||
             (key == KindCode::Bytes && value.kind() == ValueKind::Bytes);
    }
    case KindCode::List:
      if (value.kind() != ValueKind::List) return true;
      for (const Value& item : value.as_list())
        if (!links_fit(schema, item, kind.element())) return false;
      return true;
    case KindCode::Object:
      if (value.kind() != ValueKind::Object) return true;
      for (const Field& field : kind.fields())
        if (const Value* v = value.as_object().get(field.name);
            v && !links_fit(schema, *v, field.kind))
          return false;
      return true;
    default:
      return true;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Setup s;
  const ByteView bytes = fuzz::input_bytes(data, size);
  auto loose = codec::decode_record_object(bytes);
  auto typed = codec::decode_record(bytes, s.items.fields);
  auto ordered = codec::decode_record(bytes, s.items.fields, s.order);
  FUZZ_CHECK(typed.has_value() == ordered.has_value(), fuzz::hex(bytes));
  if (typed) FUZZ_CHECK(*typed == *ordered, fuzz::hex(bytes));

  if (loose) {
    std::vector<std::uint8_t> again;
    codec::write_stored_record(again, *loose);
    auto back = codec::decode_record_object(again);
    FUZZ_CHECK(back && *back == *loose, fuzz::hex(again));
    // The typed decoder is the schema-free one followed by the conversion.
    auto converted = codec::convert_stored_value(codec::StoredValue::record(*loose), s.as_object);
    FUZZ_CHECK(converted.has_value() == typed.has_value(),
               std::string(converted ? typed.error() : converted.error()));
    if (typed) FUZZ_CHECK(*converted == Value::object(*typed), fuzz::hex(bytes));
  }
  if (!typed) return 0;

  check_field_reads(s, bytes, *typed);
  std::vector<std::uint8_t> encoded;
  auto written = codec::encode_object_fields(*typed, s.items.fields, s.schema, encoded);
  if (!written) {
    FUZZ_CHECK(!links_fit(s.schema, Value::object(*typed), s.as_object), written.error());
    return 0;
  }
  auto decoded = codec::decode_record(encoded, s.items.fields);
  FUZZ_CHECK(decoded && *decoded == *typed, fuzz::hex(encoded));
  return 0;
}
