#include "btree/walk.hpp"

#include <vector>

namespace deziro::btree {

void walk_tree(const ReadContext& cx, const ChildPointer& root, NodeVisitor& visitor,
               ChildOrder order) {
  if (root.page == 0) return;
  std::vector<WalkFrame> stack;
  stack.push_back(WalkFrame{root, std::nullopt, std::nullopt, std::nullopt, UINT64_MAX});
  while (!stack.empty()) {
    WalkFrame frame = std::move(stack.back());
    stack.pop_back();
    if (!visitor.enter(frame)) continue;
    auto node = cx.source.fetch_node(frame.pointer, cx.tree_id, frame.level);
    if (!node) {
      visitor.unreadable(frame, node.error());
      continue;
    }
    visitor.visit(frame, *node);
    if (node->is_leaf()) continue;
    const std::size_t n = node->count();
    for (std::size_t k = 0; k <= n; ++k) {
      const std::size_t i = order == ChildOrder::LastFirst ? k : n - k;
      WalkFrame child;
      child.pointer = node->child_at(i);
      child.level = static_cast<std::uint8_t>(node->level() - 1);
      child.lower =
          i == 0 ? frame.lower : std::optional<std::string>(to_string(node->key_at(i - 1)));
      child.upper = i == n ? frame.upper : std::optional<std::string>(to_string(node->key_at(i)));
      child.parent_commit = node->commit_id();
      stack.push_back(std::move(child));
    }
  }
}

std::optional<std::size_t> first_key_outside(const NodeView& node, const WalkFrame& frame) {
  const ByteView lower = frame.lower ? bytes_view(*frame.lower) : ByteView{};
  const ByteView upper = frame.upper ? bytes_view(*frame.upper) : ByteView{};
  for (std::size_t i = 0; i < node.count(); ++i) {
    ByteView key = node.key_at(i);
    if ((frame.lower && compare_keys(key, lower) < 0) ||
        (frame.upper && compare_keys(key, upper) >= 0))
      return i;
  }
  return std::nullopt;
}

}  // namespace deziro::btree
