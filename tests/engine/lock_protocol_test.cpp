#include "lock/lock_protocol.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "support/child_process.hpp"
#include "support/temp_file.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class LockProtocolTest : public ::testing::Test {
 protected:
  LockProtocolTest() {
    if (pipe(events_) != 0) std::abort();
  }
  ~LockProtocolTest() override {
    ::close(events_[0]);
    ::close(events_[1]);
  }
  int open_file() const { return ::open(file_.path().c_str(), O_RDWR | O_CLOEXEC); }

  // A child that waits for the write lock, reports `tag` once it has it,
  // holds it for a moment and exits.
  pid_t writer(char tag) const {
    pid_t pid = fork();
    if (pid == 0) {
      FileLock lock(open_file(), file_.path());
      auto got = wait_write_lock(lock, Clock::now() + 120s);
      char c = got ? tag : '!';
      (void)!::write(events_[1], &c, 1);
      std::this_thread::sleep_for(30ms);
      _exit(0);
    }
    return pid;
  }

  char next_event() const {
    char c = 0;
    return ::read(events_[0], &c, 1) == 1 ? c : '?';
  }

  testing_support::TempFile file_;
  int events_[2];
};

TEST_F(LockProtocolTest, long_waiting_writer_goes_before_a_later_one) {
  FileLock holder(open_file(), file_.path());
  ASSERT_TRUE(holder.try_lock(lock_bytes::kWrite, LockMode::Exclusive).value());
  pid_t first = writer('A');
  // The first writer passes 20 ms of waiting and takes the long-wait byte.
  EXPECT_TRUE(testing::eventually([&] {
    return holder.held_by_another(lock_bytes::kLongWaitingWriter, LockMode::Exclusive).value();
  }));
  pid_t second = writer('B');
  // A moment for the second writer to start waiting; the order holds either
  // way, since the first one has the long-wait byte.
  std::this_thread::sleep_for(30ms);
  holder.unlock(lock_bytes::kWrite);
  EXPECT_EQ(next_event(), 'A');
  EXPECT_EQ(next_event(), 'B');
  waitpid(first, nullptr, 0);
  waitpid(second, nullptr, 0);
  // Nobody is left holding the long-wait byte.
  EXPECT_FALSE(holder.held_by_another(lock_bytes::kLongWaitingWriter, LockMode::Exclusive).value());
}

TEST_F(LockProtocolTest, write_lock_wait_times_out_and_lets_go_of_the_long_wait_byte) {
  FileLock holder(open_file(), file_.path());
  ASSERT_TRUE(holder.try_lock(lock_bytes::kWrite, LockMode::Exclusive).value());
  pid_t pid = fork();
  if (pid == 0) {
    FileLock lock(open_file(), file_.path());
    auto got = wait_write_lock(lock, Clock::now() + 60ms);
    bool timed_out = !got && got.error().kind() == ErrorKind::Busy;
    _exit(timed_out && !lock.holds(lock_bytes::kLongWaitingWriter) ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(LockProtocolTest, write_lock_is_taken_at_once_when_free) {
  FileLock lock(open_file(), file_.path());
  ASSERT_TRUE(wait_write_lock(lock, Clock::now() + 120s));
  EXPECT_TRUE(lock.holds(lock_bytes::kWrite));
  EXPECT_FALSE(lock.holds(lock_bytes::kLongWaitingWriter));
}

TEST_F(LockProtocolTest, exclusive_try_fails_while_another_process_holds_the_file_shared) {
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t pid = fork();
  if (pid == 0) {
    FileLock lock(open_file(), file_.path());
    bool ok = lock.try_lock(lock_bytes::kFile, LockMode::Shared).value_or(false);
    (void)!::write(ready[1], ok ? "y" : "n", 1);
    char c;
    (void)!::read(done[0], &c, 1);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  FileLock lock(open_file(), file_.path());
  ASSERT_TRUE(lock.try_lock(lock_bytes::kFile, LockMode::Shared).value());
  EXPECT_FALSE(try_lock_file_exclusive(lock, Clock::now() + 1s).value());
  EXPECT_FALSE(lock.holds(lock_bytes::kIntent));
  // Still shared: the failed try changed nothing.
  EXPECT_TRUE(lock.holds(lock_bytes::kFile));
  (void)!::write(done[1], "x", 1);
  waitpid(pid, nullptr, 0);
  EXPECT_TRUE(try_lock_file_exclusive(lock, Clock::now() + 120s).value());
  EXPECT_FALSE(lock.holds(lock_bytes::kIntent));
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST_F(LockProtocolTest, exclusive_try_waits_for_anothers_intent_until_the_deadline) {
  int done[2];
  ASSERT_EQ(pipe(done), 0);
  pid_t pid = fork();
  if (pid == 0) {
    FileLock lock(open_file(), file_.path());
    bool ok = lock.try_lock(lock_bytes::kIntent, LockMode::Exclusive).value_or(false);
    (void)!::write(events_[1], ok ? "y" : "n", 1);
    char c;
    (void)!::read(done[0], &c, 1);
    _exit(0);
  }
  ASSERT_EQ(next_event(), 'y');
  FileLock lock(open_file(), file_.path());
  auto start = Clock::now();
  auto result = try_lock_file_exclusive(lock, start + 40ms);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::Busy);
  EXPECT_EQ(result.error().path(), file_.path());
  EXPECT_GE(Clock::now() - start, 40ms);
  EXPECT_FALSE(lock.holds(lock_bytes::kFile));
  (void)!::write(done[1], "x", 1);
  waitpid(pid, nullptr, 0);
  close(done[0]);
  close(done[1]);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
