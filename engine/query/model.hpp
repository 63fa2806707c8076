// The compiled query: an optional filter tree, sort keys, an offset and an
// optional limit. Both front ends (the text parser and the reader of the
// intermediate form) build it; planning and execution only read it. A query
// is not bound to a collection: find, find_one and count name one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "format/object/value.hpp"

namespace deziro {

// The operator of a test. The codes are part of the interface: the
// intermediate form numbers them 4 higher.
enum class TestOp : std::uint8_t {
  Eq = 0,
  Ne = 1,
  Lt = 2,
  Le = 3,
  Gt = 4,
  Ge = 5,
  Between = 6,
  In = 7,
  Contains = 8,
  StartsWith = 9,
  EndsWith = 10,
  IsNull = 11,
};

inline constexpr int kTestOpCount = 12;

// The operator as messages print it: "==", ..., "BETWEEN", "IS NULL".
std::string_view test_op_name(TestOp op);

// A parameter given when the query runs, by its number counted from 0.
struct Placeholder {
  std::uint64_t number = 0;
  bool operator==(const Placeholder&) const = default;
};

// An operand of a test that may name a parameter.
using Operand = std::variant<Value, Placeholder>;

// Field names leading from the object through embedded objects, lists and
// links; never empty, no name empty.
using Path = std::vector<std::string>;

struct Expr;
using ExprList = std::vector<Expr>;

// Every child matches (an empty list matches everything).
struct AndExpr {
  ExprList children;
};

// Some child matches (an empty list matches nothing).
struct OrExpr {
  ExprList children;
};

struct NotExpr {
  std::unique_ptr<Expr> child;
};

// A test whose operands are all literal values: ready to evaluate.
struct TestExpr {
  TestOp op = TestOp::Eq;
  Path path;
  std::vector<Value> operands;
};

// A test with at least one placeholder: needs the parameter values.
struct ParamTestExpr {
  TestOp op = TestOp::Eq;
  Path path;
  std::vector<Operand> operands;
};

// A node of a filter. Move-only: copies are explicit (ir::clone_expr), since
// a copy of a tree is deep.
struct Expr {
  enum class Kind : std::uint8_t { And, Or, Not, Test, ParamTest };
  using Node = std::variant<AndExpr, OrExpr, NotExpr, TestExpr, ParamTestExpr>;

  Node node;

  Kind kind() const noexcept { return static_cast<Kind>(node.index()); }

  // The children of an And or Or node; null for the other kinds.
  const ExprList* logical_children() const noexcept;

  // Structural identity (floats bit for bit); for tests and assertions.
  bool operator==(const Expr& other) const;
};

struct SortKey {
  Path path;
  bool descending = false;
  bool operator==(const SortKey&) const = default;
};

struct Query {
  // Absent: every object matches.
  std::optional<Expr> filter;
  // Most significant first; empty: no sort.
  std::vector<SortKey> sort_keys;
  std::uint64_t offset = 0;
  // Absent: no limit. 0 is a valid limit.
  std::optional<std::uint64_t> limit;

  bool operator==(const Query& other) const;
};

namespace ir {

// Builds a test node: a ParamTest when any operand is a placeholder (left as
// it is); otherwise `== null` becomes IS NULL and `!= null` a Not over IS
// NULL, and anything else a Test unchanged.
Expr make_test(TestOp op, Path path, std::vector<Operand> operands);

// An IS NULL test of the path.
Expr make_is_null(Path path);

// And and Or absorb children of their own kind, in place, one level deep
// (every node is built this way, so one level suffices).
Expr make_and(ExprList children);
Expr make_or(ExprList children);
Expr make_not(Expr child);

// Removes and returns the first expression of a non-empty list.
Expr take_first_child(ExprList& list);

// Deep copies; a copy shares nothing with its source.
Expr clone_expr(const Expr& expr);
Path clone_path(const Path& path);
std::vector<Value> clone_values(std::span<const Value> values);
std::vector<SortKey> clone_sort_keys(std::span<const SortKey> keys);
Query clone_query(const Query& query);

}  // namespace ir

}  // namespace deziro
