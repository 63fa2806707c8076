// Node layouts of the B-trees: the fixed-layout leaf (page kind 1), the
// varint-layout leaf (kind 4) and the branch (kind 2), read in place from a
// page's bytes. docs/file-format.md section 3 has the byte tables.
//
// Every node keeps an array of u16 slots at byte 56, one per entry in key
// order, each the offset of the entry's cell; cells are packed downward from
// the trailer. A branch puts its n + 1 child pointers at byte 56 first and
// its n slots after them. Header bytes 26..27 hold the entry count and 28..29
// the lowest cell offset.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "format/page.hpp"
#include "invariant.hpp"

namespace deziro {

using ByteView = std::span<const std::uint8_t>;

inline ByteView bytes_view(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
inline std::string to_string(ByteView b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

// The first 8 bytes of a key at least that long as one big-endian number,
// in one load (the byte loop of load_u64_be is not merged into one at -O2,
// and this runs on every search probe).
inline std::uint64_t key_head8(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
  return v;
}

// A key's first 8 bytes as a big-endian number, zeros past its end: two keys
// whose heads differ are ordered as their heads.
inline std::uint64_t key_head(ByteView key) {
  if (key.size() >= 8) return key_head8(key.data());
  // Byte by byte: a short copy into a buffer read back as one number
  // stalls on the store (short int keys, such as primary keys, meet this).
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < key.size(); ++i) v |= std::uint64_t{key[i]} << (56 - 8 * i);
  return v;
}

// Unsigned bytewise order, a proper prefix first. Keys of 8 bytes or more
// are first told apart by their leading 8 bytes read as one big-endian
// number, which random and prefixed keys mostly are, without a call to
// memcmp; keys of up to 16 bytes never need it.
inline int compare_keys(ByteView a, ByteView b) {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  std::size_t from = 0;
  if (n >= 8) {
    std::uint64_t x = key_head8(a.data());
    std::uint64_t y = key_head8(b.data());
    if (x != y) return x < y ? -1 : 1;
    // Up to 16 bytes, the last eight of the shorter length settle the rest
    // in a second load (the bytes they share with the head are equal).
    if (n <= 16) {
      x = key_head8(a.data() + n - 8);
      y = key_head8(b.data() + n - 8);
      if (x != y) return x < y ? -1 : 1;
      return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
    }
    from = 8;
  }
  int c = n == from ? 0 : std::memcmp(a.data() + from, b.data() + from, n - from);
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// compare_keys of two keys given with their key_heads, which settle it
// without the bytes when they differ.
inline int compare_headed_keys(std::uint64_t a_head, ByteView a, std::uint64_t b_head, ByteView b) {
  if (a_head != b_head) return a_head < b_head ? -1 : 1;
  return compare_keys(a, b);
}

// The leaf layout a write transaction writes: varint in format 6, fixed in 5.
enum class LeafLayout : std::uint8_t { Fixed, Varint };

// The parsed node's code; not the page kind (1 fixed leaf, 2 branch, 3
// overflow, 4 varint leaf).
enum class NodeCode : std::uint8_t { FixedLeaf = 0, VarintLeaf = 1, Branch = 2 };

// The cell layout of a leaf of `code`.
inline LeafLayout leaf_layout(NodeCode code) {
  return code == NodeCode::VarintLeaf ? LeafLayout::Varint : LeafLayout::Fixed;
}

PageKind leaf_page_kind(LeafLayout layout);

namespace node {

inline constexpr std::size_t kEntryCountOffset = 26;
inline constexpr std::size_t kCellStartOffset = 28;
inline constexpr std::size_t kSlotSize = 2;
inline constexpr std::size_t kOverflowRefSize = 44;
// A branch's first child costs its pointer; each further child its pointer,
// its slot and its separator's u16 length besides the separator's bytes.
inline constexpr std::size_t kFirstChildCost = ChildPointer::kSize;
inline constexpr std::size_t kBranchKeyOverhead = ChildPointer::kSize + 2 + 2;

// The longest key (and tree name) a page size allows.
constexpr std::size_t max_key_len(std::uint32_t page_size) { return (page_size - 268) / 4; }
// Bytes a node's slots, cells and child pointers may use.
constexpr std::size_t capacity(std::uint32_t page_size) { return page_size - 72; }
// No leaf entry (cell and slot) is larger, so any four entries fit a leaf.
constexpr std::size_t max_entry_bytes(std::uint32_t page_size) { return (page_size - 72) / 4; }
// Values of 2^32 bytes or more are refused.
inline constexpr std::uint64_t kMaxValueLen = 0xFFFFFFFFull;

// The sizes below are defined here, inline: a write transaction measures
// its entries on every insert, share and split.

// Bytes of an unsigned LEB128 number.
inline std::size_t varint_len(std::uint64_t x) {
  std::size_t n = 1;
  while (x >= 0x80) {
    x >>= 7;
    ++n;
  }
  return n;
}

inline std::size_t inline_cell_size(LeafLayout layout, std::size_t key_len, std::size_t value_len) {
  if (layout == LeafLayout::Fixed) return key_len + value_len + 5;
  return key_len + value_len + varint_len(key_len) + varint_len(2 * std::uint64_t{value_len});
}

inline std::size_t overflow_cell_size(LeafLayout layout, std::size_t key_len) {
  if (layout == LeafLayout::Fixed) return key_len + 3 + kOverflowRefSize;
  return key_len + varint_len(key_len) + 1 + kOverflowRefSize;
}

// Cell plus slot of an entry whose value stays in the leaf, or 0 when a
// value of this length goes to an overflow run instead: the one rule for
// which values stay, with the inline cell measured once.
inline std::size_t inline_entry_bytes(LeafLayout layout, std::uint32_t page_size,
                                      std::size_t key_len, std::uint64_t value_len) {
  if (value_len >= page_size) return 0;
  const std::size_t bytes = inline_cell_size(layout, key_len, value_len) + kSlotSize;
  return bytes <= max_entry_bytes(page_size) ? bytes : 0;
}

// Whether a value of this length stays in the leaf.
inline bool value_fits_inline(LeafLayout layout, std::uint32_t page_size, std::size_t key_len,
                              std::uint64_t value_len) {
  return inline_entry_bytes(layout, page_size, key_len, value_len) != 0;
}

// Cell plus slot of an entry in a leaf of this layout.
inline std::size_t leaf_entry_bytes(LeafLayout layout, std::uint32_t page_size, std::size_t key_len,
                                    std::uint64_t value_len) {
  if (const std::size_t bytes = inline_entry_bytes(layout, page_size, key_len, value_len))
    return bytes;
  return overflow_cell_size(layout, key_len) + kSlotSize;
}

// Overflow pages: their payload sits between the header and the trailer.
constexpr std::size_t overflow_payload(std::uint32_t page_size) { return page_size - 72; }
std::uint64_t overflow_page_count(std::uint32_t page_size, std::uint64_t value_len);
// Pages per read or write of an overflow run: max(1, 1 MiB / page size).
constexpr std::uint32_t overflow_batch_pages(std::uint32_t page_size) {
  return page_size >= (1u << 20) ? 1 : (1u << 20) / page_size;
}

}  // namespace node

// The 44-byte reference a leaf holds to a value kept in an overflow run.
struct OverflowRef {
  std::uint64_t first_page = 0;
  std::uint32_t page_count = 0;
  std::uint32_t length = 0;
  std::uint64_t commit_id = 0;
  // XXH3-128 over the stamps of the run's pages, in order.
  PageStamp check;

  static OverflowRef load(const std::uint8_t* p);
  void store(std::uint8_t* p) const;
  friend bool operator==(const OverflowRef&, const OverflowRef&) = default;
};

// One leaf cell read in place: the key and either the inline value or the
// overflow reference. Views point into the page.
struct LeafCell {
  ByteView key;
  ByteView value;
  bool overflow = false;
  OverflowRef ref;
};

// A leaf entry as owned bytes.
struct OwnedEntry {
  std::string key;
  std::string value;
  bool overflow = false;
  OverflowRef ref;
};

namespace node {
// Key and value (or reference) of slot `index` of a leaf page already
// checked by NodeView::from_page.
LeafCell entry_at(const std::uint8_t* page, LeafLayout layout, std::size_t index);

// The flag byte of a fixed-layout leaf cell.
inline constexpr std::uint8_t kFixedInline = 0;
inline constexpr std::uint8_t kFixedOverflow = 1;

// Where a leaf cell's parts lie in its page: the key, then the inline value
// or the overflow reference.
struct CellShape {
  std::size_t key_pos;
  std::size_t key_len;
  std::size_t value_pos;
  std::size_t value_len;
  bool overflow;
};

// A LEB128 number of at most 3 bytes at `pos` of a checked page, `pos`
// moved past it. One byte (the common case) takes one branch.
inline std::uint32_t checked_page_varint(const std::uint8_t* page, std::size_t& pos) {
  std::uint32_t value = page[pos++];
  if (value < 0x80) [[likely]]
    return value;
  value &= 0x7F;
  for (int shift = 7; shift < 21; shift += 7) {
    const std::uint8_t b = page[pos++];
    value |= static_cast<std::uint32_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0) break;
  }
  return value;
}

// The shape of the cell at byte `pos` of a leaf page already checked by
// NodeView::from_page, read without bounds. Inline, so that a walk over all
// of a leaf's cells decodes them in one pass.
inline CellShape leaf_cell_shape(const std::uint8_t* page, LeafLayout layout, std::size_t pos) {
  CellShape shape;
  if (layout == LeafLayout::Fixed) {
    shape.key_len = load_u16_le(page + pos + 1);
    if (page[pos] == kFixedInline) {
      shape.value_len = load_u16_le(page + pos + 3);
      shape.key_pos = pos + 5;
      shape.overflow = false;
    } else {
      shape.value_len = kOverflowRefSize;
      shape.key_pos = pos + 3;
      shape.overflow = true;
    }
  } else {
    shape.key_len = checked_page_varint(page, pos);
    const std::uint32_t tag = checked_page_varint(page, pos);
    shape.overflow = (tag & 1) != 0;
    shape.value_len = shape.overflow ? kOverflowRefSize : tag / 2;
    shape.key_pos = pos;
  }
  shape.value_pos = shape.key_pos + shape.key_len;
  return shape;
}

// The byte where the cell of slot `index` of a leaf page starts.
inline std::size_t leaf_cell_offset(const std::uint8_t* page, std::size_t index) {
  return load_u16_le(page + kPageContentOffset + kSlotSize * index);
}
}  // namespace node

class NodeView;

// The search index of a node whose page lives on in one place (a page cache
// entry), shared by every view of that page: the head of every stride-th
// key, the stride the least that needs at most kHeads of them. A search
// then scans those heads, one line, and probes the keys themselves only
// within the stride they leave, where a plain binary search probes cells
// all over the page, one miss after another.
//
// A head here is the key's key_head scaled into 16 bits: less the head of
// the node's first key, shifted right until the node's last key fits, and
// saturated at both ends. That is still monotone in the key, which is all a
// search needs (a tie only leaves a wider stride), and the 32 heads fit in
// one 64-byte line where full heads took four: every level of a lookup
// touches the index.
//
// The heads are built on the node's first search, not when the entry is
// made: a commit caches every page it writes, most of which no search may
// ever reach. One thread builds them, the others searching meanwhile go on
// without them; the state is read with acquire, so a search that finds
// them built sees every head. (Heads kept in an allocation of their own,
// away from the entry, cost point lookups a miss more and did not speed up
// the scan.)
class NodeSearchIndex {
 public:
  static constexpr std::size_t kHeads = 32;
  struct Heads {
    std::uint16_t stride = 0;
    std::uint8_t count = 0;
    std::uint8_t shift = 0;
    std::uint64_t base = 0;
    // Past `count`, 0xFFFF: a search scans all kHeads without a bound.
    std::uint16_t head[kHeads];

    // `head` (a key_head) on the scale of head[].
    std::uint16_t scaled(std::uint64_t head) const {
      if (head <= base) return 0;
      const std::uint64_t d = (head - base) >> shift;
      return d > 0xFFFF ? std::uint16_t{0xFFFF} : static_cast<std::uint16_t>(d);
    }
  };

  NodeSearchIndex() = default;
  NodeSearchIndex(const NodeSearchIndex&) = delete;
  NodeSearchIndex& operator=(const NodeSearchIndex&) = delete;
  // The heads of `view`'s node, built by the first caller; null while
  // another thread builds them.
  const Heads* heads(const NodeView& view) const {
    return state_.load(std::memory_order_acquire) == kBuilt ? &heads_ : build(view);
  }
  bool built() const { return state_.load(std::memory_order_acquire) == kBuilt; }

 private:
  static constexpr std::uint8_t kBuilding = 1;
  static constexpr std::uint8_t kBuilt = 2;
  const Heads* build(const NodeView& view) const;

  mutable std::atomic<std::uint8_t> state_{0};
  mutable Heads heads_;
};

// A parsed node over a page's bytes: a leaf of either layout or a branch. It
// shares the page image with whoever owns it (the page cache), so it stays
// valid after the cache lets go.
class NodeView {
 public:
  NodeView() = default;

  // Checks the structure of a page that has already been opened (its stamp
  // checked): kind, level, counts, and that every slot and cell lies inside
  // the page. The error is the text after "page {}: ".
  static std::expected<NodeView, std::string> from_page(std::shared_ptr<const std::uint8_t> page,
                                                        std::uint32_t page_size);
  // The first key of a node page, read as from_page reads it but checked
  // only as far as that read needs; none when the page does not read as a
  // node with a key. For a hint (a cache asks ahead for what the page's
  // image will touch) before from_page has checked the whole page.
  static std::optional<ByteView> first_key_of(std::span<const std::uint8_t> page);

  // The view of a page the builders below have just laid out in this
  // process, read from its header alone: its cells are where the builder
  // put them, and checking every one again (from_page) would only find the
  // builder's bugs, which debug builds still look for here.
  static NodeView of_built_page(std::shared_ptr<const std::uint8_t> page, std::uint32_t page_size);

  NodeCode code() const { return code_; }
  bool is_leaf() const { return code_ != NodeCode::Branch; }
  LeafLayout layout() const { return leaf_layout(code_); }
  std::uint8_t level() const { return level_; }
  // Entries of a leaf, separator keys of a branch.
  std::size_t count() const { return count_; }
  std::size_t child_count() const { return is_leaf() ? 0 : count_ + 1u; }
  std::uint64_t commit_id() const;
  std::uint64_t tree_id() const;
  std::uint32_t page_size() const { return page_size_; }
  const std::uint8_t* page() const { return page_.get(); }
  const std::shared_ptr<const std::uint8_t>& page_owner() const { return page_; }
  // The same view, keeping the page alive through `page` (the same bytes).
  NodeView with_owner(std::shared_ptr<const std::uint8_t> page) const {
    NodeView copy = *this;
    copy.page_ = std::move(page);
    return copy;
  }
  // Bytes of slots, cells and child pointers, capped at 65535.
  std::uint32_t used_bytes() const;
  // The bytes of a branch's separators, their lengths read from their
  // cells.
  std::size_t separator_key_bytes() const;

  // Where the cell of slot `index` starts in the page (for reading it, or
  // asking for its line ahead).
  const std::uint8_t* cell_address(std::size_t index) const {
    const std::uint8_t* p = page_.get();
    return p + (std::size_t{p[slots_ + 2 * index]} | std::size_t{p[slots_ + 2 * index + 1]} << 8);
  }

  // An entry key of a leaf, a separator key of a branch. Inline: the
  // binary search of every lookup runs through it.
  ByteView key_at(std::size_t index) const {
    const std::uint8_t* p = page_.get();
    std::size_t pos = static_cast<std::size_t>(cell_address(index) - p);
    switch (code_) {
      case NodeCode::Branch:
        return ByteView(p + pos + 2, std::size_t{p[pos]} | std::size_t{p[pos + 1]} << 8);
      case NodeCode::FixedLeaf:
        return ByteView(p + pos + (p[pos] == 0 ? 5 : 3),
                        std::size_t{p[pos + 1]} | std::size_t{p[pos + 2]} << 8);
      case NodeCode::VarintLeaf:
        break;
    }
    // Both numbers of a varint cell are at most 3 bytes (checked by from_page).
    std::size_t len = 0;
    for (int shift = 0;; shift += 7) {
      std::uint8_t b = p[pos++];
      len |= std::size_t{b & 0x7Fu} << shift;
      if ((b & 0x80) == 0) break;
    }
    while (p[pos++] & 0x80) {
    }
    return ByteView(p + pos, len);
  }
  LeafCell cell_at(std::size_t index) const;
  // Inline: loading a branch for writing reads every child pointer.
  ChildPointer child_at(std::size_t index) const {
    DZ_ASSERT(!is_leaf() && index <= count_);
    return ChildPointer::load(page() + kPageContentOffset + ChildPointer::kSize * index);
  }
  // The entry as owned bytes with its value or overflow reference; fails on
  // a reference that cannot describe a run.
  std::expected<OwnedEntry, std::string> entry_owned(std::size_t index) const;

  // Has searches use `index`, which must live as long as the page's owner
  // (this view and its copies keep pointing at it). A node of few keys is
  // searched as quickly without one and is left without; false then.
  bool attach_index(const NodeSearchIndex* index) {
    if (count_ < 8) return false;
    index_ = index;
    return true;
  }

  // The index attached, or null.
  const NodeSearchIndex* search_index() const { return index_; }

  // First slot whose key is >= `key` (leaf or branch keys).
  std::size_t lower_bound(ByteView key) const { return search(key, false); }
  // First slot whose key is > `key`.
  std::size_t upper_bound(ByteView key) const { return search(key, true); }
  // The child of a branch whose key range holds `key`.
  std::size_t child_index(ByteView key) const { return upper_bound(key); }

  // Where a search for a key may answer, from the search index alone (no
  // key of the node read): both bounds included.
  struct SlotRange {
    std::size_t lo;
    std::size_t hi;
  };
  SlotRange narrow(ByteView key) const;
  // child_index within what narrow(key) answered, so that a descent can
  // ask for what the children in it lead to while their parent is searched.
  std::size_t child_index(ByteView key, SlotRange range) const {
    return search_within(key, true, range);
  }
  // The page number of a branch's child, read from its pointer alone.
  std::uint64_t child_page(std::size_t index) const {
    DZ_ASSERT(!is_leaf() && index <= count_);
    return load_u64_le(page() + kPageContentOffset + ChildPointer::kSize * index);
  }

 private:
  std::size_t search(ByteView key, bool past_equal) const;
  std::size_t search_within(ByteView key, bool past_equal, SlotRange range) const;

  std::shared_ptr<const std::uint8_t> page_;
  std::uint32_t page_size_ = 0;
  NodeCode code_ = NodeCode::FixedLeaf;
  std::uint8_t level_ = 0;
  std::uint16_t count_ = 0;
  std::uint16_t slots_ = 0;                 // offset of the slot array
  const NodeSearchIndex* index_ = nullptr;  // attach_index
};

// Items laid out into a page by the builders below.
struct LeafItem {
  ByteView key;
  ByteView value;          // the inline value when `ref` is null
  const OverflowRef* ref;  // the value's run, or null
  // When `key` and `value` lie in a cell of the layout built, its header
  // right before the key, laid out as the builder would: that cell's size.
  // The cell is then copied whole, with the cells next to it in the same
  // page at once. 0 lays the entry out anew.
  std::uint32_t cell_size = 0;
};

namespace node {

// Lays a leaf out into `page` (page-size bytes; header fields, slots and
// cells; the trailer is left for the sealer). The items must fit. Items
// with a `cell_size` whose cells lie one right below the other, as a leaf
// lays out consecutive entries, are copied as one block.
void build_leaf(std::span<std::uint8_t> page, LeafLayout layout, std::span<const LeafItem> items,
                std::uint64_t commit_id, std::uint64_t tree_id);

// Lays a branch out: keys.size() + 1 children.
void build_branch(std::span<std::uint8_t> page, std::uint8_t level, std::span<const ByteView> keys,
                  std::span<const ChildPointer> children, std::uint64_t commit_id,
                  std::uint64_t tree_id);

// Child `index`'s pointer in a branch being laid out.
inline void store_child(std::span<std::uint8_t> page, std::size_t index,
                        const ChildPointer& child) {
  child.store(page.data() + kPageContentOffset + ChildPointer::kSize * index);
}

// Lays a branch out with the children and separators of `image`, a branch
// page of the same page size, where they lie there: its child pointers,
// slots and cells are copied as one block (from_page checked they lie
// inside the page). The children that changed are stored over theirs
// afterwards (store_child).
void build_branch_like(std::span<std::uint8_t> page, const NodeView& image, std::uint64_t commit_id,
                       std::uint64_t tree_id);

}  // namespace node

}  // namespace deziro
