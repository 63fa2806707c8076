#include "tools/tree_builder.hpp"

#include "btree/overflow.hpp"

namespace deziro::repack {
namespace {

// Leaves written with one write at most: 1 MiB of pages or 16 pages.
std::size_t batch_pages(std::uint32_t page_size) {
  return std::max<std::size_t>(16, (std::size_t(1) << 20) / page_size);
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

ByteView view_of(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

TreeBuilder::TreeBuilder(const WriteContext& cx)
    : cx_(cx), page_size_(cx.source.page_size()), room_(node::capacity(page_size_)) {}

Status TreeBuilder::add(ByteView key, ByteView value) {
  if (node::value_fits_inline(cx_.layout, page_size_, key.size(), value.size()))
    return add_item(key, value, nullptr);
  DZ_CHECK(btree::check_value(value.size()));
  OverflowRef ref =
      DZ_TRY(write::write_overflow_run(cx_.sink, page_size_, cx_.txn_id, cx_.tree_id, value));
  return add_item(key, {}, &ref);
}

Status TreeBuilder::add(const MemEntry& entry) {
  if (entry.overflow) return add_item(view_of(entry.key), {}, &entry.ref);
  return add(view_of(entry.key), view_of(entry.value));
}

Status TreeBuilder::add_item(ByteView key, ByteView value, const OverflowRef* ref) {
  std::size_t cost =
      ref != nullptr
          ? node::overflow_cell_size(cx_.layout, key.size()) + node::kSlotSize
          : node::inline_cell_size(cx_.layout, key.size(), value.size()) + node::kSlotSize;
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
  std::uint64_t page = DZ_TRY(cx_.sink.allocate_page());
  if (batch_count_ > 0 &&
      (page != batch_first_ + batch_count_ || batch_count_ == batch_pages(page_size_))) {
    DZ_CHECK(write_batch());
  }
  if (batch_count_ == 0) batch_first_ = page;
  batch_.resize((batch_count_ + 1) * page_size_);
  views_.clear();
  for (const Item& item : items_) {
    views_.push_back(LeafItem{ByteView(arena_.data() + item.key_at, item.key_len),
                              ByteView(arena_.data() + item.value_at, item.value_len),
                              item.overflow ? &item.ref : nullptr});
  }
  node::build_leaf(std::span(batch_).subspan(batch_count_ * page_size_, page_size_), cx_.layout,
                   views_, cx_.txn_id, cx_.tree_id);
  ++batch_count_;
  ChildPointer pointer;
  pointer.page = page;
  pointer.commit_id = cx_.txn_id;
  leaves_.emplace_back(std::string(arena_.begin() + items_.front().key_at,
                                   arena_.begin() + items_.front().key_at + items_.front().key_len),
                       pointer);
  arena_.clear();
  items_.clear();
  fill_ = 0;
  return ok();
}

// Writes the batch of closed leaves and gives their pointers the stamps.
Status TreeBuilder::write_batch() {
  if (batch_count_ == 0) return ok();
  stamps_.assign(batch_count_, PageStamp{});
  DZ_CHECK(cx_.sink.write_pages(batch_first_, batch_, stamps_));
  for (std::size_t i = 0; i < batch_count_; ++i)
    leaves_[leaves_.size() - batch_count_ + i].second.stamp = stamps_[i];
  batch_count_ = 0;
  batch_.clear();
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
  DZ_CHECK(write_batch());
  Level level = std::move(leaves_);
  if (level.empty()) return ChildPointer{};
  for (std::uint8_t height = 1; level.size() > 1; ++height)
    level = DZ_TRY(build_branches(level, height));
  return level.front().second;
}

}  // namespace deziro::repack
