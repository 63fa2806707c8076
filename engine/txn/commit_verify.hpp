// Whether the pages a commit wrote reached the disk intact. Copy on write
// makes them easy to find: every page a commit writes carries its commit id,
// and so does every pointer to it, up to the roots; the walk follows only
// those pointers and checks each page against the stamp its parent keeps.
#pragma once

#include "btree/page_io.hpp"
#include "format/record.hpp"

namespace deziro {

// False when a page written by a commit after `floor` (the commit itself
// and, for a deferred commit, the unsynced commits before it) is missing,
// torn or stale; an error only for I/O failures. Pages of commits up to
// `floor` are known to be on disk. A page met twice is damage, so the walk
// reads each page of the file at most once.
Result<bool> verify_commit_pages(NodeSource& source, const CommitRecord& record,
                                 std::uint64_t floor);

}  // namespace deziro
