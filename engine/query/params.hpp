// Parameters of prepared queries: finding placeholders, checking that every
// parameter a filter names was given, and binding a compiled query for one
// run of find, find_one or count.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "query/model.hpp"

namespace deziro {

class BoundQuery;
class CompiledQuery;

namespace query {

// Binds a compiled query for one run. A plain query ignores the values
// (whatever their number) and is copied; a prepared one is shared, keeps a
// copy of the values and checks them. For find_one the limit becomes 1
// unless it is 0.
Result<BoundQuery> bind(const CompiledQuery& compiled, std::span<const Value> params,
                        bool find_one);

}  // namespace query

namespace ir {

// The number of the first placeholder in depth-first order (children in
// order, operands in order), or none when the filter holds no placeholder.
std::optional<std::uint64_t> has_params(const Expr& expr);

// Fails with INVALID_QUERY on the first placeholder, depth first, whose
// number is not below the count of values given.
Status check_params(const Expr& expr, std::size_t count);

// The deep copy of a filter that a run of a plain query takes
// (placeholders stay placeholders).
Expr bind_params(const Expr& expr);

// A copy of a test's operand list, placeholders included.
std::vector<Operand> bind_test_values(std::span<const Operand> operands);

}  // namespace ir

// What a NativeQuery holds: a prepared query (its filter names a parameter)
// is shared by every run; a plain one is held by value and copied per run.
class CompiledQuery {
 public:
  static CompiledQuery from(Query query);

  bool is_prepared() const noexcept { return shared_ != nullptr; }
  const Query& query() const noexcept { return shared_ ? *shared_ : owned_; }
  // The shared query of a prepared query; null for a plain one.
  const std::shared_ptr<const Query>& shared() const noexcept { return shared_; }

 private:
  std::shared_ptr<const Query> shared_;
  Query owned_;
};

// A query bound for one run: the query to plan and, for a prepared query,
// the parameter values. Read offset and limit from here, not from query():
// find_one replaces the limit without copying a shared query.
class BoundQuery {
 public:
  const Query& query() const noexcept { return shared_ ? *shared_ : owned_; }
  const std::optional<Expr>& filter() const noexcept { return query().filter; }
  std::span<const SortKey> sort_keys() const noexcept { return query().sort_keys; }
  std::uint64_t offset() const noexcept { return query().offset; }
  std::optional<std::uint64_t> limit() const noexcept { return limit_; }
  std::span<const Value> params() const noexcept { return params_; }
  bool is_prepared() const noexcept { return shared_ != nullptr; }

 private:
  friend Result<BoundQuery> query::bind(const CompiledQuery&, std::span<const Value>, bool);

  std::shared_ptr<const Query> shared_;
  Query owned_;
  std::optional<std::uint64_t> limit_;
  std::vector<Value> params_;
};

}  // namespace deziro
