#include "txn/commit_verify.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "btree/overflow.hpp"
#include "btree/pages_met.hpp"
#include "txn/catalog.hpp"

namespace deziro {
namespace {

class Walk {
 public:
  Walk(NodeSource& source, std::uint64_t floor, std::vector<PageRunEntry>* checked)
      : source_(source), floor_(floor), checked_(checked) {}

  // False on damage, an error on I/O failure.
  Result<bool> tree(const ChildPointer& root, std::uint64_t tree_id) {
    if (root.page == 0 || root.commit_id <= floor_) return true;
    return node(root, tree_id, std::nullopt);
  }

  std::vector<TreeDescriptor> named_roots;

 private:
  Result<bool> damaged_or(const Error& e) {
    if (e.kind() == ErrorKind::Corrupted) return false;
    return fail(e);
  }

  Result<bool> node(const ChildPointer& pointer, std::uint64_t tree_id,
                    std::optional<std::uint8_t> level) {
    if (!met_.first_meeting(pointer.page, 1)) return false;
    auto fetched = source_.fetch_node(pointer, tree_id, level);
    if (!fetched) return damaged_or(fetched.error());
    const NodeView& view = *fetched;
    if (checked_) checked_->push_back({pointer.page, 1});
    if (!view.is_leaf()) {
      for (std::size_t i = 0; i < view.child_count(); ++i) {
        ChildPointer child = view.child_at(i);
        if (child.commit_id <= floor_) continue;
        if (!DZ_TRY(node(child, tree_id, std::uint8_t(view.level() - 1)))) return false;
      }
      return true;
    }
    for (std::size_t i = 0; i < view.count(); ++i) {
      LeafCell cell = view.cell_at(i);
      if (cell.overflow && cell.ref.commit_id > floor_) {
        if (!met_.first_meeting(cell.ref.first_page, cell.ref.page_count)) return false;
        std::string value;
        auto read = load::read_overflow_run(source_, cell.ref, tree_id, value);
        if (!read) return damaged_or(read.error());
        if (checked_) checked_->push_back({cell.ref.first_page, cell.ref.page_count});
      }
      if (tree_id == kCatalogTreeId) {
        if (cell.overflow) return false;
        auto d = TreeDescriptor::decode(cell.value, source_);
        if (!d) return false;
        named_roots.push_back(*d);
      }
    }
    return true;
  }

  NodeSource& source_;
  std::uint64_t floor_;
  std::vector<PageRunEntry>* checked_;
  PagesMet met_;
};

}  // namespace

std::uint64_t verify_floor(std::span<const std::uint64_t, kRecordSlotCount> slot_txn_ids,
                           std::uint64_t txn_id) {
  std::uint64_t floor = 0;
  for (std::uint64_t id : slot_txn_ids)
    if (id != 0 && id < txn_id && (floor == 0 || id < floor)) floor = id;
  return floor;
}

Result<bool> verify_commit_pages(NodeSource& source, const CommitRecord& record,
                                 std::uint64_t floor, std::vector<PageRunEntry>* checked) {
  Walk walk(source, std::min(floor, record.txn_id - 1), checked);
  if (!DZ_TRY(walk.tree(record.catalog, kCatalogTreeId))) return false;
  if (!DZ_TRY(walk.tree(record.free_tree, kFreeTreeId))) return false;
  if (!DZ_TRY(walk.tree(record.retained_tree, kRetainedTreeId))) return false;
  // Only catalog leaves written after the floor were read, and a tree
  // changed after it has its descriptor in one of them.
  for (const TreeDescriptor& d : walk.named_roots)
    if (!DZ_TRY(walk.tree(d.root, d.tree_id))) return false;
  return true;
}

Status write_again(Storage& storage, std::uint32_t page_size, std::span<const PageRunEntry> runs) {
  // Neighbouring pages go together, in pieces of at most 1 MiB, one read
  // and one write each.
  space::FreeRuns merged;
  for (const PageRunEntry& run : runs)
    for (std::uint64_t p = run.first; p < run.first + run.count; ++p)
      space::add_free_run(merged, p, 1);
  const std::uint64_t batch = std::max<std::uint64_t>(1, (std::uint64_t(1) << 20) / page_size);
  std::vector<std::uint8_t> bytes;
  for (const auto& [first, count] : merged) {
    for (std::uint64_t done = 0; done < count;) {
      std::uint64_t n = std::min<std::uint64_t>(batch, count - done);
      bytes.resize(n * page_size);
      std::uint64_t offset = (first + done) * page_size;
      DZ_CHECK(storage.read_exact_at(offset, bytes));
      DZ_CHECK(storage.write_at(offset, bytes));
      done += n;
    }
  }
  return ok();
}

}  // namespace deziro
