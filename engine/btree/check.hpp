// The tree checker: every invariant of one tree, from its root. Used by the
// tests after each commit and by the maintenance check.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "btree/tree.hpp"

namespace deziro {

struct TreeCheckOptions {
  // Every node but those on the tree's first and last paths (the root among
  // them) uses at least a quarter of its room. A damaged tree may break it
  // harmlessly, so callers choose.
  bool check_fill = true;
  // Read every overflow run whole and test its length and check.
  bool read_overflow = true;
};

// A run of pages a tree uses: one node page, or an overflow run.
struct UsedRun {
  std::uint64_t first;
  std::uint64_t count;
};

struct TreeCheckReport {
  // One line per finding, each naming its page; empty for a sound tree.
  std::vector<std::string> problems;
  std::uint64_t entries = 0;
  std::uint32_t height = 0;  // 0 for an empty tree
  std::vector<UsedRun> pages;

  bool ok() const { return problems.empty(); }
};

namespace btree {
// Walks the tree from `root` (page 0: empty) and reports key order within
// and across nodes, separators, levels, fill, the stamps and commit ids of
// children (a child is never newer than its parent), cell placement of
// values, overflow runs and pages used twice. Damage is reported, not
// returned; only a failure of the walk's own memory would end it.
TreeCheckReport check_tree(const ReadContext& cx, const ChildPointer& root,
                           const TreeCheckOptions& options = {});
}  // namespace btree

}  // namespace deziro
