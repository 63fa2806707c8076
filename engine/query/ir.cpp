#include "query/ir.hpp"

#include <limits>
#include <optional>
#include <utility>

#include "text_format.hpp"

namespace deziro::ir {

namespace {

using codec::StoredValue;
using Kind = StoredValue::Kind;

constexpr std::uint64_t kMaxSignedInt =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

Error invalid(std::string message) { return Error::invalid_query(std::move(message)); }

// ------------------------------------------------------------ writing

void write_field_id(std::vector<std::uint8_t>& out, std::uint64_t id) { write_varint(out, id); }

void write_int_value(std::vector<std::uint8_t>& out, std::int64_t x) {
  out.push_back(codec::kTagInt);
  write_signed_varint(out, x);
}

void write_path(std::vector<std::uint8_t>& out, const Path& path) {
  codec::encode_str_list(out, std::span<const std::string>(path));
}

std::int64_t saturated(std::uint64_t x) {
  return static_cast<std::int64_t>(x > kMaxSignedInt ? kMaxSignedInt : x);
}

Status write_value_operand(std::vector<std::uint8_t>& out, const Value& value) {
  switch (value.kind()) {
    case ValueKind::Bool:
      out.push_back(value.as_bool() ? codec::kTagTrue : codec::kTagFalse);
      return ok();
    case ValueKind::Int:
      write_int_value(out, value.as_int());
      return ok();
    case ValueKind::Float:
      codec::write_float(out, value.as_float());
      return ok();
    case ValueKind::String:
    case ValueKind::Bytes:
      out.push_back(value.kind() == ValueKind::String ? codec::kTagString : codec::kTagBytes);
      write_length_prefixed(out, value.byte_view());
      return ok();
    case ValueKind::Null:
      // A test of null is written with the IS NULL operator instead.
      return fail(invalid("a query compares with single values, not None"));
    case ValueKind::List:
    case ValueKind::Object:
      break;
  }
  return fail(
      invalid(format_text("a query compares with single values, not {}", value.debug_string())));
}

Status write_placeholder(std::vector<std::uint8_t>& out, Placeholder placeholder) {
  if (placeholder.number > kMaxSignedInt) {
    return fail(invalid(format_text("{} is beyond a 64-bit int", placeholder.number)));
  }
  const std::uint8_t object[] = {1, 1, codec::kTagInt};
  std::vector<std::uint8_t> body(std::begin(object), std::end(object));
  write_signed_varint(body, static_cast<std::int64_t>(placeholder.number));
  write_embedded_object(out, body);
  return ok();
}

Status write_operand(std::vector<std::uint8_t>& out, const Value& value) {
  return write_value_operand(out, value);
}

Status write_operand(std::vector<std::uint8_t>& out, const Operand& operand) {
  if (const auto* placeholder = std::get_if<Placeholder>(&operand)) {
    return write_placeholder(out, *placeholder);
  }
  return write_value_operand(out, std::get<Value>(operand));
}

template <typename Operands>
Status write_test(std::vector<std::uint8_t>& body, TestOp op, const Path& path,
                  const Operands& operands) {
  body.push_back(operands.empty() ? 2 : 3);
  write_field_id(body, 1);
  write_int_value(body, static_cast<std::int64_t>(op) + kIrFirstTest);
  write_field_id(body, 2);
  write_path(body, path);
  if (!operands.empty()) {
    write_field_id(body, 3);
    body.push_back(codec::kTagList);
    write_varint(body, operands.size());
    for (const auto& operand : operands) DZ_CHECK(write_operand(body, operand));
  }
  return ok();
}

Status write_logical(std::vector<std::uint8_t>& body, IrOperator op,
                     std::span<const Expr* const> children, int depth) {
  body.push_back(children.empty() ? 1 : 2);
  write_field_id(body, 1);
  write_int_value(body, op);
  if (!children.empty()) {
    write_field_id(body, 4);
    body.push_back(codec::kTagList);
    write_varint(body, children.size());
    for (const Expr* child : children) DZ_CHECK(write_filter(*child, body, depth + 1));
  }
  return ok();
}

Status write_children(std::vector<std::uint8_t>& body, IrOperator op, const ExprList& children,
                      int depth) {
  std::vector<const Expr*> pointers;
  pointers.reserve(children.size());
  for (const Expr& child : children) pointers.push_back(&child);
  return write_logical(body, op, pointers, depth);
}

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
      if (fields.size() == 1 && fields[0].id == 1 && fields[0].value.kind() == Kind::Int) {
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
    if (field.id == 1) {
      key.path = DZ_TRY(read_path(field.value));
      has_path = true;
    } else if (field.id == 2 && field.value.kind() == Kind::Bool) {
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

// ------------------------------------------------------------ writing

void write_varint(std::vector<std::uint8_t>& out, std::uint64_t x) { codec::write_varint(out, x); }

void write_signed_varint(std::vector<std::uint8_t>& out, std::int64_t x) {
  codec::write_varint(out, codec::zigzag(x));
}

void write_length_prefixed(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
  write_varint(out, bytes.size());
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void write_embedded_object(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> object) {
  out.push_back(codec::kTagRecord);
  write_length_prefixed(out, object);
}

Status write_filter(const Expr& expr, std::vector<std::uint8_t>& out, int depth) {
  if (depth > kMaxWrittenDepth) {
    return fail(
        invalid(format_text("the filter nests more than {} levels deep", kMaxWrittenDepth)));
  }
  std::vector<std::uint8_t> body;
  switch (expr.kind()) {
    case Expr::Kind::And:
      DZ_CHECK(write_children(body, kIrAnd, std::get<AndExpr>(expr.node).children, depth));
      break;
    case Expr::Kind::Or:
      DZ_CHECK(write_children(body, kIrOr, std::get<OrExpr>(expr.node).children, depth));
      break;
    case Expr::Kind::Not: {
      const Expr* child = std::get<NotExpr>(expr.node).child.get();
      DZ_CHECK(write_logical(body, kIrNot, std::span<const Expr* const>(&child, 1), depth));
      break;
    }
    case Expr::Kind::Test: {
      const auto& test = std::get<TestExpr>(expr.node);
      DZ_CHECK(write_test(body, test.op, test.path, test.operands));
      break;
    }
    case Expr::Kind::ParamTest: {
      const auto& test = std::get<ParamTestExpr>(expr.node);
      DZ_CHECK(write_test(body, test.op, test.path, test.operands));
      break;
    }
  }
  write_embedded_object(out, body);
  return ok();
}

Result<std::vector<std::uint8_t>> write_query(std::string_view collection, const Query& query) {
  std::vector<std::uint8_t> out;
  out.push_back(static_cast<std::uint8_t>(1 + (query.filter ? 1 : 0) +
                                          (query.sort_keys.empty() ? 0 : 1) +
                                          (query.offset != 0 ? 1 : 0) + (query.limit ? 1 : 0)));
  write_field_id(out, 1);
  out.push_back(codec::kTagString);
  write_length_prefixed(
      out, std::span(reinterpret_cast<const std::uint8_t*>(collection.data()), collection.size()));
  if (query.filter) {
    write_field_id(out, 2);
    DZ_CHECK(write_filter(*query.filter, out, 1));
  }
  if (!query.sort_keys.empty()) {
    write_field_id(out, 3);
    out.push_back(codec::kTagList);
    write_varint(out, query.sort_keys.size());
    std::vector<std::uint8_t> body;
    for (const SortKey& key : query.sort_keys) {
      body.clear();
      body.push_back(2);
      write_field_id(body, 1);
      write_path(body, key.path);
      write_field_id(body, 2);
      body.push_back(key.descending ? codec::kTagTrue : codec::kTagFalse);
      write_embedded_object(out, body);
    }
  }
  if (query.offset != 0) {
    write_field_id(out, 4);
    write_int_value(out, saturated(query.offset));
  }
  if (query.limit) {
    write_field_id(out, 5);
    write_int_value(out, saturated(*query.limit));
  }
  return out;
}

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
      case 1:
        if (field.value.kind() != Kind::Int) return fail(cannot_read_expression());
        op = field.value.as_int();
        break;
      case 2:
        path = DZ_TRY(read_path(field.value));
        break;
      case 3:
        DZ_CHECK(read_expression_list(field.value, operands, read_operand));
        break;
      case 4:
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
      case 1:
        if (field.value.kind() != Kind::String) return fail(wrong_query_field(field.id));
        has_collection = true;
        break;
      case 2:
        query.filter = DZ_TRY(read_expr(field.value));
        break;
      case 3:
        if (field.value.kind() != Kind::List) return fail(wrong_query_field(field.id));
        query.sort_keys.reserve(field.value.as_list().size());
        for (const StoredValue& item : field.value.as_list()) {
          query.sort_keys.push_back(DZ_TRY(read_sort_key(item)));
        }
        break;
      case 4:
        query.offset = DZ_TRY(read_count(field.value, field.id));
        break;
      case 5:
        query.limit = DZ_TRY(read_count(field.value, field.id));
        break;
      case 6:
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
