// The one writer of the intermediate form: compile_query's filter trees (and
// the engine's own queries, through filter_node) into bytes.
#include <limits>
#include <utility>

#include "query/ir.hpp"
#include "text_format.hpp"

namespace deziro::ir {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kMaxSignedInt =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

Error invalid(std::string message) { return Error::invalid_query(std::move(message)); }

void write_int_value(Bytes& out, std::int64_t x) {
  out.push_back(codec::kTagInt);
  write_signed_varint(out, x);
}

void write_path(Bytes& out, const Path& path) {
  codec::encode_str_list(out, std::span<const std::string>(path));
}

std::int64_t saturated(std::uint64_t x) {
  return static_cast<std::int64_t>(x > kMaxSignedInt ? kMaxSignedInt : x);
}

Status write_value_operand(Bytes& out, const Value& value) {
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

Status write_placeholder(Bytes& out, Placeholder placeholder) {
  if (placeholder.number > kMaxSignedInt) {
    return fail(invalid(format_text("{} is beyond a 64-bit int", placeholder.number)));
  }
  Bytes body;
  write_varint(body, 1);
  write_varint(body, kPlaceholderNumber);
  write_int_value(body, static_cast<std::int64_t>(placeholder.number));
  write_embedded_object(out, body);
  return ok();
}

Status write_operand(Bytes& out, const Operand& operand) {
  if (const auto* placeholder = std::get_if<Placeholder>(&operand)) {
    return write_placeholder(out, *placeholder);
  }
  return write_value_operand(out, std::get<Value>(operand));
}

// The fields of a test: operator, path, and operands when there are any.
Status write_test(Bytes& body, const FilterNode& test) {
  write_varint(body, test.operands.empty() ? 2 : 3);
  write_varint(body, kExprOperator);
  write_int_value(body, test.test_operator);
  write_varint(body, kExprPath);
  write_path(body, test.path);
  if (!test.operands.empty()) {
    write_varint(body, kExprOperands);
    body.push_back(codec::kTagList);
    write_varint(body, test.operands.size());
    for (const Operand& operand : test.operands) DZ_CHECK(write_operand(body, operand));
  }
  return ok();
}

// The fields of AND, OR or NOT: operator, and children when there are any.
Status write_logical(Bytes& body, const FilterNode& node, int depth) {
  write_varint(body, node.children.empty() ? 1 : 2);
  write_varint(body, kExprOperator);
  write_int_value(body, static_cast<std::int64_t>(node.kind));
  if (!node.children.empty()) {
    write_varint(body, kExprChildren);
    body.push_back(codec::kTagList);
    write_varint(body, node.children.size());
    for (const FilterNode& child : node.children) DZ_CHECK(write_filter(child, body, depth + 1));
  }
  return ok();
}

FilterNode logical_node(FilterNode::Kind kind, const ExprList& children) {
  FilterNode node;
  node.kind = kind;
  node.children.reserve(children.size());
  for (const Expr& child : children) node.children.push_back(filter_node(child));
  return node;
}

template <typename Operands>
FilterNode test_node(TestOp op, const Path& path, const Operands& operands) {
  FilterNode node;
  node.test_operator = static_cast<std::int64_t>(op) + kIrFirstTest;
  node.path = path;
  node.operands.assign(operands.begin(), operands.end());
  return node;
}

}  // namespace

void write_varint(Bytes& out, std::uint64_t x) { codec::write_varint(out, x); }

void write_signed_varint(Bytes& out, std::int64_t x) { codec::write_varint(out, codec::zigzag(x)); }

void write_length_prefixed(Bytes& out, std::span<const std::uint8_t> bytes) {
  write_varint(out, bytes.size());
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void write_embedded_object(Bytes& out, std::span<const std::uint8_t> object) {
  out.push_back(codec::kTagRecord);
  write_length_prefixed(out, object);
}

Error err_filter_too_deep() {
  return invalid(format_text("the filter nests more than {} levels deep", kMaxWrittenDepth));
}

FilterNode filter_node(const Expr& expr) {
  switch (expr.kind()) {
    case Expr::Kind::And:
      return logical_node(FilterNode::Kind::And, std::get<AndExpr>(expr.node).children);
    case Expr::Kind::Or:
      return logical_node(FilterNode::Kind::Or, std::get<OrExpr>(expr.node).children);
    case Expr::Kind::Not: {
      FilterNode node;
      node.kind = FilterNode::Kind::Not;
      node.children.push_back(filter_node(*std::get<NotExpr>(expr.node).child));
      return node;
    }
    case Expr::Kind::Test: {
      const auto& test = std::get<TestExpr>(expr.node);
      return test_node(test.op, test.path, test.operands);
    }
    case Expr::Kind::ParamTest: {
      const auto& test = std::get<ParamTestExpr>(expr.node);
      return test_node(test.op, test.path, test.operands);
    }
  }
  return {};
}

Status write_filter(const FilterNode& node, Bytes& out, int depth) {
  if (depth > kMaxWrittenDepth) return fail(err_filter_too_deep());
  Bytes body;
  if (node.kind == FilterNode::Kind::Test) {
    DZ_CHECK(write_test(body, node));
  } else {
    DZ_CHECK(write_logical(body, node, depth));
  }
  write_embedded_object(out, body);
  return ok();
}

Status write_filter(const Expr& expr, Bytes& out, int depth) {
  return write_filter(filter_node(expr), out, depth);
}

Result<Bytes> write_query(std::string_view collection, const QueryForm& form) {
  Bytes out;
  write_varint(out, 1 + (form.filter ? 1 : 0) + (form.sort_keys.empty() ? 0 : 1) +
                        (form.offset != 0 ? 1 : 0) + (form.limit ? 1 : 0));
  write_varint(out, kQueryCollection);
  out.push_back(codec::kTagString);
  write_length_prefixed(
      out, std::span(reinterpret_cast<const std::uint8_t*>(collection.data()), collection.size()));
  if (form.filter) {
    write_varint(out, kQueryFilter);
    DZ_CHECK(write_filter(*form.filter, out, 1));
  }
  if (!form.sort_keys.empty()) {
    write_varint(out, kQuerySortKeys);
    out.push_back(codec::kTagList);
    write_varint(out, form.sort_keys.size());
    Bytes body;
    for (const SortKey& key : form.sort_keys) {
      body.clear();
      write_varint(body, 2);
      write_varint(body, kSortKeyPath);
      write_path(body, key.path);
      write_varint(body, kSortKeyDescending);
      body.push_back(key.descending ? codec::kTagTrue : codec::kTagFalse);
      write_embedded_object(out, body);
    }
  }
  if (form.offset != 0) {
    write_varint(out, kQueryOffset);
    write_int_value(out, saturated(form.offset));
  }
  if (form.limit) {
    write_varint(out, kQueryLimit);
    write_int_value(out, saturated(*form.limit));
  }
  return out;
}

Result<Bytes> write_query(std::string_view collection, const Query& query) {
  QueryForm form;
  if (query.filter) form.filter = filter_node(*query.filter);
  form.sort_keys = query.sort_keys;
  form.offset = query.offset;
  form.limit = query.limit;
  return write_query(collection, form);
}

}  // namespace deziro::ir
