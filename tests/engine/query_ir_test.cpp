// The intermediate form: the exact bytes the writer produces, and every
// message of the reader.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "query/ir.hpp"
#include "query/params.hpp"
#include "support/query_support.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace deziro::testing;
using codec::StoredField;
using codec::StoredValue;
using Bytes = std::vector<std::uint8_t>;

// ------------------------------------------------------------ builders

StoredValue sint(std::int64_t x) { return StoredValue::integer(x); }
StoredValue sstr(std::string s) { return StoredValue::string(std::move(s)); }
StoredValue sbool(bool b) { return StoredValue::boolean(b); }

StoredValue slist(std::initializer_list<StoredValue> items) {
  return StoredValue::list(codec::StoredList(items));
}

StoredValue rec(std::initializer_list<StoredField> fields) {
  return StoredValue::record(codec::StoredRecord(fields));
}

StoredValue spath(std::initializer_list<std::string> names) {
  codec::StoredList items;
  for (const std::string& n : names) items.push_back(sstr(n));
  return StoredValue::list(std::move(items));
}

StoredValue splaceholder(std::int64_t n) { return rec({{1, sint(n)}}); }

// An IS NULL test of a (operator 15).
StoredValue is_null_a() { return rec({{1, sint(15)}, {2, spath({"a"})}}); }

// A query object around a filter, as bytes.
Bytes query_bytes(std::initializer_list<StoredField> fields) {
  Bytes out;
  codec::write_stored_record(out, codec::StoredRecord(fields));
  return out;
}

Bytes query_with_filter(const StoredValue& filter) {
  return query_bytes({{1, sstr("c")}, {2, filter}});
}

std::string read_error(const Bytes& bytes) {
  auto result = ir::read_query(bytes);
  if (result) return "read: " + describe_query(*result);
  EXPECT_EQ(result.error().kind(), ErrorKind::InvalidQuery);
  return std::string(result.error().message());
}

std::string expr_error(const StoredValue& value) {
  auto result = ir::read_expr(value);
  if (result) {
    std::string text = "read: ";
    append_expr(text, *result);
    return text;
  }
  EXPECT_EQ(result.error().kind(), ErrorKind::InvalidQuery);
  return std::string(result.error().message());
}

Expr read_filter(const StoredValue& filter) {
  auto result = ir::read_query(query_with_filter(filter));
  EXPECT_TRUE(result) << result.error().to_string();
  if (!result || !result->filter) return Expr{};
  return std::move(*result->filter);
}

Bytes hex(std::initializer_list<int> bytes) {
  Bytes out;
  for (int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

// ------------------------------------------------------------ writer

TEST(QueryIrWrite, varints_are_shortest_leb128_and_signed_ones_zigzag) {
  Bytes out;
  ir::write_varint(out, 0);
  ir::write_varint(out, 127);
  ir::write_varint(out, 128);
  EXPECT_EQ(out, hex({0x00, 0x7f, 0x80, 0x01}));
  out.clear();
  ir::write_varint(out, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(out, hex({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}));
  out.clear();
  ir::write_signed_varint(out, 0);
  ir::write_signed_varint(out, -1);
  ir::write_signed_varint(out, 1);
  ir::write_signed_varint(out, -64);
  ir::write_signed_varint(out, 64);
  EXPECT_EQ(out, hex({0x00, 0x01, 0x02, 0x7f, 0x80, 0x01}));
  out.clear();
  ir::write_signed_varint(out, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(out, hex({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}));
}

TEST(QueryIrWrite, length_prefixed_and_embedded_objects) {
  Bytes out;
  const Bytes three = hex({1, 2, 3});
  ir::write_length_prefixed(out, three);
  ir::write_embedded_object(out, three);
  ir::write_length_prefixed(out, {});
  EXPECT_EQ(out, hex({0x03, 1, 2, 3, 0x09, 0x03, 1, 2, 3, 0x00}));
  Bytes long_object(200, 0xaa);
  out.clear();
  ir::write_embedded_object(out, long_object);
  ASSERT_EQ(out.size(), 203u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), hex({0x09, 0xc8, 0x01}));
}

TEST(QueryIrWrite, an_equality_test_has_its_exact_bytes) {
  Bytes out;
  ASSERT_TRUE(ir::write_filter(test_of(TestOp::Eq, {"a"}, {op_int(1)}), out, 1));
  EXPECT_EQ(out, hex({0x09, 0x0f, 0x03, 0x01, 0x04, 0x08, 0x02, 0x08, 0x01, 0x06, 0x01, 0x61, 0x03,
                      0x08, 0x01, 0x04, 0x02}));
  EXPECT_EQ(read_filter(rec({{1, sint(4)}, {2, spath({"a"})}, {3, slist({sint(1)})}})),
            test_of(TestOp::Eq, {"a"}, {op_int(1)}));
}

TEST(QueryIrWrite, nodes_without_operands_or_children_leave_the_field_out) {
  Bytes out;
  ASSERT_TRUE(ir::write_filter(and_of(), out, 1));
  EXPECT_EQ(out, hex({0x09, 0x04, 0x01, 0x01, 0x04, 0x02}));
  out.clear();
  ASSERT_TRUE(ir::write_filter(raw_test(TestOp::IsNull, {"a"}), out, 1));
  EXPECT_EQ(out, hex({0x09, 0x0a, 0x02, 0x01, 0x04, 0x1e, 0x02, 0x08, 0x01, 0x06, 0x01, 0x61}));
  out.clear();
  ASSERT_TRUE(ir::write_filter(test_of(TestOp::Gt, {"a"}, {op_param(2)}), out, 1));
  EXPECT_EQ(out, hex({0x09, 0x13, 0x03, 0x01, 0x04, 0x10, 0x02, 0x08, 0x01, 0x06, 0x01,
                      0x61, 0x03, 0x08, 0x01, 0x09, 0x04, 0x01, 0x01, 0x04, 0x04}));
}

TEST(QueryIrWrite, offset_zero_is_left_out_but_limit_zero_is_written) {
  Query q;
  q.limit = 0;
  auto bytes = ir::write_query("c", q);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, hex({0x02, 0x01, 0x06, 0x01, 'c', 0x05, 0x04, 0x00}));
  auto back = ir::read_query(*bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->limit, 0u);
  EXPECT_EQ(back->offset, 0u);
  EXPECT_FALSE(back->filter);
}

TEST(QueryIrWrite, offset_and_limit_above_the_signed_range_saturate) {
  Query q;
  q.offset = std::numeric_limits<std::uint64_t>::max();
  q.limit = std::uint64_t{1} << 63;
  auto back = ir::read_query(ir::write_query("c", q).value());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->offset, std::uint64_t{std::numeric_limits<std::int64_t>::max()});
  EXPECT_EQ(back->limit, std::uint64_t{std::numeric_limits<std::int64_t>::max()});
}

TEST(QueryIrWrite, twenty_four_levels_are_written_and_twenty_five_refused) {
  Expr e = raw_test(TestOp::IsNull, {"a"});
  for (int i = 0; i < 23; ++i) e = not_of(std::move(e));
  Bytes out;
  EXPECT_TRUE(ir::write_filter(e, out, 1));
  e = not_of(std::move(e));
  out.clear();
  auto status = ir::write_filter(e, out, 1);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().message(), "the filter nests more than 24 levels deep");
}

TEST(QueryIrWrite, operands_without_an_encoding_are_refused) {
  Query q;
  q.filter = raw_test(TestOp::Lt, {"a"}, {Value::null()});
  auto result = ir::write_query("c", q);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "a query compares with single values, not None");
  q.filter = test_of(TestOp::Eq, {"a"}, {op_param(std::numeric_limits<std::uint64_t>::max())});
  result = ir::write_query("c", q);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "18446744073709551615 is beyond a 64-bit int");
}

// ------------------------------------------------------------ query object

TEST(QueryIrRead, bytes_that_do_not_decode) {
  Bytes bytes = query_bytes({{1, sstr("c")}});
  bytes.push_back(0);
  EXPECT_EQ(read_error(bytes), "the IR: " + std::string(codec::msg::kRecordTrailing));
  EXPECT_EQ(read_error(hex({0x02, 0x02, 0x02, 0x01, 0x06})),
            "the IR: " + std::string(codec::msg::kIdsOutOfOrder));
}

TEST(QueryIrRead, query_fields_of_the_wrong_kind_or_number) {
  EXPECT_EQ(read_error(query_bytes({{1, sint(1)}})), "the IR holds field 1, which it cannot");
  EXPECT_EQ(read_error(query_bytes({{1, sstr("c")}, {3, sint(1)}})),
            "the IR holds field 3, which it cannot");
  EXPECT_EQ(read_error(query_bytes({{1, sstr("c")}, {4, sstr("1")}})),
            "the IR holds field 4, which it cannot");
  EXPECT_EQ(read_error(query_bytes({{1, sstr("c")}, {5, sbool(true)}})),
            "the IR holds field 5, which it cannot");
  EXPECT_EQ(read_error(query_bytes({{1, sstr("c")}, {6, sint(0)}})),
            "the IR holds field 6, which it cannot");
  EXPECT_EQ(read_error(query_bytes({{1, sstr("c")}, {7, sint(0)}})),
            "the IR holds field 7, which it cannot");
  EXPECT_EQ(read_error(query_bytes({{0, sint(0)}, {1, sstr("c")}})),
            "the IR holds field 0, which it cannot");
  EXPECT_EQ(read_error(query_bytes({{4, sint(1)}})), "the IR names no collection");
  EXPECT_EQ(read_error(query_bytes({})), "the IR names no collection");
  EXPECT_EQ(read_error(query_bytes({{1, sstr("c")}, {4, sint(-1)}})),
            "the IR holds a negative offset or limit");
  EXPECT_EQ(read_error(query_bytes({{1, sstr("c")}, {5, sint(-1)}})),
            "the IR holds a negative offset or limit");
  EXPECT_EQ(read_error(query_bytes({{1, sstr("c")}, {6, sbool(true)}})),
            "read: filter none; sort; offset 0; limit none");
  EXPECT_EQ(read_error(query_bytes({{1, sstr("c")}, {4, sint(3)}, {5, sint(7)}})),
            "read: filter none; sort; offset 3; limit 7");
}

TEST(QueryIrRead, sort_keys) {
  auto keys = [](std::initializer_list<StoredValue> items) {
    return query_bytes({{1, sstr("c")}, {3, slist(items)}});
  };
  EXPECT_EQ(
      read_error(keys({rec({{1, spath({"a", "b"})}, {2, sbool(true)}}), rec({{1, spath({"c"})}}),
                       rec({{1, spath({"d"})}, {2, sbool(false)}})})),
      "read: filter none; sort a.b desc c asc d asc; offset 0; limit none");
  EXPECT_EQ(read_error(keys({spath({"a"})})), "the IR holds a sort key that is not an object");
  EXPECT_EQ(read_error(keys({rec({{1, spath({"a"})}, {2, sint(1)}})})),
            "the IR holds a sort key it cannot read");
  EXPECT_EQ(read_error(keys({rec({{1, spath({"a"})}, {3, sbool(true)}})})),
            "the IR holds a sort key it cannot read");
  EXPECT_EQ(read_error(keys({rec({{2, sbool(true)}})})), "the IR holds a sort key without a path");
  EXPECT_EQ(read_error(keys({rec({{1, spath({})}})})), "the IR holds an empty path");
  EXPECT_EQ(ir::err_sort_key_without_path().to_string(),
            "invalid query: the IR holds a sort key without a path");
}

// ------------------------------------------------------------ paths

TEST(QueryIrRead, paths_are_non_empty_lists_of_non_empty_strings) {
  EXPECT_EQ(ir::read_path(spath({"a", "größe"})).value(), (Path{"a", "größe"}));
  EXPECT_EQ(ir::read_path(sstr("a")).error().message(), "the IR holds a path that is not a list");
  EXPECT_EQ(ir::read_path(spath({})).error().message(), "the IR holds an empty path");
  EXPECT_EQ(ir::read_path(spath({"a", ""})).error().message(),
            "the IR holds a path with a name that is not one");
  EXPECT_EQ(ir::read_path(slist({sstr("a"), sint(1)})).error().message(),
            "the IR holds a path with a name that is not one");
  EXPECT_EQ(expr_error(rec({{1, sint(4)}, {2, spath({})}, {3, slist({sint(1)})}})),
            "the IR holds an empty path");
}

// ------------------------------------------------------------ expressions

TEST(QueryIrRead, logical_nodes) {
  EXPECT_EQ(read_filter(rec({{1, sint(1)}})), and_of());
  EXPECT_EQ(read_filter(rec({{1, sint(2)}, {4, slist({})}})), or_of());
  EXPECT_EQ(read_filter(rec({{1, sint(3)}, {4, slist({is_null_a()})}})),
            not_of(raw_test(TestOp::IsNull, {"a"})));
  // And absorbs And children, as the parser's does.
  EXPECT_EQ(read_filter(rec({{1, sint(1)},
                             {4, slist({rec({{1, sint(1)}, {4, slist({is_null_a(), is_null_a()})}}),
                                        is_null_a()})}})),
            and_of(raw_test(TestOp::IsNull, {"a"}), raw_test(TestOp::IsNull, {"a"}),
                   raw_test(TestOp::IsNull, {"a"})));
  EXPECT_EQ(expr_error(rec({{1, sint(3)}})), "the IR holds a `NOT` without exactly one expression");
  EXPECT_EQ(expr_error(rec({{1, sint(3)}, {4, slist({is_null_a(), is_null_a()})}})),
            "the IR holds a `NOT` without exactly one expression");
  EXPECT_EQ(expr_error(rec({{1, sint(1)}, {2, spath({"a"})}})),
            "the IR holds `AND`, `OR` or `NOT` with a path or values");
  EXPECT_EQ(expr_error(rec({{1, sint(2)}, {3, slist({sint(1)})}})),
            "the IR holds `AND`, `OR` or `NOT` with a path or values");
  EXPECT_EQ(expr_error(rec({{1, sint(3)}, {3, slist({})}, {4, slist({is_null_a()})}})),
            "read: Not(Test(a IS NULL))");
}

TEST(QueryIrRead, expressions_that_cannot_be_read) {
  EXPECT_EQ(expr_error(sint(4)), "the IR holds an expression that is not an object");
  EXPECT_EQ(expr_error(rec({{1, sint(1)}, {4, slist({sint(1)})}})),
            "the IR holds an expression that is not an object");
  EXPECT_EQ(expr_error(rec({{1, sstr("==")}})), "the IR holds an expression it cannot read");
  EXPECT_EQ(expr_error(rec({{1, sint(4)}, {2, spath({"a"})}, {3, sint(1)}})),
            "the IR holds an expression it cannot read");
  EXPECT_EQ(expr_error(rec({{1, sint(1)}, {4, is_null_a()}})),
            "the IR holds an expression it cannot read");
  EXPECT_EQ(expr_error(rec({{1, sint(15)}, {2, spath({"a"})}, {5, sint(0)}})),
            "the IR holds an expression it cannot read");
  EXPECT_EQ(expr_error(rec({{2, spath({"a"})}})), "the IR holds an expression without an operator");
  for (std::int64_t op : {0, 16, -1, 255}) {
    EXPECT_EQ(expr_error(rec({{1, sint(op)}, {2, spath({"a"})}})),
              "the IR holds the unknown operator " + std::to_string(op));
  }
}

TEST(QueryIrRead, operands) {
  const ByteString raw = {0x00, 0xff};
  EXPECT_EQ(read_filter(rec({{1, sint(11)},
                             {2, spath({"a"})},
                             {3, slist({sbool(true), sint(-7), StoredValue::floating(-0.0),
                                        sstr("é"), StoredValue::bytes(raw)})}})),
            raw_test(TestOp::In, {"a"},
                     {Value::boolean(true), Value::integer(-7), Value::floating(-0.0),
                      Value::string("é"), Value::bytes(std::span<const std::uint8_t>(raw))}));
  Expr param = read_filter(rec({{1, sint(4)}, {2, spath({"a"})}, {3, slist({splaceholder(2)})}}));
  EXPECT_EQ(param, test_of(TestOp::Eq, {"a"}, {op_param(2)}));
  auto err = [](StoredValue operand) {
    return expr_error(rec({{1, sint(4)}, {2, spath({"a"})}, {3, slist({std::move(operand)})}}));
  };
  EXPECT_EQ(err(splaceholder(-1)), "the IR holds a parameter with a negative number");
  EXPECT_EQ(err(slist({sint(1)})), "the IR holds a value that is not a single value");
  EXPECT_EQ(err(StoredValue::link(sint(1))), "the IR holds a value that is not a single value");
  EXPECT_EQ(err(rec({{1, sstr("0")}})), "the IR holds a value that is not a single value");
  EXPECT_EQ(err(rec({{2, sint(0)}})), "the IR holds a value that is not a single value");
  EXPECT_EQ(err(rec({{1, sint(0)}, {2, sint(0)}})),
            "the IR holds a value that is not a single value");
  EXPECT_EQ(err(rec({})), "the IR holds a value that is not a single value");
  EXPECT_EQ(err(splaceholder(std::numeric_limits<std::int64_t>::max())),
            "read: ParamTest(a == $9223372036854775807)");
}

TEST(QueryIrRead, tests_need_a_path_and_their_operand_count) {
  EXPECT_EQ(expr_error(rec({{1, sint(4)}, {3, slist({sint(1)})}})),
            "the IR holds `==` without a path");
  EXPECT_EQ(expr_error(rec({{1, sint(15)}})), "the IR holds `IS NULL` without a path");
  struct Case {
    std::int64_t op;
    std::size_t count;
    bool good;
  };
  const char* names[] = {"==",      "!=", "<",        "<=",         ">",        ">=",
                         "BETWEEN", "IN", "CONTAINS", "STARTSWITH", "ENDSWITH", "IS NULL"};
  for (std::int64_t op = 4; op <= 15; ++op) {
    for (std::size_t count : {0u, 1u, 2u, 3u}) {
      codec::StoredList operands(count, sint(1));
      StoredValue e = count == 0 ? rec({{1, sint(op)}, {2, spath({"a"})}})
                                 : rec({{1, sint(op)},
                                        {2, spath({"a"})},
                                        {3, StoredValue::list(std::move(operands))}});
      const bool good = op == 11 || (op == 10 ? count == 2 : op == 15 ? count == 0 : count == 1);
      const std::string wrong =
          std::string("the IR holds `") + names[op - 4] + "` with the wrong operands";
      if (good) {
        EXPECT_EQ(expr_error(e).rfind("read: ", 0), 0u) << op << " " << count;
      } else {
        EXPECT_EQ(expr_error(e), wrong) << op << " " << count;
      }
    }
  }
  // A child on a test is refused the same way.
  EXPECT_EQ(expr_error(rec({{1, sint(15)}, {2, spath({"a"})}, {4, slist({is_null_a()})}})),
            "the IR holds `IS NULL` with the wrong operands");
  EXPECT_EQ(expr_error(rec({{1, sint(15)}, {2, spath({"a"})}, {4, slist({})}})),
            "read: Test(a IS NULL)");
}

TEST(QueryIrRead, operands_and_children_fail_before_the_operator_is_judged) {
  EXPECT_EQ(expr_error(rec({{1, sint(99)}, {3, slist({slist({})})}})),
            "the IR holds a value that is not a single value");
  EXPECT_EQ(expr_error(rec({{1, sint(4)}, {2, spath({"a"})}, {4, slist({sint(1)})}})),
            "the IR holds an expression that is not an object");
  EXPECT_EQ(expr_error(rec({{1, sint(3)}, {4, slist({rec({{1, sint(0)}})})}})),
            "the IR holds the unknown operator 0");
}

TEST(QueryIrRead, a_placeholder_makes_the_query_prepared) {
  auto q = ir::read_query(query_with_filter(
      rec({{1, sint(2)},
           {4, slist({is_null_a(),
                      rec({{1, sint(4)}, {2, spath({"b"})}, {3, slist({splaceholder(2)})}})})}})));
  ASSERT_TRUE(q);
  CompiledQuery compiled = CompiledQuery::from(std::move(*q));
  EXPECT_TRUE(compiled.is_prepared());
  EXPECT_EQ(ir::has_params(*compiled.query().filter), 2u);
}

// ------------------------------------------------------------ nesting

// A filter of `levels` levels: NOTs around an IS NULL test.
StoredValue nested_nots(int levels) {
  StoredValue e = is_null_a();
  for (int i = 1; i < levels; ++i) e = rec({{1, sint(3)}, {4, slist({e})}});
  return e;
}

TEST(QueryIrRead, nesting_is_bounded_by_the_record_decoder) {
  // Each level is an embedded record inside a list: two decoder levels.
  Expr expected = raw_test(TestOp::IsNull, {"a"});
  for (int i = 1; i < 31; ++i) expected = not_of(std::move(expected));
  EXPECT_EQ(read_filter(nested_nots(31)), expected);
  EXPECT_EQ(read_error(query_with_filter(nested_nots(32))),
            "the IR: " + std::string(codec::msg::kNestsTooDeeply));
  EXPECT_EQ(read_error(query_with_filter(nested_nots(500))),
            "the IR: " + std::string(codec::msg::kNestsTooDeeply));
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
