#include "btree/tree.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "btree/overflow.hpp"
#include "btree/pages_met.hpp"
#include "invariant.hpp"
#include "storage/spare_blocks.hpp"
#include "text_format.hpp"

namespace deziro {

// The one place that reaches into a TreeRoot.
struct TreeOps {
  static std::unique_ptr<MemNode>& mem(TreeRoot& root) { return root.mem_; }
  static EntryArena& arena(TreeRoot& root) { return root.arena_; }
  static const EntryArena& arena(const TreeRoot& root) { return root.arena_; }
  // The context of a change of `root`: its entries take their bytes from
  // the root's arena.
  static WriteContext in_tree(const WriteContext& cx, TreeRoot& root) {
    WriteContext tree_cx = cx;
    tree_cx.arena = &root.arena_;
    return tree_cx;
  }
  static ChildPointer& disk(TreeRoot& root) { return root.disk_; }
  static MemNode*& last_leaf(TreeRoot& root) { return root.last_leaf_; }
  static std::uint32_t& filled_by_appends(TreeRoot& root) { return root.filled_by_appends_; }
  static std::uint32_t filled_by_appends(const TreeRoot& root) { return root.filled_by_appends_; }
  static const MemNode* last_leaf(const TreeRoot& root) {
    return root.mem_ ? root.last_leaf_ : nullptr;
  }
};

static_assert(std::is_trivially_copyable_v<OverflowRef>);

MemKey::MemKey(ByteView bytes)
    : prefix_(key_head(bytes)), size_(static_cast<std::uint32_t>(bytes.size())) {
  std::uint8_t* to = inline_;
  if (size_ > kInline) to = heap_ = new std::uint8_t[size_];
  if (size_ != 0) std::memcpy(to, bytes.data(), size_);
}

MemKey::MemKey(MemKey&& other) noexcept : prefix_(other.prefix_), size_(other.size_) {
  std::memcpy(inline_, other.inline_, kInline);
  other.size_ = 0;
}

MemKey& MemKey::operator=(MemKey&& other) noexcept {
  if (this != &other) {
    if (size_ > kInline) delete[] heap_;
    prefix_ = other.prefix_;
    size_ = other.size_;
    std::memcpy(inline_, other.inline_, kInline);
    other.size_ = 0;
  }
  return *this;
}

EntryArena& EntryArena::operator=(EntryArena&& other) noexcept {
  if (this != &other) {
    blocks_ = std::move(other.blocks_);
    pages_ = std::move(other.pages_);
    at_ = std::exchange(other.at_, nullptr);
    left_ = std::exchange(other.left_, 0);
    held_ = std::exchange(other.held_, 0);
    block_bytes_ = std::exchange(other.block_bytes_, 0);
    other.blocks_.clear();
    other.pages_.clear();
  }
  return *this;
}

void EntryArena::hold(std::shared_ptr<const std::uint8_t> page, std::size_t bytes) {
  // Room for a small commit's leaves at once, rather than growing leaf by
  // leaf.
  if (pages_.empty()) pages_.reserve(16);
  pages_.push_back(std::move(page));
  held_ += bytes;
}

// Small requests are cut from the last block; a request of more than a
// quarter of the largest block has a block of its own, so that little is
// left unused at the end of a block. A new block is as large as the blocks
// before it together: the pages held do not count, or a commit that loads
// a few leaves to change a few entries would take the largest block.
std::uint8_t* EntryArena::allocate(std::size_t n) {
  if (n > left_) {
    const bool own = n > kBlock / 4;
    const std::size_t size = own ? n : std::max(n, std::clamp(block_bytes_, kFirstBlock, kBlock));
    blocks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(size));
    held_ += size;
    block_bytes_ += size;
    if (own) return blocks_.back().get();
    at_ = blocks_.back().get();
    left_ = size;
  }
  std::uint8_t* p = at_;
  at_ += n;
  left_ -= n;
  return p;
}

void EntryArena::clear() { *this = EntryArena(); }

namespace {

thread_local SpareBlocks<SizedBlockShape, 64> t_mem_node_blocks;
thread_local SpareBlocks<SizedBlockShape, 64> t_node_image_blocks;

// A commit loads a few dozen nodes and drops them as it ends: their child
// and entry lists (a few KiB for a branch) are the largest blocks it
// allocates, and each would come from the allocator's bins of memory long
// untouched. Up to 32 lists of each kind wait on the thread for the next
// nodes loaded; a list of 16 KiB or more (a node grown by a large
// transaction) goes back to the allocator. A loaded node's list has room
// for a multiple of 16 children or 8 entries (at most 15 or 7 unused),
// whether it is new or kept.
thread_local SpareLists<MemChild, 16, 32, std::size_t{16} << 10> t_child_lists;
thread_local SpareLists<MemEntry, 8, 32, std::size_t{16} << 10> t_entry_lists;

}  // namespace

MemNode::~MemNode() {
  t_child_lists.keep(children);
  t_entry_lists.keep(entries);
}

void* MemNode::operator new(std::size_t size) { return t_mem_node_blocks.take_or_allocate({size}); }

void MemNode::operator delete(void* block, std::size_t size) noexcept {
  t_mem_node_blocks.keep_or_free(block, {size}, size);
}

void MemNode::DropImage::operator()(const NodeView* image) const noexcept {
  image->~NodeView();
  t_node_image_blocks.keep_or_free(const_cast<NodeView*>(image), {sizeof(NodeView)},
                                   sizeof(NodeView));
}

void MemNode::keep_image(const NodeView& branch) {
  keys_.clear();
  image_.reset();
  static_assert(std::is_nothrow_copy_constructible_v<NodeView>);
  auto* image = new (t_node_image_blocks.take_or_allocate({sizeof(NodeView)})) NodeView(branch);
  image_.reset(image);
  if (const NodeSearchIndex* index = branch.search_index(); index && !index->built())
    image->attach_index(nullptr);
}

std::size_t spare_mem_node_blocks() { return t_mem_node_blocks.count(); }

std::size_t spare_node_image_blocks() { return t_node_image_blocks.count(); }

std::size_t spare_child_lists() { return t_child_lists.count(); }

std::size_t spare_entry_lists() { return t_entry_lists.count(); }

void MemNode::take_keys_from_image() {
  node::collect_keys(*image_, keys_);
  image_.reset();
}

OverflowRef MemEntry::ref() const {
  DZ_ASSERT(overflow_ && tail_len_ == sizeof(OverflowRef));
  OverflowRef ref;
  std::memcpy(&ref, data_ + key_len_, sizeof ref);
  return ref;
}

LeafCell MemEntry::cell() const {
  return LeafCell{key(), value(), overflow_, overflow_ ? ref() : OverflowRef{}};
}

void MemEntry::set_ref(ByteView key, const OverflowRef& ref, EntryArena* arena) {
  std::uint8_t bytes[sizeof ref];
  std::memcpy(bytes, &ref, sizeof ref);
  assign(key, bytes, sizeof ref, true, arena);
}

// The block is replaced unless the key is the entry's own, the new value
// takes the bytes of the old one and they are not a page's.
void MemEntry::assign(ByteView key, const std::uint8_t* tail, std::size_t tail_len, bool overflow,
                      EntryArena* arena) {
  DZ_ASSERT(key.size() <= UINT16_MAX && tail_len <= UINT32_MAX);
  const bool in_place = data_ && !in_page() && key.data() == data_ && tail_len == tail_len_;
  if (!in_place) {
    const std::size_t size = key.size() + tail_len;
    std::uint8_t* block = arena ? arena->allocate(size) : new std::uint8_t[size];
    if (!key.empty()) std::memcpy(block, key.data(), key.size());
    prefix_ = key_head(key);
    key_len_ = static_cast<std::uint16_t>(key.size());
    if (block_ == Block::Own) delete[] data_;
    data_ = block;
    block_ = arena ? Block::Cut : Block::Own;
  }
  if (tail_len != 0) std::memcpy(data_ + key_len_, tail, tail_len);
  tail_len_ = static_cast<std::uint32_t>(tail_len);
  overflow_ = overflow;
}

namespace {

// A neighbour of a node about to change, read to size it up. A page this
// transaction wrote (a leaf written early) is read a few times at most
// before it is loaded and free again: the cache does not keep it.
Result<NodeView> fetch_neighbour(const WriteContext& cx, const ChildPointer& pointer,
                                 std::optional<std::uint8_t> level) {
  if (pointer.commit_id == cx.txn_id) return cx.source.fetch_node_once(pointer, cx.tree_id, level);
  return cx.source.fetch_node(pointer, cx.tree_id, level);
}

using Ops = TreeOps;

std::size_t entry_bytes(LeafLayout layout, std::uint32_t page_size, const MemEntry& e) {
  if (e.overflow()) return node::overflow_cell_size(layout, e.key().size()) + node::kSlotSize;
  return node::leaf_entry_bytes(layout, page_size, e.key().size(), e.value().size());
}

std::size_t separator_bytes(ByteView key) { return node::kBranchKeyOverhead + key.size(); }
std::size_t separator_bytes(const MemKey& key) { return separator_bytes(key.view()); }

std::size_t branch_bytes(const MemNode& n) {
  std::size_t bytes = node::kFirstChildCost;
  for (std::size_t i = 0; i < n.key_count(); ++i) bytes += separator_bytes(n.key(i));
  return bytes;
}

// What the node's entries or separators take in the layout written.
std::size_t counted_bytes(const MemNode& n, LeafLayout layout, std::uint32_t page_size) {
  if (!n.is_leaf()) return branch_bytes(n);
  std::size_t bytes = 0;
  for (const MemEntry& e : n.entries) bytes += entry_bytes(layout, page_size, e);
  return bytes;
}

void recompute_bytes(MemNode& n, LeafLayout layout, std::uint32_t page_size) {
  n.bytes = counted_bytes(n, layout, page_size);
}

// Whether the node's byte count, kept up to date change by change, is what
// its entries or separators add up to (for assertions).
bool bytes_in_step(const MemNode& n, LeafLayout layout, std::uint32_t page_size) {
  return counted_bytes(n, layout, page_size) == n.bytes;
}

// An entry's key against `key`, whose prefix is `prefix`, as `compare_keys`.
int compare_entry(const MemEntry& e, std::uint64_t prefix, ByteView key) {
  return compare_headed_keys(e.prefix(), e.key(), prefix, key);
}

// Entries of a leaf that fits a page take a few dozen lines at most: a
// search asks for them all at once, so that its probes do not wait on one
// miss after another.
constexpr std::size_t kFetchedEntries = 2048 / sizeof(MemEntry);

// The cache lines that `bytes` bytes from `from` on touch.
std::uint32_t lines_of(const void* from, std::size_t bytes) {
  const auto start = reinterpret_cast<std::uintptr_t>(from);
  return static_cast<std::uint32_t>(((start + bytes + 63) >> 6) - (start >> 6));
}

// Asks for `lines` cache lines from the one holding `from` on, ahead of a
// search that will read them.
void fetch_lines(const void* from, std::uint32_t lines) {
  const auto at = reinterpret_cast<std::uintptr_t>(from) & ~std::uintptr_t{63};
  for (std::uint32_t l = 0; l < lines; ++l)
    __builtin_prefetch(reinterpret_cast<const void*>(at + 64 * l));
}

// First entry whose key is >= `key`; `fetch`: ask for the entries' lines
// first (unless a descent already did).
std::size_t entry_lower_bound(const std::vector<MemEntry>& entries, ByteView key,
                              bool fetch = true) {
  const std::uint64_t prefix = key_head(key);
  std::size_t lo = 0;
  std::size_t hi = entries.size();
  if (fetch && hi <= kFetchedEntries)
    fetch_lines(entries.data(), lines_of(entries.data(), hi * sizeof(MemEntry)));
  while (lo < hi) {
    std::size_t mid = (lo + hi) / 2;
    if (compare_entry(entries[mid], prefix, key) < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// The child of an in-memory branch whose range holds `key`. The search
// asks for both possible next probes before each compare while the range
// spans several lines; once it is down to a few separators it asks for
// them, and (given the branch's children) for the children left in its
// range, in one go, so that neither its last probes nor the descent after
// it wait on one miss after another.
std::size_t mem_child_index(const std::vector<MemKey>& keys, ByteView key,
                            const MemChild* children = nullptr) {
  constexpr std::size_t kNear = 4;
  const std::uint64_t prefix = key_head(key);
  const MemKey* k = keys.data();
  std::size_t lo = 0;
  std::size_t hi = keys.size();
  auto probe = [&](std::size_t mid) {
    // The separator's bytes are read only when the heads are equal.
    const std::uint64_t head = k[mid].prefix();
    if (head != prefix ? head < prefix : compare_keys(k[mid].view(), key) <= 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  };
  while (hi - lo > kNear) {
    const std::size_t mid = (lo + hi) / 2;
    __builtin_prefetch(k + lo + (mid - lo) / 2);
    __builtin_prefetch(k + mid + 1 + (hi - mid - 1) / 2);
    probe(mid);
  }
  if (lo < hi) fetch_lines(k + lo, lines_of(k + lo, (hi - lo) * sizeof(MemKey)));
  if (children) {
    // From the first child's node to the last one's probe: what the
    // descent reads of the child it takes.
    const auto* from = reinterpret_cast<const std::uint8_t*>(&children[lo].node);
    const auto* to = reinterpret_cast<const std::uint8_t*>(&children[hi].probe_lines + 1);
    fetch_lines(from, lines_of(from, static_cast<std::size_t>(to - from)));
  }
  while (lo < hi) probe((lo + hi) / 2);
  return lo;
}

// The same for any branch in memory: one that reads its separators in its
// page image searches there.
std::size_t child_index(const MemNode& n, ByteView key, const MemChild* children = nullptr) {
  if (n.image()) return n.image()->child_index(key);
  return mem_child_index(n.held_keys(), key, children);
}

// A leaf's entries after the place of one added or removed move as one
// block of bytes, not one by one: a MemEntry holds nothing that points into
// itself, so its bytes moved are the same entry, and the place they left
// is taken over without being destroyed (its entry lives on where they went).
void insert_entry_at(std::vector<MemEntry>& entries, std::size_t i, MemEntry e) {
  DZ_ASSERT(i <= entries.size());
  entries.emplace_back();
  MemEntry* at = entries.data() + i;
  std::memmove(static_cast<void*>(at + 1), static_cast<const void*>(at),
               (entries.size() - 1 - i) * sizeof(MemEntry));
  ::new (static_cast<void*>(at)) MemEntry(std::move(e));
}

void erase_entry_at(std::vector<MemEntry>& entries, std::size_t i) {
  DZ_ASSERT(i < entries.size());
  MemEntry* at = entries.data() + i;
  std::destroy_at(at);
  std::memmove(static_cast<void*>(at), static_cast<const void*>(at + 1),
               (entries.size() - 1 - i) * sizeof(MemEntry));
  // The last place's entry moved down: a default one that owns nothing
  // takes the place for pop_back to destroy.
  ::new (static_cast<void*>(entries.data() + entries.size() - 1)) MemEntry();
  entries.pop_back();
}

// Moves entries [first, last) of `from` into `to` at `at` (its start or its
// end, so that the two stay in key order) as one block of bytes, as
// insert_entry_at does; `from` closes up behind them. The places that open
// in `to` are default entries, which own nothing and are written over
// without being destroyed; those left at the end of `from` hold stale
// copies, made default again before they are destroyed.
void move_entries(std::vector<MemEntry>& from, std::size_t first, std::size_t last,
                  std::vector<MemEntry>& to, std::size_t at) {
  DZ_ASSERT(first <= last && last <= from.size() && &from != &to);
  DZ_ASSERT(at == 0 || at == to.size());
  const std::size_t n = last - first;
  if (n == 0) return;
  const std::size_t had = to.size();
  to.resize(had + n);
  MemEntry* into = to.data() + at;
  std::memmove(static_cast<void*>(into + n), static_cast<const void*>(into),
               (had - at) * sizeof(MemEntry));
  std::memcpy(static_cast<void*>(into), static_cast<const void*>(from.data() + first),
              n * sizeof(MemEntry));
  MemEntry* src = from.data();
  std::memmove(static_cast<void*>(src + first), static_cast<const void*>(src + last),
               (from.size() - last) * sizeof(MemEntry));
  for (std::size_t k = from.size() - n; k < from.size(); ++k)
    ::new (static_cast<void*>(src + k)) MemEntry();
  from.resize(from.size() - n);
}

// Moves the boundary between two neighbouring leaves' entries, `left`
// then `right` in key order, so that `left` keeps its first `keep` entries
// of the two together.
void shift_boundary(std::vector<MemEntry>& left, std::vector<MemEntry>& right, std::size_t keep) {
  DZ_ASSERT(keep <= left.size() + right.size());
  if (keep < left.size()) {
    move_entries(left, keep, left.size(), right, 0);
  } else {
    move_entries(right, 0, keep - left.size(), left, left.size());
  }
}

bool entry_matches(const std::vector<MemEntry>& entries, std::size_t index, ByteView key) {
  return index < entries.size() && compare_entry(entries[index], key_head(key), key) == 0;
}

// Where a leaf of `sizes` is best cut in two: the first entry at which the
// bytes before it reach half, kept inside [1, n - 1].
std::size_t leaf_cut(const std::vector<MemEntry>& entries, LeafLayout layout,
                     std::uint32_t page_size, std::size_t total) {
  std::size_t prefix = 0;
  std::size_t m = 0;
  while (m < entries.size() && prefix * 2 < total)
    prefix += entry_bytes(layout, page_size, entries[m++]);
  return std::clamp<std::size_t>(m, 1, entries.size() - 1);
}

// The separator of a branch that best cuts it in two; both halves keep at
// least one separator (two children).
std::size_t branch_cut(const std::vector<MemKey>& keys) {
  std::size_t total = 0;
  for (const MemKey& k : keys) total += separator_bytes(k);
  std::size_t best = 1;
  std::size_t best_cost = SIZE_MAX;
  std::size_t left = 0;
  for (std::size_t m = 0; m + 1 < keys.size(); ++m) {
    std::size_t right = total - left - separator_bytes(keys[m]);
    if (m >= 1) {
      std::size_t cost = std::max(left, right);
      if (cost < best_cost) {
        best_cost = cost;
        best = m;
      }
    }
    left += separator_bytes(keys[m]);
  }
  return best;
}

template <typename T>
std::vector<T> take_tail(std::vector<T>& items, std::size_t from) {
  std::vector<T> tail(std::make_move_iterator(items.begin() + from),
                      std::make_move_iterator(items.end()));
  items.erase(items.begin() + from, items.end());
  return tail;
}

// Where the change that overfilled a node landed: its key, and whether the
// node lies on the tree's first or last path (no node before or after it on
// its level).
struct SplitHint {
  ByteView key;
  bool first = false;
  bool last = false;
};

std::size_t branch_span_bytes(const std::vector<MemKey>& keys, std::size_t from, std::size_t to) {
  std::size_t bytes = node::kFirstChildCost;
  for (std::size_t k = from; k < to; ++k) bytes += separator_bytes(keys[k]);
  return bytes;
}

// An entry added past the end of the tree's last node (a sorted load) or
// before the start of its first one (a descending load) leaves the node it
// overfilled as it was, full, and starts a new node with the entry alone;
// later appends fill that one in turn. Answers the leaf cut, or none.
std::optional<std::size_t> edge_leaf_cut(const MemNode& n, LeafLayout layout,
                                         std::uint32_t page_size, const SplitHint& hint) {
  const std::size_t cap = node::capacity(page_size);
  const std::vector<MemEntry>& entries = n.entries;
  auto is_key = [&](const MemEntry& e) { return compare_keys(e.key(), hint.key) == 0; };
  if (hint.last && is_key(entries.back()) &&
      n.bytes - entry_bytes(layout, page_size, entries.back()) <= cap)
    return entries.size() - 1;
  if (hint.first && is_key(entries.front()) &&
      n.bytes - entry_bytes(layout, page_size, entries.front()) <= cap)
    return 1;
  return std::nullopt;
}

// The same for a branch: the separator that moves up when the key's child is
// the last (or the first) one, so that the new branch holds two children.
std::optional<std::size_t> edge_branch_cut(const std::vector<MemKey>& keys, std::uint32_t page_size,
                                           const SplitHint& hint) {
  const std::size_t cap = node::capacity(page_size);
  std::size_t child = mem_child_index(keys, hint.key);
  if (hint.last && child == keys.size() && branch_span_bytes(keys, 0, keys.size() - 2) <= cap)
    return keys.size() - 2;
  if (hint.first && child == 0 && branch_span_bytes(keys, 2, keys.size()) <= cap) return 1;
  return std::nullopt;
}

// Cuts an over-full node into parts that each fit, with the separators
// between them: at its byte midpoint, or at the tree's edge for a hint that
// lands there.
void split_node(std::unique_ptr<MemNode> n, LeafLayout layout, std::uint32_t page_size,
                std::vector<std::unique_ptr<MemNode>>& parts, std::vector<MemKey>& seps,
                const SplitHint* hint = nullptr) {
  const std::size_t cap = node::capacity(page_size);
  if (n->bytes <= cap) {
    parts.push_back(std::move(n));
    return;
  }
  auto right = std::make_unique<MemNode>();
  right->level = n->level;
  MemKey sep;
  if (n->is_leaf()) {
    DZ_ASSERT(n->entries.size() >= 2);
    std::optional<std::size_t> edge;
    if (hint) edge = edge_leaf_cut(*n, layout, page_size, *hint);
    std::size_t m = edge ? *edge : leaf_cut(n->entries, layout, page_size, n->bytes);
    // A leaf an append starts is filled by the appends that follow, as
    // far as the one it leaves behind: its room is taken at once.
    if (edge) right->entries.reserve(n->entries.size());
    move_entries(n->entries, m, n->entries.size(), right->entries, 0);
    sep = MemKey(right->entries.front().key());
    for (const MemEntry& e : right->entries) right->bytes += entry_bytes(layout, page_size, e);
    n->bytes -= right->bytes;
  } else {
    std::vector<MemKey>& keys = n->keys();
    DZ_ASSERT(keys.size() >= 3);
    std::optional<std::size_t> edge;
    if (hint) edge = edge_branch_cut(keys, page_size, *hint);
    std::size_t m = edge ? *edge : branch_cut(keys);
    right->keys() = take_tail(keys, m + 1);
    right->children = take_tail(n->children, m + 1);
    sep = std::move(keys.back());
    keys.pop_back();
    DZ_ASSERT(n->children.size() == keys.size() + 1 &&
              right->children.size() == right->key_count() + 1);
    recompute_bytes(*n, layout, page_size);
    recompute_bytes(*right, layout, page_size);
  }
  split_node(std::move(n), layout, page_size, parts, seps);
  seps.push_back(std::move(sep));
  split_node(std::move(right), layout, page_size, parts, seps);
}

// What a branch's separators take, read in its page.
std::size_t branch_image_bytes(const NodeView& branch) {
  return node::kFirstChildCost + node::kBranchKeyOverhead * branch.count() +
         branch.separator_key_bytes();
}

MemNode to_mem_node(const NodeView& view, LeafLayout layout, EntryArena* arena) {
  MemNode n;
  n.level = view.level();
  if (view.is_leaf()) {
    n.entries = node::collect_entries(view, arena, layout, n.bytes);
  } else {
    node::collect_children(view, n.children);
    n.keep_image(view);
    n.bytes = branch_image_bytes(view);
  }
  DZ_ASSERT(bytes_in_step(n, layout, view.page_size()));
  return n;
}

Status read_value(const ReadContext& cx, const LeafCell& cell, std::string& buffer,
                  ValueVisitor visitor) {
  if (!cell.overflow) return visitor(cell.value);
  DZ_CHECK(load::read_overflow_run(cx.source, cell.ref, cx.tree_id, buffer));
  return visitor(bytes_view(buffer));
}

// Finds the key; hands its value to `visitor` when one is given, and reads
// nothing of the value otherwise.
Result<bool> lookup(const ReadContext& cx, const MemNode* mem, ChildPointer pointer, ByteView key,
                    const ValueVisitor* visitor) {
  std::optional<std::uint8_t> level;
  std::string buffer;
  while (true) {
    if (mem) {
      if (mem->is_leaf()) {
        std::size_t i = entry_lower_bound(mem->entries, key);
        if (!entry_matches(mem->entries, i, key)) return false;
        if (!visitor) return true;
        DZ_CHECK(read_value(cx, mem->entries[i].cell(), buffer, *visitor));
        return true;
      }
      const MemChild& child = mem->children[child_index(*mem, key)];
      level = static_cast<std::uint8_t>(mem->level - 1);
      if (child.node) {
        mem = child.node.get();
      } else {
        pointer = child.pointer;
        mem = nullptr;
      }
      continue;
    }
    if (pointer.page == 0) return false;
    NodeView view = DZ_TRY(cx.source.fetch_node(pointer, cx.tree_id, level));
    if (view.is_leaf()) {
      std::size_t i = view.lower_bound(key);
      if (i >= view.count() || compare_keys(view.key_at(i), key) != 0) return false;
      if (!visitor) return true;
      DZ_CHECK(read_value(cx, view.cell_at(i), buffer, *visitor));
      return true;
    }
    pointer = view.child_at(view.child_index(key));
    level = static_cast<std::uint8_t>(view.level() - 1);
  }
}

Result<MemNode*> touch_child(const WriteContext& cx, MemNode& parent, std::size_t i) {
  MemChild& child = parent.children[i];
  if (!child.node)
    child.node =
        DZ_TRY(format::load_child(cx, child.pointer, static_cast<std::uint8_t>(parent.level - 1)));
  return child.node.get();
}

Result<MemNode*> touch_root(const WriteContext& cx, TreeRoot& root, bool create) {
  std::unique_ptr<MemNode>& mem = Ops::mem(root);
  if (mem) return mem.get();
  ChildPointer& disk = Ops::disk(root);
  if (disk.page != 0) {
    mem = DZ_TRY(format::load_child(cx, disk, std::nullopt));
    disk = ChildPointer{};
    return mem.get();
  }
  if (!create) return nullptr;
  mem = std::make_unique<MemNode>();
  return mem.get();
}

// Merges children a and a + 1 of `parent`, or moves entries between them
// when both do not fit one node.
Status rebalance(const WriteContext& cx, MemNode& parent, std::size_t a) {
  const std::uint32_t page_size = cx.source.page_size();
  const std::size_t cap = node::capacity(page_size);
  MemNode* left = DZ_TRY(touch_child(cx, parent, a));
  MemNode* right = DZ_TRY(touch_child(cx, parent, a + 1));
  std::vector<MemKey>& parent_keys = parent.keys();
  if (left->is_leaf()) {
    std::size_t total = left->bytes + right->bytes;
    move_entries(right->entries, 0, right->entries.size(), left->entries, left->entries.size());
    if (total <= cap) {
      left->bytes = total;
      parent.children.erase(parent.children.begin() + a + 1);
      parent_keys.erase(parent_keys.begin() + a);
    } else {
      move_entries(left->entries, leaf_cut(left->entries, cx.layout, page_size, total),
                   left->entries.size(), right->entries, 0);
      recompute_bytes(*left, cx.layout, page_size);
      recompute_bytes(*right, cx.layout, page_size);
      parent_keys[a] = MemKey(right->entries.front().key());
    }
  } else {
    std::vector<MemKey>& left_keys = left->keys();
    std::vector<MemKey>& right_keys = right->keys();
    MemKey& sep = parent_keys[a];
    std::size_t merged = left->bytes + right->bytes + separator_bytes(sep) - node::kFirstChildCost;
    left_keys.push_back(std::move(sep));
    std::move(right_keys.begin(), right_keys.end(), std::back_inserter(left_keys));
    std::move(right->children.begin(), right->children.end(), std::back_inserter(left->children));
    right_keys.clear();
    right->children.clear();
    if (merged <= cap) {
      left->bytes = merged;
      parent.children.erase(parent.children.begin() + a + 1);
      parent_keys.erase(parent_keys.begin() + a);
    } else {
      std::size_t m = branch_cut(left_keys);
      right_keys = take_tail(left_keys, m + 1);
      right->children = take_tail(left->children, m + 1);
      parent_keys[a] = std::move(left_keys.back());
      left_keys.pop_back();
      recompute_bytes(*left, cx.layout, page_size);
      recompute_bytes(*right, cx.layout, page_size);
      DZ_ASSERT(left->children.size() == left_keys.size() + 1 &&
                right->children.size() == right_keys.size() + 1);
    }
  }
  DZ_ASSERT(parent.children.size() == parent_keys.size() + 1);
  recompute_bytes(parent, cx.layout, page_size);
  return ok();
}

// An over-full leaf shares its entries with its emptier neighbour before
// it splits, so that leaves filled by random inserts stay fuller than the
// half a split leaves: the two are cut evenly in two when that leaves each
// at most `kShareFill` sixteenths of the room, else in three.
constexpr std::size_t kShareFill = 15;

// The bytes of child `s` of `parent` as it stands: its node in memory, else
// its page read without loading it for writing.
Result<std::size_t> child_bytes(const WriteContext& cx, const MemNode& parent, std::size_t s) {
  const MemChild& child = parent.children[s];
  if (child.node) return child.node->bytes;
  NodeView view =
      DZ_TRY(fetch_neighbour(cx, child.pointer, static_cast<std::uint8_t>(parent.level - 1)));
  return std::size_t{view.used_bytes()};
}

struct Neighbour {
  std::size_t index;
  std::size_t bytes;
};

// Of the children beside child `i` of `parent`, the one holding fewer bytes;
// none for an only child.
Result<std::optional<Neighbour>> emptier_neighbour(const WriteContext& cx, const MemNode& parent,
                                                   std::size_t i) {
  std::optional<Neighbour> least;
  for (std::size_t n : {i - 1, i + 1}) {
    if (n >= parent.children.size()) continue;
    const std::size_t bytes = DZ_TRY(child_bytes(cx, parent, n));
    if (!least || bytes < least->bytes) least = Neighbour{n, bytes};
  }
  return least;
}

// The entries of two neighbouring leaves taken together, the left one's
// then the right one's. The bytes before a place are found by walking
// from the boundary between the two, whose count is known, so that
// finding a cut near it measures the few entries between, not every entry
// of the two.
class LeafPair {
 public:
  LeafPair(const MemNode& left, const MemNode& right, LeafLayout layout, std::uint32_t page_size)
      : left_(left.entries),
        right_(right.entries),
        left_bytes_(left.bytes),
        total_(left.bytes + right.bytes),
        layout_(layout),
        page_size_(page_size) {}

  std::size_t count() const { return left_.size() + right_.size(); }
  std::size_t total() const { return total_; }

  struct Cut {
    std::size_t at = 0;     // the first entry after the cut
    std::size_t bytes = 0;  // the bytes of the entries before it
  };

  // The cut nearer to `goal` bytes of the two on either side of it.
  Cut nearest(std::size_t goal) const {
    Cut c{left_.size(), left_bytes_};
    // To the last cut with at most `goal` bytes before it.
    while (c.bytes > goal) c.bytes -= size(--c.at);
    while (c.at < count() && c.bytes + size(c.at) <= goal) c.bytes += size(c.at++);
    if (c.at < count()) {
      const std::size_t next = size(c.at);
      if (goal - c.bytes > c.bytes + next - goal) c = Cut{c.at + 1, c.bytes + next};
    }
    return c;
  }

 private:
  std::size_t size(std::size_t i) const {
    const MemEntry& e = i < left_.size() ? left_[i] : right_[i - left_.size()];
    return entry_bytes(layout_, page_size_, e);
  }

  const std::vector<MemEntry>& left_;
  const std::vector<MemEntry>& right_;
  std::size_t left_bytes_;
  std::size_t total_;
  LeafLayout layout_;
  std::uint32_t page_size_;
};

// Where the pair is cut into `parts` (2 or 3) runs of about equal bytes;
// none when a run would be empty or over `cap` bytes.
struct EvenCuts {
  std::array<LeafPair::Cut, 2> cuts;
  std::size_t count = 0;
};
std::optional<EvenCuts> even_cuts(const LeafPair& pair, std::size_t parts, std::size_t cap) {
  DZ_ASSERT(parts == 2 || parts == 3);
  EvenCuts out;
  LeafPair::Cut last;
  for (std::size_t part = 1; part < parts; ++part) {
    const LeafPair::Cut c = pair.nearest(pair.total() * part / parts);
    if (c.at <= last.at || c.bytes - last.bytes > cap || c.at == pair.count()) return std::nullopt;
    out.cuts[out.count++] = c;
    last = c;
  }
  if (pair.total() - last.bytes > cap) return std::nullopt;
  return out;
}

// Shares over-full leaf `i` of `parent` with its emptier neighbour: cut
// evenly in two, or in three when two would be nearly full. Answers false,
// having changed nothing (but loading the two for writing), when the leaf
// has no neighbour or the cut leaves a part over the room.
Result<bool> share_with_neighbour(const WriteContext& cx, MemNode& parent, std::size_t i) {
  const std::uint32_t page_size = cx.source.page_size();
  const std::size_t cap = node::capacity(page_size);
  auto n = DZ_TRY(emptier_neighbour(cx, parent, i));
  if (!n) return false;
  const std::size_t a = std::min(i, n->index);
  MemNode* left = DZ_TRY(touch_child(cx, parent, a));
  MemNode* right = DZ_TRY(touch_child(cx, parent, a + 1));
  const LeafPair pair(*left, *right, cx.layout, page_size);
  const std::size_t total = pair.total();
  // Three parts of fewer bytes could fall under a quarter of the room.
  const std::size_t parts = 16 * total <= 2 * kShareFill * cap ? 2 : 3;
  const std::optional<EvenCuts> even = even_cuts(pair, parts, cap);
  if (!even) return false;
  const LeafPair::Cut first = even->cuts[0];
  // The byte counts follow from the cuts: no entry is measured again.
  const std::size_t right_bytes = (even->count == 2 ? even->cuts[1].bytes : total) - first.bytes;
  // Only the entries that change leaves move, as blocks of bytes: the
  // third part first takes what lies past the second cut, from the right
  // leaf and then, were the cut in the left one, from its end too.
  std::unique_ptr<MemNode> third;
  if (even->count == 2) {
    const LeafPair::Cut second = even->cuts[1];
    third = std::make_unique<MemNode>();
    third->bytes = total - second.bytes;
    const std::size_t left_count = left->entries.size();
    shift_boundary(right->entries, third->entries,
                   second.at > left_count ? second.at - left_count : 0);
    shift_boundary(left->entries, third->entries, std::min(second.at, left_count));
  }
  shift_boundary(left->entries, right->entries, first.at);
  if (third) {
    std::vector<MemKey>& parent_keys = parent.keys();
    MemKey& sep =
        *parent_keys.insert(parent_keys.begin() + a + 1, MemKey(third->entries.front().key()));
    parent.bytes += separator_bytes(sep);
    parent.children.insert(parent.children.begin() + a + 2,
                           MemChild{ChildPointer{}, std::move(third)});
  }
  std::vector<MemKey>& parent_keys = parent.keys();
  parent.bytes -= separator_bytes(parent_keys[a]);
  parent_keys[a] = MemKey(right->entries.front().key());
  parent.bytes += separator_bytes(parent_keys[a]);
  left->bytes = first.bytes;
  right->bytes = right_bytes;
  DZ_ASSERT(parent.children.size() == parent_keys.size() + 1);
  DZ_ASSERT(bytes_in_step(*left, cx.layout, page_size) &&
            bytes_in_step(*right, cx.layout, page_size) &&
            bytes_in_step(parent, cx.layout, page_size));
  return true;
}

// A leaf that a change shrank under half of its room merges with its
// emptier neighbour when the two fill at most `kMergeFill` sixteenths of
// one node: deletes spread over many leaves (half of the keys, at random)
// then leave them well filled rather than half empty, and the transaction
// writes fewer leaves. The room left keeps the next inserts from splitting
// the merged leaf at once.
constexpr std::size_t kMergeFill = 15;

// The first of the two children that merge when leaf `i` merges with its
// emptier neighbour, none when the two would not fit.
Result<std::optional<std::size_t>> merge_partner(const WriteContext& cx, const MemNode& parent,
                                                 std::size_t i) {
  const std::size_t cap = node::capacity(cx.source.page_size());
  auto n = DZ_TRY(emptier_neighbour(cx, parent, i));
  if (!n || 16 * (parent.children[i].node->bytes + n->bytes) > kMergeFill * cap)
    return std::nullopt;
  return std::min(i, n->index);
}

// Brings child i back within its node's limits after a change below it
// (`hint`: where it landed; `before`: the child's bytes before it). A child
// under a quarter of its room that did not shrink is one an edge split
// started, left to fill.
Status repair_child(const WriteContext& cx, MemNode& parent, std::size_t i, const SplitHint& hint,
                    std::size_t before) {
  const std::uint32_t page_size = cx.source.page_size();
  const std::size_t cap = node::capacity(page_size);
  MemNode& child = *parent.children[i].node;
  if (child.bytes > cap && child.is_leaf() && !edge_leaf_cut(child, cx.layout, page_size, hint) &&
      DZ_TRY(share_with_neighbour(cx, parent, i))) {
    return ok();
  }
  if (child.bytes > cap) {
    std::vector<std::unique_ptr<MemNode>> parts;
    std::vector<MemKey> seps;
    split_node(std::move(parent.children[i].node), cx.layout, page_size, parts, seps, &hint);
    for (const MemKey& sep : seps) parent.bytes += separator_bytes(sep);
    std::vector<MemChild> replaced;
    for (auto& part : parts) replaced.push_back(MemChild{ChildPointer{}, std::move(part)});
    parent.children.erase(parent.children.begin() + i);
    parent.children.insert(parent.children.begin() + i, std::make_move_iterator(replaced.begin()),
                           std::make_move_iterator(replaced.end()));
    std::vector<MemKey>& parent_keys = parent.keys();
    parent_keys.insert(parent_keys.begin() + i, std::make_move_iterator(seps.begin()),
                       std::make_move_iterator(seps.end()));
    DZ_ASSERT(parent.children.size() == parent_keys.size() + 1);
    DZ_ASSERT(bytes_in_step(parent, cx.layout, page_size));
    for (std::size_t p = i; p <= i + seps.size(); ++p)
      DZ_ASSERT(bytes_in_step(*parent.children[p].node, cx.layout, page_size));
  } else if (child.bytes < before && parent.children.size() > 1) {
    if (child.bytes < cap / 4) {
      DZ_CHECK(rebalance(cx, parent, i + 1 < parent.children.size() ? i : i - 1));
    } else if (child.is_leaf() && child.bytes < cap / 2) {
      if (auto a = DZ_TRY(merge_partner(cx, parent, i))) DZ_CHECK(rebalance(cx, parent, *a));
    }
  }
  return ok();
}

// How a change of the key's leaf finds the key's place there.
enum class LeafPlace : std::uint8_t {
  Search,   // a search of the leaf's entries
  Fetched,  // the same, their lines already asked for by the descent
  End,      // the key lies past every key of the leaf (an append): the end
};
using LeafChange = FunctionRef<Status(MemNode& leaf, LeafPlace place)>;

// Records where a search of the child's node will first read: a leaf's
// entries, a branch's middle separator.
void note_probe(MemChild& c, const MemNode& child) {
  if (child.is_leaf()) {
    c.probe = child.entries.data();
    c.probe_lines = child.entries.size() <= kFetchedEntries
                        ? lines_of(c.probe, child.entries.size() * sizeof(MemEntry))
                        : 1;
  } else {
    c.probe = child.image()
                  ? static_cast<const void*>(child.image()->cell_address(child.key_count() / 2))
                  : child.held_keys().data() + child.key_count() / 2;
    c.probe_lines = 1;
  }
}

// Asked before the descent loads a node on disk for writing: whether it
// goes on (else nothing below changes, and the descent ends there).
using DiskGate = FunctionRef<Result<bool>(const ChildPointer& pointer)>;

// Descends to the key's leaf loading nodes for writing, changes it, and
// repairs every node on the way back up. `first` and `last`: whether `n`
// lies on the tree's first or last path; `fetched`: the descent asked for
// the lines of `n`'s entries.
Status change_subtree(const WriteContext& cx, MemNode& n, ByteView key, LeafChange change,
                      bool first, bool last, const DiskGate* gate, bool fetched = false) {
  if (n.is_leaf()) return change(n, fetched ? LeafPlace::Fetched : LeafPlace::Search);
  std::size_t i = child_index(n, key, n.children.data());
  // The child's node and the lines its search reads first are asked for
  // together: these do not wait for the node. Every level asks, the few
  // nodes near the root too: asking at the two lowest levels only ran
  // fewer instructions but made random loads slower.
  __builtin_prefetch(n.children[i].node.get());
  fetch_lines(n.children[i].probe, n.children[i].probe_lines);
  if (gate && !n.children[i].node && !DZ_TRY((*gate)(n.children[i].pointer))) return ok();
  MemNode* child = DZ_TRY(touch_child(cx, n, i));
  const std::size_t before = child->bytes;
  const SplitHint hint{key, first && i == 0, last && i + 1 == n.children.size()};
  // The probe asked for is the leaf's entries unless they moved since.
  const bool asked = child->is_leaf() && n.children[i].probe == child->entries.data();
  DZ_CHECK(change_subtree(cx, *child, key, change, hint.first, hint.last, gate, asked));
  note_probe(n.children[i], *child);
  return repair_child(cx, n, i, hint, before);
}

// Grows a new root above a root that no longer fits, collapses a branch
// root with one child, and empties a tree whose root leaf has no entry.
Status repair_root(const WriteContext& cx, TreeRoot& root, ByteView key) {
  const std::uint32_t page_size = cx.source.page_size();
  const SplitHint hint{key, true, true};
  std::unique_ptr<MemNode>& mem = Ops::mem(root);
  while (mem) {
    if (mem->bytes > node::capacity(page_size)) {
      std::uint8_t level = mem->level;
      std::vector<std::unique_ptr<MemNode>> parts;
      std::vector<MemKey> seps;
      split_node(std::move(mem), cx.layout, page_size, parts, seps, &hint);
      mem = std::make_unique<MemNode>();
      mem->level = static_cast<std::uint8_t>(level + 1);
      for (auto& part : parts) mem->children.push_back(MemChild{ChildPointer{}, std::move(part)});
      mem->keys() = std::move(seps);
      recompute_bytes(*mem, cx.layout, page_size);
    } else if (!mem->is_leaf() && mem->children.size() == 1) {
      DZ_CHECK(touch_child(cx, *mem, 0));
      std::unique_ptr<MemNode> child = std::move(mem->children[0].node);
      mem = std::move(child);
    } else if (mem->is_leaf() && mem->entries.empty()) {
      mem.reset();
      Ops::disk(root) = ChildPointer{};
    } else {
      break;
    }
  }
  return ok();
}

// The leaf at the end of the tree when the whole path down to it is in
// memory, or null.
MemNode* last_leaf_in_memory(MemNode* n) {
  while (n && !n->is_leaf()) n = n->children.back().node.get();
  return n;
}

// Whether `key` lies past every key of the tree's last leaf known in memory.
bool past_the_end(const MemNode* last, ByteView key) {
  return last && !last->entries.empty() && compare_keys(key, last->entries.back().key()) > 0;
}

Status change_tree(const WriteContext& cx, TreeRoot& root, ByteView key, LeafChange change,
                   const DiskGate* gate = nullptr) {
  auto nothing = [](MemNode&, LeafPlace) { return ok(); };
  MemNode*& last = Ops::last_leaf(root);
  if (Ops::mem(root) && past_the_end(last, key)) {
    // An append (a sorted load): the key's leaf is the last one, reached
    // without a descent. A leaf that grew and still fits needs no repair on
    // its path; otherwise the path is walked again, changing nothing, and
    // repaired as after any change.
    const std::size_t before = last->bytes;
    MemNode* leaf = last;
    last = nullptr;
    DZ_CHECK(change(*leaf, LeafPlace::End));
    if (leaf->bytes >= before && leaf->bytes <= node::capacity(cx.source.page_size())) {
      last = leaf;
      return ok();
    }
    // The leaf is full: the walk below leaves it behind and starts the next.
    if (leaf->bytes > node::capacity(cx.source.page_size())) ++Ops::filled_by_appends(root);
    change = nothing;
  }
  last = nullptr;
  MemNode* top = DZ_TRY(touch_root(cx, root, true));
  DZ_CHECK(change_subtree(cx, *top, key, change, true, true, gate));
  DZ_CHECK(repair_root(cx, root, key));
  last = last_leaf_in_memory(Ops::mem(root).get());
  return ok();
}

void release_run(const WriteContext& cx, const MemEntry& e) {
  if (!e.overflow()) return;
  const OverflowRef ref = e.ref();
  cx.sink.release_pages(ref.first_page, ref.page_count);
}

// The key's place in its leaf, found as `place` says, and whether the
// entry there holds the key.
struct KeyPlace {
  std::size_t at;
  bool found;
};
KeyPlace find_place(const MemNode& leaf, ByteView key, LeafPlace place) {
  if (place == LeafPlace::End) return {leaf.entries.size(), false};
  const std::size_t i = entry_lower_bound(leaf.entries, key, place == LeafPlace::Search);
  return {i, entry_matches(leaf.entries, i, key)};
}

// Stores `value` under `key` at place `i` of the key's leaf, in the entry
// there when `found`, else in a new one; answers whether it added one.
bool store_at(const WriteContext& cx, MemNode& leaf, std::size_t i, bool found, ByteView key,
              ByteView value) {
  const std::uint32_t page_size = cx.source.page_size();
  if (found) {
    MemEntry& e = leaf.entries[i];
    release_run(cx, e);
    leaf.bytes -= entry_bytes(cx.layout, page_size, e);
    e.set_value(value, cx.arena);
    leaf.bytes += entry_bytes(cx.layout, page_size, e);
    return false;
  }
  if (i == leaf.entries.size()) {
    // At the end (an append): made in its place, nothing moves.
    leaf.bytes +=
        entry_bytes(cx.layout, page_size, leaf.entries.emplace_back(key, value, cx.arena));
    return true;
  }
  MemEntry e(key, value, cx.arena);
  leaf.bytes += entry_bytes(cx.layout, page_size, e);
  insert_entry_at(leaf.entries, i, std::move(e));
  return true;
}

// What a change of one entry does to it, decided from the entry as stored.
enum class EntryAction : std::uint8_t { Keep, Store, Remove };

// Does `action` to the key's entry at `place` of its leaf; a Store stores
// `value`.
Status apply_action(const WriteContext& cx, MemNode& leaf, KeyPlace place, ByteView key,
                    EntryAction action, std::string_view value) {
  switch (action) {
    case EntryAction::Keep:
      return ok();
    case EntryAction::Store:
      store_at(cx, leaf, place.at, place.found, key,
               ByteView(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
      return ok();
    case EntryAction::Remove:
      if (!place.found)
        return fail(Error::internal("a key found in a tree was gone when it was removed"));
      release_run(cx, leaf.entries[place.at]);
      leaf.bytes -= entry_bytes(cx.layout, cx.source.page_size(), leaf.entries[place.at]);
      erase_entry_at(leaf.entries, place.at);
      return ok();
  }
  return ok();
}

// Given the stored value (null when the key is absent), answers the action;
// the value a Store stores is written into `out`.
using EntryDecision = FunctionRef<Result<EntryAction>(const ByteView* stored, std::string& out)>;

// Called with the key's leaf once a change_entry has changed it (and only
// then: an entry kept on disk loads no leaf), before its path is repaired.
using LeafFollowUp = FunctionRef<Status(MemNode& leaf)>;

// The action that makes an entry hold `value`, or be absent when none is
// given, from the value `held` (null when absent), which `stored` sees
// first when given.
Result<EntryAction> setting_action(const ByteView* held, std::optional<ByteView> value,
                                   ByteView key, const btree::SettingVisitor* stored,
                                   std::string& out) {
  if (held && stored) DZ_CHECK((*stored)(key, *held));
  if (!value) return held ? EntryAction::Remove : EntryAction::Keep;
  if (held && std::ranges::equal(*held, *value)) return EntryAction::Keep;
  out.assign(value->begin(), value->end());
  return EntryAction::Store;
}

// Changes the key's entry as `decide` answers, in one descent. The nodes of
// the key's path already in memory are followed; below the first one that
// is not, the key is looked up in the pages as a read would, and the path is
// loaded for writing only when the action is not Keep, so that an entry left
// as it was leaves the tree as it was. `decide` is called once, before
// anything changes; `read_stored`: whether it is given the stored value (an
// overflow run read whole), else an empty one that only tells the key is
// present. `cx` is the tree's (`TreeOps::in_tree`).
Result<EntryAction> change_entry(const WriteContext& cx, TreeRoot& root, ByteView key,
                                 bool read_stored, EntryDecision decide,
                                 const LeafFollowUp* then = nullptr) {
  std::optional<EntryAction> action;
  std::string out;
  std::string buffer;
  auto decide_stored = [&](ByteView stored) -> Status {
    action = DZ_TRY(decide(&stored, out));
    return ok();
  };
  const ValueVisitor decide_present = decide_stored;
  auto decide_absent = [&]() -> Status {
    action = DZ_TRY(decide(nullptr, out));
    return ok();
  };
  auto decide_on_disk = [&](const ChildPointer& pointer) -> Status {
    if (pointer.page == 0 ||
        !DZ_TRY(lookup(cx.read(), nullptr, pointer, key, read_stored ? &decide_present : nullptr)))
      return decide_absent();
    if (!read_stored) return decide_present(ByteView{});
    return ok();
  };
  if (!root.in_memory()) {
    DZ_CHECK(decide_on_disk(root.disk()));
    if (*action == EntryAction::Keep) return *action;
  }
  auto load_below = [&](const ChildPointer& pointer) -> Result<bool> {
    if (!action) DZ_CHECK(decide_on_disk(pointer));
    return *action != EntryAction::Keep;
  };
  const DiskGate gate = load_below;
  auto change = [&](MemNode& leaf, LeafPlace place) -> Status {
    const auto [i, found] = find_place(leaf, key, place);
    if (!action && !found) DZ_CHECK(decide_absent());
    if (!action && !read_stored) DZ_CHECK(decide_present(ByteView{}));
    if (!action) DZ_CHECK(read_value(cx.read(), leaf.entries[i].cell(), buffer, decide_present));
    DZ_CHECK(apply_action(cx, leaf, {i, found}, key, *action, out));
    if (then) DZ_CHECK((*then)(leaf));
    return ok();
  };
  DZ_CHECK(change_tree(cx, root, key, change, &gate));
  return *action;
}

// What one write of nodes lays pages out with: the page and the builders'
// item lists, reused from node to node so that a write allocates nothing
// per node but the pages the sink keeps.
struct NodeWriter {
  explicit NodeWriter(std::uint32_t page_size) : page_size(page_size) {}
  // The buffer to build the next node in: the last one's, unless the sink
  // kept it.
  std::span<std::uint8_t> next_page() {
    if (page.size() == 0) page = AlignedBuffer(page_size);
    return page.span();
  }
  std::uint32_t page_size;
  AlignedBuffer page;
  std::vector<LeafItem> items;
  std::vector<OverflowRef> refs;
  std::vector<ChildPointer> pointers;
  std::vector<ByteView> keys;
};

Result<ChildPointer> write_subtree(const WriteContext& cx, MemNode& n, NodeWriter& w) {
  const std::uint32_t page_size = cx.source.page_size();
  // The layout writes without bounds checks, so a node that would not fit
  // its page (a bug above) stops here: its bytes are counted again, in the
  // pass that readies a leaf's entries. A branch that still reads its
  // separators in its page image holds that page's separators: its count
  // from the load stands.
  auto check_fits = [&]() -> Status {
    if (n.bytes > node::capacity(page_size) ||
        (!n.is_leaf() && n.key_count() + 1 != n.children.size()))
      return fail(
          Error::internal(format_text("a node of {} bytes does not fit its page", n.bytes)));
    return ok();
  };
  if (n.is_leaf()) {
    w.items.clear();
    w.refs.clear();
    // Sized at once rather than grown item by item. The items point at the
    // references: that list never grows past this.
    w.items.reserve(n.entries.size());
    w.refs.reserve(n.entries.size());
    n.bytes = 0;
    // The entries' bytes lie apart, wherever the arena cut them as they came:
    // they are asked for all at once, so that laying the leaf out does not
    // wait on one miss after another. Cells copied as they lie are read in
    // runs, one line after the next, and were read from when they were
    // loaded.
    for (const MemEntry& e : n.entries) {
      if (e.in_written_cell()) continue;
      const std::uint8_t* bytes = e.key().data();
      fetch_lines(bytes, lines_of(bytes, e.key().size() + e.value().size()));
    }
    for (MemEntry& e : n.entries) {
      // A tree's entries are all cut from its arena, which its memory
      // estimate counts instead of the entries.
      DZ_ASSERT(!cx.arena || !e.owns_block());
      const std::size_t key_len = e.key().size();
      // One measure of the inline cell tells whether the value stays in the
      // leaf and what it takes there.
      std::size_t bytes =
          e.overflow() ? 0
                       : node::inline_entry_bytes(cx.layout, page_size, key_len, e.value().size());
      const bool in_leaf = bytes != 0;
      if (!e.overflow()) {
        // A value too long for the leaf takes a reference's room.
        if (!in_leaf)
          e.set_ref(DZ_TRY(write::write_overflow_run(cx.sink, page_size, cx.txn_id, cx.tree_id,
                                                     e.value())),
                    cx.arena);
      }
      if (!in_leaf) bytes = node::overflow_cell_size(cx.layout, key_len) + node::kSlotSize;
      n.bytes += bytes;
      const OverflowRef* ref = in_leaf ? nullptr : &w.refs.emplace_back(e.ref());
      const std::size_t cell_size = in_leaf && e.in_written_cell() ? bytes - node::kSlotSize : 0;
      w.items.push_back(LeafItem{e.key(), e.value(), ref, static_cast<std::uint32_t>(cell_size)});
    }
    DZ_CHECK(check_fits());
    node::build_leaf(w.next_page(), cx.layout, w.items, cx.txn_id, cx.tree_id);
  } else {
    if (!n.image()) recompute_bytes(n, cx.layout, page_size);
    DZ_CHECK(check_fits());
    // The children first: each takes the lists while it is written.
    for (MemChild& c : n.children) {
      if (c.node) {
        c.pointer = DZ_TRY(write_subtree(cx, *c.node, w));
        c.node.reset();
        c.rewritten = true;
      }
    }
    if (const NodeView* image = n.image()) {
      // The children and separators are those of the page it was loaded
      // from, as they lie there; the pointers this transaction wrote go
      // over theirs.
      DZ_ASSERT(image->level() == n.level && n.children.size() == image->child_count());
      const std::span<std::uint8_t> page = w.next_page();
      node::build_branch_like(page, *image, cx.txn_id, cx.tree_id);
      for (std::size_t i = 0; i < n.children.size(); ++i) {
        if (n.children[i].rewritten) node::store_child(page, i, n.children[i].pointer);
        DZ_ASSERT(n.children[i].pointer == image->child_at(i) || n.children[i].rewritten);
      }
    } else {
      w.pointers.clear();
      w.pointers.reserve(n.children.size());
      for (const MemChild& c : n.children) w.pointers.push_back(c.pointer);
      w.keys.clear();
      w.keys.reserve(n.key_count());
      for (std::size_t i = 0; i < n.key_count(); ++i) w.keys.push_back(n.key(i));
      node::build_branch(w.next_page(), n.level, w.keys, w.pointers, cx.txn_id, cx.tree_id);
    }
  }
  ChildPointer pointer;
  pointer.page = DZ_TRY(cx.sink.allocate_page());
  pointer.commit_id = cx.txn_id;
  DZ_CHECK(cx.sink.write_node_page(pointer.page, w.page, pointer.stamp,
                                   !n.is_leaf() || n.image_was_cached));
  return pointer;
}

Status drop_disk_subtree(const WriteContext& cx, const ChildPointer& pointer,
                         std::optional<std::uint8_t> level, PagesMet& met);

// CORRUPTED unless pages [first, first + count) are met here first.
Status meet(const WriteContext& cx, PagesMet& met, std::uint64_t first, std::uint64_t count) {
  if (met.first_meeting(first, count)) return ok();
  return fail(cx.source.corrupted(
      format_text("page {} is reached twice in the tree with id {}", first, cx.tree_id)));
}

Status drop_mem_subtree(const WriteContext& cx, const MemNode& n, PagesMet& met) {
  if (n.is_leaf()) {
    for (const MemEntry& e : n.entries) release_run(cx, e);
    return ok();
  }
  for (const MemChild& c : n.children) {
    if (c.node) {
      DZ_CHECK(drop_mem_subtree(cx, *c.node, met));
    } else {
      DZ_CHECK(drop_disk_subtree(cx, c.pointer, static_cast<std::uint8_t>(n.level - 1), met));
    }
  }
  return ok();
}

Status drop_disk_subtree(const WriteContext& cx, const ChildPointer& pointer,
                         std::optional<std::uint8_t> level, PagesMet& met) {
  DZ_CHECK(meet(cx, met, pointer.page, 1));
  NodeView view = DZ_TRY(cx.source.fetch_node(pointer, cx.tree_id, level));
  if (view.is_leaf()) {
    for (std::size_t i = 0; i < view.count(); ++i) {
      LeafCell cell = view.cell_at(i);
      if (!cell.overflow) continue;
      DZ_CHECK(meet(cx, met, cell.ref.first_page, cell.ref.page_count));
      cx.sink.release_pages(cell.ref.first_page, cell.ref.page_count);
    }
  } else {
    for (std::size_t i = 0; i < view.child_count(); ++i)
      DZ_CHECK(drop_disk_subtree(cx, view.child_at(i), static_cast<std::uint8_t>(view.level() - 1),
                                 met));
  }
  cx.sink.release_pages(pointer.page, 1);
  return ok();
}

bool run_reaches(const OverflowRef& ref, std::uint64_t limit) {
  return ref.first_page + ref.page_count > limit;
}

// Copies the runs of a leaf in memory that reach the limit into new pages.
Status relocate_runs(const WriteContext& cx, MemNode& leaf, std::uint64_t limit,
                     std::uint64_t& moved) {
  std::string value;
  for (MemEntry& e : leaf.entries) {
    if (!e.overflow() || !run_reaches(e.ref(), limit)) continue;
    const OverflowRef ref = e.ref();
    DZ_CHECK(load::read_overflow_run(cx.source, ref, cx.tree_id, value));
    OverflowRef fresh = DZ_TRY(write::write_overflow_run(cx.sink, cx.source.page_size(), cx.txn_id,
                                                         cx.tree_id, bytes_view(value)));
    for (std::uint64_t p = ref.first_page; p < ref.first_page + ref.page_count; ++p)
      if (p >= limit) ++moved;
    cx.sink.release_pages(ref.first_page, ref.page_count);
    e.set_ref(fresh, cx.arena);
  }
  return ok();
}

// What one relocation walk has counted and met.
struct RelocationWalk {
  std::uint64_t limit;
  std::uint64_t moved = 0;
  // Node pages on disk met so far: a page reached twice would be moved and
  // released twice, so the walk refuses it.
  PagesMet met;
};

Status relocate_mem(const WriteContext& cx, MemNode& n, RelocationWalk& walk);

// Loads, with its path, every node of a subtree on disk that lies at or
// above the limit or holds a run that does; null when nothing must move.
Result<std::unique_ptr<MemNode>> relocate_disk(const WriteContext& cx, const ChildPointer& pointer,
                                               std::optional<std::uint8_t> level,
                                               RelocationWalk& walk) {
  const std::uint64_t limit = walk.limit;
  std::uint64_t& moved = walk.moved;
  DZ_CHECK(meet(cx, walk.met, pointer.page, 1));
  NodeView view = DZ_TRY(cx.source.fetch_node(pointer, cx.tree_id, level));
  bool must_move = pointer.page >= limit;
  std::vector<std::pair<std::size_t, std::unique_ptr<MemNode>>> loaded;
  if (view.is_leaf()) {
    for (std::size_t i = 0; i < view.count() && !must_move; ++i) {
      LeafCell cell = view.cell_at(i);
      must_move = cell.overflow && run_reaches(cell.ref, limit);
    }
  } else {
    for (std::size_t i = 0; i < view.child_count(); ++i) {
      auto child = DZ_TRY(
          relocate_disk(cx, view.child_at(i), static_cast<std::uint8_t>(view.level() - 1), walk));
      if (child) loaded.emplace_back(i, std::move(child));
    }
  }
  if (!must_move && loaded.empty()) return std::unique_ptr<MemNode>();
  if (pointer.page >= limit) ++moved;
  auto n = DZ_TRY(format::load_child(cx, pointer, level));
  for (auto& [i, child] : loaded) n->children[i].node = std::move(child);
  if (n->is_leaf()) DZ_CHECK(relocate_runs(cx, *n, limit, moved));
  return n;
}

Status relocate_mem(const WriteContext& cx, MemNode& n, RelocationWalk& walk) {
  if (n.is_leaf()) return relocate_runs(cx, n, walk.limit, walk.moved);
  for (MemChild& c : n.children) {
    if (c.node) {
      DZ_CHECK(relocate_mem(cx, *c.node, walk));
    } else {
      c.node = DZ_TRY(relocate_disk(cx, c.pointer, static_cast<std::uint8_t>(n.level - 1), walk));
    }
  }
  return ok();
}

}  // namespace

namespace node {

std::vector<MemEntry> collect_entries(const NodeView& leaf, EntryArena* arena, LeafLayout layout,
                                      std::size_t& bytes) {
  // One entry per cell, made at once and written over in place: no
  // capacity test and no call per entry.
  const std::size_t count = leaf.count();
  std::vector<MemEntry> entries = t_entry_lists.take(count);
  entries.resize(count);
  MemEntry* to = entries.data();
  const std::uint32_t page_size = leaf.page_size();
  const LeafLayout stored = leaf.layout();
  const std::uint8_t* page = leaf.page();
  std::size_t total = 0;
  // With an arena, inline entries are read where they lie: the arena keeps
  // the page image until the tree's leaves are written.
  if (arena && count != 0) arena->hold(leaf.page_owner(), page_size);
  // Cells of a varint page read for a varint write are mostly a key of
  // under 128 bytes and an inline value of under 8 KiB, both numbers in
  // their fewest bytes: such a cell measures what it takes, as written.
  const bool varint_as_written =
      arena && stored == LeafLayout::Varint && layout == LeafLayout::Varint;
  const std::size_t max_entry = node::max_entry_bytes(page_size);
  // One pass over the slots and cells, each decoded in place: the page was
  // checked when it was read.
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t cell = node::leaf_cell_offset(page, i);
    if (varint_as_written) {
      const std::uint8_t* c = page + cell;
      std::size_t head = 0;
      std::uint32_t tag = 1;
      if (c[0] < 0x80) {
        if (c[1] < 0x80) {
          head = 2;
          tag = c[1];
        } else if (c[2] != 0 && c[2] < 0x80) {
          head = 3;
          tag = (c[1] & 0x7Fu) | std::uint32_t{c[2]} << 7;
        }
      }
      const std::size_t key_len = c[0];
      const std::size_t value_len = tag >> 1;
      const std::size_t bytes = head + key_len + value_len + node::kSlotSize;
      if ((tag & 1) == 0 && value_len < page_size && bytes <= max_entry) {
        to[i] = MemEntry::in_page(ByteView(c + head, key_len),
                                  ByteView(c + head + key_len, value_len), true);
        total += bytes;
        continue;
      }
    }
    const node::CellShape shape = node::leaf_cell_shape(page, stored, cell);
    const ByteView key(page + shape.key_pos, shape.key_len);
    if (shape.overflow) [[unlikely]] {
      to[i] = MemEntry(key, OverflowRef::load(page + shape.value_pos), arena);
      total += node::overflow_cell_size(layout, shape.key_len) + node::kSlotSize;
      continue;
    }
    const ByteView value(page + shape.value_pos, shape.value_len);
    const std::size_t bytes =
        node::leaf_entry_bytes(layout, page_size, shape.key_len, shape.value_len);
    if (arena) {
      // The cell is the one the write lays out when it is in the layout
      // written and as long as the entry measures there: a longer one (a
      // number not in its fewest bytes) or a value that goes to a run is
      // laid out anew.
      const bool as_written =
          stored == layout && shape.value_pos + shape.value_len - cell + node::kSlotSize == bytes;
      to[i] = MemEntry::in_page(key, value, as_written);
    } else {
      to[i] = MemEntry(key, value, arena);
    }
    total += bytes;
  }
  bytes = total;
  return entries;
}

void collect_keys(const NodeView& branch, std::vector<MemKey>& keys) {
  keys.clear();
  keys.reserve(branch.count());
  for (std::size_t i = 0; i < branch.count(); ++i) keys.emplace_back(branch.key_at(i));
}

void collect_children(const NodeView& branch, std::vector<MemChild>& children) {
  // Sized at once and then filled: no capacity test per child.
  const std::size_t count = branch.child_count();
  children.clear();
  if (children.capacity() < count) children = t_child_lists.take(count);
  children.resize(count);
  MemChild* to = children.data();
  for (std::size_t i = 0; i < count; ++i) to[i].pointer = branch.child_at(i);
}

}  // namespace node

namespace format {

Result<std::unique_ptr<MemNode>> load_child(const WriteContext& cx, const ChildPointer& pointer,
                                            std::optional<std::uint8_t> level,
                                            std::optional<LeafLayout> layout) {
  // The page is released below, and with it any image the cache holds of
  // it: one the cache does not hold is read without taking a place there,
  // which would cost another page its place for nothing.
  bool cached = true;
  NodeView view = DZ_TRY(cx.source.fetch_node_once(pointer, cx.tree_id, level, &cached));
  if (layout && view.is_leaf() && view.layout() != *layout)
    return fail(cx.source.corrupted(format_text(
        "page {}: its leaf layout is not the one its tree is written in", pointer.page)));
  auto n = std::make_unique<MemNode>(to_mem_node(view, cx.layout, cx.arena));
  n->image_was_cached = cached;
  cx.sink.release_pages(pointer.page, 1);
  return n;
}

}  // namespace format

namespace write {

std::vector<std::vector<MemEntry>> build_nodes(std::vector<MemEntry> entries, LeafLayout layout,
                                               std::uint32_t page_size) {
  auto whole = std::make_unique<MemNode>();
  whole->entries = std::move(entries);
  recompute_bytes(*whole, layout, page_size);
  std::vector<std::unique_ptr<MemNode>> parts;
  std::vector<MemKey> seps;
  split_node(std::move(whole), layout, page_size, parts, seps);
  std::vector<std::vector<MemEntry>> out;
  for (auto& part : parts) out.push_back(std::move(part->entries));
  return out;
}

}  // namespace write

namespace btree {

Status check_key(std::uint32_t page_size, std::size_t key_len) {
  std::size_t limit = node::max_key_len(page_size);
  if (key_len > limit)
    return fail(Error::invalid_argument(
        format_text("a key is at most {} bytes long with this page size, not {}", limit, key_len)));
  return ok();
}

Status check_value(std::uint64_t value_len) {
  if (value_len > node::kMaxValueLen)
    return fail(Error::invalid_argument(
        format_text("a value is less than 4 GiB long, not {} bytes", value_len)));
  return ok();
}

Result<bool> get(const ReadContext& cx, const TreeRoot& root, ByteView key, ValueVisitor visitor) {
  if (past_the_end(Ops::last_leaf(root), key)) return false;
  return lookup(cx, root.mem(), root.disk(), key, &visitor);
}

Result<bool> get(const ReadContext& cx, const ChildPointer& root, ByteView key,
                 ValueVisitor visitor) {
  return lookup(cx, nullptr, root, key, &visitor);
}

Result<bool> contains(const ReadContext& cx, const TreeRoot& root, ByteView key) {
  if (past_the_end(Ops::last_leaf(root), key)) return false;
  return lookup(cx, root.mem(), root.disk(), key, nullptr);
}

Result<bool> put(const WriteContext& caller_cx, TreeRoot& root, ByteView key, ByteView value,
                 PutMode mode, const ValueVisitor* old_value) {
  const WriteContext cx = Ops::in_tree(caller_cx, root);
  const std::uint32_t page_size = cx.source.page_size();
  DZ_CHECK(check_key(page_size, key.size()));
  DZ_CHECK(check_value(value.size()));
  if (mode == PutMode::InsertOnly || old_value) {
    bool present = old_value ? DZ_TRY(get(cx.read(), root, key, *old_value))
                             : DZ_TRY(contains(cx.read(), root, key));
    if (present && mode == PutMode::InsertOnly) return false;
  }
  bool added = false;
  auto change = [&](MemNode& leaf, LeafPlace place) -> Status {
    const auto [i, found] = find_place(leaf, key, place);
    added = store_at(cx, leaf, i, found, key, value);
    return ok();
  };
  DZ_CHECK(change_tree(cx, root, key, change));
  return added;
}

Result<ModifyOutcome> insert_entry(const WriteContext& caller_cx, TreeRoot& root, ByteView key,
                                   ValueModifier modifier) {
  const WriteContext cx = Ops::in_tree(caller_cx, root);
  DZ_CHECK(check_key(cx.source.page_size(), key.size()));
  bool present = false;
  auto decide = [&](const ByteView* stored, std::string& out) -> Result<EntryAction> {
    present = stored != nullptr;
    if (!present || !DZ_TRY(modifier(*stored, out))) return EntryAction::Keep;
    DZ_CHECK(check_value(out.size()));
    return EntryAction::Store;
  };
  EntryAction action = DZ_TRY(change_entry(cx, root, key, true, decide));
  if (!present) return ModifyOutcome::NotFound;
  return action == EntryAction::Store ? ModifyOutcome::Changed : ModifyOutcome::Unchanged;
}

Result<bool> put_value(const WriteContext& cx, TreeRoot& root, ByteView key, ValueUpdate update) {
  auto modifier = [&](ByteView old_value, std::string& out) -> Result<bool> {
    DZ_CHECK(update(old_value, out));
    return true;
  };
  ModifyOutcome outcome = DZ_TRY(insert_entry(cx, root, key, modifier));
  return outcome != ModifyOutcome::NotFound;
}

Result<bool> remove(const WriteContext& caller_cx, TreeRoot& root, ByteView key,
                    const ValueVisitor* stored) {
  const WriteContext cx = Ops::in_tree(caller_cx, root);
  DZ_CHECK(check_key(cx.source.page_size(), key.size()));
  auto decide = [&](const ByteView* value, std::string&) -> Result<EntryAction> {
    if (!value) return EntryAction::Keep;
    if (stored) DZ_CHECK((*stored)(*value));
    return EntryAction::Remove;
  };
  return DZ_TRY(change_entry(cx, root, key, stored != nullptr, decide)) == EntryAction::Remove;
}

Result<bool> set_entry(const WriteContext& cx, TreeRoot& root, ByteView key,
                       std::optional<ByteView> value, const ValueVisitor* stored) {
  auto see = [&](ByteView, ByteView held) { return (*stored)(held); };
  const SettingVisitor seen = see;
  const EntrySetting setting{key, value};
  return set_entries(cx, root, {&setting, 1}, stored ? &seen : nullptr);
}

Result<bool> set_entries(const WriteContext& caller_cx, TreeRoot& root,
                         std::span<const EntrySetting> settings, const SettingVisitor* stored) {
  const WriteContext cx = Ops::in_tree(caller_cx, root);
  const std::uint32_t page_size = cx.source.page_size();
  bool changed = false;
  std::size_t next = 0;
  std::string out;
  std::string buffer;
  // The settings after one that changed a leaf whose keys lie between the
  // leaf's first and last entry are set in that leaf too: no other leaf can
  // hold them. It stops at a leaf grown past its room, which the walk back
  // up then splits as after any change.
  auto set_in_leaf = [&](MemNode& leaf, const EntrySetting& s) -> Status {
    DZ_CHECK(check_key(page_size, s.key.size()));
    if (s.value) DZ_CHECK(check_value(s.value->size()));
    // The leaf's entries were just searched: their lines are at hand.
    const KeyPlace place = find_place(leaf, s.key, LeafPlace::Fetched);
    EntryAction action = EntryAction::Keep;
    auto decide_held = [&](ByteView held) -> Status {
      action = DZ_TRY(setting_action(&held, s.value, s.key, stored, out));
      return ok();
    };
    if (place.found) {
      DZ_CHECK(read_value(cx.read(), leaf.entries[place.at].cell(), buffer, decide_held));
    } else {
      action = DZ_TRY(setting_action(nullptr, s.value, s.key, stored, out));
    }
    DZ_CHECK(apply_action(cx, leaf, place, s.key, action, out));
    changed = changed || action != EntryAction::Keep;
    return ok();
  };
  // A setting that fails there stops the settings, changing nothing
  // itself; the leaf's path is still repaired for those before it, and the
  // failure answered after that.
  std::optional<Error> stopped;
  auto follow = [&](MemNode& leaf) -> Status {
    while (next < settings.size() && !leaf.entries.empty() &&
           leaf.bytes <= node::capacity(page_size)) {
      const EntrySetting& s = settings[next];
      if (compare_keys(s.key, leaf.entries.front().key()) < 0 ||
          compare_keys(s.key, leaf.entries.back().key()) > 0)
        break;
      if (Status done = set_in_leaf(leaf, s); !done) {
        stopped = std::move(done).error();
        break;
      }
      ++next;
    }
    return ok();
  };
  const LeafFollowUp then = follow;
  while (next < settings.size()) {
    const EntrySetting& s = settings[next++];
    DZ_CHECK(check_key(page_size, s.key.size()));
    if (s.value) DZ_CHECK(check_value(s.value->size()));
    auto decide = [&](const ByteView* held, std::string& value_out) -> Result<EntryAction> {
      return setting_action(held, s.value, s.key, stored, value_out);
    };
    const EntryAction action = DZ_TRY(change_entry(cx, root, s.key, true, decide, &then));
    changed = changed || action != EntryAction::Keep;
    if (stopped) return fail(std::move(*stopped));
  }
  return changed;
}

Result<ChildPointer> write_tree(const WriteContext& caller_cx, TreeRoot& root) {
  const WriteContext cx = Ops::in_tree(caller_cx, root);
  std::unique_ptr<MemNode>& mem = Ops::mem(root);
  if (mem) {
    NodeWriter writer(cx.source.page_size());
    Ops::last_leaf(root) = nullptr;
    Ops::filled_by_appends(root) = 0;
    Ops::disk(root) = DZ_TRY(write_subtree(cx, *mem, writer));
    mem.reset();
    Ops::arena(root).clear();
  }
  return root.disk();
}

Result<ChildPointer> write_node(const WriteContext& cx, MemNode& node) {
  NodeWriter writer(cx.source.page_size());
  return write_subtree(cx, node, writer);
}

namespace {

std::size_t node_memory(const MemNode& n) {
  // A leaf's keys and values are in the tree's arena, counted whole beside
  // the nodes; a branch's bytes stand for its separators (those too long
  // to be held in place), and a branch that reads them in its page image
  // holds the page. The vectors count for the rest, by their capacity
  // (which for a loaded node's list does not depend on whether it was kept
  // from a freed node: see SpareLists). The entries themselves are not
  // walked.
  std::size_t bytes =
      sizeof(MemNode) + (n.is_leaf() ? 0 : n.bytes) + n.entries.capacity() * sizeof(MemEntry) +
      n.held_keys().capacity() * sizeof(MemKey) + n.children.capacity() * sizeof(MemChild) +
      (n.image() ? n.image()->page_size() : 0);
  for (const MemChild& c : n.children)
    if (c.node) bytes += node_memory(*c.node);
  return bytes;
}

Status write_mem_leaves(const WriteContext& cx, MemNode& branch, NodeWriter& writer) {
  for (MemChild& c : branch.children) {
    if (!c.node) continue;
    if (c.node->is_leaf()) {
      c.pointer = DZ_TRY(write_subtree(cx, *c.node, writer));
      c.node.reset();
      c.rewritten = true;
    } else {
      DZ_CHECK(write_mem_leaves(cx, *c.node, writer));
    }
  }
  return ok();
}

}  // namespace

std::size_t memory_estimate(const TreeRoot& root) {
  return (root.mem() ? node_memory(*root.mem()) : 0) + Ops::arena(root).held();
}

std::uint32_t leaves_filled_by_appends(const TreeRoot& root) {
  return Ops::filled_by_appends(root);
}

Status write_leaves(const WriteContext& caller_cx, TreeRoot& root) {
  const WriteContext cx = Ops::in_tree(caller_cx, root);
  std::unique_ptr<MemNode>& mem = Ops::mem(root);
  Ops::filled_by_appends(root) = 0;
  if (!mem) return ok();
  // A root leaf is the whole tree.
  if (mem->is_leaf()) {
    DZ_CHECK(write_tree(cx, root));
    return ok();
  }
  // The last leaf goes too: the next append loads it back.
  Ops::last_leaf(root) = nullptr;
  NodeWriter writer(cx.source.page_size());
  DZ_CHECK(write_mem_leaves(cx, *mem, writer));
  // No entry is left in memory.
  Ops::arena(root).clear();
  return ok();
}

Status drop_tree(const WriteContext& cx, TreeRoot& root) {
  std::unique_ptr<MemNode>& mem = Ops::mem(root);
  Ops::last_leaf(root) = nullptr;
  Ops::filled_by_appends(root) = 0;
  PagesMet met;
  if (mem) {
    DZ_CHECK(drop_mem_subtree(cx, *mem, met));
  } else if (root.disk().page != 0) {
    DZ_CHECK(drop_disk_subtree(cx, root.disk(), std::nullopt, met));
  }
  mem.reset();
  Ops::arena(root).clear();
  Ops::disk(root) = ChildPointer{};
  return ok();
}

Result<std::uint64_t> relocate(const WriteContext& caller_cx, TreeRoot& root, std::uint64_t limit) {
  const WriteContext cx = Ops::in_tree(caller_cx, root);
  RelocationWalk walk{limit};
  std::unique_ptr<MemNode>& mem = Ops::mem(root);
  Ops::last_leaf(root) = nullptr;
  if (mem) {
    DZ_CHECK(relocate_mem(cx, *mem, walk));
  } else if (root.disk().page != 0) {
    mem = DZ_TRY(relocate_disk(cx, root.disk(), std::nullopt, walk));
    if (mem) Ops::disk(root) = ChildPointer{};
  }
  return walk.moved;
}

}  // namespace btree

}  // namespace deziro
