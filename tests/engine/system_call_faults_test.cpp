// Answers of the kernel that a file system may give and the disk layer must
// meet without spinning or leaving anything behind: a write that takes no
// byte, lock requests that the file system refuses. This program defines
// pwrite and fcntl itself, so that every call in it, the engine's included,
// passes here on its way to the kernel, and a test can make one misbehave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "database.hpp"
#include "storage/fs.hpp"
#include "support/temp_dir.hpp"

namespace {

// What the calls below answer while a test has armed them.
struct Faults {
  // A non-empty pwrite to this descriptor takes no byte.
  std::atomic<int> zero_write_fd{-1};
  // The writes so answered. After kZeroWriteLimit of them the next fails
  // with ENOSPC, so that a loop that never stops on them still ends.
  std::atomic<std::uint64_t> zero_writes{0};
  // Requests that set a lock fail with ENOLCK; with `lock_queries_fail`,
  // requests that ask about one do too.
  std::atomic<bool> lock_sets_fail{false};
  std::atomic<bool> lock_queries_fail{false};
};

constexpr std::uint64_t kZeroWriteLimit = 1000;

Faults& faults() {
  static Faults f;
  return f;
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  Faults& f = faults();
  if (count > 0 && fd == f.zero_write_fd.load()) {
    if (f.zero_writes.fetch_add(1) + 1 > kZeroWriteLimit) {
      errno = ENOSPC;
      return -1;
    }
    return 0;
  }
  return ::syscall(SYS_pwrite64, fd, buf, count, offset);
}

extern "C" int fcntl(int fd, int cmd, ...) {
  va_list args;
  va_start(args, cmd);
  void* arg = va_arg(args, void*);
  va_end(args);
  Faults& f = faults();
  const bool sets = cmd == F_SETLK || cmd == F_SETLKW || cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW;
  const bool queries = cmd == F_GETLK || cmd == F_OFD_GETLK;
  if ((sets && f.lock_sets_fail.load()) || (queries && f.lock_queries_fail.load())) {
    errno = ENOLCK;
    return -1;
  }
  return int(::syscall(SYS_fcntl, fd, cmd, arg));
}

namespace deziro {
namespace DZ_FILE_LOCAL {

namespace stdfs = std::filesystem;

std::size_t files_in(const std::string& dir) {
  return std::size_t(std::distance(stdfs::directory_iterator(dir), {}));
}

// Arms the zero-byte writes on `fd` for the life of the guard.
struct ZeroWrites {
  explicit ZeroWrites(int fd) {
    faults().zero_writes.store(0);
    faults().zero_write_fd.store(fd);
  }
  ~ZeroWrites() { faults().zero_write_fd.store(-1); }
  std::uint64_t answered() const { return faults().zero_writes.load(); }
};

// Arms the refused lock requests for the life of the guard.
struct RefusedLocks {
  explicit RefusedLocks(bool queries_too) {
    faults().lock_queries_fail.store(queries_too);
    faults().lock_sets_fail.store(true);
  }
  ~RefusedLocks() {
    faults().lock_sets_fail.store(false);
    faults().lock_queries_fail.store(false);
  }
};

struct FdCloser {
  int fd;
  ~FdCloser() { ::close(fd); }
};

// A write that takes no byte of a non-empty buffer makes no progress, and
// asking again gets the same answer: the writers of new files fail at the
// first one instead of asking forever.
TEST(SystemCallFaults, a_write_that_takes_nothing_fails_at_once) {
  struct Case {
    const char* name;
    std::function<Status(int source, int out, const std::string& path)> write;
  };
  const std::vector<std::uint8_t> data(10000, 7);
  const std::vector<Case> cases = {
      {"write_all_and_sync",
       [&](int, int out, const std::string& path) {
         return fs::write_all_and_sync(out, path, data);
       }},
      {"copy_contents",
       [&](int source, int out, const std::string& path) {
         return fs::copy_contents(source, path + ".source", out, path);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const std::string source_path = dir.file("source");
    const int source = ::open(source_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(source, 0);
    FdCloser source_closer{source};
    ASSERT_EQ(::write(source, data.data(), data.size()), ssize_t(data.size()));
    const std::string path = dir.file("out");
    const int out = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(out, 0);
    FdCloser out_closer{out};

    ZeroWrites zero(out);
    Status written = c.write(source, out, path);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind(), ErrorKind::Io);
    EXPECT_NE(written.error().to_string().find(path), std::string::npos)
        << written.error().to_string();
    EXPECT_EQ(zero.answered(), 1u) << "writes that took nothing before the call gave up";
  }
}

// The copy fallback creates the target before it takes the target's lock
// byte. When the lock request fails (a file system whose locks do not
// work), the call fails and the empty file it created goes with it: nothing
// is left at the target, which a later placing or opening would take as
// taken or as a creation cut short.
TEST(SystemCallFaults, a_copy_into_place_whose_lock_fails_leaves_no_file_at_the_target) {
  struct Case {
    const char* name;
    bool queries_fail;
  };
  const Case cases[] = {
      {"lock requests that set a lock fail", false},
      {"every lock request fails", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const std::string source_path = dir.file("source");
    const int source = ::open(source_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(source, 0);
    FdCloser source_closer{source};
    const std::vector<std::uint8_t> data(5000, 3);
    ASSERT_EQ(::write(source, data.data(), data.size()), ssize_t(data.size()));
    const std::string target = dir.file("target.db");

    Result<fs::LinkOutcome> placed = [&] {
      RefusedLocks refused(c.queries_fail);
      return Database::copy_into_place(source, target, true);
    }();
    ASSERT_FALSE(placed);
    EXPECT_EQ(placed.error().kind(), ErrorKind::UnsupportedFileSystem)
        << placed.error().to_string();
    EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(target)));
    EXPECT_EQ(files_in(dir.path()), 1u);
  }
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
