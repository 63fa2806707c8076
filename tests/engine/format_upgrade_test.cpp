// Raising an open file's format version: the writer and the file alone are
// taken, and the file lock goes back to shared without a moment unlocked;
// a handle that could not take it back refuses to write.
#include "format_upgrade.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "database.hpp"
#include "lock/file_lock.hpp"
#include "support/temp_dir.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

OpenOptions version_five() {
  OpenOptions options;
  options.upgrade_format = false;
  return options;
}

TEST(FormatUpgrade, raises_the_version_once_and_keeps_the_file_lock_shared) {
  testing::TempDir dir;
  auto opened = Database::open(dir.file("a.db"), version_five());
  ASSERT_TRUE(opened) << opened.error().to_string();
  Instance& instance = *opened->instance;
  ASSERT_EQ(instance.format_version(), 5u);

  auto raised = upgrade_format(instance);
  ASSERT_TRUE(raised) << raised.error().to_string();
  EXPECT_TRUE(*raised);
  EXPECT_EQ(instance.format_version(), 6u);
  // Held shared again: another process may open the file, none may take it
  // alone.
  ASSERT_NE(instance.file_lock(), nullptr);
  auto exclusive = instance.file_lock()->held_by_another(lock_bytes::kFile, LockMode::Exclusive);
  ASSERT_TRUE(exclusive);
  EXPECT_FALSE(*exclusive);
  EXPECT_TRUE(instance.file_lock()->holds(lock_bytes::kFile));

  auto again = upgrade_format(instance);
  ASSERT_TRUE(again);
  EXPECT_FALSE(*again);
  EXPECT_TRUE(WriteTxn::begin(opened->instance));
}

TEST(FormatUpgrade, a_lock_that_cannot_turn_shared_fails_the_instance) {
  testing::TempDir dir;
  auto opened = Database::open(dir.file("a.db"), version_five());
  ASSERT_TRUE(opened) << opened.error().to_string();
  Instance& instance = *opened->instance;
  // The lock state's descriptor is made one no lock can be set through.
  int path_only = ::open(dir.file("a.db").c_str(), O_PATH | O_CLOEXEC);
  ASSERT_GE(path_only, 0);
  ASSERT_GE(::dup2(path_only, instance.file_lock()->descriptor()), 0);
  ::close(path_only);

  Status shared = instance.return_to_shared();
  ASSERT_FALSE(shared);
  EXPECT_TRUE(instance.failed());
  auto writer = WriteTxn::begin(opened->instance);
  ASSERT_FALSE(writer);
  EXPECT_EQ(writer.error().kind(), ErrorKind::SyncFailed);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
