#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "lock/background.hpp"
#include "support/child_process.hpp"

namespace deziro {
namespace {

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

}  // namespace
}  // namespace deziro
