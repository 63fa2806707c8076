// The planner: its messages and their order, operand rules, and the access
// path it chooses.
#include <gtest/gtest.h>

#include "format/object/key.hpp"
#include "query/parse.hpp"
#include "query/plan.hpp"
#include "support/object_store.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

Field field(std::uint64_t id, std::string name, FieldKind kind, bool optional = false) {
  return Field{id, std::move(name), std::move(kind), optional, std::nullopt};
}

Schema shop() {
  Collection c;
  c.id = 1;
  c.name = "items";
  c.fields = {field(1, "id", FieldKind::integer()),
              field(2, "a", FieldKind::integer()),
              field(3, "b", FieldKind::integer()),
              field(4, "name", FieldKind::str(), true),
              field(5, "tags", FieldKind::list(FieldKind::integer())),
              field(6, "price", FieldKind::floating()),
              field(7, "code", FieldKind::str()),
              field(8, "shop", FieldKind::link(2), true),
              field(9, "dims", FieldKind::object({field(1, "w", FieldKind::integer())}, 2), true)};
  c.next_field_id = 10;
  c.primary_key_field_id = 1;
  c.indexes = {Index{1, 2, false}, Index{2, 3, false}, Index{3, 5, false}, Index{4, 7, true}};
  Collection s;
  s.id = 2;
  s.name = "shops";
  s.fields = {field(1, "key", FieldKind::str()), field(2, "city", FieldKind::str(), true)};
  s.next_field_id = 3;
  s.primary_key_field_id = 1;
  Schema schema;
  schema.version = 1;
  schema.collections = {c, s};
  schema.next_collection_id = 3;
  schema.next_index_id = 5;
  return schema;
}

class Planning : public ::testing::Test {
 protected:
  Schema schema = shop();
  const Collection& items() const { return schema.collections[0]; }

  Result<Plan> plan_of(std::string_view text, std::vector<Value> params = {}) {
    auto parsed = parse::parse_query(text);
    EXPECT_TRUE(parsed) << parsed.error().to_string();
    auto compiled = CompiledQuery::from(std::move(*parsed));
    auto b = query::bind(compiled, params, false);
    if (!b) return fail(std::move(b).error());
    bound_ = std::move(*b);
    return plan::plan_query(schema.collections, items(), *bound_);
  }
  std::string message_of(std::string_view text, std::vector<Value> params = {}) {
    auto p = plan_of(text, std::move(params));
    EXPECT_FALSE(p) << text;
    if (p) return {};
    EXPECT_EQ(p.error().kind(), ErrorKind::InvalidQuery);
    return p.error().to_string();
  }
  std::optional<BoundQuery> bound_;
};

std::string nots(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += "NOT ";
  return s;
}

TEST_F(Planning, filter_deeper_than_24_levels_is_refused_though_it_parses) {
  EXPECT_TRUE(plan_of(nots(23) + "a == 1"));
  EXPECT_EQ(message_of(nots(24) + "a == 1"),
            "invalid query: the filter nests more than 24 levels deep");
}

TEST_F(Planning, path_of_33_names_is_refused_before_it_is_followed) {
  std::string path = "a";
  for (int i = 1; i < 33; ++i) path += ".x";
  EXPECT_EQ(message_of(path + " == 1"),
            "invalid query: a path has at most 32 names, and one has 33");
}

TEST_F(Planning, path_of_32_names_through_embedded_objects_resolves) {
  // 31 embedded levels, then an int.
  FieldKind kind = FieldKind::integer();
  for (int i = 0; i < 31; ++i) {
    std::vector<Field> inner{field(1, i == 0 ? "leaf" : "x", std::move(kind))};
    kind = FieldKind::object(std::move(inner), 2);
  }
  schema.collections[0].fields.push_back(field(10, "deep", std::move(kind), true));
  std::string path = "deep";
  for (int i = 0; i < 30; ++i) path += ".x";
  path += ".leaf";
  auto p = plan_of(path + " == 1");
  ASSERT_TRUE(p) << p.error().to_string();
  EXPECT_EQ(p->residual->test.path.steps.size(), 31u);
}

TEST_F(Planning, parameter_errors_come_from_binding_first) {
  // The binding checks the numbers before the planner sees the query.
  EXPECT_EQ(message_of("id == $0"), "invalid query: `$0` names a parameter, and 0 were given");
  EXPECT_EQ(message_of("id == $3", {Value::integer(1), Value::integer(2)}),
            "invalid query: `$3` names a parameter, and 2 were given");
}

TEST_F(Planning, null_parameter_turns_equality_into_is_null_and_refuses_order) {
  auto eq = plan_of("name == $0", {Value::null()});
  ASSERT_TRUE(eq);
  EXPECT_EQ(eq->residual->test.condition, Condition::IsNull);
  auto ne = plan_of("name != $0", {Value::null()});
  ASSERT_TRUE(ne);
  ASSERT_EQ(ne->residual->kind, ResolvedFilter::Kind::Not);
  EXPECT_EQ(ne->residual->children[0].test.condition, Condition::IsNull);
  EXPECT_EQ(message_of("name < $0", {Value::null()}),
            "invalid query: `name` is tested with `<` against null, which only `==` and `!=` do");
}

TEST_F(Planning, float_field_takes_ints_only_within_2_to_the_53) {
  auto p = plan_of("price == 5");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->residual->test.operands[0], Value::floating(5.0));
  EXPECT_EQ(message_of("price == 9007199254740993"),
            "invalid query: `price` holds a float, and the query tests it with `==` against "
            "Int(9007199254740993)");
  EXPECT_TRUE(plan_of("price == 9007199254740992"));
}

TEST_F(Planning, messages_of_paths_and_operands) {
  EXPECT_EQ(message_of("nope == 1"),
            "invalid query: `nope` names `nope`, which is not a field there");
  EXPECT_EQ(message_of("dims == 1"),
            "invalid query: `dims` is an embedded object; a query tests one of its fields");
  EXPECT_EQ(message_of("a.b == 1"), "invalid query: `a.b` goes on past `a`, which has no fields");
  EXPECT_EQ(message_of("shop.nope == 1"),
            "invalid query: `shop.nope` names `nope`, which is not a field there");
  EXPECT_EQ(
      message_of("a == \"x\""),
      "invalid query: `a` holds an int, and the query tests it with `==` against String(\"x\")");
  EXPECT_EQ(message_of("a STARTSWITH \"x\""),
            "invalid query: `STARTSWITH` tests strings, and `a` holds an int or it is tested "
            "against String(\"x\")");
  EXPECT_EQ(
      message_of("shop == 1"),
      "invalid query: `shop` holds a string, and the query tests it with `==` against Int(1)");
  EXPECT_EQ(message_of("SORT BY tags"),
            "invalid query: `tags` holds several values, so it cannot be sorted by");
}

TEST_F(Planning, first_failing_test_decides_and_sort_keys_come_after_the_filter) {
  EXPECT_EQ(
      message_of("a == \"x\" AND nope == 1"),
      "invalid query: `a` holds an int, and the query tests it with `==` against String(\"x\")");
  EXPECT_EQ(message_of("nope == 1 SORT BY tags"),
            "invalid query: `nope` names `nope`, which is not a field there");
  // The path is checked before the operand.
  EXPECT_EQ(message_of("nope == \"x\""),
            "invalid query: `nope` names `nope`, which is not a field there");
}

TEST_F(Planning, in_values_are_sorted_and_deduplicated) {
  auto p = plan_of("id IN [3, 1, 3, 2]");
  ASSERT_TRUE(p);
  ASSERT_EQ(p->access.kind, AccessPath::Kind::KeyLookups);
  ASSERT_EQ(p->access.keys.size(), 3u);
  std::vector<std::uint8_t> one;
  key::encode_int(1, one);
  EXPECT_EQ(p->access.keys[0], one);
  EXPECT_FALSE(p->residual);
  EXPECT_TRUE(p->exact);
}

TEST_F(Planning, empty_in_on_an_index_plans_no_range) {
  auto p = plan_of("a IN []");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->access.kind, AccessPath::Kind::IndexRanges);
  EXPECT_TRUE(p->access.ranges.empty());
}

TEST_F(Planning, equality_on_a_plain_index_beats_a_range_in_either_order) {
  for (const char* text : {"a > 3 AND b == 2", "b == 2 AND a > 3"}) {
    auto p = plan_of(text);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->access.kind, AccessPath::Kind::IndexRanges);
    EXPECT_EQ(p->access.index->field_id, 3u) << text;
    ASSERT_TRUE(p->residual);
  }
}

TEST_F(Planning, two_ranges_on_one_field_merge_and_leave_nothing_to_test) {
  auto p = plan_of("a > 3 AND a <= 9");
  ASSERT_TRUE(p);
  ASSERT_EQ(p->access.ranges.size(), 1u);
  EXPECT_FALSE(p->residual);
  EXPECT_TRUE(p->exact);
  std::vector<std::uint8_t> three, nine;
  key::encode_int(3, three);
  key::encode_int(9, nine);
  // Excluded 3 becomes Included at the successor; Included 9 Excluded there.
  EXPECT_EQ(p->access.ranges[0].lower.kind, BoundKind::Included);
  EXPECT_EQ(p->access.ranges[0].lower.key, *plan::successor(three));
  EXPECT_EQ(p->access.ranges[0].upper.kind, BoundKind::Excluded);
  EXPECT_EQ(p->access.ranges[0].upper.key, *plan::successor(nine));
}

TEST_F(Planning, ranges_on_a_list_field_are_never_merged) {
  auto p = plan_of("tags > 2 AND tags < 5");
  ASSERT_TRUE(p);
  ASSERT_EQ(p->access.kind, AccessPath::Kind::IndexRanges);
  EXPECT_TRUE(p->access.skip_seen);
  ASSERT_TRUE(p->residual);
  ASSERT_EQ(p->residual->children.size(), 1u);
  EXPECT_EQ(p->residual->children[0].test.op, TestOp::Lt);
  EXPECT_FALSE(p->exact);
}

TEST_F(Planning, open_range_on_an_int_index_reads_only_int_entries) {
  auto p = plan_of("a < 5");
  ASSERT_TRUE(p);
  const IndexRange& r = p->access.ranges[0];
  EXPECT_EQ(r.lower.kind, BoundKind::Included);
  EXPECT_EQ(r.lower.key, ByteString{0x04});
  std::vector<std::uint8_t> five;
  key::encode_int(5, five);
  EXPECT_EQ(r.upper.key, five);
}

TEST_F(Planning, startswith_bounds_the_range_by_its_prefix) {
  auto p = plan_of("code STARTSWITH \"ab\"");
  ASSERT_TRUE(p);
  const IndexRange& r = p->access.ranges[0];
  EXPECT_EQ(r.lower.key, (ByteString{0x16, 'a', 'b'}));
  EXPECT_EQ(r.upper.key, (ByteString{0x16, 'a', 'c'}));
}

TEST_F(Planning, sort_on_an_indexed_field_reads_the_index_in_order) {
  auto p = plan_of("SORT BY a DESC");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->access.kind, AccessPath::Kind::IndexRanges);
  EXPECT_TRUE(p->access.backward);
  EXPECT_TRUE(p->ordered);
  auto q = plan_of("SORT BY price");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->access.kind, AccessPath::Kind::KeyRange);
  EXPECT_FALSE(q->ordered);
  auto k = plan_of("SORT BY id DESC");
  ASSERT_TRUE(k);
  EXPECT_TRUE(k->ordered);
  EXPECT_TRUE(k->access.backward);
}

TEST_F(Planning, index_lookup_of_one_value_is_ordered_but_a_range_is_not) {
  auto eq = plan_of("a == 3");
  ASSERT_TRUE(eq);
  EXPECT_TRUE(eq->ordered);
  auto range = plan_of("a > 3");
  ASSERT_TRUE(range);
  EXPECT_FALSE(range->ordered);
}

TEST_F(Planning, first_tested_field_is_the_first_test_of_the_residual_filter) {
  auto p = plan_of("NOT (price > 1 OR name == \"x\")");
  ASSERT_TRUE(p);
  ASSERT_NE(p->first_tested, nullptr);
  EXPECT_EQ(p->first_tested->name, "price");
  auto sorted = plan_of("SORT BY price");
  ASSERT_TRUE(sorted);
  EXPECT_EQ(sorted->first_tested->name, "price");
  auto deep = plan_of("shop.city == \"x\"");
  ASSERT_TRUE(deep);
  EXPECT_EQ(deep->first_tested, nullptr);
}

TEST(Successor, drops_trailing_ff_and_raises_the_last_byte) {
  EXPECT_EQ(*plan::successor(ByteString{0x16, 0x61, 0xFF, 0xFF}), (ByteString{0x16, 0x62}));
  EXPECT_FALSE(plan::successor(ByteString{0xFF, 0xFF}));
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
