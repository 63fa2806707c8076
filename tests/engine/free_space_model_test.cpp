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

void run_workload(const Workload& work, const OpenOptions& options) {
  auto storage = std::make_unique<FaultStorage>("/mem/m.db", *Database::new_first_page(options));
  auto instance = *Database::open_existing(std::move(storage), options);
  std::mt19937_64 rng(work.seed);
  // Inline values end near a quarter of a leaf's room: draw around it.
  std::size_t threshold = (instance->page_size() - 72) / 4;
  Model model;
  for (int commit = 0; commit < work.commits; ++commit) {
    auto w = WriteTxn::begin(instance);
    ASSERT_TRUE(w) << w.error().to_string();
    int ops = 1 + int(rng() % 4);
    for (int op = 0; op < ops; ++op) {
      std::string key = "k" + std::to_string(rng() % work.keys);
      if (rng() % 3 == 0) {
        ASSERT_TRUE((*w)->del(bytes_of("t"), bytes_of(key)));
        model.erase(key);
      } else {
        std::size_t len = rng() % 4 == 0 ? rng() % 64 : threshold - 48 + rng() % 96;
        std::string value(len, char('a' + rng() % 26));
        ASSERT_TRUE((*w)->put(bytes_of("t"), bytes_of(key), bytes_of(value)));
        model[key] = value;
      }
    }
    auto c = work.deferred && commit % 2 ? (*w)->commit_deferred() : (*w)->commit();
    ASSERT_TRUE(c) << "commit " << commit << ": " << c.error().to_string();
    auto problems = testing::check_commit(instance->reader(), instance->published().record);
    for (auto& p : problems) ADD_FAILURE() << "commit " << commit << ": " << p;
    if (!problems.empty()) return;
  }
  auto trees = testing::read_all_trees(instance->reader(), instance->published().record);
  ASSERT_TRUE(trees) << trees.error().to_string();
  EXPECT_EQ((*trees)["t"], model);
}

TEST(FreeSpaceSettling, small_random_commits_always_settle_and_account_for_every_page) {
  for (Workload work :
       {Workload{1, 1500, 40, false}, Workload{2, 1500, 200, true}, Workload{3, 1500, 12, false}})
    run_workload(work, OpenOptions{});
}

}  // namespace
}  // namespace deziro
