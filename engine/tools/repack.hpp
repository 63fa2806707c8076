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

// What a tree occupies now: its node pages, and the bytes its entries would
// take in leaves of the transaction's layout (branches as they are).
struct TreeMeasure {
  std::uint64_t pages = 0;
  std::uint64_t content_bytes = 0;
};

// Walks every node page of the tree from `root`, each checked against the
// pointer that leads to it. A page reached twice is CORRUPTED: the tree is
// not a tree, and rebuilding or moving it would free that page twice.
Result<TreeMeasure> measure_tree(NodeSource& source, std::uint64_t tree_id,
                                 const ChildPointer& root, LeafLayout layout);

// Whether a rebuild pays: it saves at least two pages and a tenth of them.
bool worth_rebuilding(const TreeMeasure& measure, std::uint32_t page_size);

// Rebuilds the tree of `entry` inside `txn`: every old node page is given up
// once (released when the transaction commits), the new nodes are written
// on newly allocated pages, and the entry gets the new root and is marked
// changed. CORRUPTED for a page reached twice; INTERNAL "an empty branch
// while repacking" when the branch groups cannot be balanced. On failure
// the transaction can only be aborted.
Status repack_tree(WriteTxn& txn, TreeEntry& entry);

// The tree pass of compaction: every named tree, each in a durable write
// transaction of its own, is rebuilt when `worth_rebuilding` says so. A
// snapshot is held across the pass. Answers whether any tree was rebuilt.
Result<bool> repack_trees(const std::shared_ptr<Instance>& instance,
                          const std::shared_ptr<const ResolvedSchema>& schema);

}  // namespace deziro::repack
