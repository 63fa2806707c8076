#include "tools/tree_builder.hpp"

#include "btree/overflow.hpp"

namespace deziro::repack {
namespace {

// Leaves written with one write at most: 1 MiB of pages or 16 pages.
std::size_t batch_pages(std::uint32_t page_size) {
  return std::max<std::size_t>(16, (std::size_t(1) << 20) / page_size);
}

}  // namespace

TreeBuilder::TreeBuilder(const WriteContext& cx)
    : cx_(&cx), page_size_(cx.source.page_size()), room_(node::capacity(page_size_)) {}

Status TreeBuilder::add(ByteView key, ByteView value) {
  if (node::value_fits_inline(cx_->layout, page_size_, key.size(), value.size()))
    return add_item(key, value, nullptr);
  DZ_CHECK(btree::check_value(value.size()));
  OverflowRef ref =
      DZ_TRY(write::write_overflow_run(cx_->sink, page_size_, cx_->txn_id, cx_->tree_id, value));
  return add_item(key, {}, &ref);
}

Status TreeBuilder::add(const MemEntry& entry) {
  if (!entry.overflow()) return add(entry.key(), entry.value());
  const OverflowRef ref = entry.ref();
  return add_item(entry.key(), {}, &ref);
}

Status TreeBuilder::add_item(ByteView key, ByteView value, const OverflowRef* ref) {
  std::size_t cost =
      ref != nullptr
          ? node::overflow_cell_size(cx_->layout, key.size()) + node::kSlotSize
          : node::inline_cell_size(cx_->layout, key.size(), value.size()) + node::kSlotSize;
  if (!items_.empty() && fill_ + cost > room_) DZ_CHECK(close_leaf());
  Item item{arena_.size(), key.size(), 0, value.size(), ref != nullptr, {}};
  arena_.insert(arena_.end(), key.begin(), key.end());
  item.value_at = arena_.size();
  arena_.insert(arena_.end(), value.begin(), value.end());
  if (ref != nullptr) item.ref = *ref;
  items_.push_back(item);
  fill_ += cost;
  ++entries_;
  return ok();
}

Status TreeBuilder::close_leaf() {
  if (items_.empty()) return ok();
  std::uint64_t page = DZ_TRY(cx_->sink.allocate_page());
  if (!batch_leaves_.empty() && (page != batch_leaves_.front().second.page + batch_leaves_.size() ||
                                 batch_leaves_.size() == batch_pages(page_size_))) {
    DZ_CHECK(write_batch());
  }
  const std::size_t index = batch_leaves_.size();
  batch_.resize((index + 1) * page_size_);
  views_.clear();
  for (const Item& item : items_) {
    views_.push_back(LeafItem{ByteView(arena_.data() + item.key_at, item.key_len),
                              ByteView(arena_.data() + item.value_at, item.value_len),
                              item.overflow ? &item.ref : nullptr});
  }
  node::build_leaf(std::span(batch_).subspan(index * page_size_, page_size_), cx_->layout, views_,
                   cx_->txn_id, cx_->tree_id);
  ChildPointer pointer;
  pointer.page = page;
  pointer.commit_id = cx_->txn_id;
  const Item& first = items_.front();
  batch_leaves_.emplace_back(
      std::string(arena_.begin() + first.key_at, arena_.begin() + first.key_at + first.key_len),
      pointer);
  arena_.clear();
  items_.clear();
  fill_ = 0;
  return ok();
}

// Writes the batch of closed leaves and hands them, with their stamps, to
// the level above.
Status TreeBuilder::write_batch() {
  if (batch_leaves_.empty()) return ok();
  stamps_.assign(batch_leaves_.size(), PageStamp{});
  DZ_CHECK(cx_->sink.write_pages(batch_leaves_.front().second.page, batch_, stamps_));
  for (std::size_t i = 0; i < batch_leaves_.size(); ++i) {
    batch_leaves_[i].second.stamp = stamps_[i];
    DZ_CHECK(add_child(levels_, 0, std::move(batch_leaves_[i]), nullptr));
  }
  batch_leaves_.clear();
  batch_.clear();
  return ok();
}

Result<ChildPointer> TreeBuilder::write_branch(const Group& group, std::size_t level,
                                               std::vector<std::uint64_t>* written) {
  MemNode branch;
  branch.level = static_cast<std::uint8_t>(level + 1);
  for (std::size_t i = 0; i < group.children.size(); ++i) {
    if (i > 0) branch.keys().push_back(group.children[i].first);
    branch.children.push_back(MemChild{group.children[i].second, nullptr});
  }
  ChildPointer pointer = DZ_TRY(btree::write_node(*cx_, branch));
  if (written != nullptr) written->push_back(pointer.page);
  return pointer;
}

// A group starts with its first child at the cost of its pointer; each
// further child adds its pointer, slot, length and first key. A child that
// would bring the group past the room starts the next group.
Status TreeBuilder::add_child(std::vector<Level>& levels, std::size_t level, Child child,
                              std::vector<std::uint64_t>* written) {
  if (levels.size() == level) levels.emplace_back();
  const std::size_t more = node::kBranchKeyOverhead + child.first.size();
  if (!levels[level].open.children.empty() && levels[level].open.cost + more > room_) {
    if (levels[level].has_held) {
      Group held = std::move(levels[level].held);
      ChildPointer pointer = DZ_TRY(write_branch(held, level, written));
      // May add a level, which moves the levels.
      DZ_CHECK(
          add_child(levels, level + 1, {std::move(held.children.front().first), pointer}, written));
    }
    Level& at = levels[level];
    at.held = std::move(at.open);
    at.has_held = true;
    at.open = Group{};
  }
  Level& at = levels[level];
  at.open.cost += at.open.children.empty() ? node::kFirstChildCost : more;
  at.open.children.push_back(std::move(child));
  return ok();
}

// Writes every group still in `levels`, from the leaves up, and returns the
// root. A last group of one child takes the last child of the group before
// it, so that no branch has a single child.
Result<ChildPointer> TreeBuilder::close_levels(std::vector<Level>& levels,
                                               std::vector<std::uint64_t>* written) {
  for (std::size_t level = 0; level < levels.size(); ++level) {
    if (!levels[level].has_held && level + 1 == levels.size() &&
        levels[level].open.children.size() == 1)
      return levels[level].open.children.front().second;
    // Taken out: writing a group adds to the level above, which may move
    // the levels.
    std::vector<Group> groups;
    if (levels[level].has_held) groups.push_back(std::move(levels[level].held));
    groups.push_back(std::move(levels[level].open));
    levels[level] = Level{};
    if (groups.size() == 2 && groups[1].children.size() == 1) {
      if (groups[0].children.size() <= 1)
        return fail(Error::internal("an empty branch while repacking"));
      groups[1].children.insert(groups[1].children.begin(), std::move(groups[0].children.back()));
      groups[0].children.pop_back();
    }
    for (Group& group : groups) {
      ChildPointer pointer = DZ_TRY(write_branch(group, level, written));
      DZ_CHECK(add_child(levels, level + 1, {group.children.front().first, pointer}, written));
    }
  }
  return ChildPointer{};
}

Result<ChildPointer> TreeBuilder::finish() {
  DZ_CHECK(close_leaf());
  DZ_CHECK(write_batch());
  std::vector<Level> levels = std::move(levels_);
  levels_.clear();
  return close_levels(levels, nullptr);
}

Result<ChildPointer> TreeBuilder::checkpoint() {
  DZ_CHECK(close_leaf());
  DZ_CHECK(write_batch());
  std::vector<Level> edge = levels_;
  return close_levels(edge, &edge_pages_);
}

void TreeBuilder::resume(const WriteContext& cx) {
  cx_ = &cx;
  for (std::uint64_t page : edge_pages_) cx.sink.release_pages(page, 1);
  edge_pages_.clear();
}

}  // namespace deziro::repack
