// The free space of one write transaction, from its start to its commit.
//
// At the start it loads the free runs of the published commit (from the free
// tree, tree id 2, unless the instance kept them from its own last commit)
// and adds the groups of the retained tree (tree id 3) that no reader needs
// any more. Meanwhile it hands out pages for the transaction's trees and
// takes back the pages they release. At commit it settles: the free tree is
// brought up to the free runs, the retained tree gains this commit's group
// of released pages, and both are written from pages set aside beforehand,
// so that writing them changes no free run. See docs/file-format.md
// section 8.
//
// It knows no transaction type: pages are read through a NodeSource and
// written through a PageSink whose allocations come back here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "btree/tree.hpp"
#include "format/record.hpp"
#include "function_ref.hpp"
#include "txn/free_space.hpp"
#include "txn/space.hpp"

namespace deziro {

class CommitSpace {
 public:
  // `space` is the transaction's page space; `sink` writes the pages of the
  // free-space trees and allocates them through this object.
  CommitSpace(space::PageSpace& space, NodeSource& source, PageSink& sink)
      : space_(space), source_(source), sink_(sink) {}
  CommitSpace(const CommitSpace&) = delete;
  CommitSpace& operator=(const CommitSpace&) = delete;

  // The newest retained group that may be freed, asked once with the
  // oldest group the retained tree holds, and only when it holds one.
  using ReclaimLimit = FunctionRef<Result<std::uint64_t>(std::uint64_t oldest_group)>;
  // Begins transaction `txn_id` on `base`: its free runs (`kept` when the
  // instance kept them, else read from the free tree) with the retained
  // groups of commits up to `reclaim_limit` added. The page space's page
  // count must be the base's. CORRUPTED when a run overlaps another or
  // passes the end of the file.
  Status load(const CommitRecord& base, std::uint64_t txn_id, LeafLayout layout,
              std::optional<space::FreeRuns> kept, ReclaimLimit reclaim_limit);

  // --- Pages for the trees. While the free-space trees are written, pages
  // come from the set-aside pages, then from the end of the file, never
  // from a free run.
  Result<std::uint64_t> allocate_page();
  Result<std::uint64_t> allocate_run(std::uint32_t count);
  void release_pages(std::uint64_t first, std::uint64_t count);

  // Before the commit writes its trees: sets aside one run, placed as an
  // overflow run would be, for the pages a later commit is likely to
  // rewrite soon: the roots of the `roots` named trees it writes (the
  // catalog among them), `soon_rewritten` other nodes of those trees
  // (`soon_rewritten_nodes`), then the roots of the free-space trees. They
  // go out in one write and, replaced together soon after, come back free
  // together, a run for a later commit. When the run would be long (a big
  // commit) it holds the roots alone. Every other page comes from the
  // lowest free pages, which keeps the file from growing.
  void set_aside(std::uint64_t roots, std::uint64_t soon_rewritten);
  // How many nodes below the root of the tree under `root`, among those in
  // memory, a later commit is likely to rewrite within `soon_commits`
  // commits, judged by the part of each level this transaction changes.
  // The judgement is kept for `writing_tree`. Past `kMaxSetAside` nodes the
  // count stops (the run then holds the roots alone) and the answer is
  // `kMaxSetAside + 1`.
  std::uint64_t soon_rewritten_nodes(const TreeRoot& root, std::uint64_t soon_commits);
  // The next tree written is `root`: its root, written last, and, for a
  // tree judged by `soon_rewritten_nodes` and counted in `set_aside`, those
  // nodes come from the pages set aside while any are left.
  void writing_tree(const TreeRoot& root);

  // How far ahead a durable commit looks, and a deferred one: the pages
  // replaced before the next sync all come back free at that sync, and a
  // deferred commit's separate runs of pages each cost a write call.
  static constexpr std::uint64_t kSoonCommits = 16;
  static constexpr std::uint64_t kSoonDeferredCommits = 256;
  // The longest run set aside with more than roots in it.
  static constexpr std::uint64_t kMaxSetAside = 32;

  // Brings the free tree up to the free runs and the retained tree up to
  // this commit's group, and sets aside the pages writing them will take.
  // Ends when loading their nodes releases nothing more.
  Status settle();

  struct Roots {
    ChildPointer free_tree;
    ChildPointer retained_tree;
  };
  // After `settle`: writes both trees. INTERNAL when that changed the free
  // space after all.
  Result<Roots> write_trees();

  // The trees as this transaction holds them (compaction moves their pages).
  TreeRoot& free_tree() { return free_tree_; }
  TreeRoot& retained_tree() { return retained_tree_; }

 private:
  Status read_free_tree();
  Status free_retained_groups(ReclaimLimit reclaim_limit);
  // Adds the run to the free runs; CORRUPTED naming `tree` when it
  // overlaps one or passes the end of the file.
  Status add_loaded_run(std::string_view tree, std::uint64_t first, std::uint64_t count);
  WriteContext context(std::uint64_t tree_id) {
    return WriteContext{source_, tree_id, txn_id_, layout_, sink_};
  }
  // One pass of the settling: the free tree and the group until nothing
  // changes.
  Status apply();
  // Makes the free tree's entries for the runs at `firsts` (in page order)
  // what the free runs hold there; whether the tree changed.
  Result<bool> write_free_runs(const std::vector<std::uint64_t>& firsts);
  // Takes the pages released since the last call into `released_`.
  void collect_released();

  space::PageSpace& space_;
  NodeSource& source_;
  PageSink& sink_;
  std::uint64_t txn_id_ = 0;
  LeafLayout layout_ = LeafLayout::Varint;
  TreeRoot free_tree_;
  TreeRoot retained_tree_;
  // Retained group keys freed at the start, removed from the retained tree
  // at commit.
  std::vector<std::array<std::uint8_t, 12>> retained_freed_;
  // Pages released that older commits or snapshots may still see, as runs.
  space::FreeRuns released_;
  std::size_t released_counted_ = 0;
  // How many pages changed `released_`: a page added changes it, one it
  // held already is refused, and nothing else changes it, so two counts
  // differ exactly when the runs do.
  std::size_t released_adds_ = 0;
  // While settling: this commit's group as the retained tree holds it (the
  // count of `released_adds_` it was written at; 0, as for no page, when
  // not written), in how many chunks, and the pages set aside for the two
  // trees.
  std::size_t group_written_adds_ = 0;
  std::size_t group_chunks_ = 0;
  space::FreeRuns reserve_;
  // Set while the two trees are written: pages come from `reserve_`.
  bool writing_trees_ = false;
  // Whether the run set aside holds nodes besides the roots.
  bool soon_set_aside_ = false;
  // For each page the tree being written takes, in the order it takes
  // them (its nodes after their children, its root last): whether it comes
  // from the pages set aside.
  std::vector<bool> tree_plan_;
  std::size_t tree_plan_next_ = 0;
  // The plans `soon_rewritten_nodes` made, by the tree's root node.
  std::vector<std::pair<const MemNode*, std::vector<bool>>> plans_;
  // The free tree's settings of one pass, with their keys and values
  // (kept for the next pass).
  std::vector<std::array<std::uint8_t, 8>> setting_keys_;
  std::vector<std::array<std::uint8_t, 8>> setting_values_;
  std::vector<btree::EntrySetting> settings_;
};

}  // namespace deziro
