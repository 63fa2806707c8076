#include "storage/fault_storage.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "support/crash_points.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

std::vector<std::uint8_t> filled(std::size_t n, std::uint8_t value) {
  return std::vector<std::uint8_t>(n, value);
}

TEST(FaultStorage, nth_write_fails_once_and_changes_nothing) {
  FaultStorage storage("f.db");
  storage.fail_nth_write(2);
  ASSERT_TRUE(storage.write_at(0, filled(10, 1)));
  auto second = storage.write_at(0, filled(10, 2));
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().to_string(), "I/O error on `f.db`: injected write failure");
  EXPECT_EQ(storage.current_image(), filled(10, 1));
  EXPECT_TRUE(storage.write_at(0, filled(10, 3)));
}

TEST(FaultStorage, failed_sync_leaves_changes_pending) {
  FaultStorage storage;
  ASSERT_TRUE(storage.write_at(0, filled(10, 1)));
  storage.fail_nth_sync(1);
  auto synced = storage.sync();
  ASSERT_FALSE(synced);
  EXPECT_EQ(synced.error().message(), "injected sync failure");
  EXPECT_EQ(storage.pending_count(), 1u);
  EXPECT_TRUE(storage.synced_image().empty());
  ASSERT_TRUE(storage.sync());
  EXPECT_EQ(storage.pending_count(), 0u);
  EXPECT_EQ(storage.synced_image(), filled(10, 1));
}

// The kernel may mark the pages of a failed sync clean: reads still see
// them, but the disk never gets them, not even from a later sync.
TEST(FaultStorage, failed_sync_may_drop_writes_that_reads_still_see) {
  FaultStorage storage;
  ASSERT_TRUE(storage.write_at(0, filled(10, 1)));
  ASSERT_TRUE(storage.sync());
  ASSERT_TRUE(storage.write_at(0, filled(4, 2)));
  storage.fail_nth_sync(1, SyncFailure::DropsWrites);
  ASSERT_FALSE(storage.sync());
  EXPECT_EQ(storage.pending_count(), 0u);
  ASSERT_TRUE(storage.write_at(8, filled(2, 3)));
  ASSERT_TRUE(storage.sync());
  auto seen = filled(10, 1);
  std::fill_n(seen.begin(), 4, 2);
  seen[8] = seen[9] = 3;
  EXPECT_EQ(storage.current_image(), seen);
  auto disk = filled(10, 1);
  disk[8] = disk[9] = 3;
  EXPECT_EQ(storage.synced_image(), disk);
  // Written again, the bytes reach the disk at the next sync.
  ASSERT_TRUE(storage.write_at(0, filled(4, 2)));
  ASSERT_TRUE(storage.sync());
  EXPECT_EQ(storage.synced_image(), seen);
}

TEST(FaultStorage, nth_read_fails_once) {
  FaultStorage storage("f.db", filled(100, 7));
  storage.fail_nth_read(1);
  std::uint8_t buf[10];
  EXPECT_FALSE(storage.read_at(0, buf));
  EXPECT_EQ(storage.read_at(0, buf).value(), 10u);
}

TEST(FaultStorage, power_off_stops_every_call_after_the_budget) {
  FaultStorage storage;
  storage.power_off_after(2);
  ASSERT_TRUE(storage.write_at(0, filled(10, 1)));
  ASSERT_TRUE(storage.sync());
  EXPECT_TRUE(storage.powered_off());
  auto write = storage.write_at(0, filled(10, 2));
  ASSERT_FALSE(write);
  EXPECT_EQ(write.error().message(), "the power is off");
  std::uint8_t buf[4];
  EXPECT_FALSE(storage.read_at(0, buf));
  EXPECT_EQ(storage.operation_count(), 2u);
  EXPECT_EQ(storage.synced_image(), filled(10, 1));
}

TEST(FaultStorage, reads_see_unsynced_writes_and_stop_at_the_end) {
  FaultStorage storage;
  ASSERT_TRUE(storage.write_at(5, filled(5, 9)));
  std::vector<std::uint8_t> out(20, 0xFF);
  EXPECT_EQ(storage.read_at(0, out).value(), 10u);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[5], 9);
  EXPECT_EQ(storage.len_or_error().value(), 10u);
}

TEST(FaultStorage, vectored_write_is_one_change) {
  FaultStorage storage;
  auto a = filled(512, 1), b = filled(512, 2);
  ConstByteSpan parts[] = {a, b};
  ASSERT_TRUE(storage.write_vectored_at(512, parts));
  EXPECT_EQ(storage.pending_count(), 1u);
  EXPECT_EQ(storage.pending_pieces(0), 2u);
  EXPECT_EQ(storage.operation_count(), 1u);
}

TEST(FaultStorage, crash_keeps_synced_data_and_drops_unsynced_by_plan) {
  FaultStorage storage;
  ASSERT_TRUE(storage.write_at(0, filled(1024, 1)));
  ASSERT_TRUE(storage.sync());
  ASSERT_TRUE(storage.write_at(0, filled(512, 2)));
  ASSERT_TRUE(storage.write_at(1024, filled(512, 3)));
  EXPECT_EQ(storage.crash_image(CrashPlan::keep_none(2)), filled(1024, 1));
  EXPECT_EQ(storage.crash_image(CrashPlan::keep_all(2)), storage.current_image());
  auto only_second = storage.crash_image(CrashPlan{{false, true}});
  ASSERT_EQ(only_second.size(), 1536u);
  EXPECT_EQ(only_second[0], 1);
  EXPECT_EQ(only_second[1024], 3);
}

TEST(FaultStorage, torn_write_keeps_a_prefix_cut_at_a_sector_boundary) {
  FaultStorage storage("f.db", filled(4096, 0xAA));
  // A page write starting mid-sector: pieces are [100, 512), [512, 1024), [1024, 1100).
  ASSERT_TRUE(storage.write_at(100, filled(1000, 0xBB)));
  EXPECT_EQ(storage.pending_pieces(0), 3u);
  CrashPlan plan = CrashPlan::keep_all(1);
  plan.torn = 0;
  plan.torn_sectors = 2;
  auto image = storage.crash_image(plan);
  for (std::size_t i = 0; i < image.size(); ++i) {
    std::uint8_t expected = (i >= 100 && i < 1024) ? 0xBB : 0xAA;
    ASSERT_EQ(image[i], expected) << i;
  }
}

TEST(FaultStorage, length_changes_are_pending_until_synced) {
  FaultStorage storage("f.db", filled(8192, 1));
  ASSERT_TRUE(storage.set_len(4096));
  EXPECT_EQ(storage.len_or_error().value(), 4096u);
  EXPECT_EQ(storage.crash_image(CrashPlan::keep_none(1)).size(), 8192u);
  EXPECT_EQ(storage.crash_image(CrashPlan::keep_all(1)).size(), 4096u);
}

TEST(FaultStorage, same_seed_builds_the_same_image) {
  FaultStorage storage("f.db", filled(8192, 0));
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(storage.write_at(512 * i, filled(1536, i + 1)));
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    auto plan = storage.random_crash_plan(seed);
    EXPECT_EQ(plan.applied, storage.random_crash_plan(seed).applied);
    EXPECT_EQ(storage.crash_image(plan), storage.crash_image(storage.random_crash_plan(seed)));
    if (seed % 2 == 1 && plan.torn) {
      EXPECT_TRUE(plan.applied[*plan.torn]);
      EXPECT_GE(plan.torn_sectors, 1u);
      EXPECT_LT(plan.torn_sectors, storage.pending_pieces(*plan.torn));
    }
  }
}

// Property: whatever the plan, each byte of a crash image is the synced byte
// or a byte that one of the pending writes put there, and bytes that no
// pending change touched keep their synced value.
TEST(FaultStorage, power_loss_images_hold_only_allowed_states) {
  std::mt19937_64 rng(1234);
  for (int round = 0; round < 40; ++round) {
    std::vector<std::uint8_t> base(6000);
    for (auto& b : base) b = static_cast<std::uint8_t>(rng() % 4);
    FaultStorage storage("f.db", base);
    std::vector<std::set<std::uint8_t>> allowed(8192);
    for (std::size_t i = 0; i < base.size(); ++i) allowed[i].insert(base[i]);
    int ops = 1 + static_cast<int>(rng() % 8);
    bool length_changed = false;
    for (int op = 0; op < ops; ++op) {
      if (rng() % 6 == 0) {
        std::uint64_t len = 4000 + rng() % 4000;
        ASSERT_TRUE(storage.set_len(len));
        length_changed = true;
        continue;
      }
      std::uint64_t offset = rng() % 6000;
      std::size_t size = 1 + rng() % 2000;
      auto value = static_cast<std::uint8_t>(10 + op);
      ASSERT_TRUE(storage.write_at(offset, filled(size, value)));
      for (std::size_t i = offset; i < offset + size && i < allowed.size(); ++i)
        allowed[i].insert(value);
    }
    for (std::uint64_t seed = 0; seed < 16; ++seed) {
      auto image = storage.crash_image(storage.random_crash_plan(seed));
      for (std::size_t i = 0; i < image.size(); ++i) {
        bool zero_by_growth = length_changed || i >= base.size();
        if (zero_by_growth && image[i] == 0) continue;
        ASSERT_TRUE(allowed[i].contains(image[i]))
            << "round " << round << " seed " << seed << " byte " << i << " = " << int(image[i]);
      }
      if (!length_changed) {
        ASSERT_GE(image.size(), base.size());
      }
    }
    ASSERT_TRUE(storage.sync());
    EXPECT_EQ(storage.crash_image(storage.random_crash_plan(round)), storage.current_image());
  }
}

// A two-step protocol: data, then a flag saying the data is complete. With a
// sync between them every crash image that shows the flag has whole data;
// without it, some image shows the flag beside torn or missing data. The
// second half proves the model finds the missing sync.
void write_data_then_flag(FaultStorage& storage, bool sync_between) {
  if (!storage.write_at(512, filled(2048, 0xD0))) return;
  if (sync_between && !storage.sync()) return;
  if (!storage.write_at(0, filled(1, 1))) return;
  (void)storage.sync();
}

bool flag_without_whole_data(const std::vector<std::uint8_t>& image) {
  if (image.empty() || image[0] != 1) return false;
  if (image.size() < 2560) return true;
  return !std::all_of(image.begin() + 512, image.begin() + 2560, [](auto b) { return b == 0xD0; });
}

TEST(CrashImages, sync_between_data_and_flag_keeps_every_image_consistent) {
  int bad = 0;
  auto points = testing_support::for_each_crash_image(
      filled(512, 0), [](FaultStorage& s) { write_data_then_flag(s, true); },
      [&](const std::vector<std::uint8_t>& image, std::uint64_t, std::uint64_t) {
        bad += flag_without_whole_data(image);
      },
      64);
  EXPECT_EQ(points, 4u);
  EXPECT_EQ(bad, 0);
}

TEST(CrashImages, missing_sync_is_caught_by_some_crash_image) {
  int bad = 0;
  testing_support::for_each_crash_image(
      filled(512, 0), [](FaultStorage& s) { write_data_then_flag(s, false); },
      [&](const std::vector<std::uint8_t>& image, std::uint64_t, std::uint64_t) {
        bad += flag_without_whole_data(image);
      },
      64);
  EXPECT_GT(bad, 0);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
