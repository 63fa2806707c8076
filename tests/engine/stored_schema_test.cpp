#include <gtest/gtest.h>

#include "format/object/codec.hpp"
#include "format/object/schema_codec.hpp"
#include "support/object_samples.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using codec::StoredRecord;
using codec::StoredValue;
using test::bytes;
using test::make_collection;
using test::make_field;
using Buf = std::vector<std::uint8_t>;

// ------------------------------------------------------- random schemas

class SchemaMaker {
 public:
  explicit SchemaMaker(std::uint64_t seed) : random_(seed) {}

  Schema make() {
    Schema s;
    s.version = random_.below(5);
    std::uint64_t id = 0;
    const std::size_t n = random_.below(4);
    std::vector<std::uint64_t> ids;
    for (std::size_t i = 0; i < n; ++i) ids.push_back(id += 1 + random_.below(3));
    s.next_collection_id = id + 1 + random_.below(2);
    std::uint64_t index_id = random_.below(3);
    for (std::uint64_t cid : ids) {
      Collection c;
      c.id = cid;
      c.name = "c" + std::to_string(cid);
      c.fields = fields(ids, 0, /*top=*/true);
      c.next_field_id = c.fields.back().id + 1 + random_.below(2);
      c.primary_key_field_id = c.fields.front().id;
      c.auto_increment = c.fields.front().kind.code() == KindCode::Int && random_.below(2);
      for (const Field& f : c.fields) {
        const bool plain = f.kind.is_plain() || f.kind.code() == KindCode::Link;
        const bool list_of_plain = f.kind.code() == KindCode::List;
        if ((plain || list_of_plain) && random_.below(2))
          c.indexes.push_back({index_id += 1 + random_.below(2), f.id, random_.below(2) == 1});
      }
      s.collections.push_back(std::move(c));
    }
    s.next_index_id = index_id + 1;
    return s;
  }

 private:
  FieldKind kind(const std::vector<std::uint64_t>& collections, int depth, bool element) {
    const std::uint64_t pick = random_.below(element || depth > 2 ? 6 : 8);
    switch (pick) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4:
        return test::plain_kind(pick);
      case 5:
        return FieldKind::link(collections[random_.below(collections.size())]);
      case 6:
        return FieldKind::list(kind(collections, depth, true));
      default: {
        auto inner = fields(collections, depth + 1, false);
        const std::uint64_t next = (inner.empty() ? 0 : inner.back().id) + 1;
        return FieldKind::object(std::move(inner), next);
      }
    }
  }

  std::optional<Value> default_for(const FieldKind& k) {
    if (random_.below(3) != 0) return std::nullopt;
    switch (k.code()) {
      case KindCode::Bool:
      case KindCode::Int:
      case KindCode::Float:
      case KindCode::Str:
      case KindCode::Bytes:
        return random_.plain(k.code());
      case KindCode::List: {
        ValueList items;
        if (k.element().code() != KindCode::Link) {
          for (std::size_t i = random_.below(3); i > 0; --i)
            items.push_back(*default_for_sure(k.element()));
        }
        return Value::list(std::move(items));
      }
      default:
        return std::nullopt;
    }
  }
  std::optional<Value> default_for_sure(const FieldKind& k) {
    for (;;)
      if (auto v = default_for(k)) return v;
  }

  std::vector<Field> fields(const std::vector<std::uint64_t>& collections, int depth, bool top) {
    std::vector<Field> out;
    std::uint64_t id = random_.below(2);
    const std::size_t n = (top ? 1 : 0) + random_.below(4);
    for (std::size_t i = 0; i < n; ++i) {
      Field f;
      f.id = id += 1 + random_.below(2);
      f.name = "f" + std::to_string(f.id);
      if (top && i == 0) {
        f.kind = random_.below(2) ? FieldKind::integer() : FieldKind::str();
      } else {
        f.kind = kind(collections, depth, false);
        f.optional = random_.below(2);
        f.default_value = default_for(f.kind);
      }
      out.push_back(std::move(f));
    }
    return out;
  }

  test::RandomValues random_;
};

TEST(StoredSchema, EmptySchemaIsFiveFieldsAndComesBack) {
  Schema empty;
  const Buf b = schema_codec::encode_schema(empty);
  EXPECT_EQ(b, bytes({5, 1, 4, 2, 2, 4, 0, 3, 8, 0, 4, 4, 2, 5, 4, 2}));
  EXPECT_EQ(schema_codec::decode_schema(b).value(), empty);
}

TEST(StoredSchema, DecodingAndEncodingAgainGivesTheSameBytes) {
  SchemaMaker maker(42);
  for (int i = 0; i < 400; ++i) {
    const Schema s = maker.make();
    ASSERT_EQ(schema_codec::check_consistency(s), std::nullopt);
    const Buf b = schema_codec::encode_schema(s);
    ASSERT_EQ(schema_codec::encode_schema(s), b);  // deterministic
    const auto back = schema_codec::decode_schema(b);
    ASSERT_TRUE(back.has_value()) << back.error().message;
    ASSERT_EQ(*back, s);
    ASSERT_EQ(schema_codec::encode_schema(*back), b);
  }
}

TEST(StoredSchema, DamagedSchemaBytesAreRefusedOrDecodeToAConsistentSchema) {
  SchemaMaker maker(7);
  test::RandomValues random(8);
  for (int i = 0; i < 2000; ++i) {
    Buf b = schema_codec::encode_schema(maker.make());
    b[random.below(b.size())] ^= static_cast<std::uint8_t>(1 + random.below(255));
    const auto decoded = schema_codec::decode_schema(b);
    if (decoded) {
      // Whatever got through is a schema that passes its own checks and
      // survives another round.
      ASSERT_EQ(schema_codec::check_consistency(*decoded), std::nullopt);
      ASSERT_EQ(schema_codec::decode_schema(schema_codec::encode_schema(*decoded)).value(),
                *decoded);
    } else if (!decoded.error().unreadable_format) {
      ASSERT_FALSE(decoded.error().message.empty());
    }
  }
}

// Edits the stored form of a schema: decode to StoredValues, change, write.
StoredValue& field_of(StoredRecord& record, std::uint64_t id) {
  for (auto& f : record)
    if (f.id == id) return f.value;
  ADD_FAILURE() << "no field " << id;
  return record.front().value;
}

void remove_field(StoredRecord& record, std::uint64_t id) {
  std::erase_if(record, [&](const codec::StoredField& f) { return f.id == id; });
}

Schema one_collection() {
  Schema s;
  s.version = 3;
  s.collections.push_back(
      make_collection(1, "users",
                      {make_field(1, "id", FieldKind::integer()),
                       make_field(2, "tags", FieldKind::list(FieldKind::str()), true)},
                      1));
  s.collections[0].indexes.push_back({1, 2, false});
  s.next_collection_id = 2;
  s.next_index_id = 2;
  return s;
}

template <typename Edit>
std::expected<Schema, schema_codec::DecodeFailure> decode_edited(const Schema& s, Edit edit) {
  StoredRecord root = codec::decode_record_object(schema_codec::encode_schema(s)).value();
  edit(root);
  Buf b;
  codec::write_stored_record(b, root);
  return schema_codec::decode_schema(b);
}

StoredRecord& collection_record(StoredRecord& root) {
  return field_of(root, 3).as_list()[0].as_record();
}
StoredRecord& field_record(StoredRecord& root, std::size_t i) {
  return field_of(collection_record(root), 3).as_list()[i].as_record();
}

std::string_view message(const std::expected<Schema, schema_codec::DecodeFailure>& r) {
  return r ? std::string_view("ok") : r.error().message;
}

TEST(StoredSchemaDecode, FormatOtherThanOneIsUnreadableNotDamaged) {
  const auto two = decode_edited(one_collection(),
                                 [](StoredRecord& r) { field_of(r, 1) = StoredValue::integer(2); });
  ASSERT_FALSE(two.has_value());
  EXPECT_EQ(two.error().unreadable_format, std::optional<std::int64_t>(2));
  const Error e = schema_codec::decode_failure_error("/d/a.db", two.error());
  EXPECT_EQ(e.kind(), ErrorKind::UnsupportedFormatVersion);
  EXPECT_EQ(e.to_string(),
            "`/d/a.db` uses format version 2, which this build does not read; the newest it "
            "reads is 1");
  const auto negative = decode_edited(
      one_collection(), [](StoredRecord& r) { field_of(r, 1) = StoredValue::integer(-1); });
  EXPECT_EQ(schema_codec::decode_failure_error("p", negative.error()).first_number(), 4294967295u);
  const auto huge = decode_edited(
      one_collection(), [](StoredRecord& r) { field_of(r, 1) = StoredValue::integer(1LL << 40); });
  EXPECT_EQ(schema_codec::decode_failure_error("p", huge.error()).first_number(), 4294967295u);

  const auto missing = decode_edited(one_collection(), [](StoredRecord& r) { remove_field(r, 1); });
  EXPECT_EQ(schema_codec::decode_failure_error("/d/a.db", missing.error()).to_string(),
            "`/d/a.db` is damaged: the stored schema: the schema lacks a field");
}

TEST(StoredSchemaDecode, KindCodesOutsideOneToEightAreUnknownEvenWhenNegative) {
  for (std::int64_t code : {std::int64_t{-1}, std::int64_t{0}, std::int64_t{9}, INT64_MIN}) {
    const auto r = decode_edited(one_collection(), [&](StoredRecord& root) {
      field_of(field_of(field_record(root, 0), 3).as_record(), 1) = StoredValue::integer(code);
    });
    EXPECT_EQ(message(r), "the schema names an unknown kind") << code;
  }
}

TEST(StoredSchemaDecode, FieldsOfTheWrongTypeOrSignAreRefused) {
  EXPECT_EQ(message(decode_edited(one_collection(),
                                  [](StoredRecord& root) {
                                    field_of(field_record(root, 0), 2) = StoredValue::integer(5);
                                  })),
            "the schema holds a field of the wrong type");
  EXPECT_EQ(message(decode_edited(
                one_collection(),
                [](StoredRecord& root) {
                  field_of(collection_record(root), 3).as_list().push_back(StoredValue::integer(1));
                })),
            "the schema holds a field of the wrong type");
  EXPECT_EQ(message(decode_edited(one_collection(),
                                  [](StoredRecord& root) {
                                    field_of(collection_record(root), 1) = StoredValue::integer(-3);
                                  })),
            "the schema holds a negative number");
  EXPECT_EQ(message(decode_edited(
                one_collection(),
                [](StoredRecord& root) { field_of(root, 2) = StoredValue::integer(-1); })),
            "the schema holds a negative number");
  EXPECT_EQ(message(decode_edited(
                one_collection(),
                [](StoredRecord& root) {
                  remove_field(field_of(collection_record(root), 7).as_list()[0].as_record(), 3);
                })),
            "the schema lacks a field");
}

TEST(StoredSchemaDecode, UnknownFieldsAreDroppedAndNotWrittenAgain) {
  const Schema s = one_collection();
  StoredRecord root = codec::decode_record_object(schema_codec::encode_schema(s)).value();
  field_record(root, 0).push_back({9, StoredValue::string("later")});
  root.push_back({77, StoredValue::boolean(true)});
  Buf extra;
  codec::write_stored_record(extra, root);
  const auto back = schema_codec::decode_schema(extra);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, s);
  EXPECT_EQ(schema_codec::encode_schema(*back), schema_codec::encode_schema(s));
}

TEST(StoredSchemaDefaults, NullAndObjectDefaultsAreNotStored) {
  Schema s = one_collection();
  s.collections[0].fields[1].default_value = Value::null();
  const Buf b = schema_codec::encode_schema(s);
  EXPECT_EQ(b, schema_codec::encode_schema(one_collection()));
  const auto back = schema_codec::decode_schema(b);
  EXPECT_FALSE(back->collections[0].fields[1].default_value.has_value());
  EXPECT_FALSE(schema_codec::value_to_stored(Value::list({Value::integer(1), Value::null()})));
  EXPECT_TRUE(schema_codec::value_to_stored(Value::list({Value::list({})})));
}

TEST(StoredSchemaDefaults, RecordsOrLinksInADefaultAreRefused) {
  EXPECT_EQ(
      message(decode_edited(
          one_collection(),
          [](StoredRecord& root) {
            field_record(root, 1).push_back({5, StoredValue::list({StoredValue::record({})})});
          })),
      "a default is not a plain value");
  EXPECT_EQ(message(decode_edited(
                one_collection(),
                [](StoredRecord& root) {
                  field_record(root, 1).push_back({5, StoredValue::link(StoredValue::integer(1))});
                })),
            "a default is not a plain value");
  // A plain default of the wrong type is the consistency check's to refuse.
  EXPECT_EQ(
      message(decode_edited(
          one_collection(),
          [](StoredRecord& root) {
            field_record(root, 1).push_back({5, StoredValue::list({StoredValue::integer(1)})});
          })),
      "a field's default does not have the field's type");
}

TEST(StoredSchemaDecode, ConsistencyIsCheckedLast) {
  Schema twins = one_collection();
  twins.collections.push_back(twins.collections[0]);
  twins.collections[1].indexes.clear();
  EXPECT_EQ(message(schema_codec::decode_schema(schema_codec::encode_schema(twins))),
            "the schema's collection ids are inconsistent");
  // Names are what objects and queries go by: each is unique in its scope.
  Schema same_name = one_collection();
  same_name.collections.push_back(same_name.collections[0]);
  same_name.collections[1].id = same_name.next_collection_id++;
  same_name.collections[1].indexes.clear();
  EXPECT_EQ(message(schema_codec::decode_schema(schema_codec::encode_schema(same_name))),
            "the schema names two collections alike");
  Schema field_twice = one_collection();
  field_twice.collections[0].fields.push_back(field_twice.collections[0].fields.back());
  field_twice.collections[0].fields.back().id = field_twice.collections[0].next_field_id++;
  EXPECT_EQ(message(schema_codec::decode_schema(schema_codec::encode_schema(field_twice))),
            "the schema names two fields of one object alike");
  Schema embedded_twice = one_collection();
  embedded_twice.collections[0].fields.push_back(make_field(
      3, "a",
      FieldKind::object(
          {make_field(1, "x", FieldKind::integer()), make_field(2, "x", FieldKind::str())}, 3)));
  embedded_twice.collections[0].next_field_id = 4;
  EXPECT_EQ(message(schema_codec::decode_schema(schema_codec::encode_schema(embedded_twice))),
            "the schema names two fields of one object alike");
  Schema optional_key = one_collection();
  optional_key.collections[0].fields[0].optional = true;
  EXPECT_EQ(message(schema_codec::decode_schema(schema_codec::encode_schema(optional_key))),
            "a collection's primary key is not a key field");
  // Embedded field ids must lie below the embedded object's own counter.
  Schema embedded = one_collection();
  embedded.collections[0].fields.push_back(
      make_field(3, "a", FieldKind::object({make_field(4, "x", FieldKind::integer())}, 4)));
  embedded.collections[0].next_field_id = 4;
  EXPECT_EQ(message(schema_codec::decode_schema(schema_codec::encode_schema(embedded))),
            "the schema's field ids are inconsistent");
}

TEST(StoredSchemaDecode, RecordFormatFailuresComeThrough) {
  Buf b = schema_codec::encode_schema(one_collection());
  b.push_back(0);
  EXPECT_EQ(message(schema_codec::decode_schema(b)), "a record has bytes after its last field");
  b.pop_back();
  b.pop_back();
  EXPECT_EQ(message(schema_codec::decode_schema(b)), "a record ends early");
}

TEST(StoredSchema, NumbersAbove63BitsAreSaturated) {
  Schema s;
  s.version = UINT64_MAX;
  s.next_index_id = UINT64_MAX;
  const auto back = schema_codec::decode_schema(schema_codec::encode_schema(s));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->version, static_cast<std::uint64_t>(INT64_MAX));
  EXPECT_EQ(back->next_index_id, static_cast<std::uint64_t>(INT64_MAX));
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
