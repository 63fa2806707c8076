// Answers of the kernel that a file system may give and the disk layer must
// meet without spinning or leaving anything behind: a write that takes no
// byte, lock requests that the file system refuses, a system without /proc.
// This program defines pwrite, fcntl, linkat, access, fsync and fdatasync
// itself, so that every call in it, the engine's included, passes here on
// its way to the kernel, and a test can make one misbehave or end the
// process there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "database.hpp"
#include "storage/fs.hpp"
#include "support/child_process.hpp"
#include "support/commit_check.hpp"
#include "support/temp_dir.hpp"
#include "tools/backup.hpp"
#include "tools/check.hpp"
#include "txn/write_txn.hpp"

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
  // No /proc: a path under it names nothing.
  std::atomic<bool> no_proc{false};
  // When set, the process kills itself at that call of pwrite, linkat,
  // fsync and fdatasync (1 the next one), before the call is made.
  std::atomic<std::uint64_t> kill_at_call{0};
  // fsync of a directory fails with EIO.
  std::atomic<bool> directory_syncs_fail{false};
};

constexpr std::uint64_t kZeroWriteLimit = 1000;

Faults& faults() {
  static Faults f;
  return f;
}

// Ends the process here when this is the call a test chose: a crash
// between the calls before it and this one.
void count_call() {
  std::atomic<std::uint64_t>& left = faults().kill_at_call;
  std::uint64_t n = left.load();
  while (n > 0 && !left.compare_exchange_weak(n, n - 1)) {
  }
  if (n == 1) ::kill(::getpid(), SIGKILL);
}

bool under_proc(const char* path) {
  return faults().no_proc.load() && path != nullptr && std::strncmp(path, "/proc/", 6) == 0;
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  count_call();
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

extern "C" int linkat(int from_dir, const char* from, int to_dir, const char* to,
                      int flags) noexcept {
  count_call();
  if (under_proc(from)) {
    errno = ENOENT;
    return -1;
  }
  return int(::syscall(SYS_linkat, from_dir, from, to_dir, to, flags));
}

extern "C" int access(const char* path, int mode) noexcept {
  if (under_proc(path)) {
    errno = ENOENT;
    return -1;
  }
  return int(::syscall(SYS_faccessat, AT_FDCWD, path, mode));
}

extern "C" int fsync(int fd) {
  count_call();
  struct stat st {};
  if (faults().directory_syncs_fail.load() && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EIO;
    return -1;
  }
  return int(::syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd) {
  count_call();
  return int(::syscall(SYS_fdatasync, fd));
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

using Trees = std::map<std::string, std::map<std::string, std::string>>;

std::vector<char> bytes_of_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Backs args[0] up to args[1], committing every 16 KiB of entries, on a
// system without /proc when args[3] is 1, and kills itself at call args[2]
// of pwrite, linkat, fsync and fdatasync: 1 when the backup ends first, 2
// when the source does not open, 3 when the backup fails.
DZ_CHILD(backup_killed_at_a_call) {
  auto opened = Database::open(args[0], OpenOptions{});
  if (!opened) return 2;
  faults().no_proc.store(args.number(3) == 1);
  faults().kill_at_call.store(args.number(2));
  backup::BackupOptions options;
  options.COMMIT_BYTES = 16384;
  return backup::backup(opened->instance, args[1], options) ? 1 : 3;
}

// A backup killed at any call, up to the one that finishes, leaves the
// source as it was and either nothing at the target or the whole copy,
// sound, with every entry: never part of a copy under the target's name.
// Without /proc an unnamed file has no path to be linked from, and was
// placed by a copy into the target.
TEST(SystemCallFaults, a_backup_killed_anywhere_leaves_no_partial_copy) {
  testing::TempDir dir;
  const std::string source = dir.file("s.db");
  Trees model;
  {
    auto opened = Database::open(source, OpenOptions{});
    ASSERT_TRUE(opened) << opened.error().to_string();
    auto w = WriteTxn::begin(opened->instance);
    ASSERT_TRUE(w);
    for (int i = 0; i < 3000; ++i) {
      std::string key = "k" + std::to_string(100000 + i);
      std::string value(80, char('a' + i % 26));
      ASSERT_TRUE((*w)->put(bytes_of("t"), bytes_of(key), bytes_of(value)));
      model["t"][key] = value;
    }
    ASSERT_TRUE((*w)->commit());
  }
  const std::vector<char> source_bytes = bytes_of_file(source);
  struct Case {
    const char* name;
    bool no_proc;
  };
  const Case cases[] = {{"with /proc", false}, {"without /proc", true}};
  for (const Case& c : cases) {
    bool finished = false;
    int killed = 0;
    for (std::uint64_t call = 1; !finished && call < 10000; ++call) {
      SCOPED_TRACE(std::string(c.name) + ", killed at call " + std::to_string(call));
      const std::string out =
          dir.file(std::string(c.no_proc ? "bare" : "proc") + std::to_string(call));
      stdfs::create_directory(out);
      const std::string target = out + "/c.db";
      testing::Child child("backup_killed_at_a_call", {source, target, call, int(c.no_proc)});
      const int code = child.wait();
      ASSERT_TRUE(code == 1 || code == 1000 + SIGKILL) << "the child ended with " << code;
      finished = code == 1;
      killed += code != 1;
      ASSERT_EQ(bytes_of_file(source), source_bytes) << "the source changed";
      if (!stdfs::exists(stdfs::symlink_status(target))) {
        ASSERT_FALSE(finished) << "the backup succeeded and left no copy";
        continue;
      }
      OpenOptions existing;
      existing.create = false;
      auto copy = Database::open(target, existing);
      ASSERT_TRUE(copy) << "a copy cut short: " << copy.error().to_string();
      auto report = tools::check_commit(copy->instance);
      ASSERT_TRUE(report) << report.error().to_string();
      for (const auto& problem : report->problems) ADD_FAILURE() << problem.message;
      auto content =
          testing::read_all_trees(copy->instance->reader(), copy->instance->published().record);
      ASSERT_TRUE(content) << content.error().to_string();
      EXPECT_TRUE(*content == model) << "the copy holds " << (*content)["t"].size() << " entries";
    }
    EXPECT_TRUE(finished) << c.name;
    EXPECT_GT(killed, 0) << c.name;
  }
}

// A backup whose last step, the sync of the target's directory, fails
// reports the failure, and so leaves nothing at the target: a caller told
// the backup failed would otherwise find a file there that a backup to the
// same name then refuses as existing. The file is placed by a link of the
// unnamed file, or (without /proc) of a temporary name.
TEST(SystemCallFaults, a_backup_whose_directory_sync_fails_leaves_nothing_at_the_target) {
  struct Case {
    const char* name;
    bool no_proc;
  };
  const Case cases[] = {{"unnamed file", false}, {"temporary name", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    auto source = Database::open(dir.file("s.db"), OpenOptions{});
    ASSERT_TRUE(source) << source.error().to_string();
    {
      auto w = WriteTxn::begin(source->instance);
      ASSERT_TRUE(w);
      ASSERT_TRUE((*w)->put(bytes_of("t"), bytes_of("k"), bytes_of("v")));
      ASSERT_TRUE((*w)->commit());
    }
    const std::string target = dir.file("c.db");
    faults().no_proc.store(c.no_proc);
    faults().directory_syncs_fail.store(true);
    auto figures = backup::backup(source->instance, target, {});
    faults().directory_syncs_fail.store(false);
    faults().no_proc.store(false);
    ASSERT_FALSE(figures) << "the backup succeeded though its directory sync failed";
    EXPECT_EQ(figures.error().kind(), ErrorKind::Io) << figures.error().to_string();
    EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(target)))
        << "the failed backup left a file at the target";
    EXPECT_EQ(files_in(dir.path()), 1u);
  }
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
