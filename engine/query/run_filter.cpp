#include "query/run_filter.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
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

std::optional<IntRangeTest> int_range_test(const Plan& plan) {
  if (!plan.residual || plan.residual->kind != ResolvedFilter::Kind::Test) return std::nullopt;
  const ResolvedTest& test = plan.residual->test;
  if (!test.path.first || !test.path.steps.empty() || test.path.first->kind.code() != KindCode::Int)
    return std::nullopt;
  for (const Value& operand : test.operands)
    if (operand.kind() != ValueKind::Int) return std::nullopt;
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  IntRangeTest t{test.path.first, kMin, kMax, false};
  if (test.condition == Condition::Between && test.operands.size() == 2) {
    t.low = test.operands[0].as_int();
    t.high = test.operands[1].as_int();
    return t;
  }
  if (test.condition != Condition::Compare || test.operands.size() != 1) return std::nullopt;
  const std::int64_t v = test.operands[0].as_int();
  switch (test.op) {
    case TestOp::Eq:
    case TestOp::Ne:
      t.low = t.high = v;
      t.outside = test.op == TestOp::Ne;
      return t;
    case TestOp::Lt:
      // Below the least int: an empty range.
      if (v == kMin) return IntRangeTest{test.path.first, 1, 0, false};
      t.high = v - 1;
      return t;
    case TestOp::Le:
      t.high = v;
      return t;
    case TestOp::Gt:
      if (v == kMax) return IntRangeTest{test.path.first, 1, 0, false};
      t.low = v + 1;
      return t;
    case TestOp::Ge:
      t.low = v;
      return t;
    default:
      return std::nullopt;
  }
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

// The value of a top-level field read in place, without framing errors or
// decoding: present with a plain tag of the field's kind (Bool, Int, Float,
// Str, Bytes), or absent with a default or optional. It is then exactly what
// read_top_field answers; anything else (a list, a link, a required field
// missing, damage) is none, and the full reader settles it.
std::optional<FieldValue> read_plain(ByteView record, const Field& field, std::uint16_t hint) {
  std::size_t p = hint;
  if (hint == kNoHint) {
    const auto pos = walk_fields(record, field.id);
    if (!pos) return std::nullopt;
    p = pos->value_or(0);
  }
  if (p == 0) {
    if (field.default_value) return FieldValue::of(*field.default_value);
    if (field.optional) return FieldValue{};
    return std::nullopt;
  }
  if (p >= record.size()) return std::nullopt;
  using K = FieldValue::Kind;
  FieldValue v;
  const std::uint8_t tag = record[p];
  KindCode wanted;
  switch (tag) {
    case kTagFalse:
    case kTagTrue:
      v.kind = K::Bool;
      v.b = tag == kTagTrue;
      wanted = KindCode::Bool;
      break;
    case kTagInt: {
      // Numbers of one or two bytes, the most met, without the general
      // reader.
      if (p + 1 < record.size() && record[p + 1] < 0x80) {
        v.i = unzigzag(record[p + 1]);
      } else if (p + 2 < record.size() && record[p + 2] < 0x80) {
        v.i = unzigzag((record[p + 1] & 0x7Fu) | std::uint64_t{record[p + 2]} << 7);
      } else {
        Reader reader(record, p + 1);
        const auto x = read_varint(reader);
        if (!x) return std::nullopt;
        v.i = unzigzag(*x);
      }
      v.kind = K::Int;
      wanted = KindCode::Int;
      break;
    }
    case kTagFloat: {
      Reader reader(record, p + 1);
      const auto x = read_f64(reader);
      if (!x) return std::nullopt;
      v.kind = K::Float;
      v.f = *x;
      wanted = KindCode::Float;
      break;
    }
    case kTagString:
    case kTagBytes: {
      Reader reader(record, p + 1);
      const auto body = read_length_prefixed(reader);
      if (!body) return std::nullopt;
      if (tag == kTagString) {
        if (!is_utf8(*body)) return std::nullopt;
        v.kind = K::Str;
        wanted = KindCode::Str;
      } else {
        v.kind = K::Bytes;
        wanted = KindCode::Bytes;
      }
      v.bytes = *body;
      break;
    }
    default:
      return std::nullopt;
  }
  if (field.kind.code() != wanted) return std::nullopt;
  return v;
}

std::uint16_t hint_for(const run::FilterContext& cx, const Field& field, std::uint16_t hint) {
  return &field == cx.plan.first_tested ? hint : kNoHint;
}

enum class Quick : std::uint8_t { No, Yes, Unsure };

// The residual filter over plain top-level fields, read in place: Unsure
// as soon as a test needs more (a path with steps, a value read_plain does
// not answer), and the full evaluation then runs from the start. Tests run
// in the same order and stop at the same point as eval_filter's, so where
// this answers, eval_filter answers the same, without an error.
Quick quick_filter(const run::FilterContext& cx, const OfferedRecord& offered,
                   const ResolvedFilter& node) {
  switch (node.kind) {
    case ResolvedFilter::Kind::Test: {
      const ResolvedTest& test = node.test;
      if (!test.path.first) return Quick::No;
      if (!test.path.steps.empty()) return Quick::Unsure;
      const Field& field = *test.path.first;
      const auto value = read_plain(offered.bytes, field, hint_for(cx, field, offered.hint));
      if (!value) return Quick::Unsure;
      return decide(test, *value) ? Quick::Yes : Quick::No;
    }
    case ResolvedFilter::Kind::And:
    case ResolvedFilter::Kind::Or: {
      const Quick settles = node.kind == ResolvedFilter::Kind::And ? Quick::No : Quick::Yes;
      for (const ResolvedFilter& child : node.children) {
        const Quick q = quick_filter(cx, offered, child);
        if (q == Quick::Unsure || q == settles) return q;
      }
      return settles == Quick::No ? Quick::Yes : Quick::No;
    }
    case ResolvedFilter::Kind::Not: {
      const Quick q = quick_filter(cx, offered, node.children.front());
      if (q == Quick::Unsure) return q;
      return q == Quick::Yes ? Quick::No : Quick::Yes;
    }
  }
  return Quick::Unsure;
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
    std::optional<FieldValue> plain;
    if (spec.path.steps.empty())
      plain =
          read_plain(offered.bytes, *spec.path.first, hint_for(cx, *spec.path.first, offered.hint));
    if (plain) {
      keyed = append_component(*plain, out);
    } else if (spec.path.steps.empty()) {
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

std::optional<bool> int_test_answer(const run::FilterContext& cx, const OfferedRecord& offered) {
  const run::IntRangeTest& t = *cx.int_test;
  const auto value = read_plain(offered.bytes, *t.field, hint_for(cx, *t.field, offered.hint));
  if (!value || value->kind != FieldValue::Kind::Int) return std::nullopt;
  return (t.low <= value->i && value->i <= t.high) != t.outside;
}

Result<bool> test_record(run::FilterContext& cx, const OfferedRecord& offered,
                         std::vector<Value>* sort_values) {
  // One int comparison, settled on the field's number read in place (where
  // decide would compare the same number), here or where the record was
  // read; otherwise as below.
  bool settled = offered.matched;
  if (cx.int_test && !settled) {
    const std::optional<bool> answer = int_test_answer(cx, offered);
    if (answer && !*answer) return false;
    settled = answer.has_value();
  }
  if (cx.plan.residual && !settled) {
    const Quick quick = quick_filter(cx, offered, *cx.plan.residual);
    if (quick == Quick::No) return false;
    if (quick == Quick::Unsure) {
      auto corrupted = [&](std::string message) { return cx.access.error_at(std::move(message)); };
      const RecordContext record{offered.bytes, cx.plan.collection->name, corrupted};
      if (!DZ_TRY(eval_filter(cx, record, offered, *cx.plan.residual))) return false;
    }
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
