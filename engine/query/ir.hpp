// The intermediate form of a compiled query: what compile_query writes from
// filter tuples and sort pairs, in the stored record encoding, and reads
// back into a Query.
//
// Query object (top-level record): collection name (string, required,
// dropped on reading), filter (expression object), sort keys (list of
// sort-key objects), offset (int), limit (int), reserved (bool, ignored).
// Expression object: operator (1 AND, 2 OR, 3 NOT, 4 + TestOp for tests),
// path (list of strings), operands (list), children (list of expression
// objects). An operand is a bool, int, float, string or bytes, or a
// placeholder: an object whose one field holds the parameter number.
// Sort-key object: path, descending (bool). The field ids are below.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "format/object/codec.hpp"
#include "query/model.hpp"

namespace deziro::ir {

// Operator ids of expression objects; tests are their TestOp + 4.
enum IrOperator : std::uint8_t {
  kIrAnd = 1,
  kIrOr = 2,
  kIrNot = 3,
  kIrFirstTest = 4,
  kIrLastTest = 15,
};

// Field ids of the query object.
inline constexpr std::uint64_t kQueryCollection = 1;
inline constexpr std::uint64_t kQueryFilter = 2;
inline constexpr std::uint64_t kQuerySortKeys = 3;
inline constexpr std::uint64_t kQueryOffset = 4;
inline constexpr std::uint64_t kQueryLimit = 5;
inline constexpr std::uint64_t kQueryReserved = 6;
// Field ids of an expression object.
inline constexpr std::uint64_t kExprOperator = 1;
inline constexpr std::uint64_t kExprPath = 2;
inline constexpr std::uint64_t kExprOperands = 3;
inline constexpr std::uint64_t kExprChildren = 4;
// Field ids of a sort-key object and of a placeholder.
inline constexpr std::uint64_t kSortKeyPath = 1;
inline constexpr std::uint64_t kSortKeyDescending = 2;
inline constexpr std::uint64_t kPlaceholderNumber = 1;

// The writer refuses filters nested deeper than this; the top filter is at
// level 1.
inline constexpr int kMaxWrittenDepth = 24;

// A filter as compile_query's tuples give it, before the reader judges it:
// a test keeps its operator id as given (kIrFirstTest + TestOp when it is
// one), so that the reader reports an unknown operator.
struct FilterNode {
  enum class Kind : std::uint8_t { Test = 0, And = kIrAnd, Or = kIrOr, Not = kIrNot };
  Kind kind = Kind::Test;
  std::int64_t test_operator = 0;  // Test
  Path path;                       // Test
  std::vector<Operand> operands;   // Test
  // And and Or: any number; Not: exactly one.
  std::vector<FilterNode> children;
};

// Everything of a query but its collection, as the writer takes it.
struct QueryForm {
  std::optional<FilterNode> filter;
  std::vector<SortKey> sort_keys;
  std::uint64_t offset = 0;
  std::optional<std::uint64_t> limit;
};

// ------------------------------------------------------------ writing

// Unsigned LEB128.
void write_varint(std::vector<std::uint8_t>& out, std::uint64_t x);
// Zigzag, then LEB128.
void write_signed_varint(std::vector<std::uint8_t>& out, std::int64_t x);
// LEB128 length, then the bytes.
void write_length_prefixed(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes);
// Tag 9, LEB128 length, then the object's bytes.
void write_embedded_object(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> object);

// The whole intermediate form of a query on a collection. Offset and limit
// above 2^63 - 1 are written as 2^63 - 1. Fails (INVALID_QUERY, bare text)
// with err_filter_too_deep(), "a query compares with single values, not {}"
// for an operand that has no encoding (Null, lists, objects) and "{} is
// beyond a 64-bit int" for a parameter number above 2^63 - 1.
Result<std::vector<std::uint8_t>> write_query(std::string_view collection, const QueryForm& form);
// The same for a query the engine holds, through filter_node.
Result<std::vector<std::uint8_t>> write_query(std::string_view collection, const Query& query);

// Appends a filter's expression object under tag 9; depth is 1 for the top
// filter.
Status write_filter(const FilterNode& node, std::vector<std::uint8_t>& out, int depth);
Status write_filter(const Expr& expr, std::vector<std::uint8_t>& out, int depth);

// The filter tree of an expression: tests carry their operator id.
FilterNode filter_node(const Expr& expr);

// "the filter nests more than 24 levels deep"
Error err_filter_too_deep();

// ------------------------------------------------------------ reading

// An expression object into an Expr; every failure is INVALID_QUERY.
Result<Expr> read_expr(const codec::StoredValue& value);

// A path: a non-empty list of non-empty strings.
Result<Path> read_path(const codec::StoredValue& value);

Error err_sort_key_without_path();

// Decodes the bytes as one whole record and reads the query object.
Result<Query> read_query(std::span<const std::uint8_t> bytes);

}  // namespace deziro::ir
