#include "tools/tree_builder.hpp"

#include "btree/overflow.hpp"

namespace deziro::repack {
namespace {

// A leaf entry's cell and slot in `layout`.
std::size_t entry_cost(LeafLayout layout, std::uint32_t page_size, const MemEntry& e) {
  if (e.overflow) return node::overflow_cell_size(layout, e.key.size()) + node::kSlotSize;
  return node::leaf_entry_bytes(layout, page_size, e.key.size(), e.value.size());
}

// Cuts a level into branch groups: the first child costs its pointer, each
// further one its pointer, slot, length and first key. A last group of one
// child takes the last child of the group before it, so that no branch has
// a single child.
Result<std::vector<std::size_t>> group_sizes(
    const std::vector<std::pair<std::string, ChildPointer>>& level, std::size_t room) {
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

}  // namespace

TreeBuilder::TreeBuilder(const WriteContext& cx)
    : cx_(cx), room_(node::capacity(cx.source.page_size())) {}

Status TreeBuilder::add(MemEntry entry) {
  std::size_t cost = entry_cost(cx_.layout, cx_.source.page_size(), entry);
  if (!leaf_.entries.empty() && fill_ + cost > room_) DZ_CHECK(close_leaf());
  fill_ += cost;
  leaf_.entries.push_back(std::move(entry));
  ++entries_;
  return ok();
}

Status TreeBuilder::add(ByteView key, ByteView value) {
  MemEntry entry;
  entry.key.assign(reinterpret_cast<const char*>(key.data()), key.size());
  const std::uint32_t page_size = cx_.source.page_size();
  if (node::value_fits_inline(cx_.layout, page_size, key.size(), value.size())) {
    entry.value.assign(reinterpret_cast<const char*>(value.data()), value.size());
  } else {
    DZ_CHECK(btree::check_value(value.size()));
    entry.ref =
        DZ_TRY(write::write_overflow_run(cx_.sink, page_size, cx_.txn_id, cx_.tree_id, value));
    entry.overflow = true;
  }
  return add(std::move(entry));
}

Status TreeBuilder::close_leaf() {
  if (leaf_.entries.empty()) return ok();
  std::string first = leaf_.entries.front().key;
  ChildPointer pointer = DZ_TRY(btree::write_node(cx_, leaf_));
  leaves_.emplace_back(std::move(first), pointer);
  leaf_ = MemNode{};
  fill_ = 0;
  return ok();
}

Result<TreeBuilder::Level> TreeBuilder::build_branches(const Level& lower, std::uint8_t level) {
  auto sizes = DZ_TRY(group_sizes(lower, room_));
  Level upper;
  std::size_t next = 0;
  for (std::size_t size : sizes) {
    MemNode branch;
    branch.level = level;
    const std::size_t first = next;
    for (; next < first + size; ++next) {
      if (next > first) branch.keys.push_back(lower[next].first);
      branch.children.push_back(MemChild{lower[next].second, nullptr});
    }
    ChildPointer pointer = DZ_TRY(btree::write_node(cx_, branch));
    upper.emplace_back(lower[first].first, pointer);
  }
  return upper;
}

Result<ChildPointer> TreeBuilder::finish() {
  DZ_CHECK(close_leaf());
  Level level = std::move(leaves_);
  if (level.empty()) return ChildPointer{};
  for (std::uint8_t height = 1; level.size() > 1; ++height)
    level = DZ_TRY(build_branches(level, height));
  return level.front().second;
}

}  // namespace deziro::repack
