#include "btree/check.hpp"

#include <optional>
#include <set>

#include "btree/overflow.hpp"
#include "text_format.hpp"

namespace deziro {

namespace btree {

namespace {

struct Frame {
  ChildPointer pointer;
  std::optional<std::uint8_t> level;
  std::optional<std::string> lower;  // inclusive
  std::optional<std::string> upper;  // exclusive
  std::uint64_t parent_commit;
  bool root;
};

class Checker {
 public:
  Checker(const ReadContext& cx, const TreeCheckOptions& options) : cx_(cx), options_(options) {}

  TreeCheckReport run(const ChildPointer& root) {
    if (root.page == 0) return std::move(report_);
    std::vector<Frame> stack;
    stack.push_back(Frame{root, std::nullopt, std::nullopt, std::nullopt, UINT64_MAX, true});
    while (!stack.empty()) {
      Frame f = std::move(stack.back());
      stack.pop_back();
      visit(f, stack);
    }
    return std::move(report_);
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

  void visit(const Frame& f, std::vector<Frame>& stack) {
    std::uint64_t page = f.pointer.page;
    if (!use(page, 1)) return;
    if (f.pointer.commit_id > f.parent_commit)
      problem(page, "is newer than its parent (commit {} below commit {})", f.pointer.commit_id,
              f.parent_commit);
    auto fetched = cx_.source.fetch_node(f.pointer, cx_.tree_id, f.level);
    if (!fetched) {
      report_.problems.push_back(fetched.error().to_string());
      return;
    }
    const NodeView& view = *fetched;
    if (f.root) report_.height = view.level() + 1u;
    check_keys(view, f);
    std::uint32_t page_size = view.page_size();
    if (options_.check_fill && !f.root && view.used_bytes() < node::capacity(page_size) / 4)
      problem(page, "uses {} bytes, under a quarter of its room", view.used_bytes());
    if (view.is_leaf()) {
      if (f.root && view.count() == 0) problem(page, "is an empty root leaf");
      report_.entries += view.count();
      for (std::size_t i = 0; i < view.count(); ++i) check_value(view, page, i);
      return;
    }
    // Children are pushed last first, so the walk meets them in key order.
    for (std::size_t i = view.child_count(); i-- > 0;) {
      Frame child;
      child.pointer = view.child_at(i);
      child.level = static_cast<std::uint8_t>(view.level() - 1);
      child.lower = i == 0 ? f.lower : std::optional<std::string>(to_string(view.key_at(i - 1)));
      child.upper =
          i == view.count() ? f.upper : std::optional<std::string>(to_string(view.key_at(i)));
      child.parent_commit = view.commit_id();
      child.root = false;
      stack.push_back(std::move(child));
    }
  }

  void check_keys(const NodeView& view, const Frame& f) {
    std::uint64_t page = f.pointer.page;
    for (std::size_t i = 0; i < view.count(); ++i) {
      ByteView key = view.key_at(i);
      if (key.size() > node::max_key_len(view.page_size()))
        problem(page, "holds a key of {} bytes, over the limit", key.size());
      if (i > 0 && compare_keys(view.key_at(i - 1), key) >= 0) {
        problem(page, "holds keys out of order at slot {}", i);
        return;
      }
      if ((f.lower && compare_keys(key, bytes_view(*f.lower)) < 0) ||
          (f.upper && compare_keys(key, bytes_view(*f.upper)) >= 0)) {
        problem(page, "holds a key outside the separators on its path");
        return;
      }
    }
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
