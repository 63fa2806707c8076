// Recovery of the head at open: a damaged first header, a selector that names
// no slot, a head with no usable record, a deferred commit made durable, and
// the format upgrade interrupted at every step.
#include <gtest/gtest.h>

#include <cstring>

#include "database.hpp"
#include "storage/fault_storage.hpp"
#include "support/borrowed_storage.hpp"
#include "support/commit_check.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace {

ByteView b(std::string_view s) { return bytes_of(s); }

struct Opened {
  FaultStorage* storage = nullptr;
  Result<std::shared_ptr<Instance>> instance = fail(Error::closed());
};

Opened open_image(std::vector<std::uint8_t> image, OpenOptions options = {}) {
  auto storage = std::make_unique<FaultStorage>("/mem/r.db", std::move(image));
  Opened o;
  o.storage = storage.get();
  o.instance = Database::open_existing(std::move(storage), options);
  return o;
}

// A file with three commits, the last of which put "k" = "3" into "t".
std::vector<std::uint8_t> three_commits(OpenOptions options = {}) {
  auto o = open_image(*Database::new_first_page(options), options);
  EXPECT_TRUE(o.instance);
  for (int i = 1; i <= 3; ++i) {
    auto w = WriteTxn::begin(*o.instance);
    EXPECT_TRUE(w && (*w)->put(b("t"), b("k"), b(std::to_string(i))) && (*w)->commit());
  }
  return o.storage->current_image();
}

std::string value_of_k(const std::shared_ptr<Instance>& instance) {
  auto r = ReadTxn::begin(instance);
  auto v = r->open_tree(b("t"), b("k"));
  if (!v || !*v) return "";
  return std::string((*v)->begin(), (*v)->end());
}

TEST(Recovery, damaged_first_header_is_rewritten_from_its_copy) {
  auto image = three_commits();
  image[20] ^= 0xFF;
  auto o = open_image(image);
  ASSERT_TRUE(o.instance) << o.instance.error().to_string();
  EXPECT_EQ(value_of_k(*o.instance), "3");
  auto repaired = o.storage->synced_image();
  EXPECT_EQ(std::memcmp(repaired.data(), repaired.data() + 128, 64), 0);
  EXPECT_TRUE(header::check_static_fields(std::span(repaired).first(64)));
}

TEST(Recovery, selector_naming_no_slot_takes_the_newest_sound_commit) {
  auto image = three_commits();
  image[kSelectorOffset] = 0x47;
  auto o = open_image(image);
  ASSERT_TRUE(o.instance) << o.instance.error().to_string();
  EXPECT_EQ(value_of_k(*o.instance), "3");
  EXPECT_TRUE(header::decode_selector(o.storage->synced_image()[kSelectorOffset]));
}

TEST(Recovery, selector_naming_a_damaged_record_falls_back_to_an_older_one) {
  auto image = three_commits();
  auto selector = *header::decode_selector(image[kSelectorOffset]);
  image[record_slot_offset(selector.slot) + 300] ^= 1;
  auto o = open_image(image);
  ASSERT_TRUE(o.instance) << o.instance.error().to_string();
  EXPECT_EQ(value_of_k(*o.instance), "2");
  auto problems = testing::check_commit((*o.instance)->reader(), (*o.instance)->published().record);
  EXPECT_TRUE(problems.empty()) << problems.front();
}

TEST(Recovery, head_without_a_usable_record_is_corrupted) {
  auto image = three_commits();
  for (std::size_t s = 0; s < kRecordSlotCount; ++s) image[record_slot_offset(s) + 100] ^= 1;
  auto o = open_image(image);
  ASSERT_FALSE(o.instance);
  EXPECT_EQ(o.instance.error().kind(), ErrorKind::Corrupted);
  EXPECT_EQ(o.instance.error().to_string().rfind("`/mem/r.db` is damaged: the head: commit record "
                                                 "slot ",
                                                 0),
            0u);
  for (std::size_t s = 0; s < kRecordSlotCount; ++s)
    std::memset(image.data() + record_slot_offset(s), 0, kRecordSize);
  o = open_image(image);
  ASSERT_FALSE(o.instance);
  EXPECT_EQ(o.instance.error().to_string(),
            "`/mem/r.db` is damaged: the head: no commit record slot holds a commit");
}

TEST(Recovery, page_count_that_overflows_the_file_length_is_refused_and_cuts_nothing) {
  auto image = three_commits();
  auto selector = *header::decode_selector(image[kSelectorOffset]);
  auto slot = std::span(image).subspan(record_slot_offset(selector.slot), kRecordSize);
  auto forged = record::parse_commit_record(selector.slot, slot, PageCipher::Checksum, 4096);
  ASSERT_TRUE(forged.valid());
  // (2^52 + 1) x 4096 wraps to 4096: a file cut to its head alone.
  forged.record.page_count = (std::uint64_t{1} << 52) + 1;
  auto bytes = record::encode_commit_record(forged.record);
  std::copy(bytes.begin(), bytes.end(), slot.begin());
  auto o = open_image(image);
  ASSERT_TRUE(o.instance) << o.instance.error().to_string();
  EXPECT_EQ(value_of_k(*o.instance), "2");
  EXPECT_GT(o.storage->current_image().size(), 4096u);
}

TEST(Recovery, older_record_put_back_beside_damaged_slots_is_refused) {
  auto o = open_image(*Database::new_first_page({}));
  auto commit_all = [&](int round) {
    auto w = WriteTxn::begin(*o.instance);
    for (int k = 0; k < 300; ++k)
      ASSERT_TRUE((*w)->put(b("t"), b("key" + std::to_string(k)), b(std::to_string(round))));
    ASSERT_TRUE((*w)->commit());
  };
  for (int round = 1; round <= 3; ++round) commit_all(round);
  auto old_image = o.storage->current_image();
  std::uint8_t old_slot = (*o.instance)->published().slot;
  // Later commits reuse the pages the older commit saw.
  for (int round = 4; round <= 10; ++round) commit_all(round);
  auto image = o.storage->current_image();
  auto damage_others = [&](std::vector<std::uint8_t> bytes, std::uint8_t kept) {
    for (std::uint8_t s = 0; s < kRecordSlotCount; ++s)
      if (s != kept) bytes[record_slot_offset(s) + 100] ^= 1;
    return bytes;
  };
  // The newest record beside damaged slots still opens as it is.
  std::uint8_t newest = header::decode_selector(image[kSelectorOffset])->slot;
  auto sound = open_image(damage_others(image, newest));
  ASSERT_TRUE(sound.instance) << sound.instance.error().to_string();
  auto r = ReadTxn::begin(*sound.instance);
  auto value = r->open_tree(b("t"), b("key7")).value().value_or(std::vector<std::uint8_t>{});
  EXPECT_EQ(std::string(value.begin(), value.end()), "10");
  // An older record put back in its slot and named durable is not.
  std::copy_n(old_image.begin() + record_slot_offset(old_slot), kRecordSize,
              image.begin() + record_slot_offset(old_slot));
  image[kSelectorOffset] = header::encode_selector({old_slot, false});
  auto replayed = open_image(damage_others(image, old_slot));
  ASSERT_FALSE(replayed.instance);
  EXPECT_EQ(replayed.instance.error().kind(), ErrorKind::Corrupted);
}

TEST(Recovery, deferred_commit_becomes_durable_at_sync) {
  auto o = open_image(*Database::new_first_page({}));
  auto w = WriteTxn::begin(*o.instance);
  ASSERT_TRUE((*w)->put(b("t"), b("k"), b("deferred")));
  ASSERT_TRUE((*w)->commit_deferred());
  EXPECT_TRUE((*o.instance)->published().deferred);
  // Nothing of it is on disk for certain yet.
  auto lost = open_image(o.storage->synced_image());
  ASSERT_TRUE(lost.instance);
  EXPECT_EQ(value_of_k(*lost.instance), "");
  ASSERT_TRUE((*o.instance)->sync());
  EXPECT_FALSE((*o.instance)->published().deferred);
  auto kept = open_image(o.storage->synced_image());
  ASSERT_TRUE(kept.instance);
  EXPECT_EQ(value_of_k(*kept.instance), "deferred");
}

TEST(Recovery, format_upgrade_survives_a_crash_at_every_step) {
  OpenOptions v5;
  v5.upgrade_format = false;
  auto image = three_commits(v5);
  ASSERT_EQ(header::check_static_fields(image)->format_version, 5u);
  {
    auto o = open_image(image);
    ASSERT_TRUE(o.instance);
    EXPECT_EQ((*o.instance)->format_version(), 6u);
    EXPECT_EQ((*o.instance)->leaf_layout(), LeafLayout::Varint);
  }
  for (std::uint64_t k = 0; k < 8; ++k) {
    FaultStorage disk("/mem/r.db", image);
    FaultStorage* raw = &disk;
    raw->power_off_after(k);
    (void)Database::open_existing(std::make_unique<testing::BorrowedStorage>(disk), OpenOptions{});
    for (std::uint64_t seed = 0; seed < 6; ++seed) {
      auto after = open_image(raw->crash_image(raw->random_crash_plan(seed)), v5);
      ASSERT_TRUE(after.instance) << k << ": " << after.instance.error().to_string();
      std::uint32_t version = (*after.instance)->format_version();
      EXPECT_TRUE(version == 5 || version == 6);
      EXPECT_EQ(value_of_k(*after.instance), "3");
    }
  }
}

}  // namespace
}  // namespace deziro
