// The one walk over the nodes of a tree, shared by the tree checker and the
// maintenance check: an explicit stack (never the call stack, so a deep or
// looping tree cannot overflow it), the key bounds each node inherits from
// the separators on its path, and the level and commit its parent expects.
// What is tested at each node belongs to the visitor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "btree/tree.hpp"

namespace deziro::btree {

// One node still to be read.
struct WalkFrame {
  ChildPointer pointer;
  // The level its parent expects; none for the root.
  std::optional<std::uint8_t> level;
  std::optional<std::string> lower;  // inclusive
  std::optional<std::string> upper;  // exclusive
  // The commit of the branch that points here (the highest id for the root).
  std::uint64_t parent_commit = UINT64_MAX;

  bool is_root() const { return !level.has_value(); }
};

class NodeVisitor {
 public:
  virtual ~NodeVisitor() = default;
  // Before the frame's node is read: false skips it and everything below
  // it. A visitor that marks pages here is what keeps a page reachable
  // twice from being walked twice, and a cycle from being endless.
  virtual bool enter(const WalkFrame& frame) = 0;
  // The node failed to read; it and everything below it are skipped.
  virtual void unreadable(const WalkFrame& frame, const Error& error) = 0;
  // A node read; a branch's children are pushed once this returns.
  virtual void visit(const WalkFrame& frame, const NodeView& node) = 0;
};

// Which of a branch's children the walk reads first. The stack is popped
// from its top, so with LastFirst the children are pushed in child order and
// a tree's leaves are met from the last to the first.
enum class ChildOrder : std::uint8_t { FirstFirst, LastFirst };

// Walks every node below `root` (page 0: none).
void walk_tree(const ReadContext& cx, const ChildPointer& root, NodeVisitor& visitor,
               ChildOrder order = ChildOrder::FirstFirst);

// The first slot whose key is not inside the frame's bounds (lower
// inclusive, upper exclusive, bytes unsigned, a proper prefix first).
std::optional<std::size_t> first_key_outside(const NodeView& node, const WalkFrame& frame);

}  // namespace deziro::btree
