// The query model and parameter binding: node construction rules, deep
// copies, the depth-first parameter check, prepared and plain queries, and
// the find_one limit.
#include <gtest/gtest.h>

#include "query/params.hpp"
#include "query/parse.hpp"
#include "support/query_support.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace deziro::testing;

std::string check_message(std::string_view text, std::size_t count) {
  Query q = parsed(text);
  if (!q.filter) return "no filter";
  Status status = ir::check_params(*q.filter, count);
  if (status) return "passed";
  EXPECT_EQ(status.error().kind(), ErrorKind::InvalidQuery);
  return std::string(status.error().message());
}

Expr eq(std::string name, std::int64_t x) {
  return test_of(TestOp::Eq, {std::move(name)}, {op_int(x)});
}

// ------------------------------------------------------------ model

TEST(QueryModel, only_equality_and_inequality_with_a_literal_null_are_rewritten) {
  EXPECT_EQ(ir::make_test(TestOp::Eq, {"x"}, {Value::null()}), raw_test(TestOp::IsNull, {"x"}));
  EXPECT_EQ(ir::make_test(TestOp::Ne, {"x"}, {Value::null()}),
            not_of(raw_test(TestOp::IsNull, {"x"})));
  EXPECT_EQ(ir::make_test(TestOp::Lt, {"x"}, {Value::null()}),
            raw_test(TestOp::Lt, {"x"}, {Value::null()}));
  // Two operands, one of them null: not an equality with null.
  EXPECT_EQ(ir::make_test(TestOp::Eq, {"x"}, {Value::null(), Value::null()}),
            raw_test(TestOp::Eq, {"x"}, {Value::null(), Value::null()}));
  // A placeholder keeps the whole test unrewritten, null operands included.
  Expr param = ir::make_test(TestOp::Eq, {"x"}, {Value::null(), Placeholder{0}});
  ASSERT_EQ(param.kind(), Expr::Kind::ParamTest);
  EXPECT_EQ(std::get<ParamTestExpr>(param.node).operands.size(), 2u);
}

TEST(QueryModel, and_absorbs_and_children_in_place_but_or_keeps_them) {
  EXPECT_EQ(ir::make_and(list_of(and_of(eq("p", 1), eq("q", 2)), eq("r", 3))),
            and_of(eq("p", 1), eq("q", 2), eq("r", 3)));
  EXPECT_EQ(ir::make_and(list_of(eq("r", 3), and_of(eq("p", 1), eq("q", 2)), eq("s", 4))),
            and_of(eq("r", 3), eq("p", 1), eq("q", 2), eq("s", 4)));
  EXPECT_EQ(ir::make_or(list_of(and_of(eq("p", 1), eq("q", 2)), eq("r", 3))),
            or_of(and_of(eq("p", 1), eq("q", 2)), eq("r", 3)));
  EXPECT_EQ(ir::make_or(list_of(or_of(eq("p", 1)), or_of(), eq("r", 3))),
            or_of(eq("p", 1), eq("r", 3)));
  EXPECT_EQ(ir::make_and(list_of(not_of(and_of(eq("p", 1))))), and_of(not_of(and_of(eq("p", 1)))));
  EXPECT_EQ(ir::make_and({}), and_of());
}

TEST(QueryModel, take_first_child_removes_it_from_the_list) {
  ExprList list = list_of(eq("a", 1), eq("b", 2));
  EXPECT_EQ(ir::take_first_child(list), eq("a", 1));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0], eq("b", 2));
}

TEST(QueryModel, a_copy_equals_its_source_and_shares_nothing) {
  Query source = parsed(
      "NOT (a.b == \"a string long enough to live on the heap\" OR c IN [1, $2, true] OR d IS "
      "NULL) AND e BETWEEN 1.5 AND 2 SORT BY a.b DESC, c LIMIT 4 OFFSET 2");
  Query copy = ir::clone_query(source);
  EXPECT_EQ(copy, source);
  // Changing the copy leaves the source alone.
  auto& copy_not = std::get<NotExpr>(std::get<AndExpr>(copy.filter->node).children[0].node);
  const auto& source_not =
      std::get<NotExpr>(std::get<AndExpr>(source.filter->node).children[0].node);
  EXPECT_NE(copy_not.child.get(), source_not.child.get());
  auto& copy_test = std::get<TestExpr>(std::get<OrExpr>(copy_not.child->node).children[0].node);
  copy_test.path[0] = "changed";
  copy_test.operands[0].as_string()[0] = 'A';
  copy.sort_keys[0].path[1] = "z";
  EXPECT_NE(copy, source);
  const auto& source_test =
      std::get<TestExpr>(std::get<OrExpr>(source_not.child->node).children[0].node);
  EXPECT_EQ(source_test.path, (Path{"a", "b"}));
  EXPECT_EQ(source_test.operands[0].as_string(), "a string long enough to live on the heap");
  EXPECT_EQ(source.sort_keys[0].path, (Path{"a", "b"}));
}

TEST(QueryModel, equality_tells_float_bits_and_placeholders_apart) {
  EXPECT_NE(raw_test(TestOp::Eq, {"x"}, {Value::floating(0.0)}),
            raw_test(TestOp::Eq, {"x"}, {Value::floating(-0.0)}));
  EXPECT_NE(raw_test(TestOp::Eq, {"x"}, {Value::integer(1)}),
            raw_test(TestOp::Eq, {"x"}, {Value::floating(1.0)}));
  EXPECT_NE(test_of(TestOp::Eq, {"x"}, {op_param(1)}), test_of(TestOp::Eq, {"x"}, {op_param(2)}));
  EXPECT_NE(and_of(eq("a", 1)), or_of(eq("a", 1)));
}

// ------------------------------------------------------------ parameters

TEST(QueryParams, has_params_finds_the_first_placeholder_depth_first) {
  EXPECT_EQ(ir::has_params(*parsed("a == 1 OR (b == $5 AND c == $2)").filter), 5u);
  EXPECT_EQ(ir::has_params(*parsed("NOT NOT x IN [1, $3, $1]").filter), 3u);
  EXPECT_EQ(ir::has_params(*parsed("a == 1 AND b IS NULL").filter), std::nullopt);
  EXPECT_EQ(ir::has_params(*parsed("a == $0").filter), 0u);
}

TEST(QueryParams, a_missing_parameter_fails_with_its_number_and_the_count) {
  EXPECT_EQ(check_message("a == $1", 2), "passed");
  EXPECT_EQ(check_message("a == $1", 1), "`$1` names a parameter, and 1 were given");
  EXPECT_EQ(check_message("a == $1", 0), "`$1` names a parameter, and 0 were given");
  // Extra values are ignored; one number used twice needs one value.
  EXPECT_EQ(check_message("a == $0 AND b != $0", 1), "passed");
  EXPECT_EQ(check_message("a == $0", 7), "passed");
}

TEST(QueryParams, the_check_walks_depth_first_and_stops_at_the_first_fault) {
  // The second branch fails although the first could match on its own.
  EXPECT_EQ(check_message("a == $0 OR b == $5", 1), "`$5` names a parameter, and 1 were given");
  EXPECT_EQ(check_message("(a == $3 OR NOT b == $9) AND c == $2", 2),
            "`$3` names a parameter, and 2 were given");
  EXPECT_EQ(check_message("NOT (a == 1 AND NOT (b == $0 OR c == $8)) AND d == $4", 1),
            "`$8` names a parameter, and 1 were given");
  EXPECT_EQ(check_message("x IN [$0, 7, $4, $9]", 3), "`$4` names a parameter, and 3 were given");
  EXPECT_EQ(check_message("x BETWEEN $7 AND $6", 0), "`$7` names a parameter, and 0 were given");
  EXPECT_EQ(check_message("x == $18446744073709551615", 3),
            "`$18446744073709551615` names a parameter, and 3 were given");
}

TEST(QueryParams, bind_params_and_test_values_copy_placeholders_as_placeholders) {
  Query q = parsed("a == $1 OR b IN [1, $0]");
  Expr copy = ir::bind_params(*q.filter);
  EXPECT_EQ(copy, *q.filter);
  const auto& test = std::get<ParamTestExpr>(std::get<OrExpr>(q.filter->node).children[1].node);
  EXPECT_EQ(ir::bind_test_values(test.operands), test.operands);
}

// ------------------------------------------------------------ binding

TEST(QueryBind, a_plain_query_is_copied_and_ignores_any_parameters) {
  CompiledQuery compiled = CompiledQuery::from(parsed("a == 1 LIMIT 3"));
  EXPECT_FALSE(compiled.is_prepared());
  const Value extra[] = {Value::integer(1), Value::list({})};
  auto bound = query::bind(compiled, extra, false);
  ASSERT_TRUE(bound);
  EXPECT_FALSE(bound->is_prepared());
  EXPECT_NE(&bound->query(), &compiled.query());
  EXPECT_EQ(bound->query(), compiled.query());
  EXPECT_TRUE(bound->params().empty());
  EXPECT_EQ(bound->limit(), 3u);

  CompiledQuery no_filter = CompiledQuery::from(parsed("SORT BY a"));
  EXPECT_FALSE(no_filter.is_prepared());
  EXPECT_TRUE(query::bind(no_filter, {}, false));
}

TEST(QueryBind, a_prepared_query_is_shared_and_keeps_a_copy_of_the_values) {
  CompiledQuery compiled = CompiledQuery::from(parsed("a == $1 OFFSET 2"));
  EXPECT_TRUE(compiled.is_prepared());
  std::vector<Value> values = {Value::string("zero"), Value::null()};
  auto bound = query::bind(compiled, values, false);
  ASSERT_TRUE(bound);
  EXPECT_TRUE(bound->is_prepared());
  EXPECT_EQ(&bound->query(), &compiled.query());
  values[0] = Value::integer(5);
  ASSERT_EQ(bound->params().size(), 2u);
  EXPECT_EQ(bound->params()[0], Value::string("zero"));
  EXPECT_EQ(bound->offset(), 2u);
  EXPECT_EQ(bound->limit(), std::nullopt);
}

TEST(QueryBind, a_prepared_query_without_its_parameters_is_refused_before_planning) {
  CompiledQuery compiled = CompiledQuery::from(parsed("a == $0 OR b == $5"));
  const Value one[] = {Value::integer(1)};
  auto bound = query::bind(compiled, one, false);
  ASSERT_FALSE(bound);
  EXPECT_EQ(bound.error().to_string(), "invalid query: `$5` names a parameter, and 1 were given");
  auto none = query::bind(compiled, {}, true);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().message(), "`$0` names a parameter, and 0 were given");
}

TEST(QueryBind, find_one_limits_to_one_unless_the_limit_is_zero) {
  struct Case {
    const char* text;
    std::optional<std::uint64_t> find_one_limit;
  };
  for (const Case& c : {Case{"a == 1", 1}, Case{"a == 1 LIMIT 5", 1}, Case{"a == 1 LIMIT 1", 1},
                        Case{"a == 1 LIMIT 0", 0}, Case{"a == $0", 1}, Case{"a == $0 LIMIT 9", 1},
                        Case{"a == $0 LIMIT 0", 0}}) {
    CompiledQuery compiled = CompiledQuery::from(parsed(c.text));
    const Value one[] = {Value::integer(1)};
    auto bound = query::bind(compiled, one, true);
    ASSERT_TRUE(bound) << c.text;
    EXPECT_EQ(bound->limit(), c.find_one_limit) << c.text;
    // The compiled query itself keeps its limit for later runs.
    EXPECT_EQ(query::bind(compiled, one, false)->limit(), compiled.query().limit) << c.text;
  }
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
