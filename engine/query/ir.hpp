// The intermediate form of a compiled query: what compile_query writes from
// filter tuples and sort pairs, in the stored record encoding, and reads
// back into a Query.
//
// Query object (top-level record): 1 collection name (string, required,
// dropped on reading), 2 filter (expression object), 3 sort keys (list of
// sort-key objects), 4 offset (int), 5 limit (int), 6 reserved (bool,
// ignored). Expression object: 1 operator (1 AND, 2 OR, 3 NOT, 4 + TestOp for
// tests), 2 path (list of strings), 3 operands (list), 4 children (list of
// expression objects). An operand is a bool, int, float, string or bytes, or
// a placeholder: an object whose one field 1 holds the parameter number.
// Sort-key object: 1 path, 2 descending (bool).
#pragma once

#include <cstdint>
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

// The writer refuses filters nested deeper than this; the top filter is at
// level 1.
inline constexpr int kMaxWrittenDepth = 24;

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
// with "the filter nests more than 24 levels deep", "a query compares with
// single values, not {}" for an operand that has no encoding (Null, lists,
// objects) and "{} is beyond a 64-bit int" for a parameter number above
// 2^63 - 1.
Result<std::vector<std::uint8_t>> write_query(std::string_view collection, const Query& query);

// Appends a filter's expression object under tag 9; depth is 1 for the top
// filter.
Status write_filter(const Expr& expr, std::vector<std::uint8_t>& out, int depth);

// ------------------------------------------------------------ reading

// An expression object into an Expr; every failure is INVALID_QUERY.
Result<Expr> read_expr(const codec::StoredValue& value);

// A path: a non-empty list of non-empty strings.
Result<Path> read_path(const codec::StoredValue& value);

Error err_sort_key_without_path();

// Decodes the bytes as one whole record and reads the query object.
Result<Query> read_query(std::span<const std::uint8_t> bytes);

}  // namespace deziro::ir
