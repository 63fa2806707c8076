// How the engine asks a database file for its length: for the length alone,
// never with the file's times. Once the times have been asked for, the
// kernel stamps the next write with a fine-grained time, so the sync after
// it must write the inode too; a commit asks for the length every time. This
// program defines fstat and statx itself, so that every call in it, the
// engine's included, is seen on its way to the kernel.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "database.hpp"
#include "storage/db_file.hpp"
#include "support/call_tally.hpp"
#include "support/temp_dir.hpp"
#include "txn/write_txn.hpp"

namespace {

enum StatKind : std::size_t { kWithTimes, kLengthOnly };
auto& calls() { return deziro::testing::program_tally<2>(); }

}  // namespace

extern "C" int fstat(int fd, struct stat* st) {
  calls().count(kWithTimes);
  return int(::syscall(SYS_fstat, fd, st));
}

extern "C" int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* st) {
  const bool times = (mask & (STATX_ATIME | STATX_MTIME | STATX_CTIME | STATX_BTIME)) != 0;
  calls().count(times ? kWithTimes : kLengthOnly);
  return int(::syscall(SYS_statx, dirfd, path, flags, mask, st));
}

namespace deziro {
namespace DZ_FILE_LOCAL {

struct Counts {
  std::uint64_t with_times;
  std::uint64_t length_only;
};

Counts counts() {
  auto c = calls().counts();
  return {c[kWithTimes], c[kLengthOnly]};
}

TEST(FileLengthQuery, a_file_is_asked_for_its_length_alone) {
  testing::TempDir dir;
  auto file = DbFile::open(dir.file("f"), DbFileMode::CreateNew);
  ASSERT_TRUE(file) << file.error().to_string();
  ASSERT_TRUE(file->write_at(9000, bytes_of(std::string_view("data"))));
  const Counts before = counts();
  auto length = file->len_or_error();
  const Counts after = counts();
  ASSERT_TRUE(length) << length.error().to_string();
  EXPECT_EQ(*length, 9004u);
  EXPECT_EQ(after.with_times, before.with_times);
  EXPECT_EQ(after.length_only, before.length_only + 1);
}

TEST(FileLengthQuery, commits_never_ask_the_file_for_its_times) {
  testing::TempDir dir;
  OpenOptions options;
  // No background sync beside the commits.
  options.SYNC_DELAY = std::chrono::hours(1);
  auto opened = Database::open(dir.file("a.db"), options);
  ASSERT_TRUE(opened) << opened.error().to_string();
  const Counts before = counts();
  for (int i = 0; i < 20; ++i) {
    auto w = WriteTxn::begin(opened->instance);
    ASSERT_TRUE(w) << w.error().to_string();
    ASSERT_TRUE((*w)->put(bytes_of(std::string_view("t")), bytes_of(std::to_string(i)),
                          bytes_of(std::string(100, 'v'))));
    ASSERT_TRUE(i % 3 == 2 ? (*w)->commit_deferred() : (*w)->commit());
  }
  const Counts after = counts();
  EXPECT_EQ(after.with_times, before.with_times);
  // The durable commits still look at the length, to cut the file.
  EXPECT_GT(after.length_only, before.length_only);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
