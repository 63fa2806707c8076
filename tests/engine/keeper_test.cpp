#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>

#include "lock/background.hpp"
#include "support/child_process.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using std::chrono::hours;
using testing::eventually;

// Reader bytes that record which snapshots the keeper asked about.
class Recorder final : public IdleReaderBytes {
 public:
  std::optional<SteadyTime> release_if_idle(std::uint64_t txn_id, SteadyTime) override {
    last.store(txn_id);
    return std::nullopt;
  }
  std::atomic<std::uint64_t> last{0};
};

TEST(Keeper, only_an_item_due_before_the_one_it_sleeps_for_wakes_it) {
  auto bytes = std::make_shared<Recorder>();
  auto now = std::chrono::steady_clock::now();
  // A first item that is due at once starts the thread and is served.
  keeper::schedule(bytes, 1, now);
  ASSERT_TRUE(eventually([&] { return bytes->last.load() == 1; }));
  // Snapshots end one after another, each due a little later than the last:
  // the thread sleeps until the first of them and nothing wakes it.
  std::uint64_t woken = keeper::wakeups();
  for (std::uint64_t t = 2; t < 50; ++t)
    keeper::schedule(bytes, t, now + hours(static_cast<std::int64_t>(t)));
  EXPECT_LE(keeper::wakeups(), woken + 1);
  // One due before all of them wakes it and is served now.
  keeper::schedule(bytes, 50, now);
  EXPECT_TRUE(eventually([&] { return bytes->last.load() == 50; }));
  EXPECT_TRUE(keeper::running());
}

// Reader bytes that record the rounds in which the keeper let them go: it
// gives every item of one round the same time. A round waits for the gate
// before it records anything.
class RoundRecorder final : public IdleReaderBytes {
 public:
  std::optional<SteadyTime> release_if_idle(std::uint64_t, SteadyTime now) override {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [&] { return open_; });
    rounds_.insert(now);
    ++released_;
    return std::nullopt;
  }
  void open_gate() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }
  std::size_t released() const {
    std::lock_guard lock(mutex_);
    return released_;
  }
  std::size_t rounds() const {
    std::lock_guard lock(mutex_);
    return rounds_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
  std::set<SteadyTime> rounds_;
  std::size_t released_ = 0;
};

// Beside a busy writer, the snapshots of one commit after another end a
// fraction of a millisecond apart: the keeper lets their bytes go in one
// wake, rather than taking a core from the readers for each.
//
// The gate opens once every item is scheduled, long before the first is due
// unless the test thread is held up (a loaded machine). Held up past that,
// a round the keeper started meanwhile waits for the gate, and the items
// scheduled late, all due by then, go together in the next round: two at
// most, where without the gate they could go one round each.
TEST(Keeper, bytes_due_close_together_go_in_one_wake) {
  auto bytes = std::make_shared<RoundRecorder>();
  const auto first = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  constexpr std::uint64_t kCommits = 5;
  for (std::uint64_t t = 0; t < kCommits; ++t)
    keeper::schedule(bytes, t + 1, first + std::chrono::milliseconds(t));
  bytes->open_gate();
  ASSERT_TRUE(eventually([&] { return bytes->released() == kCommits; }));
  EXPECT_LE(bytes->rounds(), 2u);
}

// The idle end tests shorten so that a fork need not wait for the thread:
// shortened while the thread waits, it wakes the thread, which ends.
TEST(Keeper, thread_waiting_for_work_ends_once_its_idle_end_is_shortened) {
  auto restore = keeper::set_idle_end_for_tests(hours(1));
  EXPECT_EQ(restore, keeper::kKeeperIdleEnd);
  auto bytes = std::make_shared<Recorder>();
  keeper::schedule(bytes, 1, std::chrono::steady_clock::now());
  ASSERT_TRUE(eventually([&] { return bytes->last.load() == 1; }));
  EXPECT_TRUE(keeper::running());
  EXPECT_EQ(keeper::set_idle_end_for_tests(std::chrono::milliseconds(0)), hours(1));
  EXPECT_TRUE(eventually([] { return !keeper::running(); }));
  // Work after that starts it again.
  keeper::schedule(bytes, 2, std::chrono::steady_clock::now());
  EXPECT_TRUE(eventually([&] { return bytes->last.load() == 2; }));
  EXPECT_TRUE(eventually([] { return !keeper::running(); }));
  keeper::set_idle_end_for_tests(restore);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
