// How the engine makes a database file durable: fdatasync, never fsync. A
// write moves the file's modification time on whenever the clock has ticked
// since the last one, and fsync then writes the inode as well (or waits for
// the journal to commit it) at most durable commits. This program defines
// fsync and fdatasync itself, so that every call in it, the engine's
// included, is seen on its way to the kernel.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "database.hpp"
#include "instance.hpp"
#include "storage/db_file.hpp"
#include "support/call_tally.hpp"
#include "support/temp_dir.hpp"
#include "txn/write_txn.hpp"

namespace {

enum SyncKind : std::size_t { kFull, kData };
auto& calls() { return deziro::testing::program_tally<2>(); }

}  // namespace

extern "C" int fsync(int fd) {
  calls().count(kFull);
  return int(::syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd) {
  calls().count(kData);
  return int(::syscall(SYS_fdatasync, fd));
}

namespace deziro {
namespace DZ_FILE_LOCAL {

TEST(SyncCall, a_file_sync_is_a_data_sync) {
  testing::TempDir dir;
  auto file = DbFile::open(dir.file("f"), DbFileMode::CreateNew);
  ASSERT_TRUE(file) << file.error().to_string();
  const auto before = calls().counts();
  // Past the end: the sync must carry the new length as well.
  ASSERT_TRUE(file->write_at(1 << 20, bytes_of(std::string_view("data"))));
  ASSERT_TRUE(file->sync());
  const auto after = calls().counts();
  EXPECT_EQ(after[kFull], before[kFull]);
  EXPECT_EQ(after[kData], before[kData] + 1);
}

TEST(SyncCall, durable_commits_sync_once_each_and_never_the_files_times) {
  testing::TempDir dir;
  OpenOptions options;
  // No background sync beside the commits: every sync counted is theirs.
  options.SYNC_DELAY = std::chrono::hours(1);
  auto opened = Database::open(dir.file("a.db"), options);
  ASSERT_TRUE(opened) << opened.error().to_string();
  const auto before = calls().counts();
  // Values of a page each, so that the file grows under the commits too.
  constexpr int kCommits = 12;
  for (int i = 0; i < kCommits; ++i) {
    auto w = WriteTxn::begin(opened->instance);
    ASSERT_TRUE(w) << w.error().to_string();
    ASSERT_TRUE((*w)->put(bytes_of(std::string_view("t")), bytes_of(std::to_string(i)),
                          bytes_of(std::string(4000, 'v'))));
    ASSERT_TRUE((*w)->commit());
  }
  const auto durable = calls().counts();
  EXPECT_EQ(durable[kFull], before[kFull]);
  EXPECT_EQ(durable[kData], before[kData] + kCommits);
  // Deferred commits after them: the first syncs the selector byte the last
  // durable commit left unsynced, before its own pages, and the rest sync
  // nothing; an explicit sync makes them durable with one data sync.
  for (int i = 0; i < 3; ++i) {
    auto w = WriteTxn::begin(opened->instance);
    ASSERT_TRUE(w) << w.error().to_string();
    ASSERT_TRUE((*w)->put(bytes_of(std::string_view("t")), bytes_of("deferred" + std::to_string(i)),
                          bytes_of(std::string_view("v"))));
    ASSERT_TRUE((*w)->commit_deferred());
  }
  EXPECT_EQ(calls().counts()[kData], durable[kData] + 1);
  ASSERT_TRUE(opened->instance->published().deferred);
  ASSERT_TRUE(opened->instance->sync());
  const auto after = calls().counts();
  EXPECT_EQ(after[kFull], before[kFull]);
  EXPECT_EQ(after[kData], durable[kData] + 2);
}

// A writer that opens a file and makes a chain of deferred commits syncs
// once, before the first writes its pages: the record before the published
// one stays guarded until a sync, and without that early sync the second
// deferred commit would find no slot but by making the first one durable,
// a sync of its pages.
TEST(SyncCall, a_chain_of_deferred_commits_after_an_open_makes_none_of_them_durable) {
  testing::TempDir dir;
  OpenOptions options;
  options.SYNC_DELAY = std::chrono::hours(1);
  const std::string path = dir.file("a.db");
  for (int i = 0; i < 2; ++i) {
    auto opened = Database::open(path, options);
    ASSERT_TRUE(opened) << opened.error().to_string();
    auto w = WriteTxn::begin(opened->instance);
    ASSERT_TRUE(w) << w.error().to_string();
    ASSERT_TRUE((*w)->put(bytes_of(std::string_view("t")), bytes_of(std::to_string(i)),
                          bytes_of(std::string_view("v"))));
    ASSERT_TRUE((*w)->commit());
  }
  auto opened = Database::open(path, options);
  ASSERT_TRUE(opened) << opened.error().to_string();
  const std::uint64_t durable = opened->instance->published().record.txn_id;
  const auto before = calls().counts();
  for (int i = 0; i < 6; ++i) {
    auto w = WriteTxn::begin(opened->instance);
    ASSERT_TRUE(w) << w.error().to_string();
    ASSERT_TRUE((*w)->put(bytes_of(std::string_view("t")), bytes_of("d" + std::to_string(i)),
                          bytes_of(std::string(3000, 'v'))));
    ASSERT_TRUE((*w)->commit_deferred());
  }
  EXPECT_EQ(calls().counts()[kData], before[kData] + 1);
  EXPECT_TRUE(opened->instance->published().deferred);
  EXPECT_EQ(opened->instance->durable_txn_id(), durable);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
