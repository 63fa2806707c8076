#include "format/node.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

#include "format/bytes.hpp"
#include "invariant.hpp"
#include "text_format.hpp"

namespace deziro {

PageKind leaf_page_kind(LeafLayout layout) {
  return layout == LeafLayout::Varint ? PageKind::VarintLeaf : PageKind::FixedLeaf;
}

namespace node {

std::uint64_t overflow_page_count(std::uint32_t page_size, std::uint64_t value_len) {
  std::uint64_t room = overflow_payload(page_size);
  return (value_len + room - 1) / room;
}

}  // namespace node

OverflowRef OverflowRef::load(const std::uint8_t* p) {
  OverflowRef ref;
  ref.first_page = load_u64_le(p);
  ref.page_count = load_u32_le(p + 8);
  ref.length = load_u32_le(p + 12);
  ref.commit_id = load_u64_le(p + 16);
  // p + 24: four reserved bytes, written as zero.
  ref.check = PageStamp::load(p + 28);
  return ref;
}

void OverflowRef::store(std::uint8_t* p) const {
  store_u64_le(p, first_page);
  store_u32_le(p + 8, page_count);
  store_u32_le(p + 12, length);
  store_u64_le(p + 16, commit_id);
  store_u32_le(p + 24, 0);
  check.store(p + 28);
}

namespace {

using node::CellShape;
using node::kFixedInline;
using node::kFixedOverflow;

// Reads a LEB128 number of at most 3 bytes (every length a node holds fits);
// returns false when it runs past `end` or is longer.
bool read_small_varint(const std::uint8_t* page, std::size_t& pos, std::size_t end,
                       std::uint32_t& out) {
  std::uint32_t value = 0;
  for (int i = 0; i < 3; ++i) {
    if (pos >= end) return false;
    std::uint8_t b = page[pos++];
    value |= static_cast<std::uint32_t>(b & 0x7F) << (7 * i);
    if ((b & 0x80) == 0) {
      out = value;
      return true;
    }
  }
  return false;
}

std::size_t write_varint(std::uint8_t* p, std::uint64_t x) {
  std::size_t n = 0;
  while (x >= 0x80) {
    p[n++] = static_cast<std::uint8_t>(x | 0x80);
    x >>= 7;
  }
  p[n++] = static_cast<std::uint8_t>(x);
  return n;
}

// Decodes a leaf cell's header at `pos`, checking that the whole cell ends
// by `end`.
bool decode_leaf_cell(const std::uint8_t* page, LeafLayout layout, std::size_t pos, std::size_t end,
                      CellShape& shape) {
  if (layout == LeafLayout::Fixed) {
    if (pos + 3 > end) return false;
    std::uint8_t flag = page[pos];
    shape.key_len = load_u16_le(page + pos + 1);
    if (flag == kFixedInline) {
      if (pos + 5 > end) return false;
      shape.value_len = load_u16_le(page + pos + 3);
      shape.key_pos = pos + 5;
      shape.overflow = false;
    } else if (flag == kFixedOverflow) {
      shape.value_len = node::kOverflowRefSize;
      shape.key_pos = pos + 3;
      shape.overflow = true;
    } else {
      return false;
    }
  } else {
    std::uint32_t key_len = 0;
    std::uint32_t tag = 0;
    if (!read_small_varint(page, pos, end, key_len)) return false;
    if (!read_small_varint(page, pos, end, tag)) return false;
    shape.key_len = key_len;
    if (tag & 1) {
      if (tag != 1) return false;
      shape.overflow = true;
      shape.value_len = node::kOverflowRefSize;
    } else {
      shape.overflow = false;
      shape.value_len = tag / 2;
    }
    shape.key_pos = pos;
  }
  shape.value_pos = shape.key_pos + shape.key_len;
  return shape.value_pos + shape.value_len <= end;
}

// The node code of a page kind; none for an overflow page or an unknown kind.
std::optional<NodeCode> node_code(std::uint8_t kind) {
  switch (kind) {
    case static_cast<std::uint8_t>(PageKind::FixedLeaf):
      return NodeCode::FixedLeaf;
    case static_cast<std::uint8_t>(PageKind::VarintLeaf):
      return NodeCode::VarintLeaf;
    case static_cast<std::uint8_t>(PageKind::Branch):
      return NodeCode::Branch;
    default:
      return std::nullopt;
  }
}

// Where a node's slot array starts: past a branch's child pointers.
std::size_t slots_offset(bool leaf, std::size_t count) {
  return kPageContentOffset + (leaf ? 0 : ChildPointer::kSize * (count + 1));
}

inline std::size_t slot_offset(const std::uint8_t* page, std::size_t slots, std::size_t index) {
  return load_u16_le(page + slots + node::kSlotSize * index);
}

// The key of the cell at `pos` of a node of `code` (a leaf's entry key, a
// branch's separator), when the whole cell ends by `end`.
inline std::optional<ByteView> checked_cell_key(const std::uint8_t* page, NodeCode code,
                                                std::size_t pos, std::size_t end) {
  if (code == NodeCode::Branch) {
    if (pos + 2 > end) return std::nullopt;
    const std::size_t size = load_u16_le(page + pos);
    if (pos + 2 + size > end) return std::nullopt;
    return ByteView(page + pos + 2, size);
  }
  CellShape shape;
  if (!decode_leaf_cell(page, leaf_layout(code), pos, end, shape)) return std::nullopt;
  return ByteView(page + shape.key_pos, shape.key_len);
}

LeafCell cell_from_shape(const std::uint8_t* page, const CellShape& shape) {
  LeafCell cell;
  cell.key = ByteView(page + shape.key_pos, shape.key_len);
  cell.overflow = shape.overflow;
  if (shape.overflow) {
    cell.ref = OverflowRef::load(page + shape.value_pos);
  } else {
    cell.value = ByteView(page + shape.value_pos, shape.value_len);
  }
  return cell;
}

}  // namespace

namespace node {

LeafCell entry_at(const std::uint8_t* page, LeafLayout layout, std::size_t index) {
  return cell_from_shape(page, leaf_cell_shape(page, layout, leaf_cell_offset(page, index)));
}

}  // namespace node

std::expected<NodeView, std::string> NodeView::from_page(std::shared_ptr<const std::uint8_t> page,
                                                         std::uint32_t page_size) {
  const std::uint8_t* p = page.get();
  std::uint8_t kind = p[kPageKindOffset];
  std::uint8_t level = p[kPageLevelOffset];
  NodeView view;
  if (std::optional<NodeCode> code = node_code(kind)) {
    view.code_ = *code;
  } else if (kind == static_cast<std::uint8_t>(PageKind::Overflow)) {
    return std::unexpected(std::string("it is an overflow page, not a node"));
  } else {
    return std::unexpected(format_text("its kind {} is unknown", kind));
  }
  bool leaf = view.code_ != NodeCode::Branch;
  if (leaf != (level == 0))
    return std::unexpected(format_text("its kind {} cannot have level {}", kind, level));
  std::size_t count = load_u16_le(p + node::kEntryCountOffset);
  std::size_t cell_start = load_u16_le(p + node::kCellStartOffset);
  std::size_t end = page_size - kPageStampSize;
  std::size_t slots = slots_offset(leaf, count);
  std::size_t slots_end = slots + node::kSlotSize * count;
  if (!leaf && count == 0) return std::unexpected(std::string("it is a branch with one child"));
  if (slots_end > cell_start || cell_start > end)
    return std::unexpected(std::string("its cells overlap"));
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t pos = slot_offset(p, slots, i);
    if (pos < cell_start || pos >= end) return std::unexpected(std::string("its cells overlap"));
    if (!checked_cell_key(p, view.code_, pos, end))
      return std::unexpected(format_text("its cell {} cannot be read", i));
  }
  view.page_ = std::move(page);
  view.page_size_ = page_size;
  view.level_ = level;
  view.count_ = static_cast<std::uint16_t>(count);
  view.slots_ = static_cast<std::uint16_t>(slots);
  return view;
}

std::optional<ByteView> NodeView::first_key_of(std::span<const std::uint8_t> page) {
  if (page.size() < kPageContentOffset + kPageStampSize) return std::nullopt;
  const std::uint8_t* p = page.data();
  const std::optional<NodeCode> code = node_code(p[kPageKindOffset]);
  if (!code) return std::nullopt;
  const bool leaf = *code != NodeCode::Branch;
  const std::size_t count = load_u16_le(p + node::kEntryCountOffset);
  const std::size_t end = page.size() - kPageStampSize;
  const std::size_t slots = slots_offset(leaf, count);
  if (count == 0 || slots + node::kSlotSize > end) return std::nullopt;
  return checked_cell_key(p, *code, slot_offset(p, slots, 0), end);
}

namespace {

// Whether a built page parses as a page read from the file does, into the
// same view (debug builds' check of the builders).
[[maybe_unused]] bool built_page_parses(const NodeView& built) {
  auto parsed = NodeView::from_page(built.page_owner(), built.page_size());
  if (!parsed || parsed->code() != built.code() || parsed->level() != built.level() ||
      parsed->count() != built.count())
    return false;
  for (std::size_t i = 0; i < built.count(); ++i)
    if (parsed->cell_address(i) != built.cell_address(i)) return false;
  return true;
}

}  // namespace

NodeView NodeView::of_built_page(std::shared_ptr<const std::uint8_t> page,
                                 std::uint32_t page_size) {
  const std::uint8_t* p = page.get();
  NodeView view;
  view.code_ = node_code(p[kPageKindOffset]).value_or(NodeCode::FixedLeaf);
  const std::size_t count = load_u16_le(p + node::kEntryCountOffset);
  view.level_ = p[kPageLevelOffset];
  view.count_ = static_cast<std::uint16_t>(count);
  view.slots_ = static_cast<std::uint16_t>(slots_offset(view.is_leaf(), count));
  view.page_size_ = page_size;
  view.page_ = std::move(page);
  DZ_ASSERT(built_page_parses(view));
  return view;
}

std::uint64_t NodeView::commit_id() const { return load_u64_le(page() + kPageCommitIdOffset); }
std::uint64_t NodeView::tree_id() const { return load_u64_le(page() + kPageTreeIdOffset); }

std::uint32_t NodeView::used_bytes() const {
  std::size_t cell_start = load_u16_le(page() + node::kCellStartOffset);
  std::size_t used = (slots_ - kPageContentOffset) + node::kSlotSize * count_ +
                     (page_size_ - kPageStampSize - cell_start);
  return static_cast<std::uint32_t>(std::min<std::size_t>(used, 65535));
}

std::size_t NodeView::separator_key_bytes() const {
  DZ_ASSERT(!is_leaf());
  const std::uint8_t* p = page();
  std::size_t total = 0;
  for (std::size_t i = 0; i < count_; ++i)
    total += load_u16_le(p + load_u16_le(p + slots_ + node::kSlotSize * i));
  return total;
}

LeafCell NodeView::cell_at(std::size_t index) const {
  DZ_ASSERT(is_leaf() && index < count_);
  return node::entry_at(page(), layout(), index);
}

std::expected<OwnedEntry, std::string> NodeView::entry_owned(std::size_t index) const {
  LeafCell cell = cell_at(index);
  OwnedEntry entry;
  entry.key = to_string(cell.key);
  entry.overflow = cell.overflow;
  if (cell.overflow) {
    const OverflowRef& ref = cell.ref;
    if (ref.page_count == 0 || ref.page_count != node::overflow_page_count(page_size_, ref.length))
      return std::unexpected(
          format_text("entry {} refers to an overflow run of {} pages for {} bytes", index,
                      ref.page_count, ref.length));
    entry.ref = ref;
  } else {
    entry.value = to_string(cell.value);
  }
  return entry;
}

namespace {

// Orders `probe` against `key` as compare_keys does, first by their leading
// 8 bytes read as one big-endian number when both have that many: random
// and prefixed keys alike are mostly told apart there, without a memcmp.
struct SearchKey {
  explicit SearchKey(ByteView key)
      : key(key), has_prefix(key.size() >= 8), prefix(has_prefix ? key_head8(key.data()) : 0) {}

  int order(ByteView probe) const {
    if (has_prefix && probe.size() >= 8) {
      std::uint64_t p = key_head8(probe.data());
      if (p != prefix) return p < prefix ? -1 : 1;
    }
    // Equal heads are compared again with the whole keys: up to 16 bytes
    // that is one more load, not a call.
    return compare_keys(probe, key);
  }

  ByteView key;
  bool has_prefix;
  std::uint64_t prefix;
};

// A binary search over a node's slots. Each probe's cell is a cache miss of
// its own, which the next probe waits on; so before a probe compares, the
// cells of both probes that may follow it are asked for (`cell_of` answers
// where a slot's cell starts), and the next miss overlaps this one.
// The answer lies in [lo, hi).
template <class KeyAt, class CellOf>
std::size_t search_slots(std::size_t lo, std::size_t hi, ByteView key, bool past_equal,
                         KeyAt key_at, CellOf cell_of) {
  SearchKey target(key);
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    if (hi - lo > 2) {
      __builtin_prefetch(cell_of(lo + (mid - lo) / 2));
      __builtin_prefetch(cell_of(mid + 1 + (hi - mid - 1) / 2));
    }
    int c = target.order(key_at(mid));
    if (c < 0 || (past_equal && c == 0)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

}  // namespace

const NodeSearchIndex::Heads* NodeSearchIndex::build(const NodeView& view) const {
  std::uint8_t idle = 0;
  if (!state_.compare_exchange_strong(idle, kBuilding, std::memory_order_acquire)) return nullptr;
  const std::size_t count = view.count();
  const std::size_t stride = (count + kHeads - 1) / kHeads;
  // The scale: from the first key's head, coarse enough for the last's.
  heads_.base = key_head(view.key_at(0));
  const std::uint64_t range = key_head(view.key_at(count - 1)) - heads_.base;
  const int width = std::bit_width(range);
  heads_.shift = static_cast<std::uint8_t>(width > 16 ? width - 16 : 0);
  std::size_t n = 0;
  for (std::size_t i = 0; i < count; i += stride)
    heads_.head[n++] = heads_.scaled(key_head(view.key_at(i)));
  for (std::size_t j = n; j < kHeads; ++j) heads_.head[j] = 0xFFFF;
  heads_.stride = static_cast<std::uint16_t>(stride);
  heads_.count = static_cast<std::uint8_t>(n);
  state_.store(kBuilt, std::memory_order_release);
  return &heads_;
}

NodeView::SlotRange NodeView::narrow(ByteView key) const {
  std::size_t lo = 0;
  std::size_t hi = count_;
  if (const NodeSearchIndex::Heads* heads = index_ != nullptr ? index_->heads(*this) : nullptr) {
    // A head is monotone in the key: a key whose head is below the target's
    // is below the target, one whose head is above is above it. So the
    // answer lies past the last indexed key with a lower head and at or
    // before the first with a higher one; with distinct heads that leaves
    // one stride. Both counts in one pass over the whole line, without
    // branches: the unused heads, 0xFFFF, are never below the target, and
    // not above it only when its head is 0xFFFF too, which leaves `hi`.
    // Counted in 16 bits, as wide as the heads, so that the compiler keeps
    // eight heads a vector step instead of widening each to 64 bits.
    const std::uint16_t head = heads->scaled(key_head(key));
    std::uint16_t below = 0;
    std::uint16_t not_above = 0;
    for (std::size_t j = 0; j < NodeSearchIndex::kHeads; ++j) {
      below = static_cast<std::uint16_t>(below + (heads->head[j] < head));
      not_above = static_cast<std::uint16_t>(not_above + (heads->head[j] <= head));
    }
    if (below > 0) lo = (below - 1) * heads->stride + 1;
    if (not_above < heads->count) hi = not_above * heads->stride;
  }
  return SlotRange{lo, hi};
}

std::size_t NodeView::search(ByteView key, bool past_equal) const {
  return search_within(key, past_equal, narrow(key));
}

std::size_t NodeView::search_within(ByteView key, bool past_equal, SlotRange range) const {
  DZ_ASSERT(range.lo <= range.hi && range.hi <= count_);
  const std::size_t lo = range.lo;
  const std::size_t hi = range.hi;
  // One loop per layout, so that the cell decoding is not re-dispatched on
  // every probe.
  auto cell_of = [this](std::size_t index) { return cell_address(index); };
  switch (code_) {
    case NodeCode::Branch:
      // A descent reads the child pointer at the answer next, from the
      // array at the page's start, away from the cells: a miss of its own
      // that would wait for the whole search. The answer lies in [lo, hi],
      // a stride or two once the heads narrowed it, so its pointers are
      // asked for now and arrive while the cells are probed.
      if (hi - lo <= 8) {
        const std::uint8_t* children = page_.get() + kPageContentOffset;
        __builtin_prefetch(children + ChildPointer::kSize * lo);
        __builtin_prefetch(children + ChildPointer::kSize * lo + 64);
        __builtin_prefetch(children + ChildPointer::kSize * hi + ChildPointer::kSize - 1);
      }
      return search_slots(
          lo, hi, key, past_equal,
          [&](std::size_t i) {
            const std::uint8_t* cell = cell_of(i);
            return ByteView(cell + 2, std::size_t{cell[0]} | std::size_t{cell[1]} << 8);
          },
          cell_of);
    case NodeCode::FixedLeaf:
      return search_slots(
          lo, hi, key, past_equal,
          [&](std::size_t i) {
            const std::uint8_t* cell = cell_of(i);
            return ByteView(cell + (cell[0] == 0 ? 5 : 3),
                            std::size_t{cell[1]} | std::size_t{cell[2]} << 8);
          },
          cell_of);
    case NodeCode::VarintLeaf:
      break;
  }
  return search_slots(
      lo, hi, key, past_equal, [this](std::size_t i) { return key_at(i); }, cell_of);
}

namespace node {

namespace {

void write_node_header(std::span<std::uint8_t> page, PageKind kind, std::uint8_t level,
                       std::size_t count, std::size_t cell_start, std::uint64_t commit_id,
                       std::uint64_t tree_id) {
  std::memset(page.data(), 0, kPageHeaderSize);
  PageHeader header{static_cast<std::uint8_t>(kind), level, commit_id, tree_id};
  header.write(page);
  store_u16_le(page.data() + kEntryCountOffset, static_cast<std::uint16_t>(count));
  store_u16_le(page.data() + kCellStartOffset, static_cast<std::uint16_t>(cell_start));
}

}  // namespace

void build_leaf(std::span<std::uint8_t> page, LeafLayout layout, std::span<const LeafItem> items,
                std::uint64_t commit_id, std::uint64_t tree_id) {
  std::uint8_t* p = page.data();
  std::size_t end = page.size() - kPageStampSize;
  std::size_t pos = end;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const LeafItem& item = items[i];
    if (std::size_t size = item.cell_size) {
      DZ_ASSERT(!item.ref && item.value.data() == item.key.data() + item.key.size() &&
                size == inline_cell_size(layout, item.key.size(), item.value.size()));
      // The run of cells that lie one right below the other where they are
      // read, as they do here: one copy.
      const std::uint8_t* const top = item.value.data() + item.value.size();
      const std::uint8_t* from = top;
      while (true) {
        DZ_ASSERT(pos >= kPageContentOffset + kSlotSize * items.size() + size);
        pos -= size;
        from -= size;
        store_u16_le(p + kPageContentOffset + kSlotSize * i, static_cast<std::uint16_t>(pos));
        if (i + 1 == items.size() || items[i + 1].cell_size == 0) break;
        const LeafItem& next = items[i + 1];
        if (next.value.data() + next.value.size() != from) break;
        DZ_ASSERT(next.cell_size == inline_cell_size(layout, next.key.size(), next.value.size()));
        size = next.cell_size;
        ++i;
      }
      std::memcpy(p + pos, from, static_cast<std::size_t>(top - from));
      continue;
    }
    bool overflow = item.ref != nullptr;
    std::size_t size = overflow ? overflow_cell_size(layout, item.key.size())
                                : inline_cell_size(layout, item.key.size(), item.value.size());
    DZ_ASSERT(pos >= kPageContentOffset + kSlotSize * items.size() + size);
    pos -= size;
    store_u16_le(p + kPageContentOffset + kSlotSize * i, static_cast<std::uint16_t>(pos));
    std::size_t at = pos;
    if (layout == LeafLayout::Fixed) {
      p[at++] = overflow ? kFixedOverflow : kFixedInline;
      store_u16_le(p + at, static_cast<std::uint16_t>(item.key.size()));
      at += 2;
      if (!overflow) {
        store_u16_le(p + at, static_cast<std::uint16_t>(item.value.size()));
        at += 2;
      }
    } else {
      at += write_varint(p + at, item.key.size());
      at += write_varint(p + at, overflow ? 1 : 2 * std::uint64_t{item.value.size()});
    }
    if (!overflow && item.value.data() == item.key.data() + item.key.size()) {
      // The value follows the key where they are held (a write
      // transaction's entries keep them so): one copy.
      if (const std::size_t n = item.key.size() + item.value.size(); n != 0)
        std::memcpy(p + at, item.key.data(), n);
      continue;
    }
    if (!item.key.empty()) std::memcpy(p + at, item.key.data(), item.key.size());
    at += item.key.size();
    if (overflow) {
      item.ref->store(p + at);
    } else if (!item.value.empty()) {
      std::memcpy(p + at, item.value.data(), item.value.size());
    }
  }
  std::size_t slots_end = kPageContentOffset + kSlotSize * items.size();
  std::memset(p + slots_end, 0, pos - slots_end);
  write_node_header(page, leaf_page_kind(layout), 0, items.size(), pos, commit_id, tree_id);
}

void build_branch(std::span<std::uint8_t> page, std::uint8_t level, std::span<const ByteView> keys,
                  std::span<const ChildPointer> children, std::uint64_t commit_id,
                  std::uint64_t tree_id) {
  DZ_ASSERT(children.size() == keys.size() + 1 && level > 0);
  std::uint8_t* p = page.data();
  std::size_t end = page.size() - kPageStampSize;
  for (std::size_t i = 0; i < children.size(); ++i)
    children[i].store(p + kPageContentOffset + ChildPointer::kSize * i);
  std::size_t slots = kPageContentOffset + ChildPointer::kSize * children.size();
  std::size_t pos = end;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    pos -= 2 + keys[i].size();
    store_u16_le(p + slots + kSlotSize * i, static_cast<std::uint16_t>(pos));
    store_u16_le(p + pos, static_cast<std::uint16_t>(keys[i].size()));
    if (!keys[i].empty()) std::memcpy(p + pos + 2, keys[i].data(), keys[i].size());
  }
  std::size_t slots_end = slots + kSlotSize * keys.size();
  DZ_ASSERT(slots_end <= pos);
  std::memset(p + slots_end, 0, pos - slots_end);
  write_node_header(page, PageKind::Branch, level, keys.size(), pos, commit_id, tree_id);
}

void build_branch_like(std::span<std::uint8_t> page, const NodeView& image, std::uint64_t commit_id,
                       std::uint64_t tree_id) {
  DZ_ASSERT(!image.is_leaf() && page.size() == image.page_size());
  std::uint8_t* p = page.data();
  const std::size_t end = page.size() - kPageStampSize;
  std::memcpy(p + kPageContentOffset, image.page() + kPageContentOffset, end - kPageContentOffset);
  write_node_header(page, PageKind::Branch, image.level(), image.count(),
                    load_u16_le(image.page() + kCellStartOffset), commit_id, tree_id);
}

}  // namespace node

}  // namespace deziro
