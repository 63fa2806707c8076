// The query text parser: what each text becomes, and every message with its
// character position.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "query/parse.hpp"
#include "support/query_support.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace deziro::testing;

Expr parsed_filter(std::string_view text) {
  Query q = parsed(text);
  EXPECT_TRUE(q.filter.has_value()) << text;
  return q.filter ? std::move(*q.filter) : Expr{};
}

// The message of the INVALID_QUERY error that the text gives.
std::string error_of(std::string_view text) {
  auto result = parse::parse_query(text);
  if (result) return "parsed: " + describe_query(*result);
  EXPECT_EQ(result.error().kind(), ErrorKind::InvalidQuery);
  return std::string(result.error().message());
}

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

void expect_filter(std::string_view text, const Expr& expected) {
  Expr got = parsed_filter(text);
  std::string a, b;
  append_expr(a, got);
  append_expr(b, expected);
  EXPECT_EQ(got, expected) << text << "\n got:      " << a << "\n expected: " << b;
}

// ------------------------------------------------------------ clauses

TEST(QueryParse, empty_or_blank_text_has_no_filter_sort_offset_or_limit) {
  for (std::string_view text : {"", "   ", "\t\n\r ", "\u3000\u00a0\u2028"}) {
    EXPECT_EQ(parsed(text), Query{}) << text;
  }
}

TEST(QueryParse, clauses_without_a_filter) {
  Query q = parsed("LIMIT 5 OFFSET 10");
  EXPECT_FALSE(q.filter);
  EXPECT_EQ(q.limit, 5u);
  EXPECT_EQ(q.offset, 10u);

  q = parsed("sort by a DESC, b, c.d asc");
  ASSERT_EQ(q.sort_keys.size(), 3u);
  EXPECT_EQ(q.sort_keys[0], (SortKey{{"a"}, true}));
  EXPECT_EQ(q.sort_keys[1], (SortKey{{"b"}, false}));
  EXPECT_EQ(q.sort_keys[2], (SortKey{{"c", "d"}, false}));
  EXPECT_FALSE(q.limit);

  q = parsed("OFFSET 0");
  EXPECT_EQ(q.offset, 0u);
  EXPECT_FALSE(q.limit);
  EXPECT_EQ(parsed("LIMIT 0").limit, 0u);
}

TEST(QueryParse, clauses_out_of_order_fail_at_the_misplaced_clause) {
  EXPECT_EQ(error_of("OFFSET 10 LIMIT 5"),
            "at character 11: expected `AND`, `OR`, `SORT BY`, `LIMIT`, `OFFSET` or the end, "
            "found `LIMIT`");
  EXPECT_EQ(error_of("a == 1 LIMIT 1 SORT BY a"),
            "at character 16: expected `AND`, `OR`, `SORT BY`, `LIMIT`, `OFFSET` or the end, "
            "found `SORT`");
  EXPECT_EQ(error_of("a == 1 b == 2"),
            "at character 8: expected `AND`, `OR`, `SORT BY`, `LIMIT`, `OFFSET` or the end, "
            "found `b`");
  EXPECT_EQ(error_of("SORT a"), "at character 6: expected `BY`, found `a`");
  EXPECT_EQ(error_of("SORT BY"), "at character 8: expected a field name, found the end");
  EXPECT_EQ(error_of("SORT BY a,"), "at character 11: expected a field name, found the end");
}

TEST(QueryParse, limit_and_offset_take_a_non_negative_int) {
  EXPECT_EQ(error_of("LIMIT -1"), "at character 7: a limit or an offset is not negative");
  EXPECT_EQ(error_of("OFFSET -5"), "at character 8: a limit or an offset is not negative");
  EXPECT_EQ(error_of("LIMIT 1.5"), "at character 7: expected a number, found a number");
  EXPECT_EQ(error_of("LIMIT"), "at character 6: expected a number, found the end");
  EXPECT_EQ(error_of("LIMIT $1"), "at character 7: expected a number, found `$1`");
  EXPECT_EQ(error_of("LIMIT \"5\""), "at character 7: expected a number, found a string");
  EXPECT_EQ(parsed("LIMIT -0").limit, 0u);
  EXPECT_EQ(parsed("LIMIT 9223372036854775807").limit, 9223372036854775807u);
}

// ------------------------------------------------------------ tests

TEST(QueryParse, each_operator_builds_its_test) {
  expect_filter("a == 1", test_of(TestOp::Eq, {"a"}, {op_int(1)}));
  expect_filter("a != 1", test_of(TestOp::Ne, {"a"}, {op_int(1)}));
  expect_filter("a < 1", test_of(TestOp::Lt, {"a"}, {op_int(1)}));
  expect_filter("a <= 1", test_of(TestOp::Le, {"a"}, {op_int(1)}));
  expect_filter("a > 1", test_of(TestOp::Gt, {"a"}, {op_int(1)}));
  expect_filter("a >= 1", test_of(TestOp::Ge, {"a"}, {op_int(1)}));
  expect_filter("a between 1 and 2", test_of(TestOp::Between, {"a"}, {op_int(1), op_int(2)}));
  expect_filter("a In [1, \"x\", $3]",
                test_of(TestOp::In, {"a"}, {op_int(1), op_str("x"), op_param(3)}));
  expect_filter("a CONTAINS \"x\"", test_of(TestOp::Contains, {"a"}, {op_str("x")}));
  expect_filter("a startsWith \"x\"", test_of(TestOp::StartsWith, {"a"}, {op_str("x")}));
  expect_filter("a ENDSWITH \"x\"", test_of(TestOp::EndsWith, {"a"}, {op_str("x")}));
  expect_filter("a IS NULL", raw_test(TestOp::IsNull, {"a"}));
  expect_filter("a IS NOT NULL", not_of(raw_test(TestOp::IsNull, {"a"})));
  expect_filter("a is not null", not_of(raw_test(TestOp::IsNull, {"a"})));
}

TEST(QueryParse, values_of_every_kind) {
  expect_filter("a == true", raw_test(TestOp::Eq, {"a"}, {Value::boolean(true)}));
  expect_filter("a == FALSE", raw_test(TestOp::Eq, {"a"}, {Value::boolean(false)}));
  expect_filter("a == 1.5", raw_test(TestOp::Eq, {"a"}, {Value::floating(1.5)}));
  expect_filter("a == -2.5e-3", raw_test(TestOp::Eq, {"a"}, {Value::floating(-2.5e-3)}));
  expect_filter("a == 1E+3", raw_test(TestOp::Eq, {"a"}, {Value::floating(1000.0)}));
  expect_filter("a == -0.0", raw_test(TestOp::Eq, {"a"}, {Value::floating(-0.0)}));
  expect_filter("a == \"\"", raw_test(TestOp::Eq, {"a"}, {Value::string("")}));
  expect_filter("a == $0", Expr{ParamTestExpr{TestOp::Eq, {"a"}, {Placeholder{0}}}});
}

TEST(QueryParse, equality_with_null_becomes_is_null_but_other_comparisons_keep_null) {
  expect_filter("x == null", raw_test(TestOp::IsNull, {"x"}));
  expect_filter("x != NULL", not_of(raw_test(TestOp::IsNull, {"x"})));
  expect_filter("x < null", raw_test(TestOp::Lt, {"x"}, {Value::null()}));
  expect_filter("x IN [null]", raw_test(TestOp::In, {"x"}, {Value::null()}));
  // A parameter is never rewritten, whatever value it is given later.
  expect_filter("x == $0", Expr{ParamTestExpr{TestOp::Eq, {"x"}, {Placeholder{0}}}});
}

TEST(QueryParse, and_or_flatten_one_kind_and_not_never_absorbs) {
  expect_filter("a == 1 AND (b == 2 AND c == 3)", and_of(test_of(TestOp::Eq, {"a"}, {op_int(1)}),
                                                         test_of(TestOp::Eq, {"b"}, {op_int(2)}),
                                                         test_of(TestOp::Eq, {"c"}, {op_int(3)})));
  expect_filter("(a == 1 AND b == 2) OR c == 3",
                or_of(and_of(test_of(TestOp::Eq, {"a"}, {op_int(1)}),
                             test_of(TestOp::Eq, {"b"}, {op_int(2)})),
                      test_of(TestOp::Eq, {"c"}, {op_int(3)})));
  expect_filter("a == 1 or b == 2 AND c == 3",
                or_of(test_of(TestOp::Eq, {"a"}, {op_int(1)}),
                      and_of(test_of(TestOp::Eq, {"b"}, {op_int(2)}),
                             test_of(TestOp::Eq, {"c"}, {op_int(3)}))));
  expect_filter("NOT NOT x == 1", not_of(not_of(test_of(TestOp::Eq, {"x"}, {op_int(1)}))));
  expect_filter("((x == 1))", test_of(TestOp::Eq, {"x"}, {op_int(1)}));
}

TEST(QueryParse, in_lists) {
  expect_filter("x IN []", raw_test(TestOp::In, {"x"}));
  EXPECT_EQ(error_of("x IN [1,]"), "at character 9: expected a value, found `]`");
  EXPECT_EQ(error_of("x IN [1 2]"), "at character 9: expected `,`, found a number");
  EXPECT_EQ(error_of("x IN [1"), "at character 8: expected `,`, found the end");
  EXPECT_EQ(error_of("x IN 1"), "at character 6: expected `[`, found a number");
}

TEST(QueryParse, malformed_tests_name_what_was_expected) {
  EXPECT_EQ(error_of("x 1"), "at character 3: expected a comparison, found a number");
  EXPECT_EQ(error_of("x"), "at character 2: expected a comparison, found the end");
  EXPECT_EQ(error_of("x IS 5"), "at character 6: expected `NULL`, found a number");
  EXPECT_EQ(error_of("x IS NOT 5"), "at character 10: expected `NULL`, found a number");
  EXPECT_EQ(error_of("x BETWEEN 1 OR 2"), "at character 13: expected `AND`, found `OR`");
  EXPECT_EQ(error_of("x == y"), "at character 6: expected a value, found `y`");
  EXPECT_EQ(error_of("x == (1)"), "at character 6: expected a value, found `(`");
  EXPECT_EQ(error_of("(x == 1"), "at character 8: expected `)`, found the end");
  EXPECT_EQ(error_of("x == 1 AND"), "at character 11: expected a field name, found the end");
  EXPECT_EQ(error_of("\"s\" == 1"), "at character 1: expected a field name, found a string");
  EXPECT_EQ(error_of("$2 == 1"), "at character 1: expected a field name, found `$2`");
  EXPECT_EQ(error_of("x. == 1"), "at character 4: expected a field name, found `==`");
  EXPECT_EQ(error_of("x == `y z`"), "at character 6: expected a value, found `y z`");
  EXPECT_EQ(error_of("x == 1.5e3 AND"), "at character 15: expected a field name, found the end");
  EXPECT_EQ(error_of("LIMIT 1e3"), "at character 7: expected a number, found a number");
}

// ------------------------------------------------------------ paths

TEST(QueryParse, reserved_words_need_backticks_only_as_first_name) {
  EXPECT_EQ(error_of("and == 1"), "at character 1: expected a field name, found `and`");
  EXPECT_EQ(error_of("Limit == 1"), "at character 7: expected a number, found `==`");
  EXPECT_EQ(error_of("NuLL == 1"), "at character 1: expected a field name, found `NuLL`");
  expect_filter("`and` == 1", test_of(TestOp::Eq, {"and"}, {op_int(1)}));
  expect_filter("x.and.SORT == 1", test_of(TestOp::Eq, {"x", "and", "SORT"}, {op_int(1)}));
  expect_filter("`a b`.`c.d` == 1", test_of(TestOp::Eq, {"a b", "c.d"}, {op_int(1)}));
  // Only ASCII letters fold: these are names, not keywords.
  expect_filter("ſort == 1", test_of(TestOp::Eq, {"ſort"}, {op_int(1)}));
}

TEST(QueryParse, words_take_unicode_letters_numbers_and_underscores) {
  expect_filter("größe == 1", test_of(TestOp::Eq, {"größe"}, {op_int(1)}));
  expect_filter("_x1² == 1", test_of(TestOp::Eq, {"_x1²"}, {op_int(1)}));
  expect_filter("名前.ⅻ == 1", test_of(TestOp::Eq, {"名前", "ⅻ"}, {op_int(1)}));
  // A number sign that is no letter cannot start a word.
  EXPECT_EQ(error_of("² == 1"), "at character 1: `²` has no meaning here");
}

// ------------------------------------------------------------ lexer

TEST(QueryParse, stray_characters_have_no_meaning) {
  EXPECT_EQ(error_of("a = 1"), "at character 3: `=` has no meaning here");
  EXPECT_EQ(error_of("a ! 1"), "at character 3: `!` has no meaning here");
  EXPECT_EQ(error_of("a == -b"), "at character 6: `-` has no meaning here");
  EXPECT_EQ(error_of("a == +1"), "at character 6: `+` has no meaning here");
  EXPECT_EQ(error_of("a == 1;"), "at character 7: `;` has no meaning here");
  EXPECT_EQ(error_of("a == {"), "at character 6: `{` has no meaning here");
  EXPECT_EQ(error_of("a == 😀"), "at character 6: `😀` has no meaning here");
}

TEST(QueryParse, positions_count_characters_not_bytes) {
  EXPECT_EQ(error_of("é == $"), "at character 6: `$` is followed by the number of a parameter");
  EXPECT_EQ(error_of("ä == 1 AND ü = 2"), "at character 14: `=` has no meaning here");
  EXPECT_EQ(error_of("x == \"😀😀\" y"),
            "at character 11: expected `AND`, `OR`, `SORT BY`, `LIMIT`, `OFFSET` or the end, "
            "found `y`");
  EXPECT_EQ(error_of("`名前` ==\u3000"), "at character 9: expected a value, found the end");
  EXPECT_EQ(error_of("x == \"\\u{1F600}\\q\""),
            "at character 16: a string escapes only `\\\"`, `\\\\`, `\\n`, `\\t` and `\\u{...}`");
}

TEST(QueryParse, text_that_is_not_utf8_is_refused) {
  EXPECT_EQ(error_of("x == \xff"), "at character 6: the text is not UTF-8");
  EXPECT_EQ(error_of("x\xc3"), "at character 2: the text is not UTF-8");
  EXPECT_EQ(error_of("\"\xed\xa0\x80\""), "at character 2: the text is not UTF-8");
}

TEST(QueryParse, ints_at_the_64_bit_limits) {
  expect_filter("x == 9223372036854775807",
                test_of(TestOp::Eq, {"x"}, {op_int(std::numeric_limits<std::int64_t>::max())}));
  expect_filter("x == -9223372036854775808",
                test_of(TestOp::Eq, {"x"}, {op_int(std::numeric_limits<std::int64_t>::min())}));
  expect_filter("x == 007", test_of(TestOp::Eq, {"x"}, {op_int(7)}));
  EXPECT_EQ(error_of("x == 9223372036854775808"),
            "at character 6: `9223372036854775808` does not fit in 64 bits");
  EXPECT_EQ(error_of("x == -9223372036854775809"),
            "at character 6: `-9223372036854775809` does not fit in 64 bits");
  EXPECT_EQ(error_of("x == 99999999999999999999999"),
            "at character 6: `99999999999999999999999` does not fit in 64 bits");
}

TEST(QueryParse, floats_round_correctly_and_overflow_to_infinity) {
  const double inf = std::numeric_limits<double>::infinity();
  expect_filter("x == 1e400", raw_test(TestOp::Eq, {"x"}, {Value::floating(inf)}));
  expect_filter("x == -1e400", raw_test(TestOp::Eq, {"x"}, {Value::floating(-inf)}));
  expect_filter("x == 1.7976931348623159e308", raw_test(TestOp::Eq, {"x"}, {Value::floating(inf)}));
  expect_filter("x == 0.00001e400", raw_test(TestOp::Eq, {"x"}, {Value::floating(inf)}));
  expect_filter("x == 1e-400", raw_test(TestOp::Eq, {"x"}, {Value::floating(0.0)}));
  expect_filter("x == -1e-400", raw_test(TestOp::Eq, {"x"}, {Value::floating(-0.0)}));
  expect_filter(
      "x == 5e-324",
      raw_test(TestOp::Eq, {"x"}, {Value::floating(std::numeric_limits<double>::denorm_min())}));
  expect_filter("x == 1.7976931348623157e308",
                raw_test(TestOp::Eq, {"x"}, {Value::floating(1.7976931348623157e308)}));
  // Correct rounding: the halfway case between 1 and its successor goes to even.
  expect_filter("x == 1.00000000000000011102230246251565404236316680908203125",
                raw_test(TestOp::Eq, {"x"}, {Value::floating(1.0)}));
  expect_filter("x == 0.1", raw_test(TestOp::Eq, {"x"}, {Value::floating(0.1)}));
}

TEST(QueryParse, a_fraction_or_exponent_needs_digits) {
  EXPECT_EQ(error_of("x == 1."),
            "at character 7: expected `AND`, `OR`, `SORT BY`, `LIMIT`, `OFFSET` or the end, "
            "found `.`");
  EXPECT_EQ(error_of("x == .5"), "at character 6: expected a value, found `.`");
  EXPECT_EQ(error_of("x == 2e"),
            "at character 7: expected `AND`, `OR`, `SORT BY`, `LIMIT`, `OFFSET` or the end, "
            "found `e`");
  EXPECT_EQ(error_of("x == 2e+"), "at character 8: `+` has no meaning here");
  expect_filter("x == 2 AND y == 3e1", and_of(test_of(TestOp::Eq, {"x"}, {op_int(2)}),
                                              raw_test(TestOp::Eq, {"y"}, {Value::floating(30)})));
}

TEST(QueryParse, parameters) {
  expect_filter("x == $18446744073709551615",
                Expr{ParamTestExpr{TestOp::Eq, {"x"}, {Placeholder{18446744073709551615u}}}});
  EXPECT_EQ(error_of("x == $18446744073709551616"),
            "at character 6: `$` is followed by the number of a parameter");
  EXPECT_EQ(error_of("x == $a"), "at character 6: `$` is followed by the number of a parameter");
  EXPECT_EQ(error_of("x == $-1"), "at character 6: `$` is followed by the number of a parameter");
}

TEST(QueryParse, string_escapes) {
  expect_filter(R"(x == "a\"b\\c\nd\te")",
                raw_test(TestOp::Eq, {"x"}, {Value::string("a\"b\\c\nd\te")}));
  expect_filter(R"(x == "\u{41}\u{+42}\u{0000043}\u{1F600}\u{10FFFF}\u{e9}")",
                raw_test(TestOp::Eq, {"x"}, {Value::string("ABC😀\U0010FFFFé")}));
  expect_filter("x == \"é😀\"", raw_test(TestOp::Eq, {"x"}, {Value::string("é😀")}));
  expect_filter(R"(x == "\u{0}")",
                raw_test(TestOp::Eq, {"x"}, {Value::string(std::string(1, '\0'))}));
}

TEST(QueryParse, escapes_that_are_not_characters_are_refused_at_the_backslash) {
  EXPECT_EQ(error_of(R"(x == "ab\u{d800}")"), "at character 9: `\\u{d800}` is not a character");
  EXPECT_EQ(error_of(R"(x == "\u{DFFF}")"), "at character 7: `\\u{DFFF}` is not a character");
  EXPECT_EQ(error_of(R"(x == "\u{110000}")"), "at character 7: `\\u{110000}` is not a character");
  EXPECT_EQ(error_of(R"(x == "\u{}")"), "at character 7: `\\u{}` is not a character");
  EXPECT_EQ(error_of(R"(x == "\u{+}")"), "at character 7: `\\u{+}` is not a character");
  EXPECT_EQ(error_of(R"(x == "\u{-41}")"), "at character 7: `\\u{-41}` is not a character");
  EXPECT_EQ(error_of(R"(x == "\u{ 41}")"), "at character 7: `\\u{ 41}` is not a character");
  EXPECT_EQ(error_of(R"(x == "\u{100000000}")"),
            "at character 7: `\\u{100000000}` is not a character");
  EXPECT_EQ(error_of(R"(x == "\u{é}")"), "at character 7: `\\u{é}` is not a character");
  // The name runs to the next closing brace, wherever it is.
  EXPECT_EQ(error_of(R"(x == "\u{41" AND y == "}")"),
            "at character 7: `\\u{41\" AND y == \"}` is not a character");
}

TEST(QueryParse, broken_escapes_and_unended_strings) {
  const std::string only = "a string escapes only `\\\"`, `\\\\`, `\\n`, `\\t` and `\\u{...}`";
  EXPECT_EQ(error_of(R"(x == "\x")"), "at character 7: " + only);
  EXPECT_EQ(error_of(R"(x == "\u41")"), "at character 7: " + only);
  EXPECT_EQ(error_of(R"(x == "\u)"), "at character 7: " + only);
  EXPECT_EQ(error_of(R"(x == "é\)"), "at character 8: " + only);
  EXPECT_EQ(error_of(R"(x == "\u{41)"), "at character 7: a `\\u{...}` escape does not end");
  EXPECT_EQ(error_of(R"(x == "abc)"), "at character 6: a string does not end");
  EXPECT_EQ(error_of(R"(x == "abc\")"), "at character 6: a string does not end");
}

TEST(QueryParse, names_in_backticks) {
  EXPECT_EQ(error_of("é == 1 OR `abc"), "at character 11: a name in backticks does not end");
  EXPECT_EQ(error_of("`` == 1"), "at character 1: a name in backticks is empty");
  expect_filter("`\\u{41}` == 1", test_of(TestOp::Eq, {"\\u{41}"}, {op_int(1)}));
}

TEST(QueryParse, lexer_faults_come_before_parser_faults) {
  EXPECT_EQ(error_of("== 1 \"open"), "at character 6: a string does not end");
}

// ------------------------------------------------------------ nesting

TEST(QueryParse, forty_seven_levels_around_a_test_parse_and_forty_eight_fail) {
  Expr expected = test_of(TestOp::Eq, {"x"}, {op_int(1)});
  for (int i = 0; i < 47; ++i) expected = not_of(std::move(expected));
  expect_filter(repeat("NOT ", 47) + "x == 1", expected);
  EXPECT_EQ(error_of(repeat("NOT ", 48) + "x == 1"),
            "at character 193: the filter nests more than 48 levels deep");

  expect_filter(repeat("(", 47) + "x == 1" + repeat(")", 47),
                test_of(TestOp::Eq, {"x"}, {op_int(1)}));
  EXPECT_EQ(error_of(repeat("(", 48) + "x == 1" + repeat(")", 48)),
            "at character 49: the filter nests more than 48 levels deep");
  // Depth is per enclosing level, not per test: many siblings are fine.
  std::string wide = "x == 0";
  for (int i = 1; i < 200; ++i) wide += " AND (x == " + std::to_string(i) + ")";
  EXPECT_EQ(std::get<AndExpr>(parsed_filter(wide).node).children.size(), 200u);
}

TEST(QueryParse, messages_are_framed_as_invalid_query) {
  auto result = parse::parse_query("a = 1");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code_name(), "INVALID_QUERY");
  EXPECT_EQ(result.error().to_string(), "invalid query: at character 3: `=` has no meaning here");
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
