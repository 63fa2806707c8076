// Free-space accounting. The commit space alone: random allocations and
// releases of pages and random commits and aborts, against a model of the
// pages in use and the groups retained; after each commit the free runs are
// sorted and disjoint, the free tree holds them exactly, nothing in use is
// free, and every page is in exactly one place. Then whole transactions:
// random puts and deletes, values around the size where they move to
// overflow runs, compared with a model after each commit. Every commit must
// settle the free and retained trees (never an internal error) and leave
// every page of the file in exactly one place.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "btree/check.hpp"
#include "btree/cursor.hpp"
#include "btree/pager/pager.hpp"
#include "btree/pager/pager_source.hpp"
#include "crypto/page_protection.hpp"
#include "database.hpp"
#include "storage/fault_storage.hpp"
#include "support/commit_check.hpp"
#include "support/process_double.hpp"
#include "support/temp_dir.hpp"
#include "text_format.hpp"
#include "txn/commit_space.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

// A file written by nothing but a commit space: the sink seals and writes
// the pages of the free-space trees, and takes every page from the commit
// space in hand. The pages the model "uses" are never written.
class SpaceFile final : public PageSink {
 public:
  SpaceFile() : pager_(storage_, kMinPageSize, protection_, 1 << 22), source_(pager_) {}

  NodeSource& source() { return source_; }
  space::PageSpace& space() { return *space_; }
  CommitSpace& commit_space() { return *commit_space_; }

  // A transaction on `base`, its free runs read from the trees or, when
  // given, kept from the last commit.
  Status begin(const CommitRecord& base, std::optional<space::FreeRuns> kept,
               std::uint64_t reclaim_limit) {
    commit_space_.reset();
    space_.emplace();
    space_->page_count = base.page_count;
    space_->max_page_count = space::page_limit(kMinPageSize);
    commit_space_.emplace(*space_, source_, *this);
    auto limit = [&](std::uint64_t) -> Result<std::uint64_t> { return reclaim_limit; };
    return commit_space_->load(base, base.txn_id + 1, LeafLayout::Varint, std::move(kept), limit);
  }

  Result<std::uint64_t> allocate_page() override { return commit_space_->allocate_page(); }
  Result<std::uint64_t> allocate_run(std::uint32_t count) override {
    return commit_space_->allocate_run(count);
  }
  Status write_pages(std::uint64_t first, std::span<std::uint8_t> pages,
                     std::span<PageStamp> stamps) override {
    std::vector<ConstByteSpan> spans;
    for (std::size_t i = 0; i < stamps.size(); ++i) {
      auto page = pages.subspan(i * kMinPageSize, kMinPageSize);
      stamps[i] = DZ_TRY(protection_.seal_page(first + i, page));
      spans.push_back(page);
    }
    return pager_.write_pages(first, spans);
  }
  void release_pages(std::uint64_t first, std::uint64_t count) override {
    commit_space_->release_pages(first, count);
  }

 private:
  FaultStorage storage_;
  PageProtection protection_ = PageProtection::checksum();
  Pager pager_;
  PagerSource source_;
  std::optional<space::PageSpace> space_;
  std::optional<CommitSpace> commit_space_;
};

using Pages = std::set<std::uint64_t>;

// Every entry of a free-space tree, as key and value bytes.
std::vector<std::pair<std::string, std::string>> entries(NodeSource& source, std::uint64_t tree_id,
                                                         const ChildPointer& root) {
  std::vector<std::pair<std::string, std::string>> out;
  auto visit = [&](ByteView key, ByteView value) -> Result<VisitAnswer> {
    out.emplace_back(std::string(key.begin(), key.end()), std::string(value.begin(), value.end()));
    return VisitAnswer::Continue;
  };
  auto s = read::scan_forward(ReadContext{source, tree_id}, TreeRoot::on_disk(root),
                              KeyBound::unbounded(), KeyBound::unbounded(), visit);
  EXPECT_TRUE(s) << s.error().to_string();
  return out;
}

// The retained tree's groups: releasing commit -> its pages.
std::map<std::uint64_t, Pages> retained_groups(NodeSource& source, const CommitRecord& record) {
  std::map<std::uint64_t, Pages> groups;
  for (auto& [key, value] : entries(source, kRetainedTreeId, record.retained_tree)) {
    auto runs = free_space::decode_retained(source, bytes_of(key), bytes_of(value));
    EXPECT_TRUE(runs);
    if (!runs) continue;
    Pages& group = groups[free_space::retained_commit(bytes_of(key))];
    for (auto r : *runs)
      for (std::uint64_t p = r.first; p < r.first + r.count; ++p)
        EXPECT_TRUE(group.insert(p).second);
  }
  return groups;
}

// Findings against the commit just written: the free runs sorted, disjoint
// and inside the file, the free tree holding exactly them, and every page
// from 1 to the page count exactly one of in use, free, retained, or a page
// of the two trees.
std::vector<std::string> check_settled(NodeSource& source, const CommitRecord& record,
                                       const space::FreeRuns& runs, const Pages& used) {
  std::vector<std::string> problems;
  std::map<std::uint64_t, std::string> owner;
  auto claim = [&](std::uint64_t page, const std::string& what) {
    if (page == 0 || page >= record.page_count)
      problems.push_back(format_text("{} page {} lies outside the file", what, page));
    else if (auto [it, added] = owner.emplace(page, what); !added)
      problems.push_back(format_text("page {} is {} and {}", page, it->second, what));
  };
  std::uint64_t end = 0;
  for (auto [first, length] : runs) {
    if (length == 0 || first < end)
      problems.push_back(format_text("the free run at page {} is empty or overlaps", first));
    end = first + length;
    for (std::uint64_t p = first; p < end; ++p) claim(p, "free");
  }
  space::FreeRuns stored;
  for (auto& [key, value] : entries(source, kFreeTreeId, record.free_tree)) {
    auto run = free_space::decode_free(source, bytes_of(key), bytes_of(value));
    if (!run) problems.push_back(run.error().to_string());
    if (run) stored.set(run->first, run->count);
  }
  if (!(stored == runs)) problems.push_back("the free tree differs from the free runs");
  for (auto& [commit, group] : retained_groups(source, record))
    for (std::uint64_t p : group) claim(p, format_text("retained by {}", commit));
  for (std::uint64_t p : used) claim(p, "in use");
  for (auto [tree_id, root] : {std::pair{kFreeTreeId, record.free_tree},
                               std::pair{kRetainedTreeId, record.retained_tree}}) {
    auto report = btree::check_tree(ReadContext{source, tree_id}, root);
    for (auto& p : report.problems) problems.push_back(format_text("tree {}: {}", tree_id, p));
    for (auto run : report.pages)
      for (std::uint64_t p = run.first; p < run.first + run.count; ++p)
        claim(p, format_text("a page of tree {}", tree_id));
  }
  for (std::uint64_t p = 1; p < record.page_count; ++p)
    if (!owner.contains(p)) problems.push_back(format_text("page {} is nowhere", p));
  return problems;
}

struct SpaceWorkload {
  std::uint64_t seed;
  int commits;
  // Operations per transaction: from 1 to this many.
  int max_ops;
};

void run_space_workload(const SpaceWorkload& work) {
  std::mt19937_64 rng(work.seed);
  SpaceFile file;
  CommitRecord base;
  base.page_count = 1;
  Pages used;  // pages in use as of the published commit
  std::optional<space::FreeRuns> kept;
  for (int commit = 0; commit < work.commits; ++commit) {
    SCOPED_TRACE(format_text("commit {}", commit));
    // Groups of commits up to the limit become free at the start; the
    // others must stay retained.
    std::uint64_t limit = rng() % (base.txn_id + 1);
    auto groups = retained_groups(file.source(), base);
    auto begun = file.begin(base, rng() % 2 ? std::move(kept) : std::nullopt, limit);
    kept.reset();
    ASSERT_TRUE(begun) << begun.error().to_string();
    const space::FreeRuns& runs = file.space().free_runs;
    auto is_free = [&](std::uint64_t page) {
      auto it = runs.lower_bound(page + 1);
      return it != runs.begin() && page < std::prev(it)->first + std::prev(it)->second;
    };
    for (auto& [group_commit, pages] : groups)
      for (std::uint64_t p : pages)
        ASSERT_EQ(is_free(p), group_commit <= limit) << "page " << p << " of " << group_commit;

    Pages now = used, own;
    std::vector<std::uint64_t> order(used.begin(), used.end());
    int ops = 1 + int(rng() % work.max_ops);
    for (int op = 0; op < ops; ++op) {
      std::uint64_t pick = rng() % 20;
      std::uint64_t count = pick < 8 ? 1 : pick < 11 ? 1 + rng() % 6 : 0;
      if (count > 0) {
        auto first = count == 1 ? file.commit_space().allocate_page()
                                : file.commit_space().allocate_run(std::uint32_t(count));
        ASSERT_TRUE(first) << first.error().to_string();
        for (std::uint64_t p = *first; p < *first + count; ++p) {
          ASSERT_FALSE(now.contains(p)) << "page " << p << " was handed out while in use";
          now.insert(p), own.insert(p), order.push_back(p);
        }
      } else if (!order.empty()) {
        std::size_t at = rng() % order.size();
        std::uint64_t page = order[at];
        order[at] = order.back();
        order.pop_back();
        now.erase(page);
        own.erase(page);
        file.commit_space().release_pages(page, 1);
      }
    }
    if (rng() % 8 == 0) continue;  // aborted: the published commit stays

    auto settled = file.commit_space().settle();
    ASSERT_TRUE(settled) << settled.error().to_string();
    auto roots = file.commit_space().write_trees();
    ASSERT_TRUE(roots) << roots.error().to_string();
    base.txn_id += 1;
    base.free_tree = roots->free_tree;
    base.retained_tree = roots->retained_tree;
    base.page_count = file.space().page_count;
    used = std::move(now);
    auto problems = check_settled(file.source(), base, runs, used);
    for (auto& p : problems) ADD_FAILURE() << p;
    if (!problems.empty()) return;
    kept = std::move(file.space().free_runs);
  }
}

TEST(CommitSpace, random_allocations_and_releases_settle_into_sound_free_space) {
  for (SpaceWorkload work :
       {SpaceWorkload{1, 300, 12}, SpaceWorkload{2, 200, 400}, SpaceWorkload{3, 60, 3000}}) {
    SCOPED_TRACE(format_text("seed {}", work.seed));
    run_space_workload(work);
  }
}

using Model = std::map<std::string, std::string>;

struct Workload {
  std::uint64_t seed;
  int commits;
  int keys;
  bool deferred;
};

// Each commit is made by one of `writers`, drawn at random; with two of them
// (two processes of one file) a writer's free runs kept from its own last
// commit go stale whenever the other commits. Now and then a transaction is
// aborted after its changes, which drops the kept runs too.
void run_workload(const Workload& work, const std::vector<std::shared_ptr<Instance>>& writers) {
  std::mt19937_64 rng(work.seed);
  // Inline values end near a quarter of a leaf's room: draw around it.
  std::size_t threshold = (writers.front()->page_size() - 72) / 4;
  Model model;
  for (int commit = 0; commit < work.commits; ++commit) {
    const auto& instance = writers[rng() % writers.size()];
    auto w = WriteTxn::begin(instance);
    ASSERT_TRUE(w) << w.error().to_string();
    Model changed = model;
    int ops = 1 + int(rng() % 4);
    for (int op = 0; op < ops; ++op) {
      std::string key = "k" + std::to_string(rng() % work.keys);
      if (rng() % 3 == 0) {
        ASSERT_TRUE((*w)->del(bytes_of("t"), bytes_of(key)));
        changed.erase(key);
      } else {
        std::size_t len = rng() % 4 == 0 ? rng() % 64 : threshold - 48 + rng() % 96;
        std::string value(len, char('a' + rng() % 26));
        ASSERT_TRUE((*w)->put(bytes_of("t"), bytes_of(key), bytes_of(value)));
        changed[key] = value;
      }
    }
    if (rng() % 8 == 0) {
      (*w)->abort();
      continue;
    }
    auto c = work.deferred && commit % 2 ? (*w)->commit_deferred() : (*w)->commit();
    ASSERT_TRUE(c) << "commit " << commit << ": " << c.error().to_string();
    model = std::move(changed);
    auto problems = testing::check_commit(instance->reader(), instance->published().record);
    for (auto& p : problems) ADD_FAILURE() << "commit " << commit << ": " << p;
    if (!problems.empty()) return;
  }
  const auto& last = writers.front();
  ASSERT_TRUE(last->read_commit_state());
  auto trees = testing::read_all_trees(last->reader(), last->published().record);
  ASSERT_TRUE(trees) << trees.error().to_string();
  EXPECT_EQ((*trees)["t"], model);
}

TEST(FreeSpaceSettling, small_random_commits_always_settle_and_account_for_every_page) {
  for (Workload work :
       {Workload{1, 1500, 40, false}, Workload{2, 1500, 200, true}, Workload{3, 1500, 12, false}}) {
    OpenOptions options;
    auto storage = std::make_unique<FaultStorage>("/mem/m.db", *Database::new_first_page(options));
    run_workload(work, {*Database::open_existing(std::move(storage), options)});
  }
}

TEST(FreeSpaceSettling, two_processes_taking_turns_account_for_every_page) {
  testing::TempDir dir;
  OpenOptions options;
  options.SYNC_DELAY = std::chrono::hours(1);
  FaultStorage disk("/mem/m.db", *Database::new_first_page(options));
  auto one = testing::open_as_process(disk, dir.file("one"), options, true);
  auto two = testing::open_as_process(disk, dir.file("two"), options, false);
  ASSERT_TRUE(one && two);
  run_workload(Workload{4, 600, 60, true}, {*one, *two});
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
