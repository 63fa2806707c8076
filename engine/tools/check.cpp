#include "tools/check.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>
#include <vector>

#include "btree/overflow.hpp"
#include "btree/walk.hpp"
#include "format/bytes.hpp"
#include "instance.hpp"
#include "text_format.hpp"
#include "tools/check_objects.hpp"
#include "txn/read_txn.hpp"

namespace deziro::tools {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Tree names as the report shows them: UTF-8, each invalid sequence (its
// longest start of a valid one) replaced by U+FFFD.
std::string lossy_utf8(ByteView bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::uint8_t c = bytes[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    std::size_t len = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    std::size_t j = 1;
    while (len != 0 && j < len && i + j < bytes.size()) {
      const std::uint8_t d = bytes[i + j];
      if (j == 1 ? (d < lo || d > hi) : (d < 0x80 || d > 0xBF)) break;
      ++j;
    }
    if (len != 0 && j == len)
      out.append(reinterpret_cast<const char*>(bytes.data() + i), len);
    else
      out.append(kReplacement);
    i += j;
  }
  return out;
}

// One bit per page of the commit: set once the page is accounted for.
class PageMap {
 public:
  explicit PageMap(std::uint64_t pages) : words_((pages + 63) / 64, 0) {}
  bool test(std::uint64_t page) const { return (words_[page / 64] >> (page % 64)) & 1u; }
  void set(std::uint64_t page) { words_[page / 64] |= std::uint64_t{1} << (page % 64); }

 private:
  std::vector<std::uint64_t> words_;
};

struct TreeToCheck {
  std::string name;
  std::uint64_t tree_id;
  ChildPointer root;
  std::optional<std::uint64_t> expected_entries;
};

struct RunToCheck {
  std::uint64_t first;
  std::uint64_t length;
};

constexpr std::string_view kCatalogName = "the catalog";
constexpr std::string_view kFreeTreeName = "the free tree";
constexpr std::string_view kRetainedTreeName = "the retained tree";
constexpr std::string_view kFreePagesName = "the free pages";
constexpr std::string_view kRetainedPagesName = "the retained pages";

class CommitCheck {
 public:
  // `held` is the pages the file holds, read after the snapshot began: the
  // page map is sized by what the file can hold, never by what the record
  // claims. `cut_is_damage`: the commit was still the published one after
  // that read, so no commit can have cut pages of it off the file. Else a
  // later durable commit may have freed its free and retained pages past
  // its trees' (which its snapshot keeps) and cut them off: those runs are
  // checked as far as the file holds them, and only a tree's page past the
  // end is damage.
  CommitCheck(ReadTxn& txn, std::uint64_t held, bool cut_is_damage)
      : txn_(txn),
        pages_in_file_(std::min(txn.page_count(), held)),
        cut_is_damage_(cut_is_damage),
        pages_(pages_in_file_) {
    report_.commit_id = txn.txn_id();
    report_.page_count = txn.page_count();
    if (pages_in_file_ < txn.page_count() && cut_is_damage_)
      problem(
          std::nullopt, std::nullopt,
          format_text("the commit counts {} pages, and the file holds {}", txn.page_count(), held));
  }

  CheckReport run() {
    check_trees();
    check_objects(txn_, report_);
    check_runs(free_runs_, kFreePagesName);
    check_runs(retained_runs_, kRetainedPagesName);
    scan_leaks();
    return std::move(report_);
  }

 private:
  friend class TreeWalk;

  // The pages that can be checked: the commit's, as far as the file holds them.
  std::uint64_t page_count() const { return pages_in_file_; }

  void problem(std::optional<std::uint64_t> page, std::optional<std::string_view> tree,
               std::string message) {
    report_.problems.push_back(
        Problem{page, tree ? std::optional<std::string>(std::string(*tree)) : std::nullopt,
                std::move(message)});
  }

  // Marks a page of a tree; false (with its problem) when it lies outside
  // the file or is marked already, which leaves the walk incomplete.
  bool claim(std::uint64_t page, std::string_view tree) {
    if (page == 0 || page >= page_count()) {
      problem(page, tree, format_text("lies outside the {} pages of the file", page_count()));
    } else if (pages_.test(page)) {
      problem(page, tree, "is used twice");
    } else {
      pages_.set(page);
      return true;
    }
    walk_incomplete_ = true;
    return false;
  }

  void check_trees();
  void check_tree(const TreeToCheck& tree, std::vector<TreeToCheck>& found);
  void check_space_entry(const TreeToCheck& tree, ByteView key, ByteView value,
                         std::vector<TreeToCheck>& found);
  void check_runs(const std::vector<RunToCheck>& runs, std::string_view list);
  void scan_leaks();

  ReadTxn& txn_;
  CheckReport report_;
  std::uint64_t pages_in_file_;
  bool cut_is_damage_;
  PageMap pages_;
  // Marking stopped short of a page the commit refers to: the leak scan
  // then counts unreached pages instead of reporting leaks.
  bool walk_incomplete_ = false;
  // The tree ids the catalog's descriptors named so far.
  std::unordered_set<std::uint64_t> catalog_ids_;
  std::vector<RunToCheck> free_runs_;
  std::vector<RunToCheck> retained_runs_;
};

// The walk of one tree: marks its pages, tests its nodes' keys and entries,
// reads its overflow values and counts its entries.
class TreeWalk final : public btree::NodeVisitor {
 public:
  TreeWalk(CommitCheck& check, const TreeToCheck& tree, std::vector<TreeToCheck>& found)
      : check_(check), tree_(tree), found_(found), source_(check.txn_.source()) {}

  std::uint64_t entries = 0;
  // No node was skipped or failed to read, so the count is the tree's.
  bool whole = true;

  bool enter(const btree::WalkFrame& frame) override {
    if (check_.claim(frame.pointer.page, tree_.name)) return true;
    whole = false;
    return false;
  }

  void unreadable(const btree::WalkFrame& frame, const Error& error) override {
    check_.problem(frame.pointer.page, tree_.name, error.to_string());
    check_.walk_incomplete_ = true;
    whole = false;
  }

  void visit(const btree::WalkFrame& frame, const NodeView& node) override {
    const std::uint64_t page = frame.pointer.page;
    ++check_.report_.pages_checked;
    if (btree::first_key_outside(node, frame))
      check_.problem(page, tree_.name, "holds a key outside the separators on its path");
    if (!node.is_leaf()) return;
    entries += node.count();
    const bool space_tree = tree_.tree_id <= kRetainedTreeId;
    for (std::size_t i = 0; i < node.count(); ++i) {
      LeafCell cell = node.cell_at(i);
      if (!cell.overflow) {
        if (space_tree) check_.check_space_entry(tree_, cell.key, cell.value, found_);
        continue;
      }
      auto entry = node.entry_owned(i);
      if (!entry) {
        check_.problem(
            page, tree_.name,
            source_.corrupted(format_text("page {}: {}", page, entry.error())).to_string());
        continue;
      }
      check_overflow_value(*entry, space_tree);
    }
  }

 private:
  void check_overflow_value(const OwnedEntry& entry, bool space_tree) {
    const OverflowRef& ref = entry.ref;
    for (std::uint64_t i = 0; i < ref.page_count; ++i)
      if (!check_.claim(ref.first_page + i, tree_.name)) return;
    auto read = load::read_overflow_run(source_, ref, tree_.tree_id, value_);
    if (read) {
      check_.report_.pages_checked += ref.page_count;
      if (space_tree)
        check_.check_space_entry(tree_, bytes_view(entry.key), bytes_view(value_), found_);
      return;
    }
    // Every page of the run is marked already; find the one that fails
    // alone, if any, to name it.
    std::uint64_t failing = ref.first_page;
    PageRun one;
    for (std::uint64_t i = 0; i < ref.page_count; ++i) {
      if (!source_.read_pages(ref.first_page + i, 1, one)) {
        failing = ref.first_page + i;
        break;
      }
    }
    check_.problem(failing, tree_.name, read.error().to_string());
  }

  CommitCheck& check_;
  const TreeToCheck& tree_;
  std::vector<TreeToCheck>& found_;
  NodeSource& source_;
  std::string value_;
};

void CommitCheck::check_trees() {
  std::vector<TreeToCheck> work{
      {std::string(kCatalogName), kCatalogTreeId, txn_.catalog_root(), std::nullopt},
      {std::string(kFreeTreeName), kFreeTreeId, txn_.free_root(), std::nullopt},
      {std::string(kRetainedTreeName), kRetainedTreeId, txn_.retained_root(), std::nullopt},
  };
  // By index: the catalog's walk appends the trees it names.
  for (std::size_t i = 0; i < work.size(); ++i) {
    std::vector<TreeToCheck> found;
    check_tree(work[i], found);
    for (TreeToCheck& t : found) work.push_back(std::move(t));
  }
}

void CommitCheck::check_tree(const TreeToCheck& tree, std::vector<TreeToCheck>& found) {
  TreeWalk walk(*this, tree, found);
  btree::walk_tree(ReadContext{txn_.source(), tree.tree_id}, tree.root, walk,
                   btree::ChildOrder::LastFirst);
  if (walk.whole && tree.expected_entries && walk.entries != *tree.expected_entries)
    problem(std::nullopt, tree.name,
            format_text("holds {} entries where its descriptor counts {}", walk.entries,
                        *tree.expected_entries));
}

void CommitCheck::check_space_entry(const TreeToCheck& tree, ByteView key, ByteView value,
                                    std::vector<TreeToCheck>& found) {
  auto entry_problem = [&](std::string message) {
    problem(std::nullopt, tree.name, std::move(message));
  };
  switch (tree.tree_id) {
    case kCatalogTreeId: {
      if (value.size() != 56) return entry_problem("a catalog entry is not a tree descriptor");
      const std::uint64_t tree_id = load_u64_le(value.data());
      const ChildPointer root = ChildPointer::load(value.data() + 8);
      const std::uint64_t count = load_u64_le(value.data() + 40);
      if (tree_id < kFirstNamedTreeId)
        return entry_problem("a catalog entry names a tree id reserved for the engine");
      if ((root.page == 0) != (count == 0))
        return entry_problem("a catalog entry's root and entry count disagree");
      // Either would have two trees take one id: their pages pass for each
      // other's, and the next tree made takes an id in use. The tree is
      // still walked, so that its pages are not reported as leaked.
      if (tree_id >= txn_.record().next_tree_id)
        entry_problem(
            format_text("a catalog entry names tree id {}, which the commit has not "
                        "handed out",
                        tree_id));
      else if (!catalog_ids_.insert(tree_id).second)
        entry_problem(format_text("two catalog entries name tree id {}", tree_id));
      found.push_back(TreeToCheck{lossy_utf8(key), tree_id, root, count});
      return;
    }
    case kFreeTreeId:
      if (key.size() != 8) return entry_problem("a free tree key is not a page number");
      if (value.size() != 8) return entry_problem("a free tree value is not a run length");
      free_runs_.push_back(RunToCheck{load_u64_be(key.data()), load_u64_le(value.data())});
      return;
    case kRetainedTreeId: {
      if (key.size() != 12) return entry_problem("a retained tree key is not a group key");
      if (value.size() % 12 != 0)
        return entry_problem("a retained tree value is not a list of runs");
      const std::uint64_t group = load_u64_be(key.data());
      if (group > report_.commit_id)
        entry_problem(
            format_text("holds a group of commit {}, newer than the commit checked", group));
      for (std::size_t at = 0; at < value.size(); at += 12)
        retained_runs_.push_back(
            RunToCheck{load_u64_le(value.data() + at), load_u32_le(value.data() + at + 8)});
      return;
    }
    default:
      return;
  }
}

void CommitCheck::check_runs(const std::vector<RunToCheck>& runs, std::string_view list) {
  const std::uint64_t p = page_count();
  // Past the commit's own pages a run is damage whatever the file's length.
  const std::uint64_t limit = cut_is_damage_ ? p : report_.page_count;
  for (const RunToCheck& run : runs) {
    if (run.length == 0 || run.first > limit || run.length > limit - run.first) {
      problem(run.first, list, format_text("a run of {} pages lies outside the file", run.length));
      continue;
    }
    // The pages a later commit cut off are not checked.
    const std::uint64_t end = std::min(run.first + run.length, p);
    for (std::uint64_t page = run.first; page < end; ++page) {
      if (page == 0)
        problem(page, list, format_text("lies outside the {} pages of the file", p));
      else if (pages_.test(page))
        problem(page, list, "is used twice");
      else
        pages_.set(page);
    }
  }
}

void CommitCheck::scan_leaks() {
  std::uint64_t unreached = 0;
  std::uint64_t page = 1;
  while (page < page_count()) {
    if (pages_.test(page)) {
      ++page;
      continue;
    }
    const std::uint64_t first = page;
    while (page < page_count() && !pages_.test(page)) ++page;
    const std::uint64_t length = page - first;
    unreached += length;
    if (walk_incomplete_) continue;
    problem(first, std::nullopt,
            length == 1 ? std::string("is neither used, free nor retained: it leaked")
                        : format_text("and the {} pages after it are neither used, free nor "
                                      "retained: they leaked",
                                      length - 1));
  }
  if (walk_incomplete_ && unreached > 0)
    problem(
        std::nullopt, std::nullopt,
        format_text("{} pages were not reached, some of them below pages that could not be read",
                    unreached));
}

// Whether commit `txn_id` is still the published one, the head read again
// when other processes may publish. A cut needs a durable commit published
// past the one cut: while `txn_id` stays published, the file holds all its
// pages. A head that cannot be read counts as still publishing it.
bool still_published(Instance& file, std::uint64_t txn_id) {
  if (file.file_lock() && !file.read_commit_state()) return true;
  return file.published().record.txn_id == txn_id;
}

}  // namespace

Result<CheckReport> check_commit(std::shared_ptr<Instance> instance,
                                 std::shared_ptr<const ResolvedSchema> schema) {
  Instance& file = *instance;
  // The snapshot ends when `txn` goes, on every path.
  ReadTxn txn = DZ_TRY(Instance::begin_read(std::move(instance), std::move(schema)));
  const std::uint64_t length = DZ_TRY(txn.file().storage().len_or_error());
  return CommitCheck(txn, pages_held(length, file.page_size()), still_published(file, txn.txn_id()))
      .run();
}

}  // namespace deziro::tools
