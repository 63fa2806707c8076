#include "schema/resolve.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "format/object/schema_codec.hpp"
#include "schema/declare.hpp"
#include "support/declared_builders.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace test;
using K = DeclaredKind;

SchemaResolution resolved(const DeclaredSchema& declared, const Schema& previous,
                          std::vector<DeclaredMigration> migrations = {}) {
  auto r = resolve::resolve_schema(declared, previous, migrations);
  EXPECT_TRUE(r) << (r ? "" : r.error().to_string());
  return r ? std::move(*r) : SchemaResolution{};
}

Schema first_schema(const DeclaredSchema& declared) {
  return resolved(declared, resolve::empty_schema()).schema;
}

std::string refusal(const DeclaredSchema& declared, const Schema& previous,
                    std::vector<DeclaredMigration> migrations = {}) {
  auto r = resolve::resolve_schema(declared, previous, migrations);
  if (r) return "passed";
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidArgument);
  return r.error().to_string();
}

const Collection& named(const Schema& schema, std::string_view name) {
  const Collection* c = schema::find_by_name(std::span<const Collection>(schema.collections), name);
  EXPECT_NE(c, nullptr) << name;
  static const Collection none;
  return c ? *c : none;
}

const Field& field_named(const Collection& collection, std::string_view name) {
  const Field* f = schema::find_by_name(std::span<const Field>(collection.fields), name);
  EXPECT_NE(f, nullptr) << name;
  static const Field none;
  return f ? *f : none;
}

DeclaredSchema shop(std::uint64_t version = 1) {
  return declared(
      version,
      {auto_collection("users", {required("name", K::str()), optional("age", K::integer())},
                       {{"name", true}, {"age", false}}),
       keyed_collection("orders", "code",
                        {required("code", K::str()), required("buyer", K::link("users")),
                         defaulted("qty", K::integer(), Value::integer(1))},
                        {{"buyer", false}})});
}

TEST(ResolveSchema, first_schema_hands_out_ids_from_one_in_declared_order) {
  SchemaResolution r = resolved(shop(), resolve::empty_schema());
  const Schema& s = r.schema;
  ASSERT_EQ(s.collections.size(), 2u);
  EXPECT_EQ(s.collections[0].name, "users");
  EXPECT_EQ(s.collections[0].id, 1u);
  EXPECT_EQ(s.collections[1].id, 2u);
  EXPECT_EQ(s.next_collection_id, 3u);
  const Collection& users = s.collections[0];
  EXPECT_TRUE(users.auto_increment);
  EXPECT_EQ(field_named(users, "id").id, 1u);
  EXPECT_EQ(field_named(users, "name").id, 2u);
  EXPECT_EQ(field_named(users, "age").id, 3u);
  EXPECT_EQ(users.primary_key_field_id, 1u);
  EXPECT_EQ(users.next_field_id, 4u);
  const Collection& orders = s.collections[1];
  EXPECT_FALSE(orders.auto_increment);
  EXPECT_EQ(field_named(orders, "code").id, 1u);
  EXPECT_EQ(field_named(orders, "buyer").kind, FieldKind::link(1));
  // Index ids run across collections.
  EXPECT_EQ(users.indexes, (std::vector<Index>{{1, 2, true}, {2, 3, false}}));
  EXPECT_EQ(orders.indexes, (std::vector<Index>{{3, 2, false}}));
  EXPECT_EQ(s.next_index_id, 4u);
  EXPECT_EQ(r.builds,
            (std::vector<IndexBuild>{{1, 1, 2, true}, {1, 2, 3, false}, {2, 3, 2, false}}));
  EXPECT_TRUE(r.dropped_indexes.empty());
  EXPECT_TRUE(r.dropped_collections.empty());
  EXPECT_EQ(schema_codec::check_consistency(s), std::nullopt);
}

TEST(ResolveSchema, unchanged_declaration_resolves_to_the_stored_schema) {
  Schema stored = first_schema(shop());
  SchemaResolution again = resolved(shop(), stored);
  EXPECT_EQ(again.schema, stored);
  EXPECT_TRUE(again.builds.empty());
  EXPECT_TRUE(again.dropped_indexes.empty());
  ASSERT_TRUE(again.previous);
  EXPECT_EQ(*again.previous, stored);
}

// The stored schema is compared byte for byte at every open: a declaration
// whose collections, fields or indexes come in another order must give the
// same ids, or the file would look migrated.
TEST(ResolveSchema, declaration_order_does_not_change_ids_against_the_stored_schema) {
  DeclaredSchema base = shop();
  Schema stored = first_schema(base);
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    DeclaredSchema shuffled = base;
    std::shuffle(shuffled.collections.begin(), shuffled.collections.end(), rng);
    for (DeclaredCollection& c : shuffled.collections) {
      std::shuffle(c.fields.begin(), c.fields.end(), rng);
      std::shuffle(c.indexes.begin(), c.indexes.end(), rng);
    }
    Schema again = resolved(shuffled, stored).schema;
    EXPECT_EQ(again, stored) << round;
    EXPECT_EQ(schema_codec::encode_schema(again), schema_codec::encode_schema(stored)) << round;
  }
}

TEST(ResolveSchema, renaming_a_collection_onto_a_deleted_name_works) {
  Schema stored = first_schema(
      declared(1, {auto_collection("a", {}), auto_collection("b", {required("x", K::integer())})}));
  DeclaredMigration m = migration_to(2);
  m.collection_deletions = {"a"};
  m.collection_renames = {{"b", "a"}};
  SchemaResolution r =
      resolved(declared(2, {auto_collection("a", {required("x", K::integer())})}), stored, {m});
  ASSERT_EQ(r.schema.collections.size(), 1u);
  EXPECT_EQ(r.schema.collections[0].id, 2u);
  EXPECT_EQ(r.dropped_collections, (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(r.schema.version, 2u);
}

TEST(ResolveSchema, a_deleted_collection_declared_again_gets_a_new_id) {
  Schema stored = first_schema(declared(1, {auto_collection("a", {}), auto_collection("b", {})}));
  DeclaredMigration m = migration_to(2);
  m.collection_deletions = {"a"};
  SchemaResolution r =
      resolved(declared(2, {auto_collection("a", {}), auto_collection("b", {})}), stored, {m});
  EXPECT_EQ(named(r.schema, "a").id, 3u);
  EXPECT_EQ(named(r.schema, "b").id, 2u);
  EXPECT_EQ(r.schema.next_collection_id, 4u);
  // Ascending ids, whatever the declared order.
  EXPECT_EQ(r.schema.collections[0].name, "b");
}

TEST(ResolveSchema, swapping_two_field_names_in_one_migration_fails) {
  Schema stored = first_schema(declared(
      1, {auto_collection("c", {required("x", K::integer()), required("y", K::integer())})}));
  DeclaredMigration m = migration_to(2);
  m.field_renames = {{"c", "x", "y"}, {"c", "y", "x"}};
  EXPECT_EQ(refusal(declared(2, {auto_collection("c", {required("x", K::integer()),
                                                       required("y", K::integer())})}),
                    stored, {m}),
            "the migration to version 2 renames `c.x` to `y`, which exists");
}

TEST(ResolveSchema, renamed_field_keeps_its_id_and_renames_run_before_collection_renames) {
  Schema stored = first_schema(declared(1, {auto_collection("c", {required("x", K::integer())})}));
  DeclaredMigration m = migration_to(2);
  m.field_renames = {{"c", "x", "z"}};
  m.collection_renames = {{"c", "d"}};
  SchemaResolution r =
      resolved(declared(2, {auto_collection("d", {required("z", K::integer())})}), stored, {m});
  const Collection& d = named(r.schema, "d");
  EXPECT_EQ(d.id, 1u);
  EXPECT_EQ(field_named(d, "z").id, 2u);
}

TEST(ResolveSchema, migration_names_must_exist_in_the_schema_before_it) {
  Schema stored = first_schema(declared(1, {auto_collection("c", {required("x", K::integer())})}));
  auto try_migration = [&](DeclaredMigration m) {
    return refusal(declared(2, {auto_collection("c", {required("x", K::integer())})}), stored, {m});
  };
  DeclaredMigration m = migration_to(2);
  m.field_renames = {{"nope", "x", "y"}};
  EXPECT_EQ(try_migration(m),
            "the migration to version 2 names `nope`, which the schema before it does not have");
  m = migration_to(2);
  m.field_renames = {{"c", "q", "y"}};
  EXPECT_EQ(try_migration(m), "the migration to version 2 renames `c.q`, which does not exist");
  m = migration_to(2);
  m.field_renames = {{"c", "x", "x"}};
  EXPECT_EQ(try_migration(m), "the migration to version 2 renames `c.x` to `x`, which exists");
  m = migration_to(2);
  m.field_replacements = {{"c", "q"}};
  EXPECT_EQ(try_migration(m), "the migration to version 2 replaces `c.q`, which does not exist");
  m = migration_to(2);
  m.field_replacements = {{"c", "id"}};
  EXPECT_EQ(try_migration(m),
            "the migration to version 2 replaces the primary key of `c`, which cannot change");
  m = migration_to(2);
  m.collection_deletions = {"gone"};
  EXPECT_EQ(try_migration(m),
            "the migration to version 2 names `gone`, which the schema before it does not have");
  m = migration_to(2);
  m.collection_renames = {{"c", "c"}};
  EXPECT_EQ(try_migration(m), "the migration to version 2 renames `c` to `c`, which exists");
}

TEST(ResolveSchema, a_stored_collection_missing_from_the_declaration_needs_a_deletion) {
  Schema stored = first_schema(declared(1, {auto_collection("a", {}), auto_collection("b", {})}));
  EXPECT_EQ(refusal(declared(2, {auto_collection("b", {})}), stored),
            "the collection `a` is gone from the schema; a migration has to delete it");
}

TEST(ResolveSchema, a_changed_kind_needs_a_replacement_that_gives_a_new_id) {
  Schema stored = first_schema(declared(1, {auto_collection("c", {required("x", K::integer())})}));
  EXPECT_EQ(refusal(declared(2, {auto_collection("c", {required("x", K::str())})}), stored),
            "the type of `c.x` changed; a migration has to replace the field");
  DeclaredMigration m = migration_to(2);
  m.field_replacements = {{"c", "x"}};
  // The replaced field is new: required without a default is refused.
  EXPECT_EQ(refusal(declared(2, {auto_collection("c", {required("x", K::str())})}), stored, {m}),
            "the new field `c.x` is required without a default; the objects already there would "
            "have no value");
  SchemaResolution r =
      resolved(declared(2, {auto_collection("c", {optional("x", K::str())})}), stored, {m});
  EXPECT_EQ(field_named(r.schema.collections[0], "x").id, 3u);
  EXPECT_EQ(r.schema.collections[0].next_field_id, 4u);
}

TEST(ResolveSchema, list_and_link_kinds_are_compared_through_their_parts) {
  Schema stored =
      first_schema(declared(1, {auto_collection("a", {required("l", K::list(K::integer()))}),
                                auto_collection("b", {required("to", K::link("a"))})}));
  EXPECT_EQ(refusal(declared(2, {auto_collection("a", {required("l", K::list(K::floating()))}),
                                 auto_collection("b", {required("to", K::link("a"))})}),
                    stored),
            "the type of `a.l` changed; a migration has to replace the field");
  EXPECT_EQ(refusal(declared(2, {auto_collection("a", {required("l", K::list(K::integer()))}),
                                 auto_collection("b", {required("to", K::link("b"))})}),
                    stored),
            "the type of `b.to` changed; a migration has to replace the field");
  // A link follows its target through a rename.
  DeclaredMigration m = migration_to(2);
  m.collection_renames = {{"a", "z"}};
  SchemaResolution r =
      resolved(declared(2, {auto_collection("z", {required("l", K::list(K::integer()))}),
                            auto_collection("b", {required("to", K::link("z"))})}),
               stored, {m});
  EXPECT_EQ(field_named(named(r.schema, "b"), "to").kind, FieldKind::link(1));
}

TEST(ResolveSchema, required_and_default_changes_that_strand_stored_objects_fail) {
  Schema stored = first_schema(
      declared(1, {auto_collection("c", {optional("o", K::integer()),
                                         defaulted("d", K::integer(), Value::integer(5))})}));
  auto with = [&](DeclaredField o, DeclaredField d) {
    return refusal(declared(2, {auto_collection("c", {std::move(o), std::move(d)})}), stored);
  };
  EXPECT_EQ(with(required("o", K::integer()), defaulted("d", K::integer(), Value::integer(5))),
            "`c.o` became required without a default; objects without it would have no value");
  EXPECT_EQ(with(defaulted("o", K::integer(), Value::integer(0)),
                 defaulted("d", K::integer(), Value::integer(5))),
            "passed");
  EXPECT_EQ(with(optional("o", K::integer()), required("d", K::integer())),
            "`c.d` lost its default; objects written before it existed read the default, so it "
            "has to keep one");
  EXPECT_EQ(with(optional("o", K::integer()), optional("d", K::integer())), "passed");
}

TEST(ResolveSchema, a_new_required_field_without_default_fails_only_in_an_existing_collection) {
  Schema stored = first_schema(declared(1, {auto_collection("c", {})}));
  EXPECT_EQ(refusal(declared(2, {auto_collection("c", {required("n", K::integer())})}), stored),
            "the new field `c.n` is required without a default; the objects already there would "
            "have no value");
  EXPECT_EQ(refusal(declared(2, {auto_collection("c", {}),
                                 auto_collection("fresh", {required("n", K::integer())})}),
                    stored),
            "passed");
}

TEST(ResolveSchema, embedded_fields_keep_their_ids_in_their_own_scope) {
  Schema stored = first_schema(declared(
      1, {auto_collection("c", {required("e", K::object({required("a", K::integer())}))})}));
  SchemaResolution r = resolved(
      declared(2,
               {auto_collection("c", {required("e", K::object({optional("b", K::str()),
                                                               required("a", K::integer())}))})}),
      stored);
  const FieldKind& kind = field_named(r.schema.collections[0], "e").kind;
  ASSERT_EQ(kind.code(), KindCode::Object);
  ASSERT_EQ(kind.fields().size(), 2u);
  EXPECT_EQ(kind.fields()[0].name, "a");
  EXPECT_EQ(kind.fields()[0].id, 1u);
  EXPECT_EQ(kind.fields()[1].id, 2u);
  EXPECT_EQ(kind.next_field_id(), 3u);
  EXPECT_EQ(refusal(declared(2, {auto_collection(
                                    "c", {required("e", K::object({required("a", K::str())}))})}),
                    stored),
            "the type of `c.e.a` changed; a migration has to replace the field");
}

TEST(ResolveSchema, a_plain_index_made_unique_is_rebuilt_under_a_new_id) {
  Schema stored = first_schema(
      declared(1, {auto_collection("c", {required("a", K::integer()), required("b", K::integer())},
                                   {{"a", false}, {"b", false}})}));
  SchemaResolution r = resolved(
      declared(2, {auto_collection("c", {required("a", K::integer()), required("b", K::integer())},
                                   {{"a", true}, {"b", false}})}),
      stored);
  EXPECT_EQ(r.schema.collections[0].indexes, (std::vector<Index>{{2, 3, false}, {3, 2, true}}));
  EXPECT_EQ(r.builds, (std::vector<IndexBuild>{{1, 3, 2, true}}));
  EXPECT_EQ(r.dropped_indexes, (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(r.schema.next_index_id, 4u);
}

// An index entry holds the default of an object without the field, so a
// new default makes the old entries wrong.
TEST(ResolveSchema, an_indexed_field_whose_default_changes_is_rebuilt) {
  auto with_default = [](std::int64_t d) {
    return declared(
        1, {auto_collection(
               "c", {defaulted("a", K::list(K::integer()), Value::list({Value::integer(d)}))},
               {{"a", false}})});
  };
  Schema stored = first_schema(with_default(1));
  EXPECT_TRUE(resolved(with_default(1), stored).builds.empty());
  SchemaResolution r = resolved(with_default(2), stored);
  EXPECT_EQ(r.builds, (std::vector<IndexBuild>{{1, 2, 2, false}}));
  EXPECT_EQ(r.dropped_indexes, (std::vector<std::uint64_t>{1}));
}

TEST(ResolveSchema, an_index_on_a_replaced_field_is_rebuilt_and_a_removed_one_dropped) {
  Schema stored = first_schema(
      declared(1, {auto_collection("c", {required("a", K::integer()), required("b", K::integer())},
                                   {{"a", false}, {"b", true}})}));
  DeclaredMigration m = migration_to(2);
  m.field_replacements = {{"c", "a"}};
  SchemaResolution r = resolved(
      declared(2, {auto_collection("c", {optional("a", K::str()), required("b", K::integer())},
                                   {{"a", false}})}),
      stored, {m});
  EXPECT_EQ(r.builds, (std::vector<IndexBuild>{{1, 3, 4, false}}));
  EXPECT_EQ(r.dropped_indexes, (std::vector<std::uint64_t>{1, 2}));
}

TEST(ResolveSchema, naming_a_key_where_the_implicit_id_was_changes_the_primary_key) {
  Schema stored = first_schema(declared(1, {auto_collection("c", {required("x", K::integer())})}));
  EXPECT_EQ(
      refusal(
          declared(2, {keyed_collection(
                          "c", "id", {required("id", K::integer()), required("x", K::integer())})}),
          stored),
      "the primary key of `c` changed, which a migration cannot do");
  EXPECT_EQ(
      refusal(declared(2, {keyed_collection("c", "x", {required("x", K::integer())})}), stored),
      "the primary key of `c` changed, which a migration cannot do");
}

TEST(ResolveSchema, steps_are_carried_in_order_and_only_where_given) {
  Schema stored = first_schema(declared(1, {}));
  auto step =
      std::make_shared<const MigrationStepFn>([](WriteTxn&, const Schema&) { return ok(); });
  DeclaredMigration two = migration_to(2), three = migration_to(3), four = migration_to(4);
  two.step = step;
  four.step = step;
  SchemaResolution r = resolved(declared(4, {}), stored, {two, three, four});
  ASSERT_EQ(r.steps.size(), 2u);
  EXPECT_EQ(r.steps[0].version, 2u);
  EXPECT_EQ(r.steps[1].version, 4u);
  EXPECT_EQ(r.steps[1].step, step);
}

TEST(ResolveSchema, defaults_are_stored_with_one_nan_and_positive_zero) {
  double odd_nan = std::bit_cast<double>(0x7FF0000000000001ULL);
  Schema s = first_schema(
      declared(1, {auto_collection("c", {defaulted("n", K::floating(), Value::floating(odd_nan)),
                                         defaulted("z", K::list(K::floating()),
                                                   Value::list({Value::floating(-0.0)}))})}));
  const Collection& c = s.collections[0];
  EXPECT_EQ(std::bit_cast<std::uint64_t>(field_named(c, "n").default_value->as_float()),
            0x7FF8000000000000ULL);
  EXPECT_EQ(
      std::bit_cast<std::uint64_t>(field_named(c, "z").default_value->as_list()[0].as_float()), 0u);
}

TEST(ResolveSchema, a_counter_at_the_largest_storable_id_is_not_reused) {
  Schema stored = first_schema(declared(1, {}));
  stored.next_collection_id = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(refusal(declared(2, {auto_collection("c", {})}), stored),
            "the schema has handed out every collection id");
  stored.next_collection_id = std::numeric_limits<std::int64_t>::max() - 1;
  EXPECT_EQ(refusal(declared(2, {auto_collection("c", {})}), stored), "passed");
}

// Each embedded object costs the stored schema three record levels. The
// deepest declaration the checks let through must read back; one level more
// must not, or the check would be pointless.
TEST(ResolveSchema, the_deepest_declared_nesting_reads_back_from_the_stored_schema) {
  auto round_trip = [](std::size_t depth) {
    Schema s = first_schema(declared(
        1, {auto_collection(
               "c", {nested_objects(depth, defaulted("x", K::list(K::integer()),
                                                     Value::list({Value::integer(1)})))})}));
    auto back = schema_codec::decode_schema(schema_codec::encode_schema(s));
    return back ? std::string("read back") : std::string(back.error().message);
  };
  EXPECT_EQ(round_trip(declare::kMaxEmbeddedDepth), "read back");
  EXPECT_EQ(round_trip(declare::kMaxEmbeddedDepth + 1), "a record nests too deeply");
}

TEST(ResolveCollections, implicit_key_is_left_out_and_resolves_back_to_the_same_id) {
  Schema stored = first_schema(shop());
  auto view = resolve::resolve_collections(stored);
  ASSERT_TRUE(view);
  const DeclaredCollection& users = view->collections[0];
  EXPECT_FALSE(users.key.has_value());
  ASSERT_EQ(users.fields.size(), 2u);
  EXPECT_EQ(users.fields[0].name, "name");
  EXPECT_EQ(view->collections[1].key, "code");
  EXPECT_EQ(view->collections[1].fields[1].kind, K::link("users"));
  EXPECT_EQ(resolved(*view, stored).schema, stored);
  EXPECT_TRUE(declare::validate_options([&] {
    OpenOptions o;
    o.schema = std::make_shared<const DeclaredSchema>(*view);
    return o;
  }()));
}

TEST(ResolveCollections, a_str_key_called_id_self_links_and_list_indexes_are_shown) {
  Schema stored = first_schema(
      declared(1, {keyed_collection("c", "id",
                                    {required("id", K::str()), required("me", K::link("c")),
                                     required("tags", K::list(K::str()))},
                                    {{"tags", false}})}));
  auto view = resolve::resolve_collections(stored);
  ASSERT_TRUE(view);
  const DeclaredCollection& c = view->collections[0];
  EXPECT_EQ(c.key, "id");
  ASSERT_EQ(c.fields.size(), 3u);
  EXPECT_EQ(c.fields[1].kind, K::link("c"));
  EXPECT_EQ(c.indexes, (std::vector<DeclaredIndex>{{"tags", false}}));
}

TEST(ResolveCollections, schemas_that_cannot_be_declared_are_refused) {
  auto refusal_of = [](const Schema& s) {
    auto r = resolve::resolve_collections(s);
    return r ? std::string("passed") : r.error().to_string();
  };
  Schema base = first_schema(
      declared(1, {auto_collection("c", {required("x", K::integer())}, {{"x", false}})}));
  Schema s = base;
  s.collections[0].primary_key_field_id = 9;
  EXPECT_EQ(refusal_of(s), "`c` has no primary key field");
  s = base;
  s.collections[0].fields[0].name = "key";
  EXPECT_EQ(refusal_of(s), "`c` has an auto-increment key, which is an int called `id`");
  s = base;
  s.collections[0].fields[0].kind = FieldKind::str();
  EXPECT_EQ(refusal_of(s), "`c` has an auto-increment key, which is an int called `id`");
  s = base;
  s.collections[0].indexes[0].field_id = 7;
  EXPECT_EQ(refusal_of(s), "`c` indexes a field it lacks");
  s = base;
  s.collections[0].fields[1].kind = FieldKind::list(FieldKind::link(5));
  EXPECT_EQ(refusal_of(s), "a declared link names no collection");
}

TEST(AllOptional, marks_embedded_fields_and_leaves_the_original_alone) {
  Schema stored = first_schema(declared(
      1, {auto_collection("c", {required("e", K::object({required("a", K::integer())}))})}));
  Schema copy = resolve::all_optional(stored);
  const Collection& c = copy.collections[0];
  EXPECT_TRUE(field_named(c, "id").optional);
  EXPECT_TRUE(field_named(c, "e").optional);
  EXPECT_TRUE(field_named(c, "e").kind.fields()[0].optional);
  EXPECT_FALSE(field_named(stored.collections[0], "e").kind.fields()[0].optional);
  EXPECT_EQ(copy.next_collection_id, stored.next_collection_id);
  EXPECT_EQ(field_named(c, "e").kind.next_field_id(), 2u);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
