// Builders of expected query trees, and a readable form of a filter for
// failure output.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "query/model.hpp"
#include "query/parse.hpp"

namespace deziro::testing {

// The query a text parses into; an empty query (and a test failure) when it
// does not parse.
inline Query parsed(std::string_view text) {
  auto result = parse::parse_query(text);
  EXPECT_TRUE(result.has_value()) << text << ": " << result.error().to_string();
  if (!result) return Query{};
  return std::move(*result);
}

inline Operand op_int(std::int64_t x) { return Value::integer(x); }
inline Operand op_str(std::string s) { return Value::string(std::move(s)); }
inline Operand op_param(std::uint64_t n) { return Placeholder{n}; }

inline Expr test_of(TestOp op, Path path, std::vector<Operand> operands = {}) {
  return ir::make_test(op, std::move(path), std::move(operands));
}

// A test node built as it stands, without the null rewrites.
inline Expr raw_test(TestOp op, Path path, std::vector<Value> operands = {}) {
  return Expr{TestExpr{op, std::move(path), std::move(operands)}};
}

template <typename... E>
ExprList list_of(E&&... exprs) {
  ExprList list;
  (list.push_back(std::forward<E>(exprs)), ...);
  return list;
}

template <typename... E>
Expr and_of(E&&... exprs) {
  return Expr{AndExpr{list_of(std::forward<E>(exprs)...)}};
}

template <typename... E>
Expr or_of(E&&... exprs) {
  return Expr{OrExpr{list_of(std::forward<E>(exprs)...)}};
}

inline Expr not_of(Expr e) { return ir::make_not(std::move(e)); }

inline void append_path(std::string& out, const Path& path) {
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (i) out += '.';
    out += path[i];
  }
}

inline void append_expr(std::string& out, const Expr& e) {
  switch (e.kind()) {
    case Expr::Kind::And:
    case Expr::Kind::Or: {
      const ExprList& children = e.kind() == Expr::Kind::And ? std::get<AndExpr>(e.node).children
                                                             : std::get<OrExpr>(e.node).children;
      out += e.kind() == Expr::Kind::And ? "And(" : "Or(";
      for (std::size_t i = 0; i < children.size(); ++i) {
        if (i) out += ", ";
        append_expr(out, children[i]);
      }
      out += ')';
      return;
    }
    case Expr::Kind::Not:
      out += "Not(";
      append_expr(out, *std::get<NotExpr>(e.node).child);
      out += ')';
      return;
    case Expr::Kind::Test: {
      const auto& t = std::get<TestExpr>(e.node);
      out += "Test(";
      append_path(out, t.path);
      out += ' ';
      out += test_op_name(t.op);
      for (const Value& v : t.operands) {
        out += ' ';
        v.append_debug(out);
      }
      out += ')';
      return;
    }
    case Expr::Kind::ParamTest: {
      const auto& t = std::get<ParamTestExpr>(e.node);
      out += "ParamTest(";
      append_path(out, t.path);
      out += ' ';
      out += test_op_name(t.op);
      for (const Operand& o : t.operands) {
        out += ' ';
        if (const auto* p = std::get_if<Placeholder>(&o)) {
          out += '$' + std::to_string(p->number);
        } else {
          std::get<Value>(o).append_debug(out);
        }
      }
      out += ')';
      return;
    }
  }
}

inline std::string describe_query(const Query& q) {
  std::string out = "filter ";
  if (q.filter) {
    append_expr(out, *q.filter);
  } else {
    out += "none";
  }
  out += "; sort";
  for (const SortKey& k : q.sort_keys) {
    out += ' ';
    append_path(out, k.path);
    out += k.descending ? " desc" : " asc";
  }
  out += "; offset " + std::to_string(q.offset) + "; limit ";
  out += q.limit ? std::to_string(*q.limit) : "none";
  return out;
}

}  // namespace deziro::testing
