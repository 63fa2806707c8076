// The catalog: the tree of named trees (tree id 1), keyed by tree name, each
// value a 56-byte TreeDescriptor. See docs/file-format.md section 7.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "btree/cursor.hpp"
#include "btree/tree.hpp"
#include "error.hpp"
#include "format/page.hpp"

namespace deziro {

struct TreeDescriptor {
  static constexpr std::size_t kSize = 56;

  std::uint64_t tree_id = 0;
  // Page 0: the tree holds no entries.
  ChildPointer root;
  std::uint64_t entry_count = 0;

  std::array<std::uint8_t, kSize> encode() const;
  // CORRUPTED "the catalog: ..." from `source` when the bytes are no
  // descriptor.
  static Result<TreeDescriptor> decode(ByteView bytes, const NodeSource& source);

  friend bool operator==(const TreeDescriptor&, const TreeDescriptor&) = default;
};

namespace catalog {

// INVALID_ARGUMENT "a tree name is 1 to {} bytes long and does not start
// with a NUL character" for an empty or too long name. Engine trees, whose
// names do begin with NUL, pass through here too, so only the length is
// checked.
Status check_tree_name(ByteView name, std::size_t max_len);

// The descriptor of the named tree in the catalog at `root`, or none.
// A descriptor that does not decode is CORRUPTED "the catalog: {}".
Result<std::optional<TreeDescriptor>> find(NodeSource& source, const TreeRoot& root, ByteView name);
Result<std::optional<TreeDescriptor>> find(NodeSource& source, const ChildPointer& root,
                                           ByteView name);

// The next tree name of a walk over the catalog, or none at its end. A name
// that is not UTF-8 is CORRUPTED "the catalog: a tree name is not UTF-8".
Result<std::optional<std::string>> list_tree_names(RangeCursor& cursor);

}  // namespace catalog
}  // namespace deziro
