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

namespace run {

// Runs the plan; each result record goes to the sink in result order.
Status execute(TreeAccess& access, const Plan& plan, RecordSink sink);

// The number of matches, less the offset, at most the limit.
Result<std::uint64_t> count_matches(TreeAccess& access, const Plan& plan);

// The primary-key order: bytes, then the shorter first.
bool key_before(ByteView a, ByteView b);

}  // namespace run
}  // namespace deziro
