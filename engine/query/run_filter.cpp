#include "query/run_filter.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "format/object/key.hpp"
#include "text_format.hpp"

namespace deziro {

namespace run {

namespace {

std::weak_ordering compare_bytes(ByteView a, ByteView b) {
  const std::size_t n = std::min(a.size(), b.size());
  if (n != 0) {
    const int c = std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c < 0 ? std::weak_ordering::less : std::weak_ordering::greater;
  }
  return a.size() <=> b.size();
}

std::string_view text_of(ByteView b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

bool bytes_equal(ByteView a, ByteView b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace

std::weak_ordering compare_field(const codec::FieldValue& value, const Value& operand) {
  using K = codec::FieldValue::Kind;
  switch (value.kind) {
    case K::Int:
      if (operand.kind() == ValueKind::Int) return value.i <=> operand.as_int();
      break;
    case K::Float:
      if (operand.kind() == ValueKind::Float)
        return float_order_key(value.f) <=> float_order_key(operand.as_float());
      break;
    case K::Str:
      if (operand.kind() == ValueKind::String)
        return compare_bytes(value.bytes, operand.byte_view());
      break;
    case K::Bytes:
      if (operand.kind() == ValueKind::Bytes)
        return compare_bytes(value.bytes, operand.byte_view());
      break;
    case K::Owned:
      return Value::cmp(*value.owned, operand);
    default:
      break;
  }
  return Value::cmp(value.to_value(), operand);
}

bool test_matches(const ResolvedTest& test, const codec::FieldValue& value) {
  using K = codec::FieldValue::Kind;
  // A decoded plain value (a link's key, read whole) is tested as the
  // borrowed form the string conditions expect.
  if (value.kind == K::Owned) {
    const codec::FieldValue plain = codec::FieldValue::of(*value.owned);
    if (plain.kind != K::Owned) return test_matches(test, plain);
  }
  const auto& ops = test.operands;
  switch (test.condition) {
    case Condition::Compare: {
      const Value& operand = ops[0];
      if (test.op == TestOp::Eq || test.op == TestOp::Ne) {
        bool equal;
        if ((value.kind == K::Str && operand.kind() == ValueKind::String) ||
            (value.kind == K::Bytes && operand.kind() == ValueKind::Bytes)) {
          equal = bytes_equal(value.bytes, operand.byte_view());
        } else {
          equal = compare_field(value, operand) == 0;
        }
        return test.op == TestOp::Eq ? equal : !equal;
      }
      const auto order = compare_field(value, operand);
      switch (test.op) {
        case TestOp::Lt:
          return order < 0;
        case TestOp::Le:
          return order <= 0;
        case TestOp::Gt:
          return order > 0;
        default:
          return order >= 0;
      }
    }
    case Condition::Between:
      return compare_field(value, ops[0]) >= 0 && compare_field(value, ops[1]) <= 0;
    case Condition::In: {
      std::size_t lo = 0;
      std::size_t hi = ops.size();
      while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        const auto order = compare_field(value, ops[mid]);
        if (order == 0) return true;
        if (order > 0) {
          lo = mid + 1;
        } else {
          hi = mid;
        }
      }
      return false;
    }
    case Condition::ListContains:
      return compare_field(value, ops[0]) == 0;
    case Condition::StrContains: {
      if (value.kind != K::Str) return false;
      const ByteView needle = ops[0].byte_view();
      if (needle.empty()) return true;
      if (needle.size() == 1)
        return std::memchr(value.bytes.data(), needle[0], value.bytes.size()) != nullptr;
      return text_of(value.bytes).find(text_of(needle)) != std::string_view::npos;
    }
    case Condition::StartsWith: {
      if (value.kind != K::Str) return false;
      const ByteView p = ops[0].byte_view();
      return p.size() <= value.bytes.size() && bytes_equal(value.bytes.first(p.size()), p);
    }
    case Condition::EndsWith: {
      if (value.kind != K::Str) return false;
      const ByteView p = ops[0].byte_view();
      return p.size() <= value.bytes.size() && bytes_equal(value.bytes.last(p.size()), p);
    }
    case Condition::IsNull:
      return false;
  }
  return false;
}

}  // namespace run

namespace codec {

namespace {

bool decide(const ResolvedTest& test, const FieldValue& value) {
  if (test.condition == Condition::IsNull) return value.is_null();
  if (value.is_null()) return false;
  return run::test_matches(test, value);
}

// The first field of a path read from the record, with the slot hint when
// it is the plan's first tested field.
Result<FieldValue> read_first(run::FilterContext& cx, const RecordContext& record,
                              const OfferedRecord& offered, const Field& field, Value& holder) {
  const std::uint16_t hint = &field == cx.plan.first_tested ? offered.hint : kNoHint;
  return read_top_field(record, field, hint, holder);
}

// Appends the key component of a field value; false for a list or an
// object.
bool append_component(const FieldValue& value, ByteString& out) {
  using K = FieldValue::Kind;
  switch (value.kind) {
    case K::Null:
      out.push_back(key::kTagNull);
      return true;
    case K::Bool:
      out.push_back(value.b ? key::kTagTrue : key::kTagFalse);
      return true;
    case K::Int:
      key::encode_int(value.i, out);
      return true;
    case K::Float:
      key::encode_float(value.f, out);
      return true;
    case K::Str:
      key::write_escaped(key::kTagString, value.bytes, out);
      return true;
    case K::Bytes:
      key::write_escaped(key::kTagBytes, value.bytes, out);
      return true;
    case K::Owned:
      return key::encode_value(*value.owned, out).has_value();
  }
  return false;
}

}  // namespace

Result<bool> eval_test(run::FilterContext& cx, const RecordContext& record,
                       const OfferedRecord& offered, const ResolvedTest& test) {
  if (!test.path.first) return false;
  Value holder;
  const FieldValue first = DZ_TRY(read_first(cx, record, offered, *test.path.first, holder));
  if (test.path.steps.empty()) return decide(test, first);
  const Value start = first.kind == FieldValue::Kind::Owned ? Value() : first.to_value();
  const Value& value = first.kind == FieldValue::Kind::Owned ? *first.owned : start;
  objects::LinkContext links{cx.access, cx.links};
  auto visit = [&](const Value& reached) -> Result<bool> {
    return decide(test, FieldValue::of(reached));
  };
  return objects::resolve_link(links, value, test.path.steps, visit);
}

Result<bool> eval_filter(run::FilterContext& cx, const RecordContext& record,
                         const OfferedRecord& offered, const ResolvedFilter& node) {
  switch (node.kind) {
    case ResolvedFilter::Kind::Test:
      return eval_test(cx, record, offered, node.test);
    case ResolvedFilter::Kind::And:
      for (const ResolvedFilter& child : node.children)
        if (!DZ_TRY(eval_filter(cx, record, offered, child))) return false;
      return true;
    case ResolvedFilter::Kind::Or:
      for (const ResolvedFilter& child : node.children)
        if (DZ_TRY(eval_filter(cx, record, offered, child))) return true;
      return false;
    case ResolvedFilter::Kind::Not:
      return !DZ_TRY(eval_filter(cx, record, offered, node.children.front()));
  }
  return false;
}

Result<Value> sort_value(run::FilterContext& cx, const OfferedRecord& offered,
                         const SortSpec& spec) {
  auto corrupted = [&](std::string message) { return cx.access.error_at(std::move(message)); };
  const RecordContext record{offered.bytes, cx.plan.collection->name, corrupted};
  Value holder;
  const FieldValue first = DZ_TRY(read_first(cx, record, offered, *spec.path.first, holder));
  if (spec.path.steps.empty()) return first.to_value();
  const Value start = first.to_value();
  Value captured;
  objects::LinkContext links{cx.access, cx.links};
  auto capture = [&](const Value& reached) -> Result<bool> {
    captured = reached;
    return true;
  };
  DZ_CHECK(objects::resolve_link(links, start, spec.path.steps, capture));
  return captured;
}

Status append_sort_key(run::FilterContext& cx, const OfferedRecord& offered, ByteString& out) {
  auto corrupted = [&](std::string message) { return cx.access.error_at(std::move(message)); };
  const RecordContext record{offered.bytes, cx.plan.collection->name, corrupted};
  for (const SortSpec& spec : cx.plan.sort) {
    const std::size_t start = out.size();
    bool keyed;
    if (spec.path.steps.empty()) {
      Value holder;
      const FieldValue first = DZ_TRY(read_first(cx, record, offered, *spec.path.first, holder));
      keyed = append_component(first, out);
    } else {
      keyed = key::encode_value(DZ_TRY(sort_value(cx, offered, spec)), out).has_value();
    }
    if (!keyed)
      return fail(corrupted(
          format_text("`{}` holds a list or an object, where a sort key reads", spec.path.text)));
    if (spec.descending)
      for (std::size_t i = start; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(~out[i]);
  }
  return ok();
}

Result<bool> test_record(run::FilterContext& cx, const OfferedRecord& offered,
                         std::vector<Value>* sort_values) {
  if (cx.plan.residual) {
    auto corrupted = [&](std::string message) { return cx.access.error_at(std::move(message)); };
    const RecordContext record{offered.bytes, cx.plan.collection->name, corrupted};
    if (!DZ_TRY(eval_filter(cx, record, offered, *cx.plan.residual))) return false;
  }
  if (sort_values) {
    sort_values->clear();
    for (const SortSpec& spec : cx.plan.sort)
      sort_values->push_back(DZ_TRY(sort_value(cx, offered, spec)));
  }
  return true;
}

}  // namespace codec
}  // namespace deziro
