#include "query/model.hpp"

#include <utility>

namespace deziro {

namespace {

constexpr std::string_view kTestOpNames[kTestOpCount] = {
    "==",      "!=", "<",        "<=",         ">",        ">=",
    "BETWEEN", "IN", "CONTAINS", "STARTSWITH", "ENDSWITH", "IS NULL",
};

bool is_null_value(const Operand& operand) {
  const Value* value = std::get_if<Value>(&operand);
  return value != nullptr && value->is_null();
}

// Builds an And or Or node, splicing in the children of children of the
// same kind.
template <typename Node>
Expr make_flattened(ExprList children) {
  std::size_t total = 0;
  bool any_same = false;
  for (const Expr& child : children) {
    const Node* same = std::get_if<Node>(&child.node);
    any_same |= same != nullptr;
    total += same != nullptr ? same->children.size() : 1;
  }
  if (!any_same) return Expr{Node{std::move(children)}};
  ExprList flat;
  flat.reserve(total);
  for (Expr& child : children) {
    if (Node* same = std::get_if<Node>(&child.node)) {
      for (Expr& grandchild : same->children) flat.push_back(std::move(grandchild));
    } else {
      flat.push_back(std::move(child));
    }
  }
  return Expr{Node{std::move(flat)}};
}

ExprList clone_list(const ExprList& list) {
  ExprList out;
  out.reserve(list.size());
  for (const Expr& e : list) out.push_back(ir::clone_expr(e));
  return out;
}

}  // namespace

std::string_view test_op_name(TestOp op) { return kTestOpNames[static_cast<int>(op)]; }

const ExprList* Expr::logical_children() const noexcept {
  if (const auto* a = std::get_if<AndExpr>(&node)) return &a->children;
  if (const auto* o = std::get_if<OrExpr>(&node)) return &o->children;
  return nullptr;
}

bool Expr::operator==(const Expr& other) const {
  if (node.index() != other.node.index()) return false;
  switch (kind()) {
    case Kind::And:
    case Kind::Or:
      return *logical_children() == *other.logical_children();
    case Kind::Not:
      return *std::get<NotExpr>(node).child == *std::get<NotExpr>(other.node).child;
    case Kind::Test: {
      const auto& a = std::get<TestExpr>(node);
      const auto& b = std::get<TestExpr>(other.node);
      return a.op == b.op && a.path == b.path && a.operands == b.operands;
    }
    case Kind::ParamTest: {
      const auto& a = std::get<ParamTestExpr>(node);
      const auto& b = std::get<ParamTestExpr>(other.node);
      return a.op == b.op && a.path == b.path && a.operands == b.operands;
    }
  }
  return false;
}

bool Query::operator==(const Query& other) const {
  return filter == other.filter && sort_keys == other.sort_keys && offset == other.offset &&
         limit == other.limit;
}

namespace ir {

Expr make_is_null(Path path) { return Expr{TestExpr{TestOp::IsNull, std::move(path), {}}}; }

Expr make_test(TestOp op, Path path, std::vector<Operand> operands) {
  for (const Operand& operand : operands) {
    if (std::holds_alternative<Placeholder>(operand)) {
      return Expr{ParamTestExpr{op, std::move(path), std::move(operands)}};
    }
  }
  if (operands.size() == 1 && is_null_value(operands[0])) {
    if (op == TestOp::Eq) return make_is_null(std::move(path));
    if (op == TestOp::Ne) return make_not(make_is_null(std::move(path)));
  }
  std::vector<Value> values;
  values.reserve(operands.size());
  for (Operand& operand : operands) values.push_back(std::get<Value>(std::move(operand)));
  return Expr{TestExpr{op, std::move(path), std::move(values)}};
}

Expr make_and(ExprList children) { return make_flattened<AndExpr>(std::move(children)); }

Expr make_or(ExprList children) { return make_flattened<OrExpr>(std::move(children)); }

Expr make_not(Expr child) { return Expr{NotExpr{std::make_unique<Expr>(std::move(child))}}; }

Expr take_first_child(ExprList& list) {
  Expr first = std::move(list.front());
  list.erase(list.begin());
  return first;
}

Expr clone_expr(const Expr& expr) {
  switch (expr.kind()) {
    case Expr::Kind::And:
      return Expr{AndExpr{clone_list(std::get<AndExpr>(expr.node).children)}};
    case Expr::Kind::Or:
      return Expr{OrExpr{clone_list(std::get<OrExpr>(expr.node).children)}};
    case Expr::Kind::Not:
      return make_not(clone_expr(*std::get<NotExpr>(expr.node).child));
    case Expr::Kind::Test: {
      const auto& test = std::get<TestExpr>(expr.node);
      return Expr{TestExpr{test.op, clone_path(test.path), clone_values(test.operands)}};
    }
    case Expr::Kind::ParamTest: {
      const auto& test = std::get<ParamTestExpr>(expr.node);
      return Expr{ParamTestExpr{test.op, clone_path(test.path), test.operands}};
    }
  }
  return Expr{};
}

Path clone_path(const Path& path) { return path; }

std::vector<Value> clone_values(std::span<const Value> values) {
  return std::vector<Value>(values.begin(), values.end());
}

std::vector<SortKey> clone_sort_keys(std::span<const SortKey> keys) {
  return std::vector<SortKey>(keys.begin(), keys.end());
}

Query clone_query(const Query& query) {
  Query copy;
  if (query.filter) copy.filter = clone_expr(*query.filter);
  copy.sort_keys = clone_sort_keys(query.sort_keys);
  copy.offset = query.offset;
  copy.limit = query.limit;
  return copy;
}

}  // namespace ir

}  // namespace deziro
