#include "query/params.hpp"

#include "text_format.hpp"

namespace deziro {

namespace ir {

std::optional<std::uint64_t> has_params(const Expr& expr) {
  switch (expr.kind()) {
    case Expr::Kind::And:
    case Expr::Kind::Or:
      for (const Expr& child : *expr.logical_children()) {
        if (auto found = has_params(child)) return found;
      }
      return std::nullopt;
    case Expr::Kind::Not:
      return has_params(*std::get<NotExpr>(expr.node).child);
    case Expr::Kind::Test:
      return std::nullopt;
    case Expr::Kind::ParamTest:
      for (const Operand& operand : std::get<ParamTestExpr>(expr.node).operands) {
        if (const auto* placeholder = std::get_if<Placeholder>(&operand)) {
          return placeholder->number;
        }
      }
      return std::nullopt;
  }
  return std::nullopt;
}

Status check_params(const Expr& expr, std::size_t count) {
  switch (expr.kind()) {
    case Expr::Kind::And:
    case Expr::Kind::Or:
      for (const Expr& child : *expr.logical_children()) DZ_CHECK(check_params(child, count));
      return ok();
    case Expr::Kind::Not:
      return check_params(*std::get<NotExpr>(expr.node).child, count);
    case Expr::Kind::Test:
      return ok();
    case Expr::Kind::ParamTest:
      for (const Operand& operand : std::get<ParamTestExpr>(expr.node).operands) {
        const auto* placeholder = std::get_if<Placeholder>(&operand);
        if (placeholder != nullptr && placeholder->number >= count) {
          return fail(Error::invalid_query(format_text("`${}` names a parameter, and {} were given",
                                                       placeholder->number, count)));
        }
      }
      return ok();
  }
  return ok();
}

Expr bind_params(const Expr& expr) { return clone_expr(expr); }

std::vector<Operand> bind_test_values(std::span<const Operand> operands) {
  return std::vector<Operand>(operands.begin(), operands.end());
}

}  // namespace ir

CompiledQuery CompiledQuery::from(Query query) {
  CompiledQuery compiled;
  if (query.filter && ir::has_params(*query.filter)) {
    compiled.shared_ = std::make_shared<const Query>(std::move(query));
  } else {
    compiled.owned_ = std::move(query);
  }
  return compiled;
}

Result<BoundQuery> query::bind(const CompiledQuery& compiled, std::span<const Value> params,
                               bool find_one) {
  BoundQuery bound;
  const Query& source = compiled.query();
  if (const auto& shared = compiled.shared()) {
    // The check runs before anything is planned or read, so a missing
    // parameter fails even where an earlier branch would already match.
    DZ_CHECK(ir::check_params(*source.filter, params.size()));
    bound.shared_ = shared;
    bound.params_.assign(params.begin(), params.end());
  } else {
    bound.owned_ = ir::clone_query(source);
  }
  bound.limit_ = source.limit;
  if (find_one && bound.limit_ != std::uint64_t{0}) bound.limit_ = 1;
  return bound;
}

}  // namespace deziro
