#include "format/object/codec.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "support/object_samples.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using codec::Decoded;
using codec::Reader;
using codec::StoredValue;
using test::bytes;
using test::make_field;
using Bytes = std::vector<std::uint8_t>;

template <typename T>
std::string_view message_of(const Decoded<T>& d) {
  return d ? std::string_view("ok") : d.error();
}

Decoded<StoredValue> decode_all(const Bytes& b) {
  Reader r(b);
  auto v = codec::decode_value(r, 0);
  if (v && !r.at_end()) return std::unexpected(codec::msg::kValueTrailing);
  return v;
}

Bytes encode(const Value& v, const FieldKind& kind, const Schema& schema = {}) {
  Bytes out;
  const auto r = codec::encode_typed_value(v, kind, schema, out);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
  return out;
}

// --------------------------------------------------------------- varints

TEST(RecordInts, ZigzagVarintsHaveTheirDocumentedBytes) {
  EXPECT_EQ(encode(Value::integer(-1), FieldKind::integer()), bytes({4, 0x01}));
  EXPECT_EQ(encode(Value::integer(0), FieldKind::integer()), bytes({4, 0x00}));
  EXPECT_EQ(encode(Value::integer(1), FieldKind::integer()), bytes({4, 0x02}));
  EXPECT_EQ(encode(Value::integer(INT64_MIN), FieldKind::integer()),
            bytes({4, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
}

TEST(RecordInts, EveryIntRoundTripsInItsShortestForm) {
  test::RandomValues random(1);
  for (int i = 0; i < 20000; ++i) {
    const std::int64_t x = random.int64();
    const Bytes b = encode(Value::integer(x), FieldKind::integer());
    ASSERT_EQ(b.size(), 1 + codec::varint_size(codec::zigzag(x)));
    ASSERT_TRUE(b.size() == 2 || b.back() != 0) << x;  // no padding byte
    Reader r(b);
    const auto back = codec::decode_typed_value(r, FieldKind::integer(), 0);
    ASSERT_TRUE(back.has_value());
    ASSERT_EQ(back->as_int(), x);
    ASSERT_TRUE(r.at_end());
  }
}

TEST(RecordVarints, NonMinimalFormsAreReadButBadTenthBytesAreRefused) {
  Bytes padded = bytes({0x80, 0x00});
  Reader r(padded);
  EXPECT_EQ(codec::read_varint(r).value(), 0u);
  EXPECT_EQ(r.pos, 2u);

  Bytes nine(9, 0xFF);
  auto with_tenth = [&](int tenth) {
    Bytes b = nine;
    b.push_back(static_cast<std::uint8_t>(tenth));
    b.push_back(0x00);  // an 11th byte that must never be read
    Reader reader(b);
    return codec::read_varint(reader);
  };
  EXPECT_EQ(with_tenth(0x01).value(), UINT64_MAX);
  EXPECT_EQ(message_of(with_tenth(0x02)), "a record has a number too large");
  EXPECT_EQ(message_of(with_tenth(0x7F)), "a record has a number too large");
  EXPECT_EQ(message_of(with_tenth(0x80)), "a record has a number too long");
  EXPECT_EQ(message_of(with_tenth(0x81)), "a record has a number too long");
  EXPECT_EQ(message_of(with_tenth(0x82)), "a record has a number too large");

  Bytes cut = bytes({0x80, 0x80});
  Reader rc(cut);
  EXPECT_EQ(message_of(codec::read_varint(rc)), "a record ends early");
}

// ---------------------------------------------------- schema-free decode

TEST(RecordCounts, CountsLargerThanTheBytesAreRefusedBeforeReading) {
  Bytes record = bytes({5, 1, 2, 2, 2, 3, 2, 4, 2, 5});  // 5 fields need 10 bytes, 9 left
  EXPECT_EQ(message_of(codec::decode_record_object(record)), "a record counts more than it holds");
  // A list that claims 2^60 items: refused at once, nothing reserved for them.
  Bytes list = bytes({8, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x10, 2});
  EXPECT_EQ(message_of(decode_all(list)), "a record counts more than it holds");
  EXPECT_EQ(message_of(codec::skip_value(list, 0)), "a record counts more than it holds");
  // Exactly enough bytes is fine: 2 fields, 4 bytes.
  EXPECT_TRUE(codec::decode_record_object(bytes({2, 1, 2, 2, 3})).has_value());
}

TEST(RecordFieldIds, RepeatedOrFallingIdsAreRefused) {
  EXPECT_EQ(message_of(codec::decode_record_object(bytes({2, 3, 2, 3, 2}))),
            "a record's field ids are out of order");
  EXPECT_EQ(message_of(codec::decode_record_object(bytes({2, 4, 2, 2, 2}))),
            "a record's field ids are out of order");
}

Bytes nested_lists(int levels, bool innermost_int) {
  Bytes b;
  for (int i = 0; i < levels; ++i) {
    b.push_back(8);
    b.push_back(i + 1 < levels || innermost_int ? 1 : 0);
  }
  if (innermost_int) b.insert(b.end(), {4, 2});
  return b;
}

TEST(RecordDepth, SixtyThreeLevelsDecodeAndSixtyFourAreRefused) {
  EXPECT_TRUE(decode_all(nested_lists(63, true)).has_value());
  EXPECT_EQ(message_of(decode_all(nested_lists(64, true))), "a record nests too deeply");
  EXPECT_TRUE(decode_all(nested_lists(64, false)).has_value());  // empty list at depth 63
  EXPECT_EQ(message_of(decode_all(nested_lists(65, false))), "a record nests too deeply");

  EXPECT_TRUE(codec::skip_value(nested_lists(63, true), 0).has_value());
  EXPECT_EQ(message_of(codec::skip_value(nested_lists(64, true), 0)), "a record nests too deeply");

  // Links count as a level too.
  Bytes links(64, 10);
  links.insert(links.end(), {4, 2});
  EXPECT_EQ(message_of(decode_all(links)), "a record nests too deeply");
  links.erase(links.begin());
  EXPECT_TRUE(decode_all(links).has_value());
}

TEST(RecordTags, TagsOutsideTwoToTenAreRefused) {
  for (int tag : {0, 1, 11, 12, 0x80, 255}) {
    EXPECT_EQ(message_of(decode_all(bytes({tag}))), "a record has an unknown tag") << tag;
    EXPECT_EQ(message_of(codec::skip_value(bytes({tag}), 0)), "a record has an unknown tag");
  }
  // Depth is checked before the end of the bytes, and both before the tag.
  Reader r(Bytes{});
  EXPECT_EQ(message_of(codec::decode_value(r, 64)), "a record nests too deeply");
  EXPECT_EQ(message_of(codec::decode_value(r, 63)), "a record ends early");
}

TEST(RecordTruncation, EveryStrictPrefixOfARecordIsRefused) {
  ObjectMap inner;
  inner.insert("s", Value::string("hello"));
  ObjectMap object;
  object.insert("a", Value::integer(-300));
  object.insert("b", Value::floating(2.5));
  object.insert("c", Value::list({Value::bytes(std::string_view("\0\1", 2))}));
  object.insert("d", Value::object(inner));
  const std::vector<Field> fields = {
      make_field(1, "a", FieldKind::integer()), make_field(2, "b", FieldKind::floating()),
      make_field(3, "c", FieldKind::list(FieldKind::bytes())),
      make_field(4, "d", FieldKind::object({make_field(1, "s", FieldKind::str())}, 2))};
  Bytes record;
  ASSERT_TRUE(codec::encode_object_fields(object, fields, Schema{}, record).has_value());
  ASSERT_EQ(codec::decode_object_fields(record, fields).value(), object);
  for (std::size_t n = 0; n < record.size(); ++n) {
    const Bytes prefix(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(n));
    const auto stored = codec::decode_record_object(prefix);
    EXPECT_FALSE(stored.has_value()) << n;
    if (!stored) {
      EXPECT_TRUE(stored.error() == "a record ends early" ||
                  stored.error() == "a record counts more than it holds")
          << n << ": " << stored.error();
    }
    EXPECT_FALSE(codec::decode_object_fields(prefix, fields).has_value()) << n;
  }
  Bytes longer = record;
  longer.push_back(0);
  EXPECT_EQ(message_of(codec::decode_record_object(longer)),
            "a record has bytes after its last field");
  EXPECT_EQ(message_of(codec::decode_object_fields(longer, fields)),
            "a record has bytes after its last field");
}

TEST(RecordEmbedded, DeclaredLengthLongerThanItsFieldsIsRefused) {
  // One field (1) holding an embedded record of length 3 whose one field
  // (1: false) takes only 3 bytes... then one stray byte inside.
  EXPECT_TRUE(decode_all(bytes({9, 3, 1, 1, 2})).has_value());
  EXPECT_EQ(message_of(decode_all(bytes({9, 4, 1, 1, 2, 2}))),
            "an embedded record has bytes after its last field");
  EXPECT_EQ(message_of(decode_all(bytes({9, 5, 1, 1, 2}))), "a record ends early");
}

TEST(RecordStrings, InvalidUtf8IsRefusedOnlyWhereTextIsExpected) {
  EXPECT_EQ(message_of(decode_all(bytes({6, 1, 0xFF}))),
            "a record holds a string that is not UTF-8");
  EXPECT_TRUE(decode_all(bytes({7, 1, 0xFF})).has_value());
  EXPECT_TRUE(codec::skip_value(bytes({6, 1, 0xFF}), 0).has_value());  // skipping never looks
  for (const char* bad : {"\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\x80"}) {
    const std::string_view s(bad);
    EXPECT_FALSE(codec::is_utf8({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()})) << s;
  }
  const std::string good = "plain ascii text, then \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 at the end";
  EXPECT_TRUE(codec::is_utf8({reinterpret_cast<const std::uint8_t*>(good.data()), good.size()}));
}

// -------------------------------------------------------- typed decoding

const std::vector<Field>& three_fields() {
  static const std::vector<Field> fields = {
      make_field(1, "req", FieldKind::integer()),
      make_field(2, "opt", FieldKind::str(), true),
      make_field(3, "dflt", FieldKind::floating(), false, Value::floating(0.5)),
  };
  return fields;
}

TEST(RecordTypedDecode, MissingFieldsReadAsDefaultNullOrAreRefused) {
  const auto map = codec::decode_object_fields(bytes({1, 1, 4, 6}), three_fields());
  ASSERT_TRUE(map.has_value());
  EXPECT_EQ(*map->get("req"), Value::integer(3));
  EXPECT_EQ(*map->get("opt"), Value::null());
  EXPECT_EQ(*map->get("dflt"), Value::floating(0.5));
  EXPECT_EQ(message_of(codec::decode_object_fields(bytes({1, 2, 6, 0}), three_fields())),
            "a record lacks a required field");
  EXPECT_EQ(message_of(codec::decode_object_fields(bytes({0}), three_fields())),
            "a record lacks a required field");
}

TEST(RecordTypedDecode, StaleFieldsAreSkippedButMustBeWellFormed) {
  // Field 9 is not declared: dropped when sound, refused when malformed.
  const auto map = codec::decode_object_fields(bytes({2, 1, 4, 6, 9, 6, 1, 'x'}), three_fields());
  ASSERT_TRUE(map.has_value());
  EXPECT_EQ(map->size(), 3u);
  EXPECT_EQ(
      message_of(codec::decode_object_fields(bytes({2, 1, 4, 6, 9, 6, 1, 0xFF}), three_fields())),
      "a record holds a string that is not UTF-8");
  EXPECT_EQ(message_of(codec::decode_object_fields(bytes({2, 1, 4, 6, 9, 42}), three_fields())),
            "a record has an unknown tag");
}

TEST(RecordTypedDecode, ValuesOfAnotherTypeThanTheirFieldAreRefused) {
  const std::vector<Field> fields = {make_field(1, "b", FieldKind::bytes())};
  EXPECT_EQ(message_of(codec::decode_object_fields(bytes({1, 1, 6, 1, 'x'}), fields)),
            "a record holds a value of another type than its field");
  const std::vector<Field> strs = {make_field(1, "s", FieldKind::str())};
  EXPECT_EQ(message_of(codec::decode_object_fields(bytes({1, 1, 6, 1, 0xFF}), strs)),
            "a record holds a string that is not UTF-8");
  // A list field holding an int, and an int field holding a list.
  const std::vector<Field> lists = {make_field(1, "l", FieldKind::list(FieldKind::integer()))};
  EXPECT_EQ(message_of(codec::decode_object_fields(bytes({1, 1, 4, 2}), lists)),
            "a record holds a value of another type than its field");
  EXPECT_EQ(message_of(codec::decode_object_fields(bytes({1, 1, 8, 1, 4, 2}), three_fields())),
            "a record holds a value of another type than its field");
}

TEST(RecordTypedDecode, LinksReadAsTheKeyTheyHold) {
  const std::vector<Field> fields = {make_field(1, "owner", FieldKind::link(1))};
  EXPECT_EQ(*codec::decode_object_fields(bytes({1, 1, 10, 6, 2, 'h', 'i'}), fields)->get("owner"),
            Value::string("hi"));
  EXPECT_EQ(*codec::decode_object_fields(bytes({1, 1, 10, 4, 3}), fields)->get("owner"),
            Value::integer(-2));
  EXPECT_EQ(message_of(codec::decode_object_fields(bytes({1, 1, 10, 2}), fields)),
            "a record links by a key that cannot be one");
  EXPECT_EQ(message_of(codec::decode_object_fields(bytes({1, 1, 10}), fields)),
            "a record ends early");
  EXPECT_EQ(message_of(codec::decode_object_fields(bytes({1, 1, 7, 0}), fields)),
            "a record holds a value of another type than its field");
}

TEST(RecordTypedDecode, NameOrderPermutationGivesTheSortedMap) {
  std::vector<Field> fields;
  ObjectMap object;
  test::RandomValues random(5);
  for (std::uint64_t id = 1; id <= 40; ++id) {
    std::string name = "f" + std::to_string(random.below(1000)) + "_" + std::to_string(id);
    fields.push_back(make_field(id, name, FieldKind::integer()));
    object.insert(name, Value::integer(random.int64()));
  }
  Bytes record;
  ASSERT_TRUE(codec::encode_object_fields(object, fields, Schema{}, record).has_value());
  const auto order = codec::field_order_by_name(fields);
  EXPECT_EQ(codec::decode_record(record, fields, order).value(), object);
  EXPECT_EQ(codec::decode_record(record, fields).value(), object);
  // An order of the wrong length falls back to sorting.
  EXPECT_EQ(codec::decode_record(record, fields, std::span(order).first(3)).value(), object);
}

TEST(RecordTypedDecode, ReusedMapInNameOrderMatchesAFreshDecode) {
  // Records of one collection decoded one after another into the same map,
  // values placed by name rank, must equal a fresh sorted decode each time;
  // a refused record leaves the map empty, and a map last used for other
  // fields is corrected.
  test::RandomValues random(77);
  std::vector<Field> fields;
  for (std::uint64_t id = 1; id <= 12; ++id) {
    FieldKind kind = test::plain_kind(random.below(5));
    std::optional<Value> default_value;
    if (id % 4 == 0) default_value = random.plain(kind.code());
    fields.push_back(make_field(id,
                                "n" + std::to_string(random.below(50)) + "_" + std::to_string(id),
                                std::move(kind), id % 3 == 0, std::move(default_value)));
  }
  const auto order = codec::field_order_by_name(fields);
  ObjectMap reused;
  reused.insert("stale", Value::integer(1));
  for (int i = 0; i < 500; ++i) {
    ObjectMap object;
    for (const Field& f : fields)
      if (random.below(4) != 0 || (!f.optional && !f.default_value))
        object.insert(f.name, random.plain(f.kind.code()));
    Bytes record;
    ASSERT_TRUE(codec::encode_object_fields(object, fields, Schema{}, record).has_value());
    if (i % 50 == 49) record.push_back(0);  // now refused
    const auto fresh = codec::decode_object_fields(record, fields);
    const auto into = codec::decode_object_fields_into(record, fields, reused, order);
    ASSERT_EQ(fresh.has_value(), into.has_value());
    if (fresh) {
      ASSERT_EQ(reused, *fresh);
    } else {
      ASSERT_TRUE(reused.empty());
    }
  }
}

// ------------------------------------------------------------- encoding

TEST(RecordEncode, FloatsKeepTheirExactBits) {
  for (std::uint64_t bits : {0x8000000000000000ULL, 0x7FF0000000000001ULL, 0xFFF8000000000ABCULL,
                             0x0000000000000001ULL}) {
    const double x = std::bit_cast<double>(bits);
    const Bytes b = encode(Value::floating(x), FieldKind::floating());
    ASSERT_EQ(b.size(), 9u);
    EXPECT_EQ(b[1], bits & 0xFF);  // little-endian
    Reader r(b);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(
                  codec::decode_typed_value(r, FieldKind::floating(), 0)->as_float()),
              bits);
  }
}

TEST(RecordEncode, WrongVariantsNameTheExpectedKind) {
  Bytes out;
  const Schema none;
  auto refusal = [&](const Value& v, const FieldKind& k) {
    const auto r = codec::encode_typed_value(v, k, none, out);
    EXPECT_TRUE(out.empty());
    return r ? std::string("ok") : r.error();
  };
  EXPECT_EQ(refusal(Value::floating(1), FieldKind::integer()), "a value that is not an int");
  EXPECT_EQ(refusal(Value::integer(1), FieldKind::boolean()), "a value that is not a bool");
  EXPECT_EQ(refusal(Value::integer(1), FieldKind::floating()), "a value that is not a float");
  EXPECT_EQ(refusal(Value::bytes(ByteString{}), FieldKind::str()), "a value that is not a string");
  EXPECT_EQ(refusal(Value::string(""), FieldKind::bytes()), "a value that is not bytes");
  EXPECT_EQ(refusal(Value::integer(1), FieldKind::list(FieldKind::integer())),
            "a value that is not a list");
  EXPECT_EQ(refusal(Value::null(), FieldKind::object({}, 1)), "a value that is not an object");
  // A link to a collection the schema does not have cannot be written.
  EXPECT_EQ(refusal(Value::integer(1), FieldKind::link(3)), "a value that is not a link");
  // A list item's failure comes back without a frame of its own.
  EXPECT_EQ(refusal(Value::list({Value::integer(1), Value::null()}),
                    FieldKind::list(FieldKind::integer())),
            "a value that is not an int");
}

TEST(RecordEncode, LinksAreWrittenUnderTheTargetsKeyKind) {
  Schema schema;
  schema.collections.push_back(
      test::make_collection(4, "tags", {make_field(1, "name", FieldKind::str())}, 1));
  Bytes out;
  ASSERT_TRUE(codec::encode_typed_value(Value::string("x"), FieldKind::link(4), schema, out));
  EXPECT_EQ(out, bytes({10, 6, 1, 'x'}));
  out.clear();
  const auto r = codec::encode_typed_value(Value::integer(1), FieldKind::link(4), schema, out);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "a value that is not a string");
}

const FieldKind& embedded_kind() {
  static const FieldKind kind = FieldKind::object(
      {make_field(1, "a", FieldKind::integer()), make_field(2, "b", FieldKind::str(), true),
       make_field(3, "c", FieldKind::integer(), true, Value::integer(7))},
      4);
  return kind;
}

TEST(RecordEncode, OptionalFieldsGivenNullAreLeftOutEvenWithADefault) {
  ObjectMap object;
  object.insert("a", Value::integer(1));
  object.insert("b", Value::null());
  object.insert("c", Value::null());
  const Bytes b = encode(Value::object(object), embedded_kind());
  // Tag 9, length 4, count 1 (of 3 declared), field 1 = Int(1).
  EXPECT_EQ(b, bytes({9, 4, 1, 1, 4, 2}));
  Reader r(b);
  const auto back = codec::decode_typed_value(r, embedded_kind(), 0);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back->as_object().get("b"), Value::null());
  EXPECT_EQ(*back->as_object().get("c"), Value::integer(7));  // the default, not Null
}

TEST(RecordEncode, EmbeddedObjectFailuresNameTheirField) {
  const Schema none;
  Bytes out;
  auto refusal = [&](const ObjectMap& object) {
    const auto r = codec::encode_typed_value(Value::object(object), embedded_kind(), none, out);
    EXPECT_TRUE(out.empty());
    return r ? std::string("ok") : r.error();
  };
  ObjectMap missing;
  EXPECT_EQ(refusal(missing), "`a` is required");
  ObjectMap wrong;
  wrong.insert("a", Value::string("1"));
  EXPECT_EQ(refusal(wrong), "`a` holds a value that is not an int");
  // An unknown name wins over an earlier field's failure.
  wrong.insert("zz", Value::integer(1));
  EXPECT_EQ(refusal(wrong), "`zz` is not a field");
  ObjectMap extra;
  extra.insert("a", Value::integer(1));
  extra.insert("d", Value::integer(1));
  EXPECT_EQ(refusal(extra), "`d` is not a field");
}

TEST(RecordEncode, CountShrinksWhenAbsentFieldsTakeItBelow128) {
  std::vector<Field> fields;
  ObjectMap object;
  for (std::uint64_t id = 1; id <= 130; ++id) {
    const std::string name = "f" + std::to_string(id);
    fields.push_back(make_field(id, name, FieldKind::integer(), true));
    if (id % 26 != 0) object.insert(name, Value::integer(static_cast<std::int64_t>(id)));
  }
  ASSERT_EQ(object.size(), 125u);
  Bytes record;
  ASSERT_TRUE(codec::encode_object_fields(object, fields, Schema{}, record).has_value());
  EXPECT_EQ(record[0], 125);  // one byte: the two-byte count of 130 was shortened
  auto back = codec::decode_object_fields(record, fields);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->size(), 130u);
  EXPECT_EQ(*back->get("f26"), Value::null());
  EXPECT_EQ(*back->get("f129"), Value::integer(129));
}

TEST(RecordEncode, PatchCountMovesTheTailBothWays) {
  Bytes b = bytes({0x82, 0x01, 'x', 'y'});  // 130
  codec::patch_count(b, 0, 5, 130);
  EXPECT_EQ(b, bytes({5, 'x', 'y'}));
  codec::patch_count(b, 0, 300, 5);
  EXPECT_EQ(b, bytes({0xAC, 0x02, 'x', 'y'}));
  codec::patch_count(b, 0, 300, 300);
  EXPECT_EQ(b, bytes({0xAC, 0x02, 'x', 'y'}));
}

// An embedded object nested `levels` deep whose innermost holds an int.
FieldKind nested_kind(int levels) {
  FieldKind kind = FieldKind::object({make_field(1, "x", FieldKind::integer())}, 2);
  for (int i = 1; i < levels; ++i) kind = FieldKind::object({make_field(1, "o", kind)}, 2);
  return kind;
}
Value nested_value(int levels) {
  ObjectMap inner;
  inner.insert("x", Value::integer(1));
  Value v = Value::object(inner);
  for (int i = 1; i < levels; ++i) {
    ObjectMap outer;
    outer.insert("o", std::move(v));
    v = Value::object(std::move(outer));
  }
  return v;
}

TEST(RecordEncode, ValuesNestedTooDeeplyToReadBackAreRefusedWhenWritten) {
  // 63 embedded objects put the int at depth 63: written and read back.
  Bytes ok;
  ASSERT_TRUE(codec::encode_typed_value(nested_value(63), nested_kind(63), Schema{}, ok));
  Reader r(ok);
  EXPECT_EQ(codec::decode_typed_value(r, nested_kind(63), 0).value(), nested_value(63));
  // 64 put it at depth 64, which no reader takes: refused, nothing written.
  Bytes out;
  const auto refused = codec::encode_typed_value(nested_value(64), nested_kind(64), Schema{}, out);
  ASSERT_FALSE(refused.has_value());
  EXPECT_TRUE(refused.error().ends_with("a record nests too deeply")) << refused.error();
  EXPECT_TRUE(out.empty());
  // Lists as well: an item at depth 64 is refused, at 63 written.
  const FieldKind ints = FieldKind::list(FieldKind::integer());
  Bytes list_out;
  EXPECT_TRUE(
      codec::encode_typed_value(Value::list({Value::integer(1)}), ints, Schema{}, list_out, 62));
  const auto deep =
      codec::encode_typed_value(Value::list({Value::integer(1)}), ints, Schema{}, list_out, 63);
  ASSERT_FALSE(deep.has_value());
  EXPECT_EQ(deep.error(), "a record nests too deeply");
}

TEST(RecordEncode, StrListsHaveTheirDocumentedBytes) {
  Bytes out;
  const std::string_view path[] = {"a", "", "bc"};
  codec::encode_str_list(out, path);
  EXPECT_EQ(out, bytes({8, 3, 6, 1, 'a', 6, 0, 6, 2, 'b', 'c'}));
  const auto back = decode_all(out);
  ASSERT_TRUE(back.has_value());
  ASSERT_EQ(back->as_list().size(), 3u);
  EXPECT_EQ(back->as_list()[2].as_string(), "bc");
}

// ------------------------------------------------------- round trips

// A random kind (lists of plain kinds, embedded objects a few levels deep)
// and a random value of it, to run through the encoder and both decoders.
FieldKind random_kind(test::RandomValues& random, int depth) {
  const std::uint64_t pick = random.below(depth < 3 ? 8 : 5);
  switch (pick) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
      return test::plain_kind(pick);
    case 5:
    case 6:
      return FieldKind::list(random_kind(random, 3));
    default: {
      std::vector<Field> fields;
      std::uint64_t id = 0;
      const std::size_t n = random.below(5);
      for (std::size_t i = 0; i < n; ++i) {
        id += 1 + random.below(3);
        fields.push_back(
            make_field(id, "f" + std::to_string(random.below(100)) + "_" + std::to_string(i),
                       random_kind(random, depth + 1), random.below(3) == 0));
      }
      return FieldKind::object(std::move(fields), id + 1);
    }
  }
}

Value random_value(test::RandomValues& random, const FieldKind& kind) {
  switch (kind.code()) {
    case KindCode::Bool:
    case KindCode::Int:
    case KindCode::Float:
    case KindCode::Str:
    case KindCode::Bytes:
      return random.plain(kind.code());
    case KindCode::List: {
      ValueList items(random.below(4));
      for (Value& item : items) item = random_value(random, kind.element());
      return Value::list(std::move(items));
    }
    case KindCode::Object: {
      ObjectMap map;
      for (const Field& f : kind.fields()) {
        // Optional fields are sometimes left out: they read back as Null.
        map.insert(f.name,
                   f.optional && random.below(2) ? Value::null() : random_value(random, f.kind));
      }
      return Value::object(std::move(map));
    }
    case KindCode::Link:
      break;
  }
  return Value::null();
}

TEST(RecordRoundTrip, EveryEncodedValueDecodesToWhatWasEncoded) {
  test::RandomValues random(2024);
  const Schema none;
  for (int i = 0; i < 3000; ++i) {
    const FieldKind kind = random_kind(random, 0);
    const Value value = random_value(random, kind);
    Bytes b;
    const auto written = codec::encode_typed_value(value, kind, none, b);
    ASSERT_TRUE(written.has_value()) << written.error();
    // Typed reading gives the value back exactly.
    Reader r(b);
    const auto typed = codec::decode_typed_value(r, kind, 0);
    ASSERT_TRUE(typed.has_value()) << typed.error() << " for " << value.debug_string();
    ASSERT_TRUE(r.at_end());
    ASSERT_EQ(*typed, value) << value.debug_string() << " came back as " << typed->debug_string();
    // So does the road through StoredValue, and skipping lands at the end.
    ASSERT_EQ(codec::check_value_end(b, kind).value(), value);
    ASSERT_EQ(codec::skip_value(b, 0).value(), b.size());
    // Writing the schema-free form again gives the same bytes.
    const auto stored = decode_all(b);
    ASSERT_TRUE(stored.has_value());
    Bytes again;
    codec::write_stored_value(again, *stored);
    ASSERT_EQ(again, b);
  }
}

TEST(RecordRoundTrip, DamagedRecordsAreRefusedOrReadConsistentlyNeverMisread) {
  // Valid records with bytes flipped, dropped or added: every reader either
  // refuses them or agrees with the others on where the value ends.
  test::RandomValues random(606);
  const Schema none;
  for (int i = 0; i < 4000; ++i) {
    const FieldKind kind = random_kind(random, 0);
    Bytes b;
    ASSERT_TRUE(codec::encode_typed_value(random_value(random, kind), kind, none, b));
    switch (random.below(3)) {
      case 0:
        b[random.below(b.size())] ^= static_cast<std::uint8_t>(1 + random.below(255));
        break;
      case 1:
        b.resize(random.below(b.size()));
        break;
      default:
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(random.below(b.size() + 1)),
                 static_cast<std::uint8_t>(random.below(256)));
    }
    Reader r(b);
    const auto stored = codec::decode_value(r, 0);
    const auto skipped = codec::skip_value(b, 0);
    if (stored) {
      ASSERT_TRUE(skipped.has_value());
      ASSERT_EQ(*skipped, r.pos);
      Bytes again;
      codec::write_stored_value(again, *stored);
      // Writers use shortest forms, so the bytes may shrink, never differ
      // in what they mean.
      Reader back(again);
      ASSERT_EQ(codec::decode_value(back, 0).value(), *stored);
    }
    Reader typed(b);
    const auto value = codec::decode_typed_value(typed, kind, 0);
    if (value) {
      ASSERT_TRUE(stored.has_value());
      ASSERT_EQ(typed.pos, r.pos);
    }
    (void)codec::decode_record_object(b);
  }
}

// ------------------------------------------- field access on records

const auto frame = [](codec::Message m) { return Error::corrupted("f.db", std::string(m)); };

TEST(RecordFieldAccess, FieldsAreWalkedInOrderWithTheirValueBytes) {
  const Bytes record = bytes({3, 1, 4, 6, 5, 6, 2, 'h', 'i', 7, 2});
  auto fields = codec::record_fields_begin(record, frame);
  ASSERT_TRUE(fields.has_value());
  auto f1 = fields->next().value();
  ASSERT_TRUE(f1.has_value());
  EXPECT_EQ(f1->id, 1u);
  EXPECT_EQ(codec::check_field_value(f1->value, frame).value(), 3);
  auto f5 = fields->next().value();
  EXPECT_EQ(f5->id, 5u);
  const auto text = codec::read_field_value(f5->value, codec::kTagString, frame).value();
  EXPECT_EQ(std::string(text.begin(), text.end()), "hi");
  EXPECT_EQ(fields->next().value()->id, 7u);
  EXPECT_FALSE(fields->next().value().has_value());
  EXPECT_TRUE(fields->finish().has_value());

  EXPECT_EQ(codec::walk_fields(record, 5).value(), std::optional<std::size_t>(5));
  EXPECT_EQ(codec::walk_fields(record, 6).value(), std::nullopt);
  EXPECT_EQ(codec::walk_fields(record, 9).value(), std::nullopt);
  EXPECT_EQ(message_of(codec::walk_fields(bytes({2, 2, 2, 1, 2}), 3)),
            "a record's field ids are out of order");
}

TEST(RecordFieldAccess, FieldReadersFrameEveryRefusal) {
  auto text_of = [](const auto& r) { return r ? std::string("ok") : r.error().to_string(); };
  EXPECT_EQ(text_of(codec::check_field_value({}, frame)),
            "`f.db` is damaged: a record holds null for a required field");
  EXPECT_EQ(text_of(codec::check_field_value(bytes({6, 0}), frame)),
            "`f.db` is damaged: a record holds a value of another type than its field");
  EXPECT_EQ(text_of(codec::check_field_value(bytes({4, 0x80}), frame)),
            "`f.db` is damaged: a record ends early");
  EXPECT_EQ(codec::check_field_value(
                bytes({4, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), frame)
                .value(),
            INT64_MIN);
  EXPECT_EQ(text_of(codec::read_field_value(bytes({7, 3, 1, 2}), codec::kTagBytes, frame)),
            "`f.db` is damaged: a record ends early");
  EXPECT_EQ(text_of(codec::read_field_value(bytes({6, 0}), codec::kTagBytes, frame)),
            "`f.db` is damaged: a record holds a value of another type than its field");
  EXPECT_EQ(text_of(codec::record_fields_begin(bytes({5, 1, 2, 2}), frame)),
            "`f.db` is damaged: a record counts more than it holds");
  const Bytes stray_bytes = bytes({1, 1, 2, 0});
  auto stray = codec::record_fields_begin(stray_bytes, frame);
  ASSERT_TRUE(stray->next().has_value());
  EXPECT_EQ(text_of(stray->finish()), "`f.db` is damaged: a record has bytes after its last field");
}

TEST(RecordFraming, CollectionViewsDecodeEveryRecordAlikeAndFrameFailures) {
  const std::vector<Field>& fields = three_fields();
  codec::CollectionView view("things", fields);
  auto on_error = [](std::string text) { return Error::corrupted("f.db", std::move(text)); };
  ObjectMap expected;
  expected.insert("req", Value::integer(3));
  expected.insert("opt", Value::string("x"));
  expected.insert("dflt", Value::floating(0.5));
  // The first record is sorted; later ones go through the computed order.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(
        codec::decode_for_collection(view, bytes({2, 1, 4, 6, 2, 6, 1, 'x'}), on_error).value(),
        expected);
  }
  const auto bad = codec::decode_for_collection(view, bytes({0}), on_error);
  EXPECT_EQ(bad.error().to_string(),
            "`f.db` is damaged: an object of `things`: a record lacks a required field");
}

TEST(RecordFraming, ObjectErrorsNameTheCollection) {
  EXPECT_EQ(codec::object_error("users", codec::msg::kEndsEarly),
            "an object of `users`: a record ends early");
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
