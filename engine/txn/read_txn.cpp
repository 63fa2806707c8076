#include "txn/read_txn.hpp"

#include <algorithm>

#include "invariant.hpp"

namespace deziro {

Result<ReadTxn> ReadTxn::begin(std::shared_ptr<OpenFile> file,
                               std::shared_ptr<const ResolvedSchema> schema) {
  PublishedCommit published = DZ_TRY(file->begin_snapshot());
  return ReadTxn(std::move(file), std::move(schema), published.record);
}

ReadTxn::ReadTxn(std::shared_ptr<OpenFile> file, std::shared_ptr<const ResolvedSchema> schema,
                 CommitRecord record)
    : file_(std::move(file)), schema_(std::move(schema)), record_(record) {}

ReadTxn::ReadTxn(ReadTxn&& other) noexcept
    : schema_confirmed(other.schema_confirmed),
      file_(std::move(other.file_)),
      schema_(std::move(other.schema_)),
      record_(other.record_) {}

ReadTxn& ReadTxn::operator=(ReadTxn&& other) noexcept {
  if (this != &other) {
    end();
    file_ = std::move(other.file_);
    schema_ = std::move(other.schema_);
    record_ = other.record_;
    schema_confirmed = other.schema_confirmed;
  }
  return *this;
}

ReadTxn::~ReadTxn() { end(); }

void ReadTxn::end() {
  if (file_) file_->end_snapshot(record_.txn_id);
  file_.reset();
}

Result<std::optional<TreeDescriptor>> ReadTxn::descriptor(ByteView tree_name) {
  // Begun before a fork: its reader byte is the opener's, so what it sees
  // may be freed.
  DZ_CHECK(file_->check_process());
  DZ_CHECK(catalog::check_tree_name(tree_name, max_key_len()));
  return catalog::find(source(), record_.catalog, tree_name);
}

Result<std::optional<std::vector<std::uint8_t>>> ReadTxn::open_tree(ByteView tree_name,
                                                                    ByteView key) {
  return copy_value(*this, tree_name, key);
}

Result<bool> ReadTxn::get(ByteView tree_name, ByteView key, ValueVisitor visitor) {
  auto d = DZ_TRY(descriptor(tree_name));
  if (!d) return false;
  return btree::get(ReadContext{source(), d->tree_id}, d->root, key, visitor);
}

Result<std::optional<RangeCursor>> ReadTxn::range(ByteView tree_name, const KeyBound& lower,
                                                  const KeyBound& upper, bool reverse) {
  auto d = DZ_TRY(descriptor(tree_name));
  if (!d) return std::nullopt;
  return RangeCursor::open(ReadContext{source(), d->tree_id}, d->root, lower, upper, reverse);
}

Result<std::uint64_t> ReadTxn::tree_len(ByteView tree_name) {
  auto d = DZ_TRY(descriptor(tree_name));
  return d ? d->entry_count : 0;
}

Result<std::unique_ptr<TreeReader>> ReadTxn::tree_reader(ByteView tree_name) {
  auto d = DZ_TRY(descriptor(tree_name));
  if (!d) return nullptr;
  return std::make_unique<RootReader>(source(), d->tree_id, d->root);
}

Error ReadTxn::error_at(std::string message) const {
  return Error::corrupted(file_->path(), std::move(message));
}

Result<bool> ReadTxn::stored_schema_equals(ByteView stored) {
  return schema_bytes_equal(*this, stored);
}

std::size_t BranchMemo::slot_of(std::uint64_t page) const {
  std::size_t i = static_cast<std::size_t>((page * 0x9E3779B97F4A7C15ull) >> 32) & (kSlots - 1);
  while (slots_[i] != 0 && kept_[slots_[i] - 1].pointer.page != page) i = (i + 1) & (kSlots - 1);
  return i;
}

Result<const NodeView*> BranchMemo::node(const ChildPointer& pointer, std::uint64_t tree_id,
                                         std::optional<std::uint8_t> level, NodeView& spare) {
  // A leaf (level 0) is never kept.
  bool keep = level != 0;
  std::size_t slot = 0;
  if (keep && !slots_.empty()) {
    slot = slot_of(pointer.page);
    if (slots_[slot] != 0) {
      const Kept& k = kept_[slots_[slot] - 1];
      // The same image reached the same way; anything else is checked afresh
      // and not kept.
      if (k.pointer == pointer && k.tree_id == tree_id && (!level || k.view.level() == *level))
        return &k.view;
      keep = false;
    }
  }
  spare = DZ_TRY(inner_.fetch_node(pointer, tree_id, level));
  if (!keep || spare.is_leaf() || kept_.size() >= kMaxBranches) return &spare;
  if (slots_.empty()) {
    slots_.assign(kSlots, 0);
    kept_.reserve(kMaxBranches);
    slot = slot_of(pointer.page);
  }
  kept_.push_back(Kept{pointer, tree_id, spare});
  slots_[slot] = static_cast<std::uint16_t>(kept_.size());
  return &kept_.back().view;
}

Result<NodeView> BranchMemo::fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                                        std::optional<std::uint8_t> level) {
  NodeView spare;
  const NodeView* view = DZ_TRY(node(pointer, tree_id, level, spare));
  return *view;
}

Result<bool> RootReader::get(ByteView key, ValueVisitor visitor) {
  if (root_.page == 0) return false;
  // Nodes the cache hands out in place stay valid while the pin lasts: the
  // whole lookup, the visitor included.
  EpochDomain::Pin pin(pins_);
  // A kept leaf is read in place: while a visitor runs, a lookup it makes
  // through this reader keeps no more leaves rather than dropping them.
  NodeView unkept;
  const NodeView* leaf = nullptr;
  Leaf* used = kept_leaf(key);
  if (used)
    leaf = DZ_TRY(view_of(*used, pin.held()));
  else
    used = DZ_TRY(descend(key, pin.held(), unkept, leaf));
  // The slot after the last one found in this leaf, if any was: a leaf
  // just reached has none, and trying its first slot would cost a miss on
  // a cell that random lookups rarely want.
  std::size_t i = used && used->next_slot > 0 ? used->next_slot : leaf->count();
  if (i >= leaf->count() || compare_keys(leaf->key_at(i), key) != 0) {
    i = leaf->lower_bound(key);
    if (i >= leaf->count() || compare_keys(leaf->key_at(i), key) != 0) return false;
  }
  if (used) {
    used->next_slot = static_cast<std::uint16_t>(i + 1);
    // Lookups striding through the tree go next to the leaf that followed
    // this one, at the slot remembered there: its cell is fetched ahead (a
    // borrowed leaf's view is empty, and is not).
    if (used->follow < leaves_.size()) {
      const Leaf& next = leaves_[used->follow];
      if (next.next_slot < next.view.count())
        __builtin_prefetch(next.view.cell_address(next.next_slot));
    }
  }
  const LeafCell cell = leaf->cell_at(i);
  // A value in an overflow run is read by the tree's own lookup.
  if (cell.overflow) return btree::get(ReadContext{memo_, tree_id_}, root_, key, visitor);
  ++visiting_;
  Status visited = visitor(cell.value);
  --visiting_;
  DZ_CHECK(std::move(visited));
  return true;
}

Result<const NodeView*> RootReader::view_of(Leaf& leaf, bool pinned) {
  if (!leaf.borrowed) return &leaf.view;
  if (pinned) {
    if (const NodeView* view = source_.peek_node(leaf.pointer, tree_id_, 0)) return view;
  }
  // Gone from the cache since (or this lookup has no pin): held from now on.
  leaf.view = DZ_TRY(source_.fetch_node(leaf.pointer, tree_id_, 0));
  leaf.borrowed = false;
  return &leaf.view;
}

ByteView RootReader::lower_of(const Leaf& leaf) const {
  return ByteView(bound_bytes() + leaf.lower_at, leaf.lower_size);
}

bool RootReader::before(ByteView key, std::uint64_t prefix, const Start& start) const {
  return compare_headed_keys(prefix, key, start.prefix, lower_of(leaves_[start.leaf])) < 0;
}

bool RootReader::holds(const Leaf& leaf, ByteView key, std::uint64_t prefix) const {
  if (compare_headed_keys(prefix, key, leaf.lower_prefix, lower_of(leaf)) < 0) return false;
  if (!leaf.bounded_above) return true;
  const ByteView upper(bound_bytes() + leaf.upper_at, leaf.upper_size);
  return compare_headed_keys(prefix, key, leaf.upper_prefix, upper) < 0;
}

RootReader::Leaf* RootReader::kept_leaf(ByteView key) {
  const std::uint64_t prefix = key_head(key);
  if (last_ < leaves_.size()) {
    Leaf& last = leaves_[last_];
    if (holds(last, key, prefix)) return &last;
    // Lookups striding through the tree (the records of an index range)
    // come back the same way: try the leaf that followed this one before.
    if (last.follow < leaves_.size() && holds(leaves_[last.follow], key, prefix)) {
      last_ = last.follow;
      return &leaves_[last_];
    }
  }
  // The last leaf whose range starts at or before the key: past every
  // start with a lower prefix and before every one with a higher, and among
  // starts with the key's own prefix by their whole bound.
  std::size_t after = starts_below(prefix, true);
  if (after > 0 && order_[after - 1].prefix == prefix) {
    const auto tied = order_.begin() + static_cast<std::ptrdiff_t>(starts_below(prefix, false));
    after = static_cast<std::size_t>(
        std::upper_bound(tied, order_.begin() + static_cast<std::ptrdiff_t>(after), key,
                         [&](ByteView k, const Start& start) { return before(k, prefix, start); }) -
        order_.begin());
  }
  // No kept leaf holds the key: the leaf a descent then finds for it goes
  // in at `after`.
  missed_at_ = after;
  if (after == 0) return nullptr;
  const std::uint16_t i = order_[after - 1].leaf;
  if (!holds(leaves_[i], key, prefix)) return nullptr;
  moved_to(i);
  return &leaves_[i];
}

std::size_t RootReader::starts_below(std::uint64_t prefix, bool or_equal) const {
  // The answer lies in [base, base + len]; each step halves the length by
  // a conditional add rather than a branch, which random keys would
  // mispredict at every step.
  std::size_t len = order_.size();
  if (len == 0) return 0;
  const Start* base = order_.data();
  while (len > 1) {
    const std::size_t half = len / 2;
    const std::uint64_t p = base[half].prefix;
    base += (or_equal ? p <= prefix : p < prefix) ? half : 0;
    len -= half;
  }
  const std::uint64_t p = base->prefix;
  return static_cast<std::size_t>(base - order_.data()) + (or_equal ? p <= prefix : p < prefix);
}

std::uint32_t RootReader::keep_bound(ByteView bound) {
  const std::size_t at = bounds_.size();
  bounds_.append(reinterpret_cast<const char*>(bound.data()), bound.size());
  return static_cast<std::uint32_t>(at);
}

void RootReader::moved_to(std::size_t leaf) {
  if (last_ < leaves_.size()) leaves_[last_].follow = static_cast<std::uint16_t>(leaf);
  last_ = leaf;
}

Result<RootReader::Leaf*> RootReader::descend(ByteView key, bool pinned, NodeView& unkept,
                                              const NodeView*& node) {
  // The range narrows at every branch to the chosen child's separators,
  // which stay readable while their nodes are held: by the pin, by the
  // memo, or here when neither holds them.
  ByteView lower;
  std::optional<ByteView> upper;
  NodeView lower_node;
  NodeView upper_node;
  NodeView spare;
  ChildPointer pointer = root_;
  std::optional<std::uint8_t> level;
  while (true) {
    const NodeView* found = pinned ? source_.peek_node(pointer, tree_id_, level) : nullptr;
    const bool borrowed = found != nullptr;
    if (!borrowed) found = DZ_TRY(memo_.node(pointer, tree_id_, level, spare));
    const NodeView& view = *found;
    if (view.is_leaf()) {
      // Full while a visitor reads a kept leaf: that leaf must stay.
      if (leaves_.size() >= kMaxLeaves && visiting_ > 0) {
        if (borrowed) {
          node = found;
        } else {
          unkept = std::move(spare);
          node = &unkept;
        }
        return nullptr;
      }
      std::size_t at = missed_at_;
      if (leaves_.size() >= kMaxLeaves) {
        leaves_.clear();
        order_.clear();
        bounds_.clear();
        at = 0;
      } else if (leaves_.empty()) {
        leaves_.reserve(kMaxLeaves);
        order_.reserve(kMaxLeaves);
      }
      Leaf leaf;
      leaf.lower_prefix = key_head(lower);
      leaf.lower_at = keep_bound(lower);
      leaf.lower_size = static_cast<std::uint32_t>(lower.size());
      if (upper) {
        leaf.bounded_above = true;
        leaf.upper_prefix = key_head(*upper);
        leaf.upper_at = keep_bound(*upper);
        leaf.upper_size = static_cast<std::uint32_t>(upper->size());
      }
      leaf.borrowed = borrowed;
      leaf.pointer = pointer;
      if (!borrowed) leaf.view = view;
      const std::uint64_t prefix = leaf.lower_prefix;
      leaves_.push_back(std::move(leaf));
      moved_to(leaves_.size() - 1);
      // The kept ranges stay ordered by their starts, and kept_leaf found
      // where this one goes: a kept range that starts at or before the key
      // starts before `lower`, since the leaves of one tree do not overlap
      // and none of the kept ones holds the key. (Were a damaged tree's
      // ranges to overlap, a lookup would miss a kept leaf and descend
      // again: a leaf is used only for a key its own range holds.)
      DZ_ASSERT(at <= order_.size());
      order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(at),
                    Start{prefix, static_cast<std::uint16_t>(last_)});
      Leaf& kept = leaves_[last_];
      node = borrowed ? found : &kept.view;
      return &kept;
    }
    // The next peek starts with a load of the child's place in the cache's
    // table, a miss of its own below the top levels, which waited for the
    // whole search of this node: the places of the few children the search
    // index leaves are asked for now, and come while the separators are
    // compared.
    const NodeView::SlotRange range = view.narrow(key);
    if (pinned && peek_cache_ != nullptr && range.hi - range.lo <= 8) {
      for (std::size_t i = range.lo; i <= range.hi; ++i)
        peek_cache_->prefetch_place(view.child_page(i));
    }
    const std::size_t c = view.child_index(key, range);
    // The child's entry and page come next: asked for now, they arrive
    // while the range's bounds are taken from this node's separators.
    if (pinned && peek_cache_ != nullptr) peek_cache_->prefetch_entry(view.child_page(c));
    const bool held = &view != &spare;
    if (c > 0 && compare_keys(view.key_at(c - 1), lower) > 0) {
      lower = view.key_at(c - 1);
      if (!held) lower_node = view;
    }
    if (c < view.count() && (!upper || compare_keys(view.key_at(c), *upper) < 0)) {
      upper = view.key_at(c);
      if (!held) upper_node = view;
    }
    pointer = view.child_at(c);
    level = static_cast<std::uint8_t>(view.level() - 1);
  }
}

Result<std::optional<std::vector<std::uint8_t>>> copy_value(TreeAccess& access, ByteView tree_name,
                                                            ByteView key) {
  std::optional<std::vector<std::uint8_t>> out;
  auto visitor = [&](ByteView value) -> Status {
    out.emplace(value.begin(), value.end());
    return ok();
  };
  DZ_CHECK(access.get(tree_name, key, visitor));
  return out;
}

Result<bool> schema_bytes_equal(TreeAccess& access, ByteView stored) {
  bool equal = false;
  auto visitor = [&](ByteView value) -> Status {
    equal = std::ranges::equal(value, stored);
    return ok();
  };
  DZ_CHECK(access.get(bytes_of(kMetaTreeName), bytes_of(kSchemaKey), visitor));
  return equal;
}

}  // namespace deziro
