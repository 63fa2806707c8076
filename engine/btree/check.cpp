#include "btree/check.hpp"

#include <set>

#include "btree/overflow.hpp"
#include "btree/walk.hpp"
#include "text_format.hpp"

namespace deziro {

namespace btree {

namespace {

class Checker final : public NodeVisitor {
 public:
  Checker(const ReadContext& cx, const TreeCheckOptions& options) : cx_(cx), options_(options) {}

  TreeCheckReport run(const ChildPointer& root) {
    walk_tree(cx_, root, *this);
    return std::move(report_);
  }

  bool enter(const WalkFrame& f) override {
    std::uint64_t page = f.pointer.page;
    if (!use(page, 1)) return false;
    if (f.pointer.commit_id > f.parent_commit)
      problem(page, "is newer than its parent (commit {} below commit {})", f.pointer.commit_id,
              f.parent_commit);
    return true;
  }

  void unreadable(const WalkFrame&, const Error& error) override {
    report_.problems.push_back(error.to_string());
  }

  void visit(const WalkFrame& f, const NodeView& view) override {
    std::uint64_t page = f.pointer.page;
    if (f.is_root()) report_.height = view.level() + 1u;
    check_keys(view, f);
    std::uint32_t page_size = view.page_size();
    // A node on the tree's first or last path (no bound on that side) is
    // where sorted and descending loads start new nodes, so it may be small.
    const bool inner = f.lower && f.upper;
    if (options_.check_fill && inner && view.used_bytes() < node::capacity(page_size) / 4)
      problem(page, "uses {} bytes, under a quarter of its room", view.used_bytes());
    if (!view.is_leaf()) return;
    if (f.is_root() && view.count() == 0) problem(page, "is an empty root leaf");
    report_.entries += view.count();
    for (std::size_t i = 0; i < view.count(); ++i) check_value(view, page, i);
  }

 private:
  template <typename... Args>
  void problem(std::uint64_t page, std::string_view text, const Args&... args) {
    report_.problems.push_back(format_text("page {}: ", page) + format_text(text, args...));
  }

  bool use(std::uint64_t first, std::uint64_t count) {
    for (std::uint64_t p = first; p < first + count; ++p) {
      if (!used_.insert(p).second) {
        problem(p, "is used twice");
        return false;
      }
    }
    report_.pages.push_back(UsedRun{first, count});
    return true;
  }

  void check_keys(const NodeView& view, const WalkFrame& f) {
    std::uint64_t page = f.pointer.page;
    for (std::size_t i = 0; i < view.count(); ++i) {
      ByteView key = view.key_at(i);
      if (key.size() > node::max_key_len(view.page_size()))
        problem(page, "holds a key of {} bytes, over the limit", key.size());
      if (i > 0 && compare_keys(view.key_at(i - 1), key) >= 0) {
        problem(page, "holds keys out of order at slot {}", i);
        return;
      }
    }
    if (first_key_outside(view, f)) problem(page, "holds a key outside the separators on its path");
  }

  void check_value(const NodeView& view, std::uint64_t page, std::size_t i) {
    LeafCell cell = view.cell_at(i);
    std::uint32_t page_size = view.page_size();
    if (!cell.overflow) {
      if (!node::value_fits_inline(view.layout(), page_size, cell.key.size(), cell.value.size()))
        problem(page, "holds a value of {} bytes inline, too long for it", cell.value.size());
      return;
    }
    const OverflowRef& ref = cell.ref;
    // A run may hold a value short enough for the leaf: entries keep their
    // runs when a leaf is rewritten in the smaller varint layout.
    if (ref.commit_id > view.commit_id())
      problem(ref.first_page, "is an overflow run newer than its leaf");
    if (ref.page_count == 0 || ref.page_count != node::overflow_page_count(page_size, ref.length)) {
      problem(ref.first_page, "is an overflow run of {} pages for {} bytes", ref.page_count,
              ref.length);
      return;
    }
    if (!use(ref.first_page, ref.page_count)) return;
    if (options_.read_overflow) {
      std::string value;
      auto read = load::read_overflow_run(cx_.source, ref, cx_.tree_id, value);
      if (!read) report_.problems.push_back(read.error().to_string());
    }
  }

  const ReadContext& cx_;
  const TreeCheckOptions& options_;
  TreeCheckReport report_;
  std::set<std::uint64_t> used_;
};

}  // namespace

TreeCheckReport check_tree(const ReadContext& cx, const ChildPointer& root,
                           const TreeCheckOptions& options) {
  return Checker(cx, options).run(root);
}

}  // namespace btree

}  // namespace deziro
