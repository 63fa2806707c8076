#include "query/ir.hpp"

#include <optional>
#include <utility>

#include "text_format.hpp"

namespace deziro::ir {

namespace {

using codec::StoredValue;
using Kind = StoredValue::Kind;

Error invalid(std::string message) { return Error::invalid_query(std::move(message)); }

// ------------------------------------------------------------ reading

Result<Operand> read_operand(const StoredValue& value) {
  switch (value.kind()) {
    case Kind::Bool:
      return Value::boolean(value.as_bool());
    case Kind::Int:
      return Value::integer(value.as_int());
    case Kind::Float:
      return Value::floating(value.as_float());
    case Kind::String:
      return Value::string(value.as_string());
    case Kind::Bytes:
      return Value::bytes(std::span<const std::uint8_t>(value.as_bytes()));
    case Kind::Record: {
      const codec::StoredRecord& fields = value.as_record();
      if (fields.size() == 1 && fields[0].id == kPlaceholderNumber &&
          fields[0].value.kind() == Kind::Int) {
        const std::int64_t number = fields[0].value.as_int();
        if (number < 0) return fail(invalid("the IR holds a parameter with a negative number"));
        return Placeholder{static_cast<std::uint64_t>(number)};
      }
      break;
    }
    case Kind::List:
    case Kind::Link:
      break;
  }
  return fail(invalid("the IR holds a value that is not a single value"));
}

Error cannot_read_expression() { return invalid("the IR holds an expression it cannot read"); }

// The operands or children of an expression object: a list, each item read
// by `read_item`.
template <typename T, typename ReadItem>
Status read_expression_list(const StoredValue& list, std::vector<T>& out, ReadItem read_item) {
  if (list.kind() != Kind::List) return fail(cannot_read_expression());
  out.reserve(list.as_list().size());
  for (const StoredValue& item : list.as_list()) out.push_back(DZ_TRY(read_item(item)));
  return ok();
}

std::size_t operand_count_of(TestOp op, std::size_t given) {
  switch (op) {
    case TestOp::Between:
      return 2;
    case TestOp::In:
      return given;
    case TestOp::IsNull:
      return 0;
    default:
      return 1;
  }
}

Result<SortKey> read_sort_key(const StoredValue& value) {
  if (value.kind() != Kind::Record) {
    return fail(invalid("the IR holds a sort key that is not an object"));
  }
  SortKey key;
  bool has_path = false;
  for (const codec::StoredField& field : value.as_record()) {
    if (field.id == kSortKeyPath) {
      key.path = DZ_TRY(read_path(field.value));
      has_path = true;
    } else if (field.id == kSortKeyDescending && field.value.kind() == Kind::Bool) {
      key.descending = field.value.as_bool();
    } else {
      return fail(invalid("the IR holds a sort key it cannot read"));
    }
  }
  if (!has_path) return fail(err_sort_key_without_path());
  return key;
}

Error wrong_query_field(std::uint64_t id) {
  return invalid(format_text("the IR holds field {}, which it cannot", id));
}

Result<std::uint64_t> read_count(const StoredValue& value, std::uint64_t id) {
  if (value.kind() != Kind::Int) return fail(wrong_query_field(id));
  if (value.as_int() < 0) return fail(invalid("the IR holds a negative offset or limit"));
  return static_cast<std::uint64_t>(value.as_int());
}

}  // namespace

// ------------------------------------------------------------ reading

Result<Path> read_path(const StoredValue& value) {
  if (value.kind() != Kind::List) return fail(invalid("the IR holds a path that is not a list"));
  const codec::StoredList& items = value.as_list();
  Path path;
  path.reserve(items.size());
  for (const StoredValue& item : items) {
    if (item.kind() != Kind::String || item.as_string().empty()) {
      return fail(invalid("the IR holds a path with a name that is not one"));
    }
    path.push_back(item.as_string());
  }
  if (path.empty()) return fail(invalid("the IR holds an empty path"));
  return path;
}

Result<Expr> read_expr(const StoredValue& value) {
  if (value.kind() != Kind::Record) {
    return fail(invalid("the IR holds an expression that is not an object"));
  }
  std::optional<std::int64_t> op;
  std::optional<Path> path;
  std::vector<Operand> operands;
  ExprList children;
  // Operands and children are converted as their field comes, so their
  // faults are reported before the operator is judged.
  for (const codec::StoredField& field : value.as_record()) {
    switch (field.id) {
      case kExprOperator:
        if (field.value.kind() != Kind::Int) return fail(cannot_read_expression());
        op = field.value.as_int();
        break;
      case kExprPath:
        path = DZ_TRY(read_path(field.value));
        break;
      case kExprOperands:
        DZ_CHECK(read_expression_list(field.value, operands, read_operand));
        break;
      case kExprChildren:
        DZ_CHECK(read_expression_list(field.value, children, read_expr));
        break;
      default:
        return fail(cannot_read_expression());
    }
  }
  if (!op) return fail(invalid("the IR holds an expression without an operator"));
  if (*op < kIrAnd || *op > kIrLastTest) {
    return fail(invalid(format_text("the IR holds the unknown operator {}", *op)));
  }
  if (*op <= kIrNot) {
    if (path || !operands.empty()) {
      return fail(invalid("the IR holds `AND`, `OR` or `NOT` with a path or values"));
    }
    if (*op == kIrAnd) return make_and(std::move(children));
    if (*op == kIrOr) return make_or(std::move(children));
    if (children.size() != 1) {
      return fail(invalid("the IR holds a `NOT` without exactly one expression"));
    }
    return make_not(take_first_child(children));
  }
  const auto test_op = static_cast<TestOp>(*op - kIrFirstTest);
  if (!path) {
    return fail(invalid(format_text("the IR holds `{}` without a path", test_op_name(test_op))));
  }
  if (!children.empty() || operands.size() != operand_count_of(test_op, operands.size())) {
    return fail(
        invalid(format_text("the IR holds `{}` with the wrong operands", test_op_name(test_op))));
  }
  // No operand can be null here, so this builds the node without rewriting.
  return make_test(test_op, std::move(*path), std::move(operands));
}

Error err_sort_key_without_path() { return invalid("the IR holds a sort key without a path"); }

Result<Query> read_query(std::span<const std::uint8_t> bytes) {
  auto decoded = codec::decode_record_object(bytes);
  if (!decoded) return fail(invalid(format_text("the IR: {}", decoded.error())));
  Query query;
  bool has_collection = false;
  for (const codec::StoredField& field : *decoded) {
    switch (field.id) {
      case kQueryCollection:
        if (field.value.kind() != Kind::String) return fail(wrong_query_field(field.id));
        has_collection = true;
        break;
      case kQueryFilter:
        query.filter = DZ_TRY(read_expr(field.value));
        break;
      case kQuerySortKeys:
        if (field.value.kind() != Kind::List) return fail(wrong_query_field(field.id));
        query.sort_keys.reserve(field.value.as_list().size());
        for (const StoredValue& item : field.value.as_list()) {
          query.sort_keys.push_back(DZ_TRY(read_sort_key(item)));
        }
        break;
      case kQueryOffset:
        query.offset = DZ_TRY(read_count(field.value, field.id));
        break;
      case kQueryLimit:
        query.limit = DZ_TRY(read_count(field.value, field.id));
        break;
      case kQueryReserved:
        if (field.value.kind() != Kind::Bool) return fail(wrong_query_field(field.id));
        break;
      default:
        return fail(wrong_query_field(field.id));
    }
  }
  if (!has_collection) return fail(invalid("the IR names no collection"));
  return query;
}

}  // namespace deziro::ir
