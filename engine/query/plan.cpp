#include "query/plan.hpp"

#include <algorithm>

#include "format/object/key.hpp"
#include "format/object/names.hpp"
#include "schema/record_trees.hpp"
#include "text_format.hpp"

namespace deziro::plan {

namespace {

Error invalid(std::string message) { return Error::invalid_query(std::move(message)); }

std::string join_path(const Path& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) text += '.';
    text += names[i];
  }
  return text;
}

std::size_t operand_count(TestOp op, std::size_t given) {
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

constexpr std::int64_t kExactFloatInts = std::int64_t{1} << 53;

Result<Value> check_comparison_operand(const ResolvedPath& path, TestOp op, const Value& v) {
  const FieldKind& kind = *path.value_kind;
  const KindCode code = kind.code();
  bool fits = false;
  switch (code) {
    case KindCode::Bool:
      fits = v.kind() == ValueKind::Bool;
      break;
    case KindCode::Int:
      fits = v.kind() == ValueKind::Int;
      break;
    case KindCode::Float:
      if (v.kind() == ValueKind::Int && v.as_int() >= -kExactFloatInts &&
          v.as_int() <= kExactFloatInts)
        return Value::floating(static_cast<double>(v.as_int()));
      fits = v.kind() == ValueKind::Float;
      break;
    case KindCode::Str:
      fits = v.kind() == ValueKind::String;
      break;
    case KindCode::Bytes:
      fits = v.kind() == ValueKind::Bytes;
      break;
    default:
      break;
  }
  if (fits) return v;
  if (v.is_null())
    return fail(
        invalid(format_text("`{}` is tested with `{}` against null, which only `==` and "
                            "`!=` do",
                            path.text, test_op_name(op))));
  return fail(
      invalid(format_text("`{}` holds {}, and the query tests it with `{}` against {}", path.text,
                          kind_phrase(kind.code()), test_op_name(op), v.debug_string())));
}

Result<Value> check_string_operand(TestOp op, const ResolvedPath& path, const Value& v) {
  if (path.value_kind->code() == KindCode::Str && v.kind() == ValueKind::String) return v;
  return fail(invalid(format_text(
      "`{}` tests strings, and `{}` holds {} or it is tested against {}", test_op_name(op),
      path.text, kind_phrase(path.value_kind->code()), v.debug_string())));
}

// The operands of a test, literal or with placeholders replaced.
struct OperandSource {
  const std::vector<Value>* literal = nullptr;
  const std::vector<Operand>* with_params = nullptr;
  std::span<const Value> params;

  std::size_t size() const { return literal ? literal->size() : with_params->size(); }
  Result<const Value*> at(std::size_t i) const {
    if (literal) return &(*literal)[i];
    const Operand& o = (*with_params)[i];
    if (const auto* v = std::get_if<Value>(&o)) return v;
    const std::uint64_t n = std::get<Placeholder>(o).number;
    if (n >= params.size())
      return fail(
          invalid(format_text("`${}` names a parameter, and {} were given", n, params.size())));
    return &params[n];
  }
};

Result<ResolvedTest> resolve_test(const ResolveContext& cx, TestOp op, const Path& names,
                                  const OperandSource& source) {
  ResolvedTest test;
  test.path = DZ_TRY(resolve_path(cx.collections, cx.collection.fields, names));
  const ResolvedPath& path = test.path;
  const std::size_t given = source.size();
  if (given != operand_count(op, given))
    return fail(invalid(
        format_text("`{}` on `{}` has the wrong number of values", test_op_name(op), path.text)));
  std::vector<const Value*> values;
  values.reserve(given);
  for (std::size_t i = 0; i < given; ++i) values.push_back(DZ_TRY(source.at(i)));
  switch (op) {
    case TestOp::Eq:
    case TestOp::Ne:
    case TestOp::Lt:
    case TestOp::Le:
    case TestOp::Gt:
    case TestOp::Ge:
      test.condition = Condition::Compare;
      test.op = op;
      test.operands.push_back(DZ_TRY(check_comparison_operand(path, op, *values[0])));
      break;
    case TestOp::Between:
      test.condition = Condition::Between;
      for (const Value* v : values)
        test.operands.push_back(DZ_TRY(check_comparison_operand(path, op, *v)));
      break;
    case TestOp::In: {
      test.condition = Condition::In;
      for (const Value* v : values)
        test.operands.push_back(DZ_TRY(check_comparison_operand(path, op, *v)));
      std::stable_sort(test.operands.begin(), test.operands.end(),
                       [](const Value& a, const Value& b) { return Value::cmp(a, b) < 0; });
      auto last = std::unique(test.operands.begin(), test.operands.end(),
                              [](const Value& a, const Value& b) { return Value::cmp(a, b) == 0; });
      test.operands.erase(last, test.operands.end());
      break;
    }
    case TestOp::Contains:
      if (path.is_list) {
        test.condition = Condition::ListContains;
        test.operands.push_back(DZ_TRY(check_comparison_operand(path, op, *values[0])));
      } else {
        test.condition = Condition::StrContains;
        test.operands.push_back(DZ_TRY(check_string_operand(op, path, *values[0])));
      }
      break;
    case TestOp::StartsWith:
      test.condition = Condition::StartsWith;
      test.operands.push_back(DZ_TRY(check_string_operand(op, path, *values[0])));
      break;
    case TestOp::EndsWith:
      test.condition = Condition::EndsWith;
      test.operands.push_back(DZ_TRY(check_string_operand(op, path, *values[0])));
      break;
    case TestOp::IsNull:
      test.condition = Condition::IsNull;
      break;
  }
  return test;
}

ResolvedFilter test_node(ResolvedTest test) {
  ResolvedFilter node;
  node.kind = ResolvedFilter::Kind::Test;
  node.test = std::move(test);
  return node;
}

Result<ResolvedFilter> resolve_param_test(const ResolveContext& cx, const ParamTestExpr& t,
                                          const Expr& expr) {
  if (!cx.has_params) {
    const auto first = ir::has_params(expr);
    return fail(invalid(format_text("`${}` has no value: a prepared query runs with its parameters",
                                    first.value_or(0))));
  }
  OperandSource source{nullptr, &t.operands, cx.params};
  if (t.operands.size() == 1) {
    const Value* v = DZ_TRY(source.at(0));
    if (v->is_null() && (t.op == TestOp::Eq || t.op == TestOp::Ne)) {
      OperandSource none{};
      static const std::vector<Value> kNone;
      none.literal = &kNone;
      ResolvedFilter is_null = test_node(DZ_TRY(resolve_test(cx, TestOp::IsNull, t.path, none)));
      if (t.op == TestOp::Eq) return is_null;
      ResolvedFilter negated;
      negated.kind = ResolvedFilter::Kind::Not;
      negated.children.push_back(std::move(is_null));
      return negated;
    }
  }
  return test_node(DZ_TRY(resolve_test(cx, t.op, t.path, source)));
}

}  // namespace

Result<ResolvedPath> resolve_path(std::span<const Collection> collections,
                                  std::span<const Field> fields, const Path& names) {
  if (names.size() > kMaxPathNames)
    return fail(invalid(
        format_text("a path has at most {} names, and one has {}", kMaxPathNames, names.size())));
  if (names.empty()) return fail(invalid("a path is empty"));
  ResolvedPath path;
  path.text = join_path(names);
  std::span<const Field> current = fields;
  for (std::size_t n = 0; n < names.size(); ++n) {
    const Field* field = schema::find_by_name(current, names[n]);
    if (!field)
      return fail(
          invalid(format_text("`{}` names `{}`, which is not a field there", path.text, names[n])));
    if (n == 0) {
      path.first = field;
    } else {
      path.steps.push_back(PathStep{PathStep::Kind::Field, names[n], nullptr});
    }
    const bool last = n + 1 == names.size();
    const FieldKind* kind = &field->kind;
    path.is_list = kind->code() == KindCode::List;
    while (kind->code() == KindCode::List) {
      path.steps.push_back(PathStep{PathStep::Kind::Element, {}, nullptr});
      path.through_list = true;
      kind = &kind->element();
    }
    switch (kind->code()) {
      case KindCode::Object:
        if (last)
          return fail(invalid(format_text(
              "`{}` is an embedded object; a query tests one of its fields", path.text)));
        current = kind->fields();
        break;
      case KindCode::Link: {
        const Collection* target = nullptr;
        for (const Collection& c : collections)
          if (c.id == kind->link_target()) target = &c;
        if (!target)
          return fail(
              invalid(format_text("`{}` links to a collection the schema lacks", path.text)));
        if (last) {
          const Field* key_field = target->primary_key_field();
          if (!key_field)
            return fail(invalid(format_text("`{}` links to a keyless collection", path.text)));
          path.value_kind = &key_field->kind;
        } else {
          path.steps.push_back(PathStep{PathStep::Kind::Link, {}, target});
          current = target->fields;
        }
        break;
      }
      default:
        if (!last)
          return fail(invalid(
              format_text("`{}` goes on past `{}`, which has no fields", path.text, names[n])));
        path.value_kind = kind;
        break;
    }
  }
  if (names.size() == 1) path.top_field = path.first;
  return path;
}

Result<ResolvedFilter> resolve_filter(const ResolveContext& cx, const Expr& expr, int depth) {
  if (depth > kMaxFilterDepth)
    return fail(invalid(format_text("the filter nests more than {} levels deep", kMaxFilterDepth)));
  ResolvedFilter node;
  switch (expr.kind()) {
    case Expr::Kind::And:
    case Expr::Kind::Or:
      node.kind =
          expr.kind() == Expr::Kind::And ? ResolvedFilter::Kind::And : ResolvedFilter::Kind::Or;
      for (const Expr& child : *expr.logical_children())
        node.children.push_back(DZ_TRY(resolve_filter(cx, child, depth + 1)));
      return node;
    case Expr::Kind::Not:
      node.kind = ResolvedFilter::Kind::Not;
      node.children.push_back(
          DZ_TRY(resolve_filter(cx, *std::get<NotExpr>(expr.node).child, depth + 1)));
      return node;
    case Expr::Kind::Test: {
      const TestExpr& t = std::get<TestExpr>(expr.node);
      OperandSource source{&t.operands, nullptr, {}};
      return test_node(DZ_TRY(resolve_test(cx, t.op, t.path, source)));
    }
    case Expr::Kind::ParamTest:
      return resolve_param_test(cx, std::get<ParamTestExpr>(expr.node), expr);
  }
  return node;
}

Result<std::vector<SortSpec>> resolve_sort_keys(std::span<const Collection> collections,
                                                const Collection& collection,
                                                std::span<const SortKey> keys) {
  std::vector<SortSpec> specs;
  specs.reserve(keys.size());
  for (const SortKey& key : keys) {
    SortSpec spec;
    spec.path = DZ_TRY(resolve_path(collections, collection.fields, key.path));
    if (spec.path.is_list || spec.path.through_list)
      return fail(invalid(
          format_text("`{}` holds several values, so it cannot be sorted by", spec.path.text)));
    spec.descending = key.descending;
    specs.push_back(std::move(spec));
  }
  return specs;
}

std::optional<ByteString> successor(ByteView key) {
  std::size_t n = key.size();
  while (n > 0 && key[n - 1] == 0xFF) --n;
  if (n == 0) return std::nullopt;
  ByteString out(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(n));
  ++out.back();
  return out;
}

std::optional<IndexCandidate> index_candidate(const Collection& collection, std::size_t position,
                                              const ResolvedFilter& node) {
  if (node.kind != ResolvedFilter::Kind::Test || !node.test.path.top_field) return std::nullopt;
  const ResolvedTest& test = node.test;
  const Field* field = test.path.top_field;
  IndexCandidate c;
  c.field = field;
  c.path = &test.path;
  c.position = position;
  if (field->id == collection.primary_key_field_id) {
    c.source = CandidateSource::PrimaryKey;
  } else {
    for (const Index& index : collection.indexes) {
      if (index.field_id == field->id) {
        c.index = &index;
        break;
      }
    }
    if (!c.index) return std::nullopt;
    c.source = c.index->unique ? CandidateSource::UniqueIndex : CandidateSource::PlainIndex;
  }
  switch (test.condition) {
    case Condition::Compare:
      switch (test.op) {
        case TestOp::Eq:
          c.shape = CandidateShape::OneValue;
          c.exact.push_back(test.operands[0]);
          return c;
        case TestOp::Lt:
        case TestOp::Le:
          c.shape = CandidateShape::Range;
          c.upper = test.operands[0];
          c.upper_kind = test.op == TestOp::Lt ? BoundKind::Excluded : BoundKind::Included;
          return c;
        case TestOp::Gt:
        case TestOp::Ge:
          c.shape = CandidateShape::Range;
          c.lower = test.operands[0];
          c.lower_kind = test.op == TestOp::Gt ? BoundKind::Excluded : BoundKind::Included;
          return c;
        default:
          return std::nullopt;
      }
    case Condition::Between:
      c.shape = CandidateShape::Range;
      c.lower = test.operands[0];
      c.lower_kind = BoundKind::Included;
      c.upper = test.operands[1];
      c.upper_kind = BoundKind::Included;
      return c;
    case Condition::In:
      c.shape = CandidateShape::InList;
      c.exact = test.operands;
      return c;
    case Condition::ListContains:
      c.shape = CandidateShape::OneValue;
      c.exact.push_back(test.operands[0]);
      return c;
    case Condition::StartsWith:
      c.shape = CandidateShape::Range;
      c.prefix = test.operands[0].as_string();
      return c;
    case Condition::IsNull:
      if (c.source == CandidateSource::PrimaryKey) return std::nullopt;
      c.shape = CandidateShape::OneValue;
      c.exact.push_back(Value::null());
      return c;
    default:
      return std::nullopt;
  }
}

namespace {

// The cost of reading a candidate's rows: one value, then an IN list, then
// the same on a plain index (whose entries may name many objects), then any
// range.
int score_of(const IndexCandidate& c) {
  if (c.shape == CandidateShape::Range) return 4;
  return static_cast<int>(c.shape) + (c.source == CandidateSource::PlainIndex ? 2 : 0);
}

bool same_target(const IndexCandidate& a, const IndexCandidate& b) {
  if (a.source == CandidateSource::PrimaryKey || b.source == CandidateSource::PrimaryKey)
    return a.source == b.source && a.field == b.field;
  return a.index == b.index;
}

// A value bound merged into the range: the greatest lower, the least upper,
// Excluded winning between equal values.
void merge_bound(std::optional<Value>& bound, BoundKind& kind, const std::optional<Value>& other,
                 BoundKind other_kind, bool lower) {
  if (!other) return;
  if (!bound) {
    bound = other;
    kind = other_kind;
    return;
  }
  const auto order = Value::cmp(*other, *bound);
  if (order == 0) {
    if (other_kind == BoundKind::Excluded) kind = BoundKind::Excluded;
  } else if (lower ? order > 0 : order < 0) {
    bound = other;
    kind = other_kind;
  }
}

void encode_key(const Value& v, ByteString& out) {
  out.clear();
  (void)key::encode_value(v, out);
}

// The one-byte bounds of a kind's own tags in the key encoding: the first
// tag of the kind, and the first tag past it.
std::pair<std::uint8_t, std::uint8_t> kind_tags(KindCode code) {
  switch (code) {
    case KindCode::Bool:
      return {key::kTagFalse, key::kTagTrue + 1};
    case KindCode::Int:
      return {key::kTagIntMin, key::kTagIntMax + 1};
    case KindCode::Float:
      return {key::kTagFloat, key::kTagFloat + 1};
    case KindCode::Str:
      return {key::kTagString, key::kTagString + 1};
    default:
      return {key::kTagBytes, key::kTagBytes + 1};
  }
}

// Whether `a` as a lower bound is tighter than `b`.
bool tighter_lower(const KeyBound& a, const KeyBound& b) {
  if (b.is_unbounded()) return true;
  const int order = compare_keys(a.key, b.key);
  return order > 0 || (order == 0 && a.kind == BoundKind::Excluded);
}

bool tighter_upper(const KeyBound& a, const KeyBound& b) {
  if (b.is_unbounded()) return true;
  const int order = compare_keys(a.key, b.key);
  return order < 0 || (order == 0 && a.kind == BoundKind::Excluded);
}

// The merged range as byte bounds on the record tree or an index.
IndexRange byte_range(const IndexCandidate& merged, const std::string* prefix, bool on_index) {
  IndexRange range;
  ByteString enc;
  if (merged.lower) {
    encode_key(*merged.lower, enc);
    if (on_index && merged.lower_kind == BoundKind::Excluded) {
      auto next = successor(enc);
      range.lower = next ? KeyBound::included(*next) : KeyBound::unbounded();
    } else {
      range.lower = KeyBound{merged.lower_kind, enc};
    }
  }
  if (merged.upper) {
    encode_key(*merged.upper, enc);
    if (on_index && merged.upper_kind == BoundKind::Included) {
      auto next = successor(enc);
      range.upper = next ? KeyBound::excluded(*next) : KeyBound::unbounded();
    } else {
      range.upper = KeyBound{merged.upper_kind, enc};
    }
  }
  if (prefix) {
    ByteString p;
    key::write_escaped(key::kTagString, bytes_of(*prefix), p);
    p.resize(p.size() - 2);  // no terminator: every string that starts so
    KeyBound lower = KeyBound::included(p);
    if (tighter_lower(lower, range.lower)) range.lower = std::move(lower);
    if (auto next = successor(p)) {
      KeyBound upper = KeyBound::excluded(*next);
      if (tighter_upper(upper, range.upper)) range.upper = std::move(upper);
    }
  }
  const auto [low_tag, high_tag] = kind_tags(merged.path->value_kind->code());
  if (range.lower.is_unbounded()) range.lower = KeyBound::included(ByteView(&low_tag, 1));
  if (range.upper.is_unbounded()) range.upper = KeyBound::excluded(ByteView(&high_tag, 1));
  return range;
}

// The first Test reached through first children and Not nodes.
const ResolvedTest* first_test(const ResolvedFilter& node) {
  const ResolvedFilter* n = &node;
  while (n->kind != ResolvedFilter::Kind::Test) {
    if (n->children.empty()) return nullptr;
    n = &n->children.front();
  }
  return &n->test;
}

// The conjuncts of the filter: an AND's children, else the filter itself.
std::vector<const ResolvedFilter*> conjuncts_of(const std::optional<ResolvedFilter>& filter) {
  std::vector<const ResolvedFilter*> conjuncts;
  if (!filter) return conjuncts;
  if (filter->kind == ResolvedFilter::Kind::And) {
    for (const ResolvedFilter& child : filter->children) conjuncts.push_back(&child);
  } else {
    conjuncts.push_back(&*filter);
  }
  return conjuncts;
}

// The cheapest candidate; ties go to the cheaper source, then to the
// earlier conjunct.
const IndexCandidate* cheapest(const std::vector<IndexCandidate>& candidates) {
  const auto cost = [](const IndexCandidate& x) {
    return std::tuple(score_of(x), x.source, x.position);
  };
  const IndexCandidate* best = nullptr;
  for (const IndexCandidate& c : candidates)
    if (!best || cost(c) < cost(*best)) best = &c;
  return best;
}

// No conjunct can be answered: a scan of the record tree, or of the index
// of a single sort key so that rows come in order.
void plan_scan(Plan& plan, const Collection& collection) {
  const SortSpec* single_sort = plan.sort.size() == 1 ? &plan.sort.front() : nullptr;
  const Field* sort_field = single_sort ? single_sort->path.top_field : nullptr;
  AccessPath& access = plan.access;
  if (sort_field && sort_field->id == collection.primary_key_field_id) {
    access.kind = AccessPath::Kind::KeyRange;
    access.backward = single_sort->descending;
    plan.ordered = true;
    return;
  }
  const Index* sort_index = nullptr;
  if (sort_field) {
    for (const Index& index : collection.indexes)
      if (index.field_id == sort_field->id) {
        sort_index = &index;
        break;
      }
  }
  if (sort_index) {
    access.kind = AccessPath::Kind::IndexRanges;
    access.index = sort_index;
    access.ranges.push_back(IndexRange{});
    access.backward = single_sort->descending;
    plan.ordered = true;
  } else {
    access.kind = AccessPath::Kind::KeyRange;
    plan.ordered = plan.sort.empty();
  }
}

// The best candidate's values read one by one: primary keys looked up, or
// one index range per value.
Status plan_exact_values(AccessPath& access, const Collection& collection,
                         const IndexCandidate& best, bool list_field) {
  if (best.source == CandidateSource::PrimaryKey) {
    access.kind = AccessPath::Kind::KeyLookups;
    for (const Value& v : best.exact) {
      ByteString k;
      DZ_CHECK(key::primary_key_of(collection, v, k));
      access.keys.push_back(std::move(k));
    }
    return ok();
  }
  access.kind = AccessPath::Kind::IndexRanges;
  access.index = best.index;
  access.exact_values = true;
  access.skip_seen = list_field && best.shape != CandidateShape::OneValue;
  for (const Value& v : best.exact) {
    ByteString k;
    encode_key(v, k);
    IndexRange range;
    range.lower = KeyBound::included(k);
    auto next = successor(k);
    range.upper = next ? KeyBound::excluded(*next) : KeyBound::unbounded();
    access.ranges.push_back(std::move(range));
  }
  return ok();
}

// The best candidate's range, merged with every other range on the same
// target, except on a list field: each test there may be met by a
// different element. Marks the conjuncts the range answers.
void plan_range(AccessPath& access, const IndexCandidate& best,
                const std::vector<IndexCandidate>& candidates,
                const std::vector<const ResolvedFilter*>& conjuncts, bool list_field,
                std::vector<bool>& recorded) {
  IndexCandidate merged = best;
  merged.prefix.clear();
  merged.lower.reset();
  merged.upper.reset();
  merged.lower_kind = merged.upper_kind = BoundKind::Unbounded;
  const std::string* prefix = nullptr;
  for (const IndexCandidate& c : candidates) {
    if (c.shape != CandidateShape::Range || !same_target(c, best)) continue;
    if (list_field && &c != &best) continue;
    if (conjuncts[c.position]->test.condition == Condition::StartsWith) {
      // Only the first prefix is merged; a second one stays a test.
      if (prefix) continue;
      prefix = &c.prefix;
    }
    merge_bound(merged.lower, merged.lower_kind, c.lower, c.lower_kind, true);
    merge_bound(merged.upper, merged.upper_kind, c.upper, c.upper_kind, false);
    recorded[c.position] = true;
  }
  const bool on_index = best.source != CandidateSource::PrimaryKey;
  IndexRange range = byte_range(merged, prefix, on_index);
  if (!on_index) {
    access.kind = AccessPath::Kind::KeyRange;
    access.lower = std::move(range.lower);
    access.upper = std::move(range.upper);
  } else {
    access.kind = AccessPath::Kind::IndexRanges;
    access.index = best.index;
    access.skip_seen = list_field;
    access.ranges.push_back(std::move(range));
  }
}

// What the access path did not answer: the conjuncts not recorded, or
// nothing.
void drop_answered(std::optional<ResolvedFilter>& filter, const std::vector<bool>& recorded) {
  if (filter->kind == ResolvedFilter::Kind::And) {
    ResolvedFilter rest;
    rest.kind = ResolvedFilter::Kind::And;
    for (std::size_t i = 0; i < filter->children.size(); ++i)
      if (!recorded[i]) rest.children.push_back(std::move(filter->children[i]));
    if (!rest.children.empty()) {
      filter = std::move(rest);
    } else {
      filter.reset();
    }
  } else if (recorded[0]) {
    filter.reset();
  }
}

// The access path through the best candidate, and whether rows come in
// result order.
Status plan_candidate(Plan& plan, const Collection& collection, const IndexCandidate& best,
                      const std::vector<IndexCandidate>& candidates,
                      const std::vector<const ResolvedFilter*>& conjuncts,
                      std::vector<bool>& recorded) {
  const SortSpec* single_sort = plan.sort.size() == 1 ? &plan.sort.front() : nullptr;
  const Field* sort_field = single_sort ? single_sort->path.top_field : nullptr;
  const bool sort_on_field = sort_field && sort_field == best.field;
  const bool list_field = best.field->kind.code() == KindCode::List;
  plan.access.backward = sort_on_field && single_sort->descending;
  if (best.source == CandidateSource::PrimaryKey) {
    plan.ordered = plan.sort.empty() || sort_on_field;
  } else {
    plan.ordered = (sort_on_field && !list_field) ||
                   (plan.sort.empty() && best.shape == CandidateShape::OneValue);
  }
  if (best.shape != CandidateShape::Range) {
    recorded[best.position] = true;
    return plan_exact_values(plan.access, collection, best, list_field);
  }
  plan_range(plan.access, best, candidates, conjuncts, list_field, recorded);
  return ok();
}

}  // namespace

Result<Plan> plan_query(std::span<const Collection> collections, const Collection& collection,
                        const BoundQuery& query) {
  Plan plan;
  plan.collection = &collection;
  plan.collections = collections;
  plan.limit = query.limit();
  plan.offset = query.offset();
  const ResolveContext cx{collections, collection, query.params(), !query.params().empty()};
  std::optional<ResolvedFilter> filter;
  if (query.filter()) filter = DZ_TRY(resolve_filter(cx, *query.filter(), 1));
  plan.sort = DZ_TRY(resolve_sort_keys(collections, collection, query.sort_keys()));

  const std::vector<const ResolvedFilter*> conjuncts = conjuncts_of(filter);
  std::vector<IndexCandidate> candidates;
  for (std::size_t i = 0; i < conjuncts.size(); ++i)
    if (auto c = index_candidate(collection, i, *conjuncts[i])) candidates.push_back(std::move(*c));

  if (const IndexCandidate* best = cheapest(candidates)) {
    std::vector<bool> recorded(conjuncts.size(), false);
    DZ_CHECK(plan_candidate(plan, collection, *best, candidates, conjuncts, recorded));
    drop_answered(filter, recorded);
    plan.exact = !filter.has_value();
  } else {
    plan_scan(plan, collection);
  }
  plan.residual = std::move(filter);
  if (plan.residual) {
    if (const ResolvedTest* t = first_test(*plan.residual)) plan.first_tested = t->path.top_field;
  } else if (!plan.sort.empty()) {
    plan.first_tested = plan.sort.front().path.top_field;
  }
  return plan;
}

Result<LookupOutcome> try_key_lookup(TreeAccess& access, const Collection& collection,
                                     const BoundQuery& query, RecordSink sink) {
  if (!query.sort_keys().empty() || query.offset() != 0) return LookupOutcome::NotTaken;
  if (query.limit() && *query.limit() == 0) return LookupOutcome::NotTaken;
  if (!query.filter()) return LookupOutcome::NotTaken;
  const Expr& expr = *query.filter();
  const Path* path = nullptr;
  const Value* operand = nullptr;
  if (expr.kind() == Expr::Kind::Test) {
    const auto& t = std::get<TestExpr>(expr.node);
    if (t.op != TestOp::Eq || t.operands.size() != 1) return LookupOutcome::NotTaken;
    path = &t.path;
    operand = &t.operands[0];
  } else if (expr.kind() == Expr::Kind::ParamTest) {
    const auto& t = std::get<ParamTestExpr>(expr.node);
    if (t.op != TestOp::Eq || t.operands.size() != 1) return LookupOutcome::NotTaken;
    path = &t.path;
    if (const auto* v = std::get_if<Value>(&t.operands[0])) {
      operand = v;
    } else {
      const std::uint64_t n = std::get<Placeholder>(t.operands[0]).number;
      if (n >= query.params().size()) return LookupOutcome::NotTaken;
      operand = &query.params()[n];
    }
  } else {
    return LookupOutcome::NotTaken;
  }
  if (path->size() != 1) return LookupOutcome::NotTaken;
  const Field* field = schema::find_by_name(std::span<const Field>(collection.fields), (*path)[0]);
  if (!field) return LookupOutcome::NotTaken;
  const KindCode code = field->kind.code();
  const bool fits = (code == KindCode::Int && operand->kind() == ValueKind::Int) ||
                    (code == KindCode::Str && operand->kind() == ValueKind::String) ||
                    (code == KindCode::Bytes && operand->kind() == ValueKind::Bytes);
  if (!fits) return LookupOutcome::NotTaken;
  const names::TreeName records = names::record_tree_name(collection.id);
  auto to_sink = [&](ByteView record) -> Status { return sink(record); };
  if (field->id == collection.primary_key_field_id) {
    key::KeyBuffer k;
    if (const auto r = k.encode(*operand); !r) return fail(names::internal_error(r.error()));
    DZ_CHECK(access.get(records.bytes(), k.view(), to_sink));
    return LookupOutcome::Taken;
  }
  const Index* unique = nullptr;
  for (const Index& index : collection.indexes)
    if (index.field_id == field->id && index.unique) {
      unique = &index;
      break;
    }
  if (!unique) return LookupOutcome::NotTaken;
  auto lookup = [&](ByteView tree, ByteView k) -> Result<bool> {
    auto follow = [&](ByteView primary_key) -> Status {
      return objects::resolve_index_entry(access, records.bytes(), collection.name, primary_key,
                                          to_sink);
    };
    return access.get(tree, k, follow);
  };
  DZ_CHECK(names::lookup_target(*operand, *unique, lookup));
  return LookupOutcome::Taken;
}

}  // namespace deziro::plan
