// Whether the pages a commit wrote reached the disk intact. Copy on write
// makes them easy to find: every page a commit writes carries its commit id,
// and so does every pointer to it, up to the roots; the walk follows only
// those pointers and checks each page against the stamp its parent keeps.
#pragma once

#include <span>
#include <vector>

#include "btree/pager/page_io.hpp"
#include "format/record.hpp"
#include "storage/storage.hpp"
#include "txn/free_space.hpp"

namespace deziro {

// The floor of a commit `txn_id` among the records in the slots (ids, 0 for
// none): the oldest other record older than it, or 0. The newest durable
// commit stays in a slot, so every commit up to the floor is on disk.
std::uint64_t verify_floor(std::span<const std::uint64_t, kRecordSlotCount> slot_txn_ids,
                           std::uint64_t txn_id);

// False when a page written by a commit after `floor` (the commit itself
// and, for a deferred commit, the unsynced commits before it) is missing,
// torn or stale; an error only for I/O failures. Pages of commits up to
// `floor` are known to be on disk. A page met twice is damage, so the walk
// reads each page of the file at most once. `checked`, when given, receives
// every page and overflow run the walk checked.
Result<bool> verify_commit_pages(NodeSource& source, const CommitRecord& record,
                                 std::uint64_t floor, std::vector<PageRunEntry>* checked = nullptr);

// Writes the pages of `runs` again with the bytes reads see now. A sync
// that failed may have left pages in the system's cache that reads see but
// the disk never gets, and a later sync writes only what is dirty: pages
// verified through reads reach the disk only once written again.
Status write_again(Storage& storage, std::uint32_t page_size, std::span<const PageRunEntry> runs);

}  // namespace deziro
