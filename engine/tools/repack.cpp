#include "tools/repack.hpp"

#include <unordered_set>
#include <utility>
#include <vector>

#include "text_format.hpp"
#include "tools/tree_list.hpp"
#include "txn/read_txn.hpp"

namespace deziro::repack {
namespace {

// Node pages met by one walk.
class PagesMet {
 public:
  Status visit(NodeSource& source, std::uint64_t tree_id, std::uint64_t page) {
    if (pages_.insert(page).second) return ok();
    return fail(source.corrupted(
        format_text("page {} is reached twice in the tree with id {}", page, tree_id)));
  }

 private:
  std::unordered_set<std::uint64_t> pages_;
};

// A leaf entry's cell and slot in `layout`.
std::size_t entry_cost(LeafLayout layout, std::uint32_t page_size, std::size_t key_len,
                       bool overflow, std::size_t value_len) {
  if (overflow) return node::overflow_cell_size(layout, key_len) + node::kSlotSize;
  return node::leaf_entry_bytes(layout, page_size, key_len, value_len);
}

struct Walk {
  ChildPointer pointer;
  std::optional<std::uint8_t> level;
};

// The lower level of a rebuilt tree: each node's first key and pointer.
using Level = std::vector<std::pair<std::string, ChildPointer>>;

// Fills new leaves in key order and writes each as it closes.
class LeafFiller {
 public:
  explicit LeafFiller(const WriteContext& cx)
      : cx_(cx), room_(node::capacity(cx.source.page_size())) {}

  Status add(MemEntry entry) {
    std::size_t cost = entry_cost(cx_.layout, cx_.source.page_size(), entry.key.size(),
                                  entry.overflow, entry.value.size());
    if (!leaf_.entries.empty() && fill_ + cost > room_) DZ_CHECK(close());
    fill_ += cost;
    leaf_.entries.push_back(std::move(entry));
    return ok();
  }

  Status close() {
    if (leaf_.entries.empty()) return ok();
    std::string first = leaf_.entries.front().key;
    ChildPointer pointer = DZ_TRY(btree::write_node(cx_, leaf_));
    closed_.emplace_back(std::move(first), pointer);
    leaf_ = MemNode{};
    fill_ = 0;
    return ok();
  }

  Level take() { return std::move(closed_); }

 private:
  const WriteContext& cx_;
  std::size_t room_;
  MemNode leaf_;
  std::size_t fill_ = 0;
  Level closed_;
};

// Cuts a level into branch groups: the first child costs its pointer, each
// further one its pointer, slot, length and first key. A last group of one
// child takes the last child of the group before it, so that no branch has
// a single child.
Result<std::vector<std::size_t>> group_sizes(const Level& level, std::size_t room) {
  std::vector<std::size_t> sizes;
  std::size_t cost = 0;
  for (const auto& [key, pointer] : level) {
    std::size_t more = node::kBranchKeyOverhead + key.size();
    if (sizes.empty() || cost + more > room) {
      sizes.push_back(1);
      cost = node::kFirstChildCost;
    } else {
      ++sizes.back();
      cost += more;
    }
  }
  if (sizes.size() >= 2 && sizes.back() == 1) {
    std::size_t& before = sizes[sizes.size() - 2];
    if (before <= 1) return fail(Error::internal("an empty branch while repacking"));
    --before;
    ++sizes.back();
  }
  return sizes;
}

Result<Level> build_branches(const WriteContext& cx, const Level& lower, std::uint8_t level) {
  auto sizes = DZ_TRY(group_sizes(lower, node::capacity(cx.source.page_size())));
  Level upper;
  std::size_t next = 0;
  for (std::size_t size : sizes) {
    MemNode branch;
    branch.level = level;
    for (std::size_t i = 0; i < size; ++i, ++next) {
      if (i > 0) branch.keys.push_back(lower[next].first);
      branch.children.push_back(MemChild{lower[next].second, nullptr});
    }
    std::string first = lower[next - size].first;
    ChildPointer pointer = DZ_TRY(btree::write_node(cx, branch));
    upper.emplace_back(std::move(first), pointer);
  }
  return upper;
}

}  // namespace

Result<TreeMeasure> measure_tree(NodeSource& source, std::uint64_t tree_id,
                                 const ChildPointer& root, LeafLayout layout) {
  TreeMeasure measure;
  if (root.page == 0) return measure;
  PagesMet met;
  std::vector<Walk> stack{{root, std::nullopt}};
  while (!stack.empty()) {
    Walk item = stack.back();
    stack.pop_back();
    DZ_CHECK(met.visit(source, tree_id, item.pointer.page));
    NodeView view = DZ_TRY(source.fetch_node(item.pointer, tree_id, item.level));
    ++measure.pages;
    if (!view.is_leaf()) {
      measure.content_bytes += view.used_bytes();
      for (std::size_t i = 0; i < view.child_count(); ++i)
        stack.push_back({view.child_at(i), static_cast<std::uint8_t>(view.level() - 1)});
    } else if (view.layout() == layout) {
      measure.content_bytes += view.used_bytes();
    } else {
      for (std::size_t i = 0; i < view.count(); ++i) {
        LeafCell cell = view.cell_at(i);
        measure.content_bytes +=
            entry_cost(layout, view.page_size(), cell.key.size(), cell.overflow, cell.value.size());
      }
    }
  }
  return measure;
}

bool worth_rebuilding(const TreeMeasure& measure, std::uint32_t page_size) {
  std::uint64_t room = node::capacity(page_size);
  std::uint64_t needed = (measure.content_bytes + room - 1) / room;
  return measure.pages >= needed + 2 && 10 * needed <= 9 * measure.pages;
}

Status repack_tree(WriteTxn& txn, TreeEntry& entry) {
  const WriteContext cx = txn.write_context(entry);
  // A root changed in this transaction is written first, so that the walk
  // below reads every node from a page.
  ChildPointer root = DZ_TRY(btree::write_tree(cx, entry.root));
  if (root.page == 0) return ok();
  auto rebuilt = [&]() -> Result<ChildPointer> {
    PagesMet met;
    LeafFiller filler(cx);
    std::vector<Walk> stack{{root, std::nullopt}};
    while (!stack.empty()) {
      Walk item = stack.back();
      stack.pop_back();
      DZ_CHECK(met.visit(cx.source, cx.tree_id, item.pointer.page));
      // Gives the old page up: it is released when the transaction commits.
      std::unique_ptr<MemNode> old = DZ_TRY(format::load_child(cx, item.pointer, item.level));
      if (old->is_leaf()) {
        for (MemEntry& e : old->entries) DZ_CHECK(filler.add(std::move(e)));
        continue;
      }
      const auto below = static_cast<std::uint8_t>(old->level - 1);
      for (auto child = old->children.rbegin(); child != old->children.rend(); ++child)
        stack.push_back({child->pointer, below});
    }
    DZ_CHECK(filler.close());
    Level level = filler.take();
    if (level.empty()) return ChildPointer{};
    for (std::uint8_t height = 1; level.size() > 1; ++height)
      level = DZ_TRY(build_branches(cx, level, height));
    return level.front().second;
  }();
  if (!rebuilt) {
    txn.mark_failed();
    return fail(std::move(rebuilt).error());
  }
  entry.root = TreeRoot::on_disk(*rebuilt);
  entry.changed = true;
  return ok();
}

Result<bool> repack_trees(const std::shared_ptr<Instance>& instance,
                          const std::shared_ptr<const ResolvedSchema>& schema) {
  // The snapshot keeps the pages the rebuilds give up retained until the
  // pass is over; the commits that follow the pass free them.
  ReadTxn snapshot = DZ_TRY(ReadTxn::begin(instance, schema));
  auto names = DZ_TRY(list_trees(snapshot.source(), snapshot.catalog_root()));
  bool rebuilt_any = false;
  for (const std::string& name : names) {
    auto txn = DZ_TRY(WriteTxn::begin(instance, schema));
    TreeEntry* entry = DZ_TRY(txn->tree_entry(bytes_of(name), false));
    if (entry == nullptr || entry->root.empty()) continue;
    auto measure =
        DZ_TRY(measure_tree(txn->source(), entry->tree_id, entry->root.disk(), txn->leaf_layout()));
    if (!worth_rebuilding(measure, instance->page_size())) continue;
    DZ_CHECK(repack_tree(*txn, *entry));
    DZ_CHECK(txn->commit());
    rebuilt_any = true;
  }
  return rebuilt_any;
}

}  // namespace deziro::repack
