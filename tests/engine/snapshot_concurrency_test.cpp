// Snapshots in several threads beside writers in several threads: every
// snapshot sees one commit whole (all keys hold that commit's number), no
// matter how many commits release and reuse pages meanwhile, and writers take
// turns on the one writer slot.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "database.hpp"
#include "storage/fault_storage.hpp"
#include "support/commit_check.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

ByteView b(const std::string& s) { return bytes_of(s); }

constexpr int kKeys = 300;

std::string key_of(int i) { return "key" + std::to_string(i); }

TEST(SnapshotConcurrency, every_snapshot_sees_one_whole_commit_while_writers_reuse_pages) {
  auto image = *Database::new_first_page(OpenOptions{});
  auto instance = *Database::open_existing(
      std::make_unique<FaultStorage>("/mem/c.db", std::move(image)), OpenOptions{});
  {
    auto w = *WriteTxn::begin(instance);
    for (int i = 0; i < kKeys; ++i) ASSERT_TRUE(w->put(b("t"), b(key_of(i)), b("0")));
    ASSERT_TRUE(w->commit());
  }
  std::atomic<bool> stop{false};
  std::atomic<int> commits{0};
  std::atomic<int> torn{0};
  std::atomic<int> errors{0};
  std::vector<std::thread> threads;
  for (int writer = 0; writer < 2; ++writer) {
    threads.emplace_back([&] {
      while (!stop) {
        auto w = WriteTxn::begin(instance);
        if (!w) {
          ++errors;
          return;
        }
        std::string n = std::to_string(commits.fetch_add(1) + 1);
        // Long values on every tenth key keep overflow runs in play.
        for (int i = 0; i < kKeys; ++i)
          if (!(*w)->put(b("t"), b(key_of(i)), b(i % 10 == 0 ? n + std::string(6000, '.') : n)))
            ++errors;
        if (!(*w)->commit()) ++errors;
      }
    });
  }
  for (int reader = 0; reader < 4; ++reader) {
    threads.emplace_back([&] {
      while (!stop) {
        auto r = ReadTxn::begin(instance);
        if (!r) {
          ++errors;
          return;
        }
        std::string first;
        for (int pass = 0; pass < 2; ++pass) {
          for (int i = 0; i < kKeys; ++i) {
            auto v = r->open_tree(b("t"), b(key_of(i)));
            if (!v || !*v) {
              ++errors;
              continue;
            }
            std::string s((*v)->begin(), (*v)->end());
            s = s.substr(0, s.find('.'));
            if (first.empty()) first = s;
            if (s != first) ++torn;
          }
          std::this_thread::yield();
        }
      }
    });
  }
  while (commits < 200) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(torn, 0);
  auto problems = testing::check_commit(instance->reader(), instance->published().record);
  EXPECT_TRUE(problems.empty()) << problems.front();
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
