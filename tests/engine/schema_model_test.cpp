#include <gtest/gtest.h>

#include "format/object/schema.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

Field field(std::uint64_t id, std::string name, FieldKind kind, bool optional = false,
            std::optional<Value> default_value = std::nullopt) {
  return Field{id, std::move(name), std::move(kind), optional, std::move(default_value)};
}

// One collection "users" (id 1) with an int key and a str field.
Schema sample() {
  Schema s;
  s.version = 1;
  Collection c;
  c.id = 1;
  c.name = "users";
  c.fields.push_back(field(1, "id", FieldKind::integer()));
  c.fields.push_back(field(2, "name", FieldKind::str(), true));
  c.next_field_id = 3;
  c.primary_key_field_id = 1;
  s.collections.push_back(std::move(c));
  s.next_collection_id = 2;
  return s;
}

std::string_view check(const Schema& s) {
  const auto failure = schema_codec::check_consistency(s);
  return failure ? *failure : std::string_view("ok");
}

TEST(SchemaConsistency, SchemaWithoutCollectionsPassesWhateverItsCounters) {
  Schema s;
  s.next_collection_id = 0;
  s.next_index_id = 0;
  EXPECT_EQ(check(s), "ok");
  EXPECT_EQ(check(sample()), "ok");
}

TEST(SchemaConsistency, DuplicateOrTooLargeCollectionIdsAreRefused) {
  Schema s = sample();
  Collection twin = s.collections[0];
  twin.name = "twin";
  s.collections.push_back(twin);
  EXPECT_EQ(check(s), "the schema's collection ids are inconsistent");
  Schema t = sample();
  t.next_collection_id = 1;
  EXPECT_EQ(check(t), "the schema's collection ids are inconsistent");
}

TEST(SchemaConsistency, FieldIdsMustAscendAndStayBelowTheCounter) {
  Schema s = sample();
  std::swap(s.collections[0].fields[0], s.collections[0].fields[1]);
  EXPECT_EQ(check(s), "the schema's field ids are inconsistent");
  Schema t = sample();
  t.collections[0].next_field_id = 2;
  EXPECT_EQ(check(t), "the schema's field ids are inconsistent");
}

TEST(SchemaConsistency, EmbeddedObjectsHaveTheirOwnIdScope) {
  Schema s = sample();
  // Reusing ids 1 and 2 inside the embedded object is fine...
  s.collections[0].fields.push_back(
      field(3, "address",
            FieldKind::object(
                {field(1, "street", FieldKind::str()), field(2, "zip", FieldKind::integer())}, 3)));
  s.collections[0].next_field_id = 4;
  EXPECT_EQ(check(s), "ok");
  // ...but they must lie below the embedded object's own counter.
  s.collections[0].fields[2].kind.set_next_field_id(2);
  EXPECT_EQ(check(s), "the schema's field ids are inconsistent");
}

TEST(SchemaConsistency, ListsOfListsOrObjectsAreRefused) {
  Schema s = sample();
  s.collections[0].fields.push_back(
      field(3, "grid", FieldKind::list(FieldKind::list(FieldKind::integer()))));
  s.collections[0].next_field_id = 4;
  EXPECT_EQ(check(s), "a list holds lists or objects");
  s.collections[0].fields[2].kind = FieldKind::list(FieldKind::object({}, 1));
  EXPECT_EQ(check(s), "a list holds lists or objects");
}

TEST(SchemaConsistency, LinksMustNameACollectionOfTheSchema) {
  Schema s = sample();
  s.collections[0].fields.push_back(field(3, "friend", FieldKind::link(1)));
  s.collections[0].next_field_id = 4;
  EXPECT_EQ(check(s), "ok");  // a link to its own collection
  s.collections[0].fields[2].kind = FieldKind::link(9);
  EXPECT_EQ(check(s), "a link points at no collection");
}

TEST(SchemaConsistency, DefaultsMustHaveTheFieldsTypeExactly) {
  Schema s = sample();
  s.collections[0].fields.push_back(field(3, "tags", FieldKind::list(FieldKind::integer()), false,
                                          Value::list({Value::integer(1), Value::integer(2)})));
  s.collections[0].next_field_id = 4;
  EXPECT_EQ(check(s), "ok");
  s.collections[0].fields[2].default_value = Value::list({});
  EXPECT_EQ(check(s), "ok");
  s.collections[0].fields[2].default_value = Value::list({Value::integer(1), Value::floating(2.0)});
  EXPECT_EQ(check(s), "a field's default does not have the field's type");

  Schema t = sample();
  t.collections[0].fields[1].kind = FieldKind::integer();
  t.collections[0].fields[1].default_value = Value::null();  // optional int, null default
  EXPECT_EQ(check(t), "a field's default does not have the field's type");
  t.collections[0].fields[1].default_value = Value::floating(1.0);
  EXPECT_EQ(check(t), "a field's default does not have the field's type");
}

TEST(SchemaConsistency, PrimaryKeyMustBeARequiredIntStrOrBytesField) {
  Schema s = sample();
  s.collections[0].fields[0].optional = true;
  EXPECT_EQ(check(s), "a collection's primary key is not a key field");
  s = sample();
  s.collections[0].fields[0].kind = FieldKind::floating();
  EXPECT_EQ(check(s), "a collection's primary key is not a key field");
  s = sample();
  s.collections[0].primary_key_field_id = 7;
  EXPECT_EQ(check(s), "a collection's primary key is not a key field");
  s = sample();
  s.collections[0].primary_key_field_id = 2;  // str, but optional
  EXPECT_EQ(check(s), "a collection's primary key is not a key field");
}

TEST(SchemaConsistency, IndexIdsAreUniqueAcrossTheWholeSchema) {
  Schema s = sample();
  Collection other = s.collections[0];
  other.id = 2;
  other.name = "other";
  s.collections.push_back(other);
  s.next_collection_id = 3;
  s.next_index_id = 5;
  s.collections[0].indexes.push_back({4, 2, true});
  s.collections[1].indexes.push_back({3, 2, false});
  EXPECT_EQ(check(s), "ok");
  s.collections[1].indexes[0].id = 4;
  EXPECT_EQ(check(s), "the schema's index ids are inconsistent");
  s.collections[1].indexes[0].id = 5;
  EXPECT_EQ(check(s), "the schema's index ids are inconsistent");
}

TEST(SchemaConsistency, IndexesOnlyOnScalarsLinksAndListsOfThem) {
  Schema s = sample();
  auto& c = s.collections[0];
  c.fields.push_back(field(3, "tags", FieldKind::list(FieldKind::integer())));
  c.fields.push_back(field(4, "owner", FieldKind::link(1)));
  c.fields.push_back(field(5, "address", FieldKind::object({}, 1)));
  c.next_field_id = 6;
  s.next_index_id = 10;
  c.indexes = {{1, 3, false}, {2, 4, true}};
  EXPECT_EQ(check(s), "ok");
  c.indexes.push_back({3, 5, false});
  EXPECT_EQ(check(s), "an index is on a field that cannot have one");
  c.indexes.back().field_id = 42;
  EXPECT_EQ(check(s), "an index is on a field that cannot have one");
}

TEST(SchemaConsistency, FirstBrokenInvariantInVisitingOrderWins) {
  // A bad field id and a bad primary key in one collection: fields come first.
  Schema s = sample();
  s.collections[0].fields[1].id = 1;
  s.collections[0].fields[0].optional = true;
  EXPECT_EQ(check(s), "the schema's field ids are inconsistent");
}

TEST(SchemaModel, CopiesOfKindsAreDeep) {
  FieldKind a = FieldKind::object({field(1, "x", FieldKind::list(FieldKind::str()))}, 2);
  FieldKind b = a;
  EXPECT_EQ(a, b);
  b.fields()[0].kind.element() = FieldKind::bytes();
  EXPECT_FALSE(a == b);
  EXPECT_EQ(a.fields()[0].kind.element().code(), KindCode::Str);
}

TEST(SchemaModel, FindByNameComparesBytesExactly) {
  const Schema s = sample();
  const std::span<const Field> fields = s.collections[0].fields;
  EXPECT_EQ(schema::find_by_name(fields, "name"), &s.collections[0].fields[1]);
  EXPECT_EQ(schema::find_by_name(fields, "Name"), nullptr);
  EXPECT_EQ(schema::find_by_name(fields, "nam"), nullptr);
  EXPECT_EQ(schema::find_by_name(std::span<const Collection>(s.collections), "users"),
            &s.collections[0]);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
