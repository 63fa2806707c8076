// Format versions 5 and 6: version-5 files are read and written as they
// are, and the upgrade to 6 leaves a file that opens, as 5 or as 6, with all
// its data wherever power fails.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "database.hpp"
#include "format_upgrade.hpp"
#include "storage/fault_storage.hpp"
#include "support/borrowed_storage.hpp"
#include "support/commit_check.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using Trees = std::map<std::string, std::map<std::string, std::string>>;

ByteView b(std::string_view s) { return bytes_of(s); }

OpenOptions options_for(bool upgrade, bool encrypted) {
  OpenOptions options;
  options.upgrade_format = upgrade;
  if (encrypted) {
    std::array<std::uint8_t, 32> raw;
    raw.fill(0x5C);
    options.credential = Credential::key(std::span<const std::uint8_t, 32>(raw));
  }
  return options;
}

struct MemoryDb {
  FaultStorage* storage = nullptr;
  std::shared_ptr<Instance> instance;
};

Result<MemoryDb> open_image(std::vector<std::uint8_t> image, const OpenOptions& options) {
  auto storage = std::make_unique<FaultStorage>("/mem/v.db", std::move(image));
  MemoryDb db;
  db.storage = storage.get();
  db.instance = DZ_TRY(Database::open_existing(std::move(storage), options));
  return db;
}

Result<Trees> read_all(const MemoryDb& db) {
  return testing::read_all_trees(db.instance->reader(), db.instance->published().record);
}

void put_rows(MemoryDb& db, const std::string& tree, int from, int to) {
  auto w = WriteTxn::begin(db.instance);
  ASSERT_TRUE(w) << w.error().to_string();
  for (int i = from; i < to; ++i)
    ASSERT_TRUE((*w)->put(b(tree), b("key-" + std::to_string(i)), b("value-" + std::to_string(i))));
  ASSERT_TRUE((*w)->commit());
}

Trees rows(const std::string& tree, int from, int to) {
  Trees t;
  for (int i = from; i < to; ++i)
    t[tree]["key-" + std::to_string(i)] = "value-" + std::to_string(i);
  return t;
}

// A version-5 file holding 300 rows over several leaves.
std::vector<std::uint8_t> version5_file(bool encrypted) {
  OpenOptions options = options_for(false, encrypted);
  auto page = Database::new_first_page(options, "/mem/v.db");
  EXPECT_TRUE(page);
  auto db = open_image(*page, options);
  EXPECT_TRUE(db) << db.error().to_string();
  put_rows(*db, "t", 0, 300);
  return db->storage->current_image();
}

// Page kinds of a plain file's pages after the head (readable without a key).
std::map<int, int> page_kinds(const std::vector<std::uint8_t>& image, std::size_t page_size) {
  std::map<int, int> kinds;
  for (std::size_t p = 1; p < image.size() / page_size; ++p) ++kinds[image[p * page_size + 24]];
  return kinds;
}

constexpr int kFixedLeafKind = 1;
constexpr int kVarintLeafKind = 4;

TEST(FormatVersion, file_created_without_upgrade_is_version_5_with_fixed_leaves) {
  auto image = version5_file(false);
  auto db = open_image(image, options_for(false, false));
  ASSERT_TRUE(db) << db.error().to_string();
  EXPECT_EQ(db->instance->format_version(), 5u);
  // Version 5 keeps no header copy.
  EXPECT_TRUE(std::all_of(image.begin() + 128, image.begin() + 192, [](auto c) { return c == 0; }));
  auto kinds = page_kinds(image, db->instance->page_size());
  EXPECT_GT(kinds[kFixedLeafKind], 1);
  EXPECT_EQ(kinds[kVarintLeafKind], 0);
  EXPECT_TRUE(*read_all(*db) == rows("t", 0, 300));
}

TEST(FormatVersion, version_5_stays_5_while_written_without_upgrade) {
  auto db = open_image(version5_file(false), options_for(false, false));
  ASSERT_TRUE(db);
  put_rows(*db, "u", 0, 100);
  auto image = db->storage->current_image();
  auto again = open_image(image, options_for(false, false));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->instance->format_version(), 5u);
  EXPECT_EQ(page_kinds(image, again->instance->page_size())[kVarintLeafKind], 0);
  Trees expected = rows("t", 0, 300);
  expected.merge(rows("u", 0, 100));
  EXPECT_TRUE(*read_all(*again) == expected);
}

TEST(FormatVersion, open_with_upgrade_raises_5_to_6_and_keeps_old_leaves_readable) {
  auto db = open_image(version5_file(false), options_for(true, false));
  ASSERT_TRUE(db) << db.error().to_string();
  EXPECT_EQ(db->instance->format_version(), 6u);
  EXPECT_TRUE(*read_all(*db) == rows("t", 0, 300));
  put_rows(*db, "u", 0, 100);
  auto image = db->storage->current_image();
  auto kinds = page_kinds(image, db->instance->page_size());
  EXPECT_GT(kinds[kVarintLeafKind], 0);
  EXPECT_GT(kinds[kFixedLeafKind], 0);
  auto again = open_image(image, options_for(false, false));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->instance->format_version(), 6u);
  for (const auto& problem :
       testing::check_commit(again->instance->reader(), again->instance->published().record))
    ADD_FAILURE() << problem;
}

TEST(FormatVersion, instance_write_static_header_upgrades_an_open_file) {
  auto db = open_image(version5_file(true), options_for(false, true));
  ASSERT_TRUE(db) << db.error().to_string();
  ASSERT_EQ(db->instance->format_version(), 5u);
  ASSERT_TRUE(db->instance->write_static_header());
  EXPECT_EQ(db->instance->format_version(), 6u);
  EXPECT_EQ(db->instance->leaf_layout(), LeafLayout::Varint);
  auto again = open_image(db->storage->current_image(), options_for(false, true));
  ASSERT_TRUE(again) << again.error().to_string();
  EXPECT_EQ(again->instance->format_version(), 6u);
  EXPECT_TRUE(*read_all(*again) == rows("t", 0, 300));
}

// A failed sync may have dropped the header bytes before it from the disk's
// future while reads keep seeing them, as any failed sync may: the upgrade
// answers IO, and the instance refuses every later write, as after any
// failed sync, until the file is opened again.
TEST(FormatVersion, failed_sync_during_the_upgrade_is_io_and_fails_the_instance) {
  for (std::uint64_t nth = 1; nth <= 3; ++nth) {
    SCOPED_TRACE("sync " + std::to_string(nth));
    auto db = open_image(version5_file(false), options_for(false, false));
    ASSERT_TRUE(db);
    db->storage->fail_nth_sync(nth, SyncFailure::DropsWrites);
    auto raised = upgrade_format(*db->instance);
    ASSERT_FALSE(raised);
    EXPECT_EQ(raised.error().kind(), ErrorKind::Io);
    EXPECT_EQ(db->instance->format_version(), 5u);
    EXPECT_TRUE(db->instance->failed());
    auto writer = WriteTxn::begin(db->instance);
    ASSERT_FALSE(writer) << "a write transaction began after the failed sync";
    EXPECT_EQ(writer.error().kind(), ErrorKind::SyncFailed);
    auto again = open_image(db->storage->current_image(), options_for(false, false));
    ASSERT_TRUE(again) << again.error().to_string();
    EXPECT_TRUE(*read_all(*again) == rows("t", 0, 300));
  }
}

// Power fails after every write and sync of an upgrading open; whatever
// subset of the unsynced writes reached the disk, the file opens as 5 or 6
// with all its rows.
void check_upgrade_interrupted_everywhere(bool encrypted) {
  const auto image = version5_file(encrypted);
  std::uint64_t total = 0;
  {
    auto storage = std::make_unique<FaultStorage>("/mem/v.db", image);
    FaultStorage* counted = storage.get();
    auto opened = Database::open_existing(std::move(storage), options_for(true, encrypted));
    ASSERT_TRUE(opened) << opened.error().to_string();
    total = counted->operation_count();
    // The copy, the version and the check, each with its sync.
    ASSERT_GE(total, 6u);
  }
  std::map<std::uint32_t, int> seen_versions;
  for (std::uint64_t k = 0; k <= total; ++k) {
    FaultStorage disk_storage("/mem/v.db", image);
    FaultStorage* disk = &disk_storage;
    disk->power_off_after(k);
    auto opened = Database::open_existing(std::make_unique<testing::BorrowedStorage>(disk_storage),
                                          options_for(true, encrypted));
    if (k == total) {
      ASSERT_TRUE(opened) << opened.error().to_string();
    }
    std::vector<CrashPlan> plans = {CrashPlan::keep_none(disk->pending_count()),
                                    CrashPlan::keep_all(disk->pending_count())};
    for (std::uint64_t seed = 0; seed < 6; ++seed) plans.push_back(disk->random_crash_plan(seed));
    for (const CrashPlan& plan : plans) {
      auto crashed = disk->crash_image(plan);
      auto reopened = open_image(crashed, options_for(false, encrypted));
      ASSERT_TRUE(reopened) << "after " << k << " operations: " << reopened.error().to_string();
      std::uint32_t version = reopened->instance->format_version();
      EXPECT_TRUE(version == 5 || version == 6) << version;
      ++seen_versions[version];
      auto content = read_all(*reopened);
      ASSERT_TRUE(content) << content.error().to_string();
      EXPECT_TRUE(*content == rows("t", 0, 300)) << "after " << k << " operations";
      // And the next upgrading open finishes the job.
      auto finished = open_image(crashed, options_for(true, encrypted));
      ASSERT_TRUE(finished) << finished.error().to_string();
      EXPECT_EQ(finished->instance->format_version(), 6u);
    }
  }
  // Both outcomes occur: the crash points really split the upgrade.
  EXPECT_GT(seen_versions[5], 0);
  EXPECT_GT(seen_versions[6], 0);
}

TEST(FormatVersion, upgrade_interrupted_at_each_sync_opens_as_5_or_6_with_all_data) {
  check_upgrade_interrupted_everywhere(false);
}

TEST(FormatVersion, encrypted_upgrade_interrupted_at_each_sync_opens_with_all_data) {
  check_upgrade_interrupted_everywhere(true);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
