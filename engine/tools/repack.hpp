// Rebuilding a tree whose pages are poorly filled: its entries are laid out
// again into leaves filled up to the page's room, with branches built
// bottom-up over them, on the lowest free pages. Overflow values are not
// copied; their entries keep their references.
#pragma once

#include <cstdint>
#include <memory>

#include "error.hpp"
#include "instance.hpp"
#include "txn/write_txn.hpp"

namespace deziro::repack {

// What a tree occupies now, and what a rebuild would fill: its node pages,
// its branch pages, and the leaves its entries would fill in the
// transaction's layout when laid out in key order as a rebuild lays them
// (each leaf taking entries while they fit its room).
struct TreeMeasure {
  std::uint64_t pages = 0;
  std::uint64_t branch_pages = 0;
  std::uint64_t leaves_needed = 0;
};

// Walks every node page of the tree from `root`, each checked against the
// pointer that leads to it. A page reached twice is CORRUPTED: the tree is
// not a tree, and rebuilding or moving it would free that page twice.
Result<TreeMeasure> measure_tree(NodeSource& source, std::uint64_t tree_id,
                                 const ChildPointer& root, LeafLayout layout);

// The pages a rebuild of the measured tree fills, its branches counted as
// they are now.
std::uint64_t pages_needed(const TreeMeasure& measure);

// Whether a rebuild pays: it saves at least two pages and a tenth of them.
// A tree just rebuilt never pays again: its leaves are as many as needed.
bool worth_rebuilding(const TreeMeasure& measure);

// The free pages of the transaction.
std::uint64_t free_pages(const WriteTxn& txn);

// Rebuilds the tree of `entry` inside `txn`: every old node page is given up
// once (released when the transaction commits), the new nodes are written
// on newly allocated pages, and the entry gets the new root and is marked
// changed. CORRUPTED for a page reached twice; INTERNAL "an empty branch
// while repacking" when the branch groups cannot be balanced. On failure
// the transaction can only be aborted.
Status repack_tree(WriteTxn& txn, TreeEntry& entry);

// The tree pass of compaction: every named tree, each in a durable write
// transaction of its own, is rebuilt when `worth_rebuilding` says so and
// the pages it needs are free, or may be added without taking the file past
// `max_pages`. A rebuild whose pages, or those its commit writes for the
// catalog and the free-space trees, would take the file past `max_pages`
// anyway is dropped, not committed: it would stay at the end of the file,
// where nothing may be able to move it back down. A snapshot is held across the
// pass. Answers whether any tree was rebuilt.
Result<bool> repack_trees(const std::shared_ptr<Instance>& instance,
                          const std::shared_ptr<const ResolvedSchema>& schema,
                          std::uint64_t max_pages);

// Whether some named tree is worth rebuilding in at most `room` pages;
// nothing is written.
Result<bool> any_tree_worth_rebuilding(const std::shared_ptr<Instance>& instance,
                                       const std::shared_ptr<const ResolvedSchema>& schema,
                                       std::uint64_t room);

}  // namespace deziro::repack
