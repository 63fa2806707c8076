#include "btree/cursor.hpp"

#include "btree/overflow.hpp"
#include "format/bytes.hpp"
#include "format/page.hpp"
#include "invariant.hpp"
#include "text_format.hpp"

namespace deziro {

namespace read {

bool above_lower(ByteView key, const KeyBound& lower) {
  switch (lower.kind) {
    case BoundKind::Unbounded:
      return true;
    case BoundKind::Included:
      return compare_keys(key, lower.key) >= 0;
    case BoundKind::Excluded:
      return compare_keys(key, lower.key) > 0;
  }
  return true;
}

bool below_upper(ByteView key, const KeyBound& upper) {
  switch (upper.kind) {
    case BoundKind::Unbounded:
      return true;
    case BoundKind::Included:
      return compare_keys(key, upper.key) <= 0;
    case BoundKind::Excluded:
      return compare_keys(key, upper.key) < 0;
  }
  return true;
}

}  // namespace read

namespace {

// The first of `count` keys for which `beyond` holds; keys are ascending
// and `beyond` is monotone.
template <typename KeyAt, typename Beyond>
std::size_t partition_point(std::size_t count, KeyAt key_at, Beyond beyond) {
  std::size_t lo = 0;
  std::size_t hi = count;
  while (lo < hi) {
    std::size_t mid = (lo + hi) / 2;
    if (beyond(key_at(mid))) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

}  // namespace

RangeCursor::RangeCursor(const ReadContext& cx, KeyBound lower, KeyBound upper, bool reverse)
    : source_(&cx.source),
      tree_id_(cx.tree_id),
      lower_(std::move(lower)),
      upper_(std::move(upper)),
      reverse_(reverse) {}

Result<std::optional<RangeCursor>> RangeCursor::open(const ReadContext& cx, const TreeRoot& root,
                                                     KeyBound lower, KeyBound upper, bool reverse) {
  RangeCursor cursor(cx, std::move(lower), std::move(upper), reverse);
  if (!DZ_TRY(cursor.start(root.mem(), root.disk()))) return std::optional<RangeCursor>();
  return std::optional<RangeCursor>(std::move(cursor));
}

Result<std::optional<RangeCursor>> RangeCursor::open(const ReadContext& cx,
                                                     const ChildPointer& root, KeyBound lower,
                                                     KeyBound upper, bool reverse) {
  RangeCursor cursor(cx, std::move(lower), std::move(upper), reverse);
  if (!DZ_TRY(cursor.start(nullptr, root))) return std::optional<RangeCursor>();
  return std::optional<RangeCursor>(std::move(cursor));
}

namespace {

bool frame_is_leaf(const NodeView& view, const MemNode* mem) {
  return mem ? mem->is_leaf() : view.is_leaf();
}

}  // namespace

std::uint8_t RangeCursor::frame_level(const Frame& f) {
  return f.mem ? f.mem->level : f.view.level();
}

std::size_t RangeCursor::frame_children(const Frame& f) const {
  return f.mem ? f.mem->children.size() : f.view.child_count();
}

Status RangeCursor::push(const MemNode* mem, const ChildPointer& pointer,
                         std::optional<std::uint8_t> level, std::optional<ChildPointer> via) {
  Frame f;
  if (mem) {
    f.mem = mem;
  } else {
    f.view = DZ_TRY(source_->fetch_node(pointer, tree_id_, level));
    f.via = via;
  }
  // Each step down the path is one level down, ending at a leaf: the path
  // is never deeper than the root's level.
  DZ_ASSERT(path_.empty() || frame_level(f) + 1 == frame_level(path_.back()));
  path_.push_back(std::move(f));
  return ok();
}

// Pushes the child the top frame's index names.
Status RangeCursor::push_child() {
  DZ_ASSERT(!path_.empty());
  const Frame& f = path_.back();
  DZ_ASSERT(!frame_is_leaf(f.view, f.mem) && f.index < frame_children(f));
  if (f.mem) {
    const MemChild& child = f.mem->children[f.index];
    return push(child.node.get(), child.pointer, static_cast<std::uint8_t>(f.mem->level - 1),
                child.pointer);
  }
  ChildPointer pointer = f.view.child_at(f.index);
  return push(nullptr, pointer, static_cast<std::uint8_t>(f.view.level() - 1), pointer);
}

Result<bool> RangeCursor::start(const MemNode* mem, const ChildPointer& root) {
  if (!mem && root.page == 0) return false;
  DZ_CHECK(push(mem, root, std::nullopt, std::nullopt));
  // Descend toward the end of the range the read starts from.
  const KeyBound& bound = reverse_ ? upper_ : lower_;
  while (true) {
    Frame& f = path_.back();
    if (frame_is_leaf(f.view, f.mem)) break;
    std::size_t keys = frame_children(f) - 1;
    auto key_at = [&](std::size_t i) -> ByteView {
      return f.mem ? f.mem->key(i) : f.view.key_at(i);
    };
    if (bound.kind == BoundKind::Unbounded) {
      f.index = reverse_ ? keys : 0;
    } else if (reverse_ && bound.kind == BoundKind::Excluded) {
      // The child that holds the greatest key below the bound.
      f.index = partition_point(keys, key_at,
                                [&](ByteView k) { return compare_keys(k, bound.key) >= 0; });
    } else {
      f.index =
          partition_point(keys, key_at, [&](ByteView k) { return compare_keys(k, bound.key) > 0; });
    }
    DZ_CHECK(push_child());
  }
  return true;
}

Status RangeCursor::descend_to_edge(Edge edge) {
  while (true) {
    Frame& f = path_.back();
    if (frame_is_leaf(f.view, f.mem)) return ok();
    f.index = edge == Edge::First ? 0 : frame_children(f) - 1;
    DZ_CHECK(push_child());
  }
}

namespace {

// Reads one byte of every line of a leaf page's slots and cells. The loads
// do not depend on each other, so their cache misses overlap, where a walk
// meets them one entry after another (the slot, then the cell); prefetch
// hints in their place were seen to leave the misses where they were.
// from_page checked that the cells lie between the slots and the stamp.
void load_leaf_lines(const NodeView& view) {
  constexpr std::size_t kLine = 64;
  const std::uint8_t* p = view.page();
  unsigned sum = 0;
  const std::size_t slots_end = kPageContentOffset + node::kSlotSize * view.count();
  for (std::size_t at = kPageContentOffset; at < slots_end; at += kLine) sum += p[at];
  const std::size_t end = view.page_size() - kPageStampSize;
  for (std::size_t at = load_u16_le(p + node::kCellStartOffset); at < end; at += kLine)
    sum += p[at];
  // Keeps the loads, whose sum is otherwise unused.
  asm volatile("" ::"r"(sum));
}

}  // namespace

void RangeCursor::look_ahead() {
  if (path_.size() < 2) return;
  const Frame& parent = path_[path_.size() - 2];
  const bool forward = !reverse_;
  if (forward ? parent.index + 1 >= frame_children(parent) : parent.index == 0) return;
  const std::size_t index = forward ? parent.index + 1 : parent.index - 1;
  ChildPointer pointer;
  if (parent.mem) {
    const MemChild& child = parent.mem->children[index];
    if (child.node) return;
    pointer = child.pointer;
  } else {
    pointer = parent.view.child_at(index);
  }
  // A fetch that fails is left to the step, which fetches the leaf again
  // and reports it.
  auto view = source_->fetch_node(pointer, tree_id_, std::uint8_t{0});
  if (!view) return;
  ahead_ = std::move(*view);
  ahead_forward_ = forward;
  ahead_from_ = ahead_.page();
  ahead_end_ = ahead_from_ + ahead_.page_size();
}

// Asks for three more lines of the leaf fetched ahead, one call per entry
// read: a leaf of small entries has its page asked for before the walk
// reaches it, without so many requests at once that they wait for each
// other. (A hint never faults: the last group may reach past the page.)
void RangeCursor::advance_ahead() {
  __builtin_prefetch(ahead_from_);
  __builtin_prefetch(ahead_from_ + 64);
  __builtin_prefetch(ahead_from_ + 128);
  ahead_from_ += 192;
  if (ahead_from_ >= ahead_end_) ahead_end_ = nullptr;
}

Result<bool> RangeCursor::step_leaf(bool forward) {
  if (path_.empty()) return false;
  // Kept until the next leaf is checked against it.
  Frame left = std::move(path_.back());
  path_.pop_back();
  // The leaf fetched ahead is the parent's next child in its direction.
  NodeView ahead = std::move(ahead_);
  ahead_ = NodeView();
  ahead_from_ = ahead_end_ = nullptr;
  const bool use_ahead = ahead.page() && ahead_forward_ == forward;
  bool parent = true;
  while (!path_.empty()) {
    Frame& f = path_.back();
    bool can_move = forward ? f.index + 1 < frame_children(f) : f.index > 0;
    if (can_move) {
      f.index = forward ? f.index + 1 : f.index - 1;
      if (parent && use_ahead) {
        Frame next;
        next.via = f.mem ? f.mem->children[f.index].pointer : f.view.child_at(f.index);
        next.view = std::move(ahead);
        path_.push_back(std::move(next));
      } else {
        DZ_CHECK(push_child());
      }
      DZ_CHECK(descend_to_edge(forward ? Edge::First : Edge::Last));
      if (load_leaves_)
        if (const NodeView* page = leaf_page()) load_leaf_lines(*page);
      DZ_CHECK(check_step(left, forward));
      return true;
    }
    path_.pop_back();
    parent = false;
  }
  return false;
}

Status RangeCursor::check_step(const Frame& left, bool forward) const {
  // Keys keep moving in the walk's direction from leaf to leaf, and no leaf
  // below the root is empty. A leaf met twice (a crafted file whose
  // branches share children) breaks this at once, so a walk never reads
  // more leaves than the tree has.
  std::size_t count = leaf_count();
  std::size_t left_count = left.mem ? left.mem->entries.size() : left.view.count();
  if (count > 0 && left_count > 0) {
    std::size_t edge = forward ? left_count - 1 : 0;
    ByteView left_key = left.mem ? left.mem->entries[edge].key() : left.view.key_at(edge);
    int order = compare_keys(key_at(forward ? 0 : count - 1), left_key);
    if (forward ? order > 0 : order < 0) return ok();
  }
  const Frame& f = path_.back();
  return fail(source_->corrupted(format_text(
      "page {}: its keys do not follow those of the leaf before it", f.via ? f.via->page : 0)));
}

Result<bool> RangeCursor::next_leaf() { return step_leaf(true); }
Result<bool> RangeCursor::prev_leaf() { return step_leaf(false); }

std::size_t RangeCursor::leaf_count() const {
  DZ_ASSERT(!path_.empty() && frame_is_leaf(path_.back().view, path_.back().mem));
  const Frame& f = path_.back();
  return f.mem ? f.mem->entries.size() : f.view.count();
}

ByteView RangeCursor::key_at(std::size_t slot) const {
  DZ_ASSERT(!path_.empty() && frame_is_leaf(path_.back().view, path_.back().mem));
  const Frame& f = path_.back();
  return f.mem ? f.mem->entries[slot].key() : f.view.key_at(slot);
}

LeafCell RangeCursor::cell_at(std::size_t slot) const {
  DZ_ASSERT(!path_.empty() && frame_is_leaf(path_.back().view, path_.back().mem));
  const Frame& f = path_.back();
  if (!f.mem) return f.view.cell_at(slot);
  return f.mem->entries[slot].cell();
}

const NodeView* RangeCursor::leaf_page() const {
  DZ_ASSERT(!path_.empty() && frame_is_leaf(path_.back().view, path_.back().mem));
  const Frame& f = path_.back();
  return f.mem ? nullptr : &f.view;
}

Result<std::size_t> RangeCursor::leaf_range_end(const KeyBound& bound) const {
  if (path_.empty() || !frame_is_leaf(path_.back().view, path_.back().mem))
    return fail(Error::internal("a range stopped on a branch"));
  if (bound.kind == BoundKind::Unbounded) return leaf_count();
  return partition_point(
      leaf_count(), [&](std::size_t i) { return key_at(i); },
      [&](ByteView k) { return !read::below_upper(k, bound); });
}

std::size_t RangeCursor::leaf_range_start(const KeyBound& bound) const {
  if (bound.kind == BoundKind::Unbounded) return 0;
  return partition_point(
      leaf_count(), [&](std::size_t i) { return key_at(i); },
      [&](ByteView k) { return read::above_lower(k, bound); });
}

std::pair<std::size_t, std::size_t> RangeCursor::leaf_slots() const {
  std::size_t first = leaf_range_start(lower_);
  std::size_t end = upper_.kind == BoundKind::Unbounded
                        ? leaf_count()
                        : partition_point(
                              leaf_count(), [&](std::size_t i) { return key_at(i); },
                              [&](ByteView k) { return !read::below_upper(k, upper_); });
  return {first, std::max(first, end)};
}

std::optional<ChildPointer> RangeCursor::parent_pointer() const {
  if (path_.empty()) return std::nullopt;
  return path_.back().via;
}

Result<ByteView> RangeCursor::value_of(const LeafCell& cell, std::string& buffer) const {
  if (!cell.overflow) return cell.value;
  DZ_CHECK(load::read_overflow_run(*source_, cell.ref, tree_id_, buffer));
  return bytes_view(buffer);
}

bool RangeCursor::range_ends_in_leaf() const {
  auto [first, end] = leaf_slots();
  return reverse_ ? first > 0 : end < leaf_count();
}

void RangeCursor::begin_leaf_walk() {
  auto [first, end] = leaf_slots();
  slot_ = reverse_ ? end : first;
  stop_ = reverse_ ? first : end;
  walk_last_leaf_ = reverse_ ? first > 0 : end < leaf_count();
}

Result<bool> RangeCursor::next(ByteView& key, ByteView& value) {
  if (!walk_started_) {
    walk_started_ = true;
    if (path_.empty()) return false;
    begin_leaf_walk();
    if (!walk_last_leaf_) look_ahead();
  }
  while (!path_.empty()) {
    bool has = reverse_ ? slot_ > stop_ : slot_ < stop_;
    if (has) {
      if (ahead_end_) advance_ahead();
      std::size_t slot = reverse_ ? --slot_ : slot_++;
      LeafCell cell = cell_at(slot);
      key = cell.key;
      value = DZ_TRY(value_of(cell, value_buffer_));
      return true;
    }
    if (walk_last_leaf_) {
      path_.clear();
      return false;
    }
    if (!DZ_TRY(step_leaf(!reverse_))) return false;
    begin_leaf_walk();
    if (!walk_last_leaf_) look_ahead();
  }
  return false;
}

namespace read {

namespace {

Status scan(const ReadContext& cx, const TreeRoot& root, const KeyBound& lower,
            const KeyBound& upper, bool reverse, EntryVisitor visitor, const ScanEnd* at_end) {
  KeyBound from = reverse ? upper : lower;
  while (true) {
    auto cursor = DZ_TRY(
        RangeCursor::open(cx, root, reverse ? lower : from, reverse ? from : upper, reverse));
    if (!cursor) break;
    bool paused = false;
    ByteView key;
    ByteView value;
    while (DZ_TRY(cursor->next(key, value))) {
      VisitAnswer answer = DZ_TRY(visitor(key, value));
      if (answer == VisitAnswer::Stop) return ok();
      if (answer == VisitAnswer::Pause) {
        from = KeyBound::excluded(key);
        paused = true;
        break;
      }
    }
    if (!paused) break;
  }
  if (at_end) return (*at_end)();
  return ok();
}

}  // namespace

Status scan_forward(const ReadContext& cx, const TreeRoot& root, const KeyBound& lower,
                    const KeyBound& upper, EntryVisitor visitor, const ScanEnd* at_end) {
  return scan(cx, root, lower, upper, false, visitor, at_end);
}

Status scan_backward(const ReadContext& cx, const TreeRoot& root, const KeyBound& lower,
                     const KeyBound& upper, EntryVisitor visitor, const ScanEnd* at_end) {
  return scan(cx, root, lower, upper, true, visitor, at_end);
}

}  // namespace read

}  // namespace deziro
