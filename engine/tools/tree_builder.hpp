// Builds a tree bottom-up from entries given in key order: leaves are filled
// up to the page's room and written as they close, and each branch level is
// cut into branches as its children come. Rebuilding a poorly filled tree
// and copying a tree into a new file both lay trees out this way, which
// fills their pages far better than one insert after another.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "btree/tree.hpp"
#include "error.hpp"

namespace deziro::repack {

class TreeBuilder {
 public:
  // Pages come from `cx.sink`; `cx` must outlive the builder or its next
  // `resume`. Held in memory: the leaf being filled, a batch of closed
  // leaves on consecutive pages (written together), and per branch level
  // two groups of children: memory does not grow with the tree.
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

  // The root of the entries added so far, for a commit in the middle of a
  // tree: the branches of its right edge are written as they stand, and
  // given up again by `resume`, which the builder needs before it goes on.
  Result<ChildPointer> checkpoint();
  // Goes on in the transaction of `cx` (begun after the commit of a
  // checkpoint), releasing the right edge the checkpoint wrote.
  void resume(const WriteContext& cx);

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
  using Child = std::pair<std::string, ChildPointer>;
  // Children of one branch to be: each with its first key.
  struct Group {
    std::vector<Child> children;
    std::size_t cost = 0;
  };
  // One branch level: the group filled last (held back, so that a last
  // group of one child can take a child from it) and the one being filled.
  struct Level {
    Group held;
    bool has_held = false;
    Group open;
  };

  Status add_item(ByteView key, ByteView value, const OverflowRef* ref);
  Status close_leaf();
  Status write_batch();
  Result<ChildPointer> write_branch(const Group& group, std::size_t level,
                                    std::vector<std::uint64_t>* written);
  Status add_child(std::vector<Level>& levels, std::size_t level, Child child,
                   std::vector<std::uint64_t>* written);
  Result<ChildPointer> close_levels(std::vector<Level>& levels,
                                    std::vector<std::uint64_t>* written);

  const WriteContext* cx_;
  std::uint32_t page_size_;
  std::size_t room_;
  // The leaf being filled: its keys and inline values, and where each is.
  std::vector<std::uint8_t> arena_;
  std::vector<Item> items_;
  std::vector<LeafItem> views_;
  std::size_t fill_ = 0;
  std::uint64_t entries_ = 0;
  // Closed leaves on consecutive pages, not yet written.
  std::vector<std::uint8_t> batch_;
  std::vector<Child> batch_leaves_;
  std::vector<PageStamp> stamps_;
  // Branch levels from the one above the leaves up.
  std::vector<Level> levels_;
  // Right-edge branches a checkpoint wrote.
  std::vector<std::uint64_t> edge_pages_;
};

}  // namespace deziro::repack
