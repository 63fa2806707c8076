// The planner: a bound query and its collection become a Plan. Paths are
// followed through the schema, parameters replaced by their values, operands
// checked against the kinds they are compared with, and an access path is
// chosen among the primary key and the collection's indexes; what the access
// path does not answer stays in the residual filter. Every failure is
// INVALID_QUERY. The planner reads no tree.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "btree/key_bound.hpp"
#include "error.hpp"
#include "format/object/codec_fields.hpp"
#include "format/object/schema.hpp"
#include "format/object/value.hpp"
#include "function_ref.hpp"
#include "query/model.hpp"
#include "query/params.hpp"
#include "schema/links.hpp"
#include "txn/tree_access.hpp"

namespace deziro {

using PathStep = objects::PathStep;

// Where a path leads. `steps` are the steps after the first field (into an
// embedded object's field, each list element, a linked collection).
struct ResolvedPath {
  // The collection's field the first name denotes.
  const Field* first = nullptr;
  std::vector<PathStep> steps;
  // The kind of what the path finally names: a list's element kind, a
  // link's target primary-key kind.
  const FieldKind* value_kind = nullptr;
  // The first field, only when the path is one name.
  const Field* top_field = nullptr;
  // The last field named is a list.
  bool is_list = false;
  // Some field on the way (the last included) is a list.
  bool through_list = false;
  // The names joined with '.', for messages.
  std::string text;
};

enum class Condition : std::uint8_t {
  Compare,
  Between,
  In,
  ListContains,
  StrContains,
  StartsWith,
  EndsWith,
  IsNull,
};

struct ResolvedTest {
  ResolvedPath path;
  Condition condition = Condition::Compare;
  // Compare only: Eq to Ge.
  TestOp op = TestOp::Eq;
  // Compare and the string tests: one; Between: low, high; In: sorted and
  // without duplicates; IsNull: none.
  std::vector<Value> operands;
};

struct ResolvedFilter {
  enum class Kind : std::uint8_t { Test, And, Or, Not };
  Kind kind = Kind::Test;
  ResolvedTest test;
  // And and Or: the children in query order; Not: its one child.
  std::vector<ResolvedFilter> children;
};

struct SortSpec {
  ResolvedPath path;
  bool descending = false;
};

struct IndexRange {
  KeyBound lower;
  KeyBound upper;
};

struct AccessPath {
  enum class Kind : std::uint8_t { KeyRange, KeyLookups, IndexRanges };
  Kind kind = Kind::KeyRange;
  bool backward = false;
  // KeyRange: bounds on encoded primary keys (both unbounded: a full scan).
  KeyBound lower;
  KeyBound upper;
  // KeyLookups: encoded primary keys in the order of their values.
  std::vector<ByteString> keys;
  // IndexRanges.
  const Index* index = nullptr;
  std::vector<IndexRange> ranges;
  // A primary key met twice in one scan is offered once (list fields).
  bool skip_seen = false;
  // Each range holds exactly one value (a unique index is read by key).
  bool exact_values = false;
};

struct Plan {
  std::optional<std::uint64_t> limit;
  AccessPath access;
  std::optional<ResolvedFilter> residual;
  std::vector<SortSpec> sort;
  const Collection* collection = nullptr;
  std::uint64_t offset = 0;
  // The top-level field the residual filter tests first (else the first
  // sort key's), when that path is one name.
  const Field* first_tested = nullptr;
  // Rows come from the access path in result order.
  bool ordered = false;
  // The access path took the place of the whole filter.
  bool exact = false;
  // The schema's collections, for following links.
  std::span<const Collection> collections;
};

// Where a candidate's rows come from; a lower value is cheaper.
enum class CandidateSource : std::uint8_t { PrimaryKey, UniqueIndex, PlainIndex };
// What a candidate's test selects; a lower value is narrower.
enum class CandidateShape : std::uint8_t { OneValue, InList, Range };

// One conjunct of the filter that an access path could answer.
struct IndexCandidate {
  std::optional<Value> lower;
  BoundKind lower_kind = BoundKind::Unbounded;
  std::optional<Value> upper;
  BoundKind upper_kind = BoundKind::Unbounded;
  const Field* field = nullptr;
  const ResolvedPath* path = nullptr;
  std::vector<Value> exact;
  std::size_t position = 0;
  const Index* index = nullptr;
  std::string prefix;
  CandidateSource source = CandidateSource::PrimaryKey;
  CandidateShape shape = CandidateShape::OneValue;
};

// A found record handed on by the point lookup: its bytes, borrowed.
using RecordSink = FunctionRef<Status(ByteView record)>;

namespace plan {

inline constexpr int kMaxFilterDepth = 24;
inline constexpr std::size_t kMaxPathNames = 32;

enum class LookupOutcome : std::uint8_t { NotTaken, Taken };

// The point lookup of one equality on the primary key or on the first
// unique index of a field; the record found, if any, goes to the sink.
Result<LookupOutcome> try_key_lookup(TreeAccess& access, const Collection& collection,
                                     const BoundQuery& query, RecordSink sink);

Result<Plan> plan_query(std::span<const Collection> collections, const Collection& collection,
                        const BoundQuery& query);

struct ResolveContext {
  std::span<const Collection> collections;
  const Collection& collection;
  std::span<const Value> params;
  // Whether parameter values were given at all.
  bool has_params = false;
};

Result<ResolvedFilter> resolve_filter(const ResolveContext& cx, const Expr& expr, int depth);
Result<ResolvedPath> resolve_path(std::span<const Collection> collections,
                                  std::span<const Field> fields, const Path& names);
Result<std::vector<SortSpec>> resolve_sort_keys(std::span<const Collection> collections,
                                                const Collection& collection,
                                                std::span<const SortKey> keys);
std::optional<IndexCandidate> index_candidate(const Collection& collection, std::size_t position,
                                              const ResolvedFilter& node);

// successor(k): the trailing FF bytes dropped and the last byte left raised
// by one; none when every byte is FF.
std::optional<ByteString> successor(ByteView key);

}  // namespace plan
}  // namespace deziro
