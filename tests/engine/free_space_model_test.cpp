// Free-space accounting across many small commits: random puts and deletes,
// values around the size where they move to overflow runs, compared with a
// model after each commit. Every commit must settle the free and retained
// trees (never an internal error) and leave every page of the file in
// exactly one place.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "database.hpp"
#include "storage/fault_storage.hpp"
#include "support/commit_check.hpp"
#include "support/process_double.hpp"
#include "support/temp_dir.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace {

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

}  // namespace
}  // namespace deziro
