// Range cursors and scans over a tree, forward or backward, between an
// `Included`, `Excluded` or `Unbounded` lower and upper bound. A cursor
// keeps the path from the root to its current leaf; the leaves of pages it
// holds stay alive while it does. A cursor over a tree with nodes in memory
// must be dropped before the tree changes again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "btree/key_bound.hpp"
#include "btree/tree.hpp"
#include "function_ref.hpp"

namespace deziro {

class RangeCursor {
 public:
  // Positions a cursor on the first leaf in the read's direction (the leaf
  // where the range starts); none when the tree holds no entries.
  static Result<std::optional<RangeCursor>> open(const ReadContext& cx, const TreeRoot& root,
                                                 KeyBound lower, KeyBound upper, bool reverse);
  static Result<std::optional<RangeCursor>> open(const ReadContext& cx, const ChildPointer& root,
                                                 KeyBound lower, KeyBound upper, bool reverse);

  bool reverse() const { return reverse_; }
  std::uint64_t tree_id() const { return tree_id_; }
  NodeSource& source() const { return *source_; }
  const KeyBound& lower() const { return lower_; }
  const KeyBound& upper() const { return upper_; }

  // The current leaf; false once the cursor moved past either end.
  bool on_leaf() const { return !path_.empty(); }
  std::size_t leaf_count() const;
  ByteView key_at(std::size_t slot) const;
  LeafCell cell_at(std::size_t slot) const;
  // The current leaf's page, or null for a leaf held in memory.
  const NodeView* leaf_page() const;

  // The first slot of the current leaf whose key lies beyond `bound` as an
  // upper bound (the leaf's count for `Unbounded`). INTERNAL "a range
  // stopped on a branch" when the cursor is not on a leaf.
  Result<std::size_t> leaf_range_end(const KeyBound& bound) const;
  // The first slot of the current leaf whose key is not below `bound` as a
  // lower bound.
  std::size_t leaf_range_start(const KeyBound& bound) const;
  // The slots [first, end) of the current leaf inside both bounds.
  std::pair<std::size_t, std::size_t> leaf_slots() const;
  // Whether the range ends in the current leaf in the read's direction, so
  // that no later leaf need be read.
  bool range_ends_in_leaf() const;

  // The pointer through which the current leaf was reached; none for a
  // root leaf or a leaf held in memory.
  std::optional<ChildPointer> parent_pointer() const;

  // Moves to the neighbouring leaf; false at the end of the tree.
  Result<bool> next_leaf();
  Result<bool> prev_leaf();

  // One entry of the walk in the cursor's direction: false at the end of
  // the range. Views stay valid until the next call; a value kept in an
  // overflow run is read whole.
  Result<bool> next(ByteView& key, ByteView& value);

  // Reads a cell's value (an overflow run into `buffer`).
  Result<ByteView> value_of(const LeafCell& cell, std::string& buffer) const;

  // For a walk that reads every cell of the leaves it goes on to (not one
  // whose range ends soon): from here on, each leaf page the cursor steps
  // to has all its slot and cell lines loaded at once.
  void load_whole_leaves() { load_leaves_ = true; }

 private:
  struct Frame {
    NodeView view;
    const MemNode* mem = nullptr;
    std::optional<ChildPointer> via;
    std::size_t index = 0;  // branches: the child on the path
  };
  enum class Edge : std::uint8_t { First, Last };

  RangeCursor(const ReadContext& cx, KeyBound lower, KeyBound upper, bool reverse);
  Result<bool> start(const MemNode* mem, const ChildPointer& root);
  Status push(const MemNode* mem, const ChildPointer& pointer, std::optional<std::uint8_t> level,
              std::optional<ChildPointer> via);
  Status push_child();
  Status descend_to_edge(Edge edge);
  Result<bool> step_leaf(bool forward);
  // After a step to the current leaf from `left`: CORRUPTED unless the
  // leaf holds keys beyond all of `left`'s in the step's direction.
  Status check_step(const Frame& left, bool forward) const;
  void begin_leaf_walk();
  // Fetches the leaf the walk goes to next when it has the same parent as
  // the current one, so that its page's lines can be asked for while the
  // current leaf is read (leaves lie apart in memory, where no hardware
  // prefetcher follows them).
  void look_ahead();
  void advance_ahead();
  std::size_t frame_children(const Frame& f) const;
  static std::uint8_t frame_level(const Frame& f);

  NodeSource* source_;
  std::uint64_t tree_id_;
  KeyBound lower_;
  KeyBound upper_;
  bool reverse_;
  std::vector<Frame> path_;
  // The entry walk: the next slot and the end of the current leaf's part.
  bool walk_started_ = false;
  bool walk_last_leaf_ = false;
  std::size_t slot_ = 0;
  std::size_t stop_ = 0;
  bool load_leaves_ = false;
  std::string value_buffer_;
  // The next leaf fetched by look_ahead (no page when none), the direction
  // it lies in, and the part of its page not yet asked for.
  NodeView ahead_;
  bool ahead_forward_ = true;
  const std::uint8_t* ahead_from_ = nullptr;
  const std::uint8_t* ahead_end_ = nullptr;
};

// Visits every entry within the bounds in ascending (scan_forward) or
// descending (scan_backward) key order until the visitor answers stop or
// fails. When it answers pause, the pass ends and the range is opened again
// from just after the last key read; when the range is exhausted, `at_end`
// runs once before the call returns (not after a stop or an error).
using EntryVisitor = FunctionRef<Result<VisitAnswer>(ByteView key, ByteView value)>;
using ScanEnd = FunctionRef<Status()>;

namespace read {

Status scan_forward(const ReadContext& cx, const TreeRoot& root, const KeyBound& lower,
                    const KeyBound& upper, EntryVisitor visitor, const ScanEnd* at_end = nullptr);
Status scan_backward(const ReadContext& cx, const TreeRoot& root, const KeyBound& lower,
                     const KeyBound& upper, EntryVisitor visitor, const ScanEnd* at_end = nullptr);

// Whether a key lies inside a bound, as a lower or as an upper bound.
bool above_lower(ByteView key, const KeyBound& lower);
bool below_upper(ByteView key, const KeyBound& upper);

}  // namespace read

}  // namespace deziro
