#include "txn/commit_space.hpp"

#include <algorithm>

#include "btree/cursor.hpp"
#include "invariant.hpp"
#include "text_format.hpp"
#include "txn/tree_access.hpp"

namespace deziro {

namespace {

// Pages that writing a tree will take: one per node held in memory.
std::size_t nodes_in_memory(const MemNode* node) {
  if (node == nullptr) return 0;
  std::size_t n = 1;
  for (const MemChild& c : node->children) n += nodes_in_memory(c.node.get());
  return n;
}

}  // namespace

// ---------------------------------------------------------------- start

Status CommitSpace::load(const CommitRecord& base, std::uint64_t txn_id, LeafLayout layout,
                         std::optional<space::FreeRuns> kept, ReclaimLimit reclaim_limit) {
  txn_id_ = txn_id;
  layout_ = layout;
  free_tree_ = TreeRoot::on_disk(base.free_tree);
  retained_tree_ = TreeRoot::on_disk(base.retained_tree);
  if (kept) {
    space_.free_runs = std::move(*kept);
  } else {
    DZ_CHECK(read_free_tree());
  }
  // From here on the free runs differ from the free tree only where the
  // log says, which is what the commit writes into it.
  space_.free_runs.start_log();
  return free_retained_groups(reclaim_limit);
}

Status CommitSpace::add_loaded_run(std::string_view tree, std::uint64_t first,
                                   std::uint64_t count) {
  if (!space::add_free_run(space_.free_runs, first, count) || first + count > space_.page_count)
    return fail(source_.corrupted(format_text(
        "the {} tree: the run at page {} overlaps another or passes the end of the file", tree,
        first)));
  return ok();
}

Status CommitSpace::read_free_tree() {
  auto free_visitor = [&](ByteView key, ByteView value) -> Result<VisitAnswer> {
    PageRunEntry run = DZ_TRY(free_space::decode_free(source_, key, value));
    DZ_CHECK(add_loaded_run("free", run.first, run.count));
    return VisitAnswer::Continue;
  };
  return read::scan_forward(ReadContext{source_, kFreeTreeId}, free_tree_, KeyBound::unbounded(),
                            KeyBound::unbounded(), free_visitor);
}

Status CommitSpace::free_retained_groups(ReclaimLimit reclaim_limit) {
  // A group of pages released by commit C is seen by snapshots older than
  // C. It is free once no record in the slots, no live snapshot and no
  // commit that recovery might still fall back to is older than C.
  std::optional<std::uint64_t> limit;
  auto retained_visitor = [&](ByteView key, ByteView value) -> Result<VisitAnswer> {
    const std::uint64_t commit = free_space::retained_commit(key);
    if (!limit) limit = DZ_TRY(reclaim_limit(commit));
    if (commit > *limit) return VisitAnswer::Stop;
    auto runs = DZ_TRY(free_space::decode_retained(source_, key, value));
    for (auto r : runs) DZ_CHECK(add_loaded_run("retained", r.first, r.count));
    std::array<std::uint8_t, 12> k;
    std::copy(key.begin(), key.end(), k.begin());
    retained_freed_.push_back(k);
    return VisitAnswer::Continue;
  };
  return read::scan_forward(ReadContext{source_, kRetainedTreeId}, retained_tree_,
                            KeyBound::unbounded(), KeyBound::unbounded(), retained_visitor);
}

// ---------------------------------------------------------------- pages

void CommitSpace::set_aside(std::uint64_t roots, std::uint64_t soon_rewritten) {
  DZ_ASSERT(reserve_.empty());
  // The free-space trees' roots too, unless there is nothing for a tree to
  // hold (a new file's first commits).
  std::uint64_t count = roots;
  if (!free_tree_.empty() || !space_.free_runs.empty()) ++count;
  if (!retained_tree_.empty() || !space_.released_published.empty()) ++count;
  soon_set_aside_ = soon_rewritten > 0 && count + soon_rewritten <= kMaxSetAside;
  if (soon_set_aside_) count += soon_rewritten;
  if (count == 0) return;
  // Placed as an overflow run would be: the first free run long enough,
  // else at the end of the file. A file at its size limit sets none aside.
  auto first = space::take_run(space_, count);
  if (!first) return;
  space::add_free_run(reserve_, *first, count);
}

namespace {

// For each node below `n`, whose share of the changes is `share`, in the
// order write_subtree takes their pages: whether a later commit is likely to
// rewrite it soon. A child's share is its parent's times the part of the
// parent's children this transaction changed: under changes spread like
// this transaction's, about how often a commit rewrites it. `likely` counts
// the yeses; past `limit` of them the walk stops, false.
bool plan_pages(const MemNode& n, double share, std::uint64_t soon_commits, std::vector<bool>& plan,
                std::uint64_t& likely, std::uint64_t limit) {
  std::size_t changed = 0;
  for (const MemChild& c : n.children) changed += c.node != nullptr;
  const double child_share =
      share * double(changed) / double(std::max<std::size_t>(1, n.children.size()));
  const bool soon = child_share * double(soon_commits) >= 1.0;
  for (const MemChild& c : n.children) {
    if (!c.node) continue;
    if (!plan_pages(*c.node, child_share, soon_commits, plan, likely, limit)) return false;
    plan.push_back(soon);
    if (soon && ++likely > limit) return false;
  }
  return true;
}

}  // namespace

std::uint64_t CommitSpace::soon_rewritten_nodes(const TreeRoot& root, std::uint64_t soon_commits) {
  if (!root.mem()) return 0;
  std::vector<bool> plan;
  std::uint64_t likely = 0;
  if (!plan_pages(*root.mem(), 1.0, soon_commits, plan, likely, kMaxSetAside))
    return kMaxSetAside + 1;
  plans_.emplace_back(root.mem(), std::move(plan));
  return likely;
}

void CommitSpace::writing_tree(const TreeRoot& root) {
  tree_plan_.clear();
  tree_plan_next_ = 0;
  if (!root.mem()) return;
  // Its nodes likely rewritten soon take pages set aside when the run was
  // set aside with them, as judged when it was; its root always does.
  // Without them (or a tree never judged, as the catalog) only the count
  // of pages before the root's matters.
  auto kept = std::ranges::find(plans_, root.mem(), &decltype(plans_)::value_type::first);
  if (soon_set_aside_ && kept != plans_.end()) {
    tree_plan_ = std::move(kept->second);
    plans_.erase(kept);
  } else {
    tree_plan_.assign(nodes_in_memory(root.mem()) - 1, false);
  }
  tree_plan_.push_back(true);
}

Result<std::uint64_t> CommitSpace::allocate_page() {
  if (!writing_trees_) {
    // A tree's root and its nodes likely rewritten soon take pages set
    // aside for them.
    if (tree_plan_next_ < tree_plan_.size() && tree_plan_[tree_plan_next_++])
      if (auto page = free_space::take_lowest(reserve_)) {
        space_.allocated.insert(*page);
        return *page;
      }
    return space::allocate_page(space_);
  }
  // Set-aside pages first, then new ones at the end: never a free run.
  if (auto page = free_space::take_lowest(reserve_)) {
    space_.allocated.insert(*page);
    return *page;
  }
  space::PageSpace end_only;
  end_only.page_count = space_.page_count;
  end_only.max_page_count = space_.max_page_count;
  std::uint64_t page = DZ_TRY(space::allocate_page(end_only));
  space_.page_count = end_only.page_count;
  space_.allocated.insert(page);
  return page;
}

Result<std::uint64_t> CommitSpace::allocate_run(std::uint32_t count) {
  // The free-space trees hold no overflow runs, so the reserve never serves one.
  return space::allocate_run(space_, count);
}

void CommitSpace::release_pages(std::uint64_t first, std::uint64_t count) {
  for (std::uint64_t p = first; p < first + count; ++p) space::release_page(space_, p);
}

// ---------------------------------------------------------------- commit

void CommitSpace::collect_released() {
  auto& pages = space_.released_published;
  for (; released_counted_ < pages.size(); ++released_counted_)
    released_adds_ += space::add_free_run(released_, pages[released_counted_], 1);
}

Result<bool> CommitSpace::write_free_runs(const std::vector<std::uint64_t>& firsts) {
  // Each entry is made what the free runs hold at its first page: gone for
  // a run gone, else rewritten only when it is missing or differs. The
  // entries held are checked before they change. In page order, so that
  // the changes of one leaf share a descent.
  const std::size_t n = firsts.size();
  setting_keys_.resize(n);
  setting_values_.resize(n);
  settings_.resize(n);
  // The runs are found in page order too: a few steps on from the last
  // one found, else a search.
  const auto end = space_.free_runs.end();
  auto it = n != 0 ? space_.free_runs.lower_bound(firsts[0]) : end;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t first = firsts[i];
    setting_keys_[i] = free_space::free_key(first);
    settings_[i].key = ByteView(setting_keys_[i]);
    settings_[i].value.reset();
    for (int step = 0; it != end && it->first < first; ++step) {
      if (step == 4) {
        it = space_.free_runs.lower_bound(first);
        break;
      }
      ++it;
    }
    if (it == end || it->first != first) continue;
    setting_values_[i] = free_space::free_value(it->second);
    settings_[i].value = ByteView(setting_values_[i]);
  }
  auto check = [&](ByteView key, ByteView stored) -> Status {
    DZ_CHECK(free_space::decode_free(source_, key, stored));
    return ok();
  };
  const btree::SettingVisitor stored = check;
  return btree::set_entries(context(kFreeTreeId), free_tree_, settings_, &stored);
}

Status CommitSpace::apply() {
  for (int pass = 0;; ++pass) {
    if (pass == 32) return fail(Error::internal("the free-space trees did not settle"));
    // Pages of this transaction released again are free outright.
    space::free_own_releases(space_);
    collect_released();
    // Only runs changed since the free tree last took them in can differ
    // from it.
    const bool changed = DZ_TRY(write_free_runs(space_.free_runs.take_changes()));
    const bool group_changed = released_adds_ != group_written_adds_;
    if (!changed && !group_changed) return ok();
    // A free tree changed beside a group the retained tree holds already
    // leaves that tree as it is; the pass after it sees whether writing the
    // free tree released pages.
    if (!group_changed) continue;
    WriteContext rcx = context(kRetainedTreeId);
    auto chunks = free_space::encode_group(released_, source_.page_size());
    for (std::size_t i = 0; i < chunks.size(); ++i)
      DZ_CHECK(btree::put(rcx, retained_tree_, free_space::retained_key(txn_id_, std::uint32_t(i)),
                          bytes_of(chunks[i])));
    for (std::size_t i = chunks.size(); i < group_chunks_; ++i)
      DZ_CHECK(
          btree::remove(rcx, retained_tree_, free_space::retained_key(txn_id_, std::uint32_t(i))));
    group_chunks_ = chunks.size();
    group_written_adds_ = released_adds_;
  }
}

Status CommitSpace::settle() {
  space::free_own_releases(space_);
  space::trim_free_tail(space_);
  group_chunks_ = 0;
  group_written_adds_ = 0;
  for (const auto& key : retained_freed_)
    DZ_CHECK(btree::remove(context(kRetainedTreeId), retained_tree_, key));
  // The two trees are written from pages set aside beforehand, so that
  // writing them changes no free run. How many they need depends on what
  // they hold, which depends on what was set aside, and taking or giving
  // back the last free page can flip the need back and forth. So the reserve
  // first only grows, from the lowest free pages, until it covers the need;
  // from its first surplus on it only shrinks, its highest pages given back
  // as free runs, and a need that grows meanwhile is met by new pages at the
  // end of the file. Every pass but the last moves at least one page one
  // way, so the settling ends.
  bool growing = true;
  for (;;) {
    // Pages given back at the end of the file (the roots' run may have been
    // set aside there) leave it again before the free tree takes them in.
    space::trim_free_tail(space_);
    DZ_CHECK(apply());
    std::uint64_t needed =
        nodes_in_memory(free_tree_.mem()) + nodes_in_memory(retained_tree_.mem());
    std::uint64_t have = space::free_page_count(reserve_);
    if (have == needed) return ok();
    if (have < needed) {
      // Short of free pages: the rest come from the end of the file.
      if (!growing || space_.free_runs.empty()) return ok();
      for (; have < needed; ++have) {
        auto page = free_space::take_lowest(space_.free_runs);
        if (!page) break;
        space::add_free_run(reserve_, *page, 1);
      }
    } else {
      growing = false;
      for (; have > needed; --have)
        space::add_free_run(space_.free_runs, free_space::take_highest(reserve_), 1);
    }
  }
}

Result<CommitSpace::Roots> CommitSpace::write_trees() {
  // Written from the reserve and new pages at the end only, so that no free
  // run changes after the free tree took them in.
  auto released_before = space_.released_published.size();
  writing_trees_ = true;
  auto free_root = btree::write_tree(context(kFreeTreeId), free_tree_);
  auto retained_root = free_root ? btree::write_tree(context(kRetainedTreeId), retained_tree_)
                                 : Result<ChildPointer>(ChildPointer{});
  writing_trees_ = false;
  if (!free_root) return fail(std::move(free_root).error());
  if (!retained_root) return fail(std::move(retained_root).error());
  if (!space_.free_runs.take_changes().empty() ||
      space_.released_published.size() != released_before || !space_.released_own.empty() ||
      !reserve_.empty())
    return fail(Error::internal("writing the free-space trees changed the free space"));
  return Roots{*free_root, *retained_root};
}

}  // namespace deziro
