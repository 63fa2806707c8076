// Power loss at every write and sync of a run of commits. At each crash
// point the disk keeps what was synced plus any subset of the later writes,
// one of them torn; reopening must give exactly the state of the last commit
// that returned or of the one in flight, never a mix, and a file whose every
// tree and page checks out.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>
#include <random>

#include "database.hpp"
#include "sanitizers.hpp"
#include "storage/fault_storage.hpp"
#include "support/borrowed_storage.hpp"
#include "support/commit_check.hpp"
#include "support/process_double.hpp"
#include "support/temp_dir.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using State = std::map<std::string, std::map<std::string, std::string>>;

ByteView b(const std::string& s) { return bytes_of(s); }

// Random crash plans per crash point, beside the two fixed ones (nothing
// pending lands, all of it). The plain build, which cuts at every crash
// point, checks over 3 500 images a sweep; the sanitizer build, ten times
// slower, a sample.
constexpr std::uint64_t kPlansPerPoint = kAddressSanitizer ? 4 : 12;

// A fixed run of commits over a few trees: puts, overwrites, deletes, long
// values in overflow runs, and a tree dropped and made again.
class Workload {
 public:
  static constexpr int kCommits = 50;

  // Commit c is deferred when bit c % 3 of this mask is set.
  explicit Workload(unsigned deferred_mask = 0) : deferred_mask_(deferred_mask) {}
  bool deferred(int c) const { return (deferred_mask_ >> (c % 3)) & 1u; }

  // Runs the commits on `instance` until one fails; returns how many
  // returned, and fills `states` with the model after each commit, calling
  // `after_commit` once each has returned.
  int run(const std::shared_ptr<Instance>& instance, std::vector<State>* states,
          const std::function<void()>& after_commit = {}) {
    return run(std::vector{instance}, states, after_commit);
  }
  // The same, commit c made by instances[c % their count].
  int run(const std::vector<std::shared_ptr<Instance>>& instances, std::vector<State>* states,
          const std::function<void()>& after_commit = {}) {
    std::mt19937_64 rng(12345);
    State model;
    if (states) states->assign(1, model);
    int done = 0;
    for (int c = 0; c < kCommits; ++c) {
      auto w = WriteTxn::begin(instances[std::size_t(c) % instances.size()]);
      if (!w) return done;
      State next = model;
      if (!apply(**w, c, rng, next)) return done;
      if (!(deferred(c) ? (*w)->commit_deferred() : (*w)->commit())) return done;
      model = next;
      ++done;
      if (states) states->push_back(model);
      if (after_commit) after_commit();
    }
    return done;
  }

 private:
  static bool apply(WriteTxn& w, int c, std::mt19937_64& rng, State& model) {
    const char* trees[] = {"alpha", "beta", "gamma"};
    // Now and then a sorted load past the end of a tree, whose filled
    // leaves a transaction may write before its commit.
    for (int i = 0; c % 4 == 1 && i < 40; ++i) {
      std::string key = "z" + std::to_string(100 + c) + std::to_string(100 + i);
      std::string value(100, char('a' + i % 26));
      if (!w.put(b("beta"), b(key), b(value))) return false;
      model["beta"][key] = value;
    }
    int ops = c == 0 ? 300 : 40;
    for (int i = 0; i < ops; ++i) {
      std::string tree = trees[rng() % 3];
      std::string key = "k" + std::to_string(rng() % 400);
      int what = int(rng() % 10);
      if (what < 6) {
        std::size_t len = rng() % 9 == 0 ? 5000 + rng() % 9000 : 20 + rng() % 120;
        std::string value(len, char('a' + c % 26));
        value[0] = char('A' + i % 26);
        if (!w.put(b(tree), b(key), b(value))) return false;
        model[tree][key] = value;
      } else if (what < 9) {
        if (!w.del(b(tree), b(key))) return false;
        if (model.contains(tree)) model[tree].erase(key);
      } else if (c % 5 == 4 && i == 0) {
        if (!w.drop_tree(b("gamma"))) return false;
        model.erase("gamma");
      }
    }
    // Trees emptied by deletes keep their catalog entry.
    for (const char* t : trees)
      if (!model.contains(t)) {
        auto len = w.tree_len(b(t));
        if (len && *len == 0 && w.tree_entry(b(t), false).value_or(nullptr)) model[t];
      }
    return true;
  }

  unsigned deferred_mask_;
};

// The crash points a sweep cuts the workload at, given the operation count
// after each of its commits (the last being the total). The plain build cuts
// at every one. The sanitizer builds, ten times slower, cut at every point
// of the first kWholeCommits commits, which make each kind of commit the
// workload has: the first and largest, durable and deferred ones, sorted
// loads whose filled leaves a small cache writes before the commit, a tree
// dropped, and in turn each of two processes. So each page write, file
// growth, sync and commit record write of each kind of commit is cut there,
// and every crash plan kind is applied after it (nothing pending lands, all
// of it, random subsets with a torn write). Past them they cut each later
// commit once, at a place that moves through its operations from one commit
// to the next, and at the last point, so that a grown file whose commits
// reuse freed pages is still cut throughout.
constexpr std::size_t kWholeCommits = kAddressSanitizer ? 6 : Workload::kCommits;

std::vector<std::uint64_t> crash_points(const std::vector<std::uint64_t>& ops_after_commit) {
  std::vector<std::uint64_t> points;
  std::uint64_t start = 0;
  for (std::size_t c = 0; c < ops_after_commit.size(); ++c) {
    std::uint64_t end = ops_after_commit[c];
    if (c < kWholeCommits) {
      for (std::uint64_t k = start; k < end; ++k) points.push_back(k);
    } else if (end > start) {
      points.push_back(start + (c - kWholeCommits) % (end - start));
    }
    start = end;
  }
  points.push_back(start);
  return points;
}

// Records which commit was in flight at each crash point of a sweep (the
// one after those that returned; kCommits when all had): every one must be.
class CommitsCut {
 public:
  void add(int returned) { cut_.at(std::size_t(returned)) = true; }
  // The commits no crash point fell in, as text: empty when none.
  std::string missing() const {
    std::string text;
    for (std::size_t c = 0; c < cut_.size(); ++c)
      if (!cut_[c]) text += std::to_string(c) + " ";
    return text;
  }

 private:
  std::array<bool, Workload::kCommits + 1> cut_{};
};

std::vector<std::uint8_t> fresh_image() { return *Database::new_first_page(OpenOptions{}); }

std::shared_ptr<Instance> open_on(std::unique_ptr<Storage> storage,
                                  const OpenOptions& options = {}) {
  auto instance = Database::open_existing(std::move(storage), options);
  if (!instance) return nullptr;
  return *instance;
}

// Which state the reopened image holds, or a description of what is wrong.
std::string check_image(std::vector<std::uint8_t> image, const std::vector<State>& states,
                        int durable, int returned, bool commit_after, int* matched) {
  auto instance = open_on(std::make_unique<FaultStorage>("/mem/crash.db", std::move(image)));
  if (!instance) return "the image does not open";
  const CommitRecord& record = instance->published().record;
  auto problems = testing::check_commit(instance->reader(), record);
  if (!problems.empty()) return "check: " + problems.front();
  auto content = testing::read_all_trees(instance->reader(), record);
  if (!content) return content.error().to_string();
  for (int j = durable; j <= returned + 1 && j < int(states.size()); ++j) {
    if (*content == states[j]) {
      *matched = j;
      if (!commit_after) return "";
      // The recovered file must take further commits soundly.
      auto w = WriteTxn::begin(instance);
      if (!w || !(*w)->put(b("after"), b("k"), b("v")) || !(*w)->commit())
        return "no commit after recovery";
      auto after = testing::check_commit(instance->reader(), instance->published().record);
      if (!after.empty()) return "after recovery: " + after.front();
      return "";
    }
  }
  return "the image holds a state that no commit made";
}

// The workload's write and sync operations with these options.
std::uint64_t workload_operations(const OpenOptions& options) {
  auto storage = std::make_unique<FaultStorage>("/mem/crash.db", fresh_image());
  FaultStorage* raw = storage.get();
  auto instance = open_on(std::move(storage), options);
  std::uint64_t before = raw->operation_count();
  EXPECT_EQ(Workload().run(instance, nullptr), Workload::kCommits);
  return raw->operation_count() - before;
}

void every_power_loss_leaves_the_last_returned_commit_or_the_next(const OpenOptions& options) {
  std::vector<State> states;
  std::vector<std::uint64_t> ops_after_commit;
  {
    auto storage = std::make_unique<FaultStorage>("/mem/crash.db", fresh_image());
    FaultStorage* raw = storage.get();
    auto instance = open_on(std::move(storage), options);
    ASSERT_TRUE(instance);
    std::uint64_t before = raw->operation_count();
    ASSERT_EQ(Workload().run(instance, &states,
                             [&] { ops_after_commit.push_back(raw->operation_count() - before); }),
              Workload::kCommits);
  }
  ASSERT_GT(ops_after_commit.back(), 200u);

  std::size_t images = 0;
  std::vector<int> seen(states.size(), 0);
  CommitsCut cut;
  for (std::uint64_t k : crash_points(ops_after_commit)) {
    auto storage = std::make_unique<FaultStorage>("/mem/crash.db", fresh_image());
    FaultStorage* raw = storage.get();
    auto instance = open_on(std::move(storage), options);
    ASSERT_TRUE(instance);
    raw->power_off_after(k);
    int returned = Workload().run(instance, nullptr);
    cut.add(returned);
    // Plans: nothing unsynced lands, everything lands, and random subsets
    // with torn writes.
    std::vector<CrashPlan> plans = {CrashPlan::keep_none(raw->pending_count()),
                                    CrashPlan::keep_all(raw->pending_count())};
    for (std::uint64_t seed = 1; seed <= kPlansPerPoint; ++seed)
      plans.push_back(raw->random_crash_plan(seed * 7919 + k));
    for (std::size_t p = 0; p < plans.size(); ++p) {
      int matched = -1;
      std::string problem =
          check_image(raw->crash_image(plans[p]), states, returned, returned, p % 8 == 0, &matched);
      ASSERT_EQ(problem, "") << "crash after operation " << k << " with " << returned
                             << " commits returned";
      ++seen[matched];
      ++images;
    }
    instance.reset();
  }
  if (!kAddressSanitizer) {
    EXPECT_GE(images, 3500u);
  }
  // Both outcomes of an interrupted commit occur somewhere.
  EXPECT_GT(seen[Workload::kCommits], 0);
  EXPECT_EQ(cut.missing(), "") << "commits no crash point fell in";
}

TEST(CommitCrash, every_power_loss_leaves_the_last_returned_commit_or_the_next) {
  every_power_loss_leaves_the_last_returned_commit_or_the_next(OpenOptions{});
}

// With a cache this small, write transactions outgrow their memory budget
// and write leaves into their pages before the commit, and sorted loads
// write the leaves they fill.
TEST(CommitCrash, leaves_written_before_the_commit_change_nothing_a_power_loss_leaves) {
  OpenOptions small_cache;
  small_cache.cache_size = 64 * 1024;
  ASSERT_GT(workload_operations(small_cache), workload_operations(OpenOptions{}));
  every_power_loss_leaves_the_last_returned_commit_or_the_next(small_cache);
}

// Deferred commits may be lost in a power loss, but never the last durable
// commit before them, and never a mix of states.
TEST(CommitCrash, deferred_commits_fall_back_to_the_last_durable_one) {
  const Workload workload(0b011);
  std::vector<State> states;
  std::vector<std::uint64_t> ops_after_commit;
  {
    auto storage = std::make_unique<FaultStorage>("/mem/crash.db", fresh_image());
    FaultStorage* raw = storage.get();
    auto instance = open_on(std::move(storage));
    std::uint64_t before = raw->operation_count();
    ASSERT_EQ(Workload(workload).run(
                  instance, &states,
                  [&] { ops_after_commit.push_back(raw->operation_count() - before); }),
              Workload::kCommits);
  }
  CommitsCut cut;
  for (std::uint64_t k : crash_points(ops_after_commit)) {
    auto storage = std::make_unique<FaultStorage>("/mem/crash.db", fresh_image());
    FaultStorage* raw = storage.get();
    auto instance = open_on(std::move(storage));
    raw->power_off_after(k);
    int returned = Workload(workload).run(instance, nullptr);
    cut.add(returned);
    int durable = returned;
    while (durable > 0 && workload.deferred(durable - 1)) --durable;
    for (std::uint64_t seed = 1; seed <= std::min<std::uint64_t>(8, kPlansPerPoint); ++seed) {
      int matched = -1;
      std::string problem = check_image(raw->crash_image(raw->random_crash_plan(seed * 31 + k)),
                                        states, durable, returned, seed == 1, &matched);
      ASSERT_EQ(problem, "") << "crash after operation " << k << " with " << returned
                             << " commits returned, " << durable << " durable";
    }
    instance.reset();
  }
  EXPECT_EQ(cut.missing(), "") << "commits no crash point fell in";
}

// Two processes take turns, each with durable and deferred commits: a
// writer that begins on the other's deferred commit makes it durable first.
// Every power loss keeps at least the last durable commit.
TEST(CommitCrash, two_processes_taking_turns_lose_at_most_the_deferred_commits) {
  const Workload workload(0b101);
  testing::TempDir dir;
  OpenOptions options;
  options.SYNC_DELAY = std::chrono::hours(1);
  auto run = [&](FaultStorage& disk, std::vector<State>* states,
                 const std::function<void()>& after_commit) {
    auto first = testing::open_as_process(disk, dir.file("one"), options, true);
    auto second = testing::open_as_process(disk, dir.file("two"), options, false);
    if (!first || !second) return 0;
    return Workload(workload).run({*first, *second}, states, after_commit);
  };
  std::vector<State> states;
  std::vector<std::uint64_t> ops_after_commit;
  {
    FaultStorage disk("/mem/crash.db", fresh_image());
    ASSERT_EQ(run(disk, &states, [&] { ops_after_commit.push_back(disk.operation_count()); }),
              Workload::kCommits);
    // Closing the two instances writes and syncs too.
    ops_after_commit.back() = disk.operation_count();
  }
  CommitsCut cut;
  for (std::uint64_t k : crash_points(ops_after_commit)) {
    FaultStorage disk("/mem/crash.db", fresh_image());
    disk.power_off_after(k);
    int returned = run(disk, nullptr, {});
    cut.add(returned);
    int durable = returned;
    while (durable > 0 && workload.deferred(durable - 1)) --durable;
    for (std::uint64_t seed = 1; seed <= (kAddressSanitizer ? 1u : 3u); ++seed) {
      int matched = -1;
      std::string problem = check_image(disk.crash_image(disk.random_crash_plan(seed * 53 + k)),
                                        states, durable, returned, seed == 1, &matched);
      ASSERT_EQ(problem, "") << "crash after operation " << k << " with " << returned
                             << " commits returned, " << durable << " durable";
    }
  }
  EXPECT_EQ(cut.missing(), "") << "commits no crash point fell in";
}

// One process's sync fails, dropping its writes from the disk's future while
// reads still see them, the selector byte of its last durable commit among
// them. A second process, open beside it, took that selector for the one on
// disk: its durable commit 6 returned, and its commit 7 overwrote the record
// that the selector on the disk still names. A power loss keeping only that
// record then lost commit 6 and published 7 without its pages. The second
// process now writes a selector byte it did not write itself again, so that
// its own sync carries it.
TEST(CommitCrash, a_selector_another_process_failed_to_sync_is_synced_before_it_is_trusted) {
  testing::TempDir dir;
  OpenOptions options;
  options.SYNC_DELAY = std::chrono::hours(1);
  FaultStorage disk("/mem/crash.db", fresh_image());
  auto failing = testing::open_as_process(disk, dir.file("one"), options, true);
  ASSERT_TRUE(failing);
  auto other = testing::open_as_process(disk, dir.file("two"), options, false);
  ASSERT_TRUE(other);
  auto put = [](const std::shared_ptr<Instance>& instance, const std::string& value,
                bool deferred) -> Status {
    auto w = DZ_TRY(WriteTxn::begin(instance));
    DZ_CHECK(w->put(b("t"), b("k"), b(value)));
    return deferred ? w->commit_deferred() : w->commit();
  };
  for (int i = 2; i <= 5; ++i) ASSERT_TRUE(put(*failing, "a" + std::to_string(i), false));
  disk.fail_nth_sync(1, SyncFailure::DropsWrites);
  EXPECT_FALSE(put(*failing, "dropped", true));
  ASSERT_TRUE(put(*other, "b6", false));
  ASSERT_EQ((*other)->published().record.txn_id, 6u);
  // Commit 7's sync fails: it does not return.
  disk.fail_nth_sync(1, SyncFailure::KeepsWrites);
  EXPECT_FALSE(put(*other, "b7", false));
  const std::size_t pending = disk.pending_count();
  ASSERT_GT(pending, 0u);
  CrashPlan record_only = CrashPlan::keep_none(pending);
  record_only.applied.back() = true;
  for (const CrashPlan& plan : {record_only, CrashPlan::keep_none(pending)}) {
    auto opened = Database::open_existing(
        std::make_unique<FaultStorage>("/mem/crash.db", disk.crash_image(plan)), OpenOptions{});
    ASSERT_TRUE(opened) << opened.error().to_string();
    const auto problems = testing::check_commit((*opened)->reader(), (*opened)->published().record);
    EXPECT_TRUE(problems.empty()) << problems.front();
    auto trees = testing::read_all_trees((*opened)->reader(), (*opened)->published().record);
    ASSERT_TRUE(trees) << trees.error().to_string();
    EXPECT_EQ((*trees)["t"]["k"], "b6");
  }
}

// Recovery cut short by a power loss at each of its own writes and syncs:
// the next recovery ends on the same commit as one left alone.
TEST(CommitCrash, recovery_cut_short_at_each_of_its_writes_recovers_the_same_commit) {
  const Workload workload(0b011);
  FaultStorage disk("/mem/crash.db", fresh_image());
  {
    auto instance = open_on(std::make_unique<testing::BorrowedStorage>(disk));
    ASSERT_TRUE(instance);
    ASSERT_EQ(Workload(workload).run(instance, nullptr), Workload::kCommits);
    instance->mark_failed(std::nullopt);  // as if killed: nothing more is written
  }
  std::size_t recoveries_with_writes = 0;
  for (std::uint64_t seed = 0; seed < (kAddressSanitizer ? 2u : 18u); ++seed) {
    auto image = disk.crash_image(disk.random_crash_plan(seed));
    FaultStorage whole("/mem/crash.db", image);
    auto reference = open_on(std::make_unique<testing::BorrowedStorage>(whole));
    ASSERT_TRUE(reference) << seed;
    auto expected = testing::read_all_trees(reference->reader(), reference->published().record);
    ASSERT_TRUE(expected);
    std::uint64_t ops = whole.operation_count();
    if (ops > 1) ++recoveries_with_writes;
    for (std::uint64_t k = 0; k < ops; ++k) {
      FaultStorage cut("/mem/crash.db", image);
      cut.power_off_after(k);
      (void)Database::open_existing(std::make_unique<testing::BorrowedStorage>(cut), OpenOptions{});
      for (std::uint64_t plan = 0; plan < 3; ++plan) {
        auto after = open_on(std::make_unique<FaultStorage>(
            "/mem/crash.db", cut.crash_image(cut.random_crash_plan(plan + 7 * k))));
        ASSERT_TRUE(after) << seed << " cut at " << k;
        auto content = testing::read_all_trees(after->reader(), after->published().record);
        ASSERT_TRUE(content);
        EXPECT_EQ(*content, *expected) << seed << " cut at " << k;
        auto problems = testing::check_commit(after->reader(), after->published().record);
        EXPECT_TRUE(problems.empty()) << seed << " cut at " << k << ": " << problems.front();
      }
    }
  }
  EXPECT_GT(recoveries_with_writes, 0u);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
