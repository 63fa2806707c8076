// The executor: carries out a Plan over the record and index trees of one
// transaction. Ordered plans stream their rows through offset and limit
// into the record sink; the others are collected by the top-k collector,
// sorted and paged. Also the counting of a plan's matches.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "error.hpp"
#include "query/plan.hpp"
#include "txn/tree_access.hpp"

namespace deziro {

// One row of the collecting mode: sort values, encoded primary key and a
// copy of the record (empty in key-only mode).
struct QueryRow {
  std::vector<Value> sort_values;
  ByteString primary_key;
  ByteString record;
};

namespace run {

// Runs the plan; each result record goes to the sink in result order.
Status execute(TreeAccess& access, const Plan& plan, RecordSink sink);

// The number of matches, less the offset, at most the limit.
Result<std::uint64_t> count_matches(TreeAccess& access, const Plan& plan);

// Whether row a sorts strictly before row b: sort values (reversed for a
// descending key), then primary key bytes ascending.
bool compare_rows(const Plan& plan, const QueryRow& a, const QueryRow& b);

// The primary-key order: bytes, then the shorter first.
bool key_before(ByteView a, ByteView b);

}  // namespace run
}  // namespace deziro
