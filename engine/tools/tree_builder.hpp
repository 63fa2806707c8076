// Builds a tree bottom-up from entries given in key order: leaves are filled
// up to the page's room and written as they close, and the branch levels
// are built over them at the end. Rebuilding a poorly filled tree and
// copying a tree into a new file both lay trees out this way, which fills
// their pages far better than one insert after another.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "btree/tree.hpp"
#include "error.hpp"

namespace deziro::repack {

class TreeBuilder {
 public:
  // Pages come from `cx.sink` and are written at once: only the entries of
  // the leaf being filled and one key and pointer per closed leaf are held.
  explicit TreeBuilder(const WriteContext& cx);

  // Appends an entry; keys must come in ascending order. A leaf takes the
  // entry while it fits the room left, or when it is still empty.
  Status add(MemEntry entry);
  // The same for a value: one too long for a leaf goes into an overflow run
  // at once, so that no long value waits in memory.
  Status add(ByteView key, ByteView value);
  // Writes the last leaf and the branches; returns the root, page 0 for a
  // tree without entries. INTERNAL "an empty branch while repacking" when a
  // level cannot be cut into branches of two children or more.
  Result<ChildPointer> finish();

  std::uint64_t entries() const { return entries_; }

 private:
  using Level = std::vector<std::pair<std::string, ChildPointer>>;
  Status close_leaf();
  Result<Level> build_branches(const Level& lower, std::uint8_t level);

  const WriteContext& cx_;
  std::size_t room_;
  MemNode leaf_;
  std::size_t fill_ = 0;
  std::uint64_t entries_ = 0;
  // Each closed leaf's first key and pointer.
  Level leaves_;
};

}  // namespace deziro::repack
