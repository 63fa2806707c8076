#include "tools/repack.hpp"

#include <unordered_set>
#include <vector>

#include "text_format.hpp"
#include "tools/tree_builder.hpp"
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
std::size_t entry_cost(LeafLayout layout, std::uint32_t page_size, const LeafCell& cell) {
  if (cell.overflow) return node::overflow_cell_size(layout, cell.key.size()) + node::kSlotSize;
  return node::leaf_entry_bytes(layout, page_size, cell.key.size(), cell.value.size());
}

struct Walk {
  ChildPointer pointer;
  std::optional<std::uint8_t> level;
};

}  // namespace

Result<TreeMeasure> measure_tree(NodeSource& source, std::uint64_t tree_id,
                                 const ChildPointer& root, LeafLayout layout) {
  TreeMeasure measure;
  if (root.page == 0) return measure;
  const std::size_t room = node::capacity(source.page_size());
  // The walk meets the leaves last key first; a rebuild's leaves, filled
  // from the first key, are as many as when filled from the last.
  std::size_t fill = 0;
  PagesMet met;
  std::vector<Walk> stack{{root, std::nullopt}};
  while (!stack.empty()) {
    Walk item = stack.back();
    stack.pop_back();
    DZ_CHECK(met.visit(source, tree_id, item.pointer.page));
    NodeView view = DZ_TRY(source.fetch_node(item.pointer, tree_id, item.level));
    ++measure.pages;
    if (!view.is_leaf()) {
      ++measure.branch_pages;
      for (std::size_t i = 0; i < view.child_count(); ++i)
        stack.push_back({view.child_at(i), static_cast<std::uint8_t>(view.level() - 1)});
      continue;
    }
    for (std::size_t i = view.count(); i-- > 0;) {
      const std::size_t cost = entry_cost(layout, view.page_size(), view.cell_at(i));
      if (fill != 0 && fill + cost > room) {
        ++measure.leaves_needed;
        fill = 0;
      }
      fill += cost;
    }
  }
  if (fill != 0) ++measure.leaves_needed;
  return measure;
}

std::uint64_t pages_needed(const TreeMeasure& measure) {
  return measure.leaves_needed + measure.branch_pages;
}

bool worth_rebuilding(const TreeMeasure& measure) {
  std::uint64_t needed = pages_needed(measure);
  return measure.pages >= needed + 2 && 10 * needed <= 9 * measure.pages;
}

std::uint64_t free_pages(const WriteTxn& txn) {
  std::uint64_t n = 0;
  for (const auto& [first, count] : txn.free_runs()) n += count;
  return n;
}

Status repack_tree(WriteTxn& txn, TreeEntry& entry) {
  const WriteContext cx = txn.write_context(entry);
  // A root changed in this transaction is written first, so that the walk
  // below reads every node from a page.
  ChildPointer root = DZ_TRY(btree::write_tree(cx, entry.root));
  if (root.page == 0) return ok();
  auto rebuilt = [&]() -> Result<ChildPointer> {
    PagesMet met;
    TreeBuilder builder(cx);
    std::vector<Walk> stack{{root, std::nullopt}};
    while (!stack.empty()) {
      Walk item = stack.back();
      stack.pop_back();
      DZ_CHECK(met.visit(cx.source, cx.tree_id, item.pointer.page));
      // Gives the old page up: it is released when the transaction commits.
      std::unique_ptr<MemNode> old = DZ_TRY(format::load_child(cx, item.pointer, item.level));
      if (old->is_leaf()) {
        // Overflow values stay where they are: the entries keep their runs.
        for (const MemEntry& e : old->entries) DZ_CHECK(builder.add(e));
        continue;
      }
      const auto below = static_cast<std::uint8_t>(old->level - 1);
      for (auto child = old->children.rbegin(); child != old->children.rend(); ++child)
        stack.push_back({child->pointer, below});
    }
    return builder.finish();
  }();
  if (!rebuilt) {
    txn.mark_failed();
    return fail(std::move(rebuilt).error());
  }
  entry.root = TreeRoot::on_disk(*rebuilt);
  entry.changed = true;
  return ok();
}

namespace {

// The entry of the named tree `name` when rebuilding it pays and fits in
// `room` pages, else none.
Result<TreeEntry*> entry_worth_rebuilding(WriteTxn& txn, const std::string& name,
                                          std::uint64_t room) {
  TreeEntry* entry = DZ_TRY(txn.tree_entry(bytes_of(name), false));
  if (entry == nullptr || entry->root.empty()) return nullptr;
  auto measure =
      DZ_TRY(measure_tree(txn.source(), entry->tree_id, entry->root.disk(), txn.leaf_layout()));
  if (!worth_rebuilding(measure) || pages_needed(measure) > room) return nullptr;
  return entry;
}

}  // namespace

Result<bool> repack_trees(const std::shared_ptr<Instance>& instance,
                          const std::shared_ptr<const ResolvedSchema>& schema,
                          std::uint64_t max_pages) {
  // The snapshot keeps the pages the rebuilds give up retained until the
  // pass is over; the commits that follow the pass free them.
  ReadTxn snapshot = DZ_TRY(ReadTxn::begin(instance, schema));
  auto names = DZ_TRY(list_trees(snapshot.source(), snapshot.catalog_root()));
  bool rebuilt_any = false;
  for (const std::string& name : names) {
    auto txn = DZ_TRY(WriteTxn::begin(instance, schema));
    txn->keep_pages_low();
    // Neither the rebuild nor its commit, which writes the catalog and the
    // free-space trees besides, may take the file past `max_pages`.
    txn->limit_page_count(max_pages);
    const std::uint64_t count = txn->page_count();
    const std::uint64_t room = free_pages(*txn) + (max_pages > count ? max_pages - count : 0);
    TreeEntry* entry = DZ_TRY(entry_worth_rebuilding(*txn, name, room));
    if (entry == nullptr) continue;
    // Dropping the transaction aborts the rebuild.
    Status rebuilt = repack_tree(*txn, *entry);
    if (!rebuilt && txn->outgrew_page_limit()) continue;
    DZ_CHECK(rebuilt);
    if (txn->page_count() > max_pages) continue;
    Status committed = txn->commit();
    if (!committed && txn->outgrew_page_limit()) continue;
    DZ_CHECK(committed);
    rebuilt_any = true;
  }
  return rebuilt_any;
}

Result<bool> any_tree_worth_rebuilding(const std::shared_ptr<Instance>& instance,
                                       const std::shared_ptr<const ResolvedSchema>& schema,
                                       std::uint64_t room) {
  auto txn = DZ_TRY(WriteTxn::begin(instance, schema));
  for (const std::string& name : DZ_TRY(list_trees(txn->source(), txn->base().catalog)))
    if (DZ_TRY(entry_worth_rebuilding(*txn, name, room)) != nullptr) return true;
  return false;
}

}  // namespace deziro::repack
