// Builds a tree bottom-up from entries given in key order: leaves are filled
// up to the page's room and written as they close, and the branch levels
// are built over them at the end. Rebuilding a poorly filled tree and
// copying a tree into a new file both lay trees out this way, which fills
// their pages far better than one insert after another.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "btree/tree.hpp"
#include "error.hpp"

namespace deziro::repack {

class TreeBuilder {
 public:
  // Pages come from `cx.sink`. Only the leaf being filled, a batch of closed
  // leaves (written together when their pages follow one another) and one
  // key and pointer per closed leaf are held in memory.
  explicit TreeBuilder(const WriteContext& cx);

  // Appends an entry; keys must come in ascending order. A leaf takes the
  // entry while it fits the room left, or when it is still empty. A value
  // too long for a leaf goes into an overflow run at once; an entry that
  // refers to a run keeps it.
  Status add(ByteView key, ByteView value);
  Status add(const MemEntry& entry);
  // Writes what is left and the branches; returns the root, page 0 for a
  // tree without entries. INTERNAL "an empty branch while repacking" when a
  // level cannot be cut into branches of two children or more.
  Result<ChildPointer> finish();

  std::uint64_t entries() const { return entries_; }

 private:
  struct Item {
    std::size_t key_at;
    std::size_t key_len;
    std::size_t value_at;
    std::size_t value_len;
    bool overflow;
    OverflowRef ref;
  };
  using Level = std::vector<std::pair<std::string, ChildPointer>>;

  Status add_item(ByteView key, ByteView value, const OverflowRef* ref);
  Status close_leaf();
  Status write_batch();
  Result<Level> build_branches(const Level& lower, std::uint8_t level);

  const WriteContext& cx_;
  std::uint32_t page_size_;
  std::size_t room_;
  // The leaf being filled: its keys and inline values, and where each is.
  std::vector<std::uint8_t> arena_;
  std::vector<Item> items_;
  std::vector<LeafItem> views_;
  std::size_t fill_ = 0;
  std::uint64_t entries_ = 0;
  // Closed leaves on consecutive pages, not yet written; their pointers in
  // `leaves_` get their stamps when they are.
  std::vector<std::uint8_t> batch_;
  std::vector<PageStamp> stamps_;
  std::uint64_t batch_first_ = 0;
  std::size_t batch_count_ = 0;
  // Each closed leaf's first key and pointer.
  Level leaves_;
};

}  // namespace deziro::repack
