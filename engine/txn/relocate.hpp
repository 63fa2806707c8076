// Moving one tree's pages below a page number, so that the end of the file
// becomes free and can be cut off (compaction).
#pragma once

#include <cstdint>

#include "txn/write_txn.hpp"

namespace deziro::write {

// Moves every node page and overflow run of the tree `tree_id` (a named
// tree whose entry the transaction has loaded, or the catalog, free or
// retained tree) that lies at or above page `limit` into the transaction's
// free pages below it, first fit, and rewrites the parents; returns the
// pages moved. A named tree that moved is marked changed.
//
// Never grows the file. INVALID_ARGUMENT "an overflow run too long" when no
// free run below the limit holds a run, "no free page below page {limit}"
// when none is left for a node; the limit is then too low for this file.
// Any failure marks the transaction failed: it can only be aborted, and the
// published commit stays as it was.
Result<std::uint64_t> write_overflow(WriteTxn& txn, std::uint64_t tree_id, std::uint64_t limit);

}  // namespace deziro::write
