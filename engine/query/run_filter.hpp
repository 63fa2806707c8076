// Filter evaluation on stored records: whether one record matches the
// residual filter of a plan, reading only the fields the tests name, and
// the reading of a record's sort values. The comparison of a field value
// with an operand follows the total order of values.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <vector>

#include "error.hpp"
#include "format/object/codec_fields.hpp"
#include "query/plan.hpp"
#include "schema/links.hpp"
#include "txn/tree_access.hpp"

namespace deziro {

namespace run {

// A residual filter that is one comparison (or Between) of a top-level int
// field with int operands, as the range [low, high] its values must lie in
// (outside it for Ne).
struct IntRangeTest {
  const Field* field = nullptr;
  std::int64_t low = 0;
  std::int64_t high = 0;
  bool outside = false;
};

// The residual filter of `plan` as an IntRangeTest, or none.
std::optional<IntRangeTest> int_range_test(const Plan& plan);

// What the tests of one find or count share: the transaction, the plan and
// the cache of linked objects, created empty for the call.
struct FilterContext {
  TreeAccess& access;
  const Plan& plan;
  objects::LinkCache links;
  // The residual filter's short form, when it has one.
  std::optional<IntRangeTest> int_test;

  FilterContext(TreeAccess& a, const Plan& p) : access(a), plan(p), int_test(int_range_test(p)) {}
};

// Whether a value that is not null satisfies the test's condition.
bool test_matches(const ResolvedTest& test, const codec::FieldValue& value);

// The order of a field value and an operand, as Value::cmp orders them.
std::weak_ordering compare_field(const codec::FieldValue& value, const Value& operand);

}  // namespace run

namespace codec {

// A record offered to the filter: its bytes, the slot hint of the plan's
// first tested field, and whether the residual filter is already known to
// hold (its short form settled it where the record was read).
struct OfferedRecord {
  ByteView bytes;
  std::uint16_t hint = kNoHint;
  bool matched = false;
};

Result<bool> eval_filter(run::FilterContext& cx, const RecordContext& record,
                         const OfferedRecord& offered, const ResolvedFilter& node);
Result<bool> eval_test(run::FilterContext& cx, const RecordContext& record,
                       const OfferedRecord& offered, const ResolvedTest& test);

// The residual filter's answer when its short form (cx.int_test, which
// must be set) settles it on the number read in place, as test_record
// would; none when the record must be read further.
std::optional<bool> int_test_answer(const run::FilterContext& cx, const OfferedRecord& record);

// Whether the record matches the plan's residual filter (always without
// one). When it matches and `sort_values` is given, it receives one value
// per sort key of the plan (Null where the path reaches nothing).
Result<bool> test_record(run::FilterContext& cx, const OfferedRecord& record,
                         std::vector<Value>* sort_values);

// The value at a sort key's path in the record.
Result<Value> sort_value(run::FilterContext& cx, const OfferedRecord& record, const SortSpec& spec);

// Appends the record's sort key: each sort value of the plan in the key
// encoding, its bytes inverted for a descending key. The components are
// prefix-free, so memcmp on two sort keys orders the records as Value::cmp
// on their sort values does. A sort path ends at a scalar, so a list or an
// object met there is damage.
Status append_sort_key(run::FilterContext& cx, const OfferedRecord& record, ByteString& out);

}  // namespace codec
}  // namespace deziro
