#include "lock/file_lock.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "support/temp_file.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class FileLockTest : public ::testing::Test {
 protected:
  int open_file() const { return ::open(file_.path().c_str(), O_RDWR | O_CLOEXEC); }

  // Runs `body` in a forked child with its own lock state on the file and
  // returns its exit code (0 = every expectation held).
  int in_child(const std::function<int(FileLock&)>& body) const {
    pid_t pid = fork();
    if (pid == 0) {
      FileLock lock(open_file(), file_.path());
      _exit(body(lock));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
  }

  testing_support::TempFile file_;
};

int expect_taken(FileLock& lock, std::uint64_t byte, LockMode mode, bool expected) {
  auto taken = lock.try_lock(byte, mode);
  if (!taken) return 10;
  return *taken == expected ? 0 : 11;
}

TEST_F(FileLockTest, exclusive_file_byte_excludes_other_processes) {
  FileLock lock(open_file(), file_.path());
  ASSERT_TRUE(lock.try_lock(lock_bytes::kFile, LockMode::Exclusive).value());
  EXPECT_EQ(in_child([](FileLock& l) {
              return expect_taken(l, lock_bytes::kFile, LockMode::Shared, false);
            }),
            0);
  EXPECT_EQ(in_child([](FileLock& l) {
              return expect_taken(l, lock_bytes::kWrite, LockMode::Exclusive, true);
            }),
            0);
  lock.unlock(lock_bytes::kFile);
  EXPECT_EQ(in_child([](FileLock& l) {
              return expect_taken(l, lock_bytes::kFile, LockMode::Exclusive, true);
            }),
            0);
}

TEST_F(FileLockTest, shared_holders_share_and_block_exclusive) {
  FileLock lock(open_file(), file_.path());
  ASSERT_TRUE(lock.try_lock(lock_bytes::kFile, LockMode::Shared).value());
  EXPECT_EQ(in_child([](FileLock& l) {
              int shared = expect_taken(l, lock_bytes::kFile, LockMode::Shared, true);
              l.unlock(lock_bytes::kFile);
              return shared != 0 ? shared
                                 : expect_taken(l, lock_bytes::kFile, LockMode::Exclusive, false);
            }),
            0);
}

TEST_F(FileLockTest, exclusive_turns_shared_in_place) {
  FileLock lock(open_file(), file_.path());
  ASSERT_TRUE(lock.try_lock(lock_bytes::kFile, LockMode::Exclusive).value());
  ASSERT_TRUE(lock.try_lock(lock_bytes::kFile, LockMode::Shared).value());
  EXPECT_EQ(in_child([](FileLock& l) {
              return expect_taken(l, lock_bytes::kFile, LockMode::Shared, true);
            }),
            0);
}

TEST_F(FileLockTest, wait_times_out_at_the_deadline_as_busy) {
  FileLock lock(open_file(), file_.path());
  ASSERT_TRUE(lock.try_lock(lock_bytes::kWrite, LockMode::Exclusive).value());
  EXPECT_EQ(in_child([](FileLock& l) {
              auto start = Clock::now();
              auto waited = l.wait_lock(lock_bytes::kWrite, LockMode::Exclusive, start + 30ms);
              if (waited) return 1;
              if (waited.error().kind() != ErrorKind::Busy) return 2;
              if (Clock::now() - start < 30ms) return 3;  // gave up early
              return l.holds(lock_bytes::kWrite) ? 4 : 0;
            }),
            0);
}

TEST_F(FileLockTest, waiter_gets_the_byte_once_the_holder_exits) {
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t holder = fork();
  if (holder == 0) {
    FileLock lock(open_file(), file_.path());
    bool taken = lock.try_lock(lock_bytes::kFile, LockMode::Exclusive).value_or(false);
    char c = taken ? 'y' : 'n';
    (void)!::write(ready[1], &c, 1);
    (void)!::read(done[0], &c, 1);
    _exit(0);  // the process's locks go with it
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  FileLock lock(open_file(), file_.path());
  EXPECT_FALSE(lock.try_lock(lock_bytes::kFile, LockMode::Exclusive).value());
  (void)!::write(done[1], "x", 1);
  EXPECT_TRUE(lock.wait_lock_file(Clock::now() + 120s));
  EXPECT_TRUE(lock.holds(lock_bytes::kFile));
  waitpid(holder, nullptr, 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST_F(FileLockTest, closing_an_added_descriptor_is_deferred_to_the_state) {
  FileLock lock(open_file(), file_.path());
  ASSERT_TRUE(lock.try_lock(lock_bytes::kFile, LockMode::Exclusive).value());
  // A second open of the same file in this process: handed to the state, it
  // stays open, so the exclusive lock survives.
  lock.add_file(open_file());
  EXPECT_EQ(in_child([](FileLock& l) {
              return expect_taken(l, lock_bytes::kFile, LockMode::Shared, false);
            }),
            0);
}

TEST_F(FileLockTest, dropping_the_state_releases_its_bytes) {
  {
    FileLock lock(open_file(), file_.path());
    ASSERT_TRUE(lock.try_lock(lock_bytes::kWrite, LockMode::Exclusive).value());
  }
  EXPECT_EQ(in_child([](FileLock& l) {
              return expect_taken(l, lock_bytes::kWrite, LockMode::Exclusive, true);
            }),
            0);
}

TEST_F(FileLockTest, forked_child_holds_none_of_the_parents_locks_and_releases_none) {
  FileLock lock(open_file(), file_.path());
  ASSERT_TRUE(lock.try_lock(lock_bytes::kWrite, LockMode::Exclusive).value());
  pid_t pid = fork();
  if (pid == 0) {
    // The child's inherited copy: unlocking and closing it touch only the
    // child's (empty) set of locks.
    lock.unlock(lock_bytes::kWrite);
    _exit(0);
  }
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(in_child([](FileLock& l) {
              return expect_taken(l, lock_bytes::kWrite, LockMode::Exclusive, false);
            }),
            0);
}

TEST_F(FileLockTest, lowest_reader_byte_held_elsewhere_is_found) {
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t reader = fork();
  if (reader == 0) {
    FileLock lock(open_file(), file_.path());
    bool ok = true;
    for (std::uint64_t txn : {900u, 12u, 40u})
      ok = ok && lock.try_lock(lock_bytes::reader(txn), LockMode::Shared).value_or(false);
    char c = ok ? 'y' : 'n';
    (void)!::write(ready[1], &c, 1);
    (void)!::read(done[0], &c, 1);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  FileLock lock(open_file(), file_.path());
  // This process's own reader byte never counts.
  ASSERT_TRUE(lock.try_lock(lock_bytes::reader(3), LockMode::Shared).value());
  auto lowest = lock.lowest_held_by_another(lock_bytes::reader(0), lock_bytes::reader(1000));
  ASSERT_TRUE(lowest);
  EXPECT_EQ(*lowest, lock_bytes::reader(12));
  EXPECT_EQ(lock.lowest_held_by_another(lock_bytes::reader(13), lock_bytes::reader(40)).value(),
            std::nullopt);
  EXPECT_EQ(lock.lowest_held_by_another(lock_bytes::reader(13), lock_bytes::reader(41)).value(),
            lock_bytes::reader(40));
  EXPECT_TRUE(lock.held_by_another(lock_bytes::reader(900), LockMode::Exclusive).value());
  EXPECT_FALSE(lock.held_by_another(lock_bytes::reader(900), LockMode::Shared).value());
  EXPECT_FALSE(lock.held_by_another(lock_bytes::reader(3), LockMode::Exclusive).value());
  (void)!::write(done[1], "x", 1);
  waitpid(reader, nullptr, 0);
  EXPECT_EQ(lock.lowest_held_by_another(lock_bytes::reader(0), lock_bytes::reader(1000)).value(),
            std::nullopt);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST(LockBytes, sit_where_the_format_puts_them) {
  EXPECT_EQ(lock_bytes::kFile, 1ull << 62);
  EXPECT_EQ(lock_bytes::kWrite, (1ull << 62) + 1);
  EXPECT_EQ(lock_bytes::kIntent, (1ull << 62) + 2);
  EXPECT_EQ(lock_bytes::kLongWaitingWriter, (1ull << 62) + 3);
  // The largest transaction id still gives a valid signed offset.
  EXPECT_EQ(lock_bytes::reader(0x3FFFFFFFFFFFFFBFull), static_cast<std::uint64_t>(INT64_MAX));
}

TEST_F(FileLockTest, a_refused_request_is_an_error_naming_the_file) {
  // A read-only descriptor cannot take a write lock: the system answers
  // EBADF, which is an I/O error on the file, not a byte held elsewhere.
  FileLock read_only(::open(file_.path().c_str(), O_RDONLY | O_CLOEXEC), file_.path());
  auto taken = read_only.try_lock(lock_bytes::kWrite, LockMode::Exclusive);
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().kind(), ErrorKind::Io);
  EXPECT_EQ(taken.error().to_string(),
            "I/O error on `" + file_.path() + "`: Bad file descriptor (os error 9)");
  EXPECT_FALSE(read_only.holds(lock_bytes::kWrite));

  // A wait that runs out is BUSY on the same file.
  FileLock holder(open_file(), file_.path());
  ASSERT_TRUE(holder.try_lock(lock_bytes::kWrite, LockMode::Exclusive).value());
  EXPECT_EQ(in_child([&](FileLock& lock) {
              auto waited = lock.wait_lock(lock_bytes::kWrite, LockMode::Exclusive, Clock::now());
              if (waited) return 1;
              if (waited.error().kind() != ErrorKind::Busy) return 2;
              return waited.error().path() == file_.path() ? 0 : 3;
            }),
            0);
}

TEST(LocalFileSystem, network_file_systems_are_refused_by_magic) {
  for (std::uint64_t magic : {0x6969ull, 0xFF534D42ull, 0xFE534D42ull, 0x517Bull, 0x01021997ull})
    EXPECT_TRUE(is_network_file_system(magic)) << magic;
  for (std::uint64_t magic : {0xEF53ull /* ext4 */, 0x01021994ull /* tmpfs */,
                              0x9123683Eull /* btrfs */, 0x58465342ull /* xfs */})
    EXPECT_FALSE(is_network_file_system(magic)) << magic;
}

TEST(LocalFileSystem, a_temporary_file_is_local_and_a_bad_descriptor_is_io) {
  testing_support::TempFile file;
  int fd = ::open(file.path().c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_TRUE(check_local_file_system(fd, file.path()));
  ::close(fd);
  auto bad = check_local_file_system(-1, "nowhere.db");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), ErrorKind::Io);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
