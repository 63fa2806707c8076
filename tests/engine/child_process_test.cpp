// Child processes of the tests: a child starts from a fresh image of the
// program, whatever the parent's threads hold, and gets its arguments.
#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>

namespace deziro {
namespace DZ_FILE_LOCAL {

using testing::Child;
using testing::Signal;

// Stands for a lock of the allocator: a thread of the parent holds it when
// the child starts.
std::mutex g_held_at_the_start;

DZ_CHILD(takes_the_lock_held_in_the_parent) { return g_held_at_the_start.try_lock() ? 0 : 2; }

TEST(Children, start_free_of_the_locks_that_the_parents_threads_hold) {
  Signal holding, release;
  std::thread holder([&] {
    std::lock_guard lock(g_held_at_the_start);
    holding.send();
    release.receive(std::chrono::milliseconds(-1));
  });
  ASSERT_EQ(holding.receive(), 'x');
  Child child("takes_the_lock_held_in_the_parent");
  int code = child.wait();
  release.send();
  holder.join();
  // A child left in the forked image would find the lock taken for good.
  EXPECT_EQ(code, 0);
}

// Sends back, through the signal args[0], the length of each other
// argument and then of the whole count.
DZ_CHILD(echo_lengths) {
  Signal back = args.signal(0);
  for (std::size_t i = 1; i < args.size(); ++i) back.send(char(args[i].size()));
  back.send(char(args.size()));
  return args.number(1) == 42 ? 0 : 3;
}

TEST(Children, get_texts_numbers_and_signals_as_arguments) {
  Signal back;
  Child child("echo_lengths", {back, 42, std::string("two words"), "", std::string(200, 'x')});
  EXPECT_EQ(child.wait(), 0);
  for (int length : {2, 9, 0, 200, 5}) EXPECT_EQ(back.receive(), char(length));
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
