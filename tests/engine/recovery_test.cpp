// Recovery of the head at open: a damaged first header, a selector that names
// no slot, a head with no usable record, a deferred commit made durable, and
// the format upgrade interrupted at every step.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>

#include "database.hpp"
#include "format/header_bytes.hpp"
#include "storage/fault_storage.hpp"
#include "support/borrowed_storage.hpp"
#include "support/commit_check.hpp"
#include "text_format.hpp"
#include "tools/check.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

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

// The selector names a record as durable only after it was synced, so a
// crash never leaves that record failing: it is damage, and the open
// refuses it without writing anything, rather than drop the commit.
TEST(Recovery, damaged_record_that_the_selector_names_as_durable_is_refused_and_left_alone) {
  OpenOptions encrypted;
  std::array<std::uint8_t, 32> raw{7};
  encrypted.credential = Credential::key(std::span<const std::uint8_t, 32>(raw));
  struct Damage {
    const char* name;
    bool encrypted;
    std::function<void(std::uint8_t*)> apply;
    // What the refusal says of the record.
    const char* problem;
  };
  auto flip = [](std::size_t at) { return [at](std::uint8_t* r) { r[at] ^= 0x10; }; };
  const Damage damages[] = {
      {"transaction id", false, flip(0), "it fails its check"},
      {"page count", false, flip(9), "it fails its check"},
      {"catalog root", false, flip(40), "it fails its check"},
      {"reserved bytes", false, flip(300), "it fails its check"},
      {"check", false, flip(511), "it fails its check"},
      {"encrypted check", true, flip(511), "it fails its check"},
      {"zeroed sector", false, [](std::uint8_t* r) { std::memset(r, 0, kRecordSize); },
       "the selector names it, but its record is blank"},
      // A record whose check holds but whose MAC does not.
      {"MAC", true,
       [](std::uint8_t* r) {
         r[480] ^= 1;  // the MAC itself
         auto check = bytes::xxh3_128(std::span<const std::uint8_t>(r, 496));
         std::memcpy(r + 496, check.data(), check.size());
       },
       "it fails authentication"},
  };
  for (const Damage& d : damages) {
    OpenOptions options = d.encrypted ? encrypted : OpenOptions{};
    auto image = three_commits(options);
    std::uint8_t slot = header::decode_selector(image[kSelectorOffset])->slot;
    d.apply(image.data() + record_slot_offset(slot));
    FaultStorage disk("/mem/r.db", image);
    auto refused =
        Database::open_existing(std::make_unique<testing::BorrowedStorage>(disk), options);
    ASSERT_FALSE(refused) << d.name;
    EXPECT_EQ(refused.error().kind(), ErrorKind::Corrupted) << d.name;
    EXPECT_EQ(refused.error().to_string(),
              format_text("`/mem/r.db` is damaged: the published commit record: commit "
                          "record slot {}: {}",
                          slot, d.problem))
        << d.name;
    EXPECT_EQ(disk.operation_count(), 0u) << d.name;

    // With the deferred bit the record may have been cut short by a power
    // loss: the open falls back to the commit before it.
    image[kSelectorOffset] |= 0x80;
    auto o = open_image(image, options);
    ASSERT_TRUE(o.instance) << d.name << ": " << o.instance.error().to_string();
    EXPECT_EQ(value_of_k(*o.instance), "2") << d.name;
  }
}

// The record of slot `from` with the transaction id `txn_id`, as a writer
// that died after writing its record (and no page) leaves it in slot `to`.
void write_orphan(std::vector<std::uint8_t>& image, std::size_t from, std::size_t to,
                  std::uint64_t txn_id) {
  std::uint8_t* r = image.data() + record_slot_offset(to);
  std::memmove(r, image.data() + record_slot_offset(from), kRecordSize);
  for (int i = 0; i < 8; ++i) r[i] = std::uint8_t(txn_id >> (8 * i));
  auto check = bytes::xxh3_128(std::span<const std::uint8_t>(r, 496));
  std::memcpy(r + 496, check.data(), check.size());
}

// Two records with one id: the acknowledged one the selector names, and an
// orphan in a lower slot that verifies as well. The selector's wins.
TEST(Recovery, orphan_record_with_the_published_id_never_wins) {
  for (bool deferred_bit : {false, true}) {
    auto image = three_commits();  // transactions 2, 3, 4 in slots 1, 2, 0
    ASSERT_EQ(image[kSelectorOffset], 0);
    // Transaction 4 moved to slot 2, its orphan twin (with transaction 2's
    // roots) in slot 0.
    std::memmove(image.data() + record_slot_offset(2), image.data() + record_slot_offset(0),
                 kRecordSize);
    write_orphan(image, 1, 0, 4);
    image[kSelectorOffset] = std::uint8_t(2 | (deferred_bit ? 0x80 : 0));
    auto o = open_image(image);
    ASSERT_TRUE(o.instance) << o.instance.error().to_string();
    EXPECT_EQ(value_of_k(*o.instance), "3") << deferred_bit;
    EXPECT_EQ((*o.instance)->published().slot, 2) << deferred_bit;
  }
}

// One sector of the head lost: zeroed, garbled, with a flipped bit, or
// unreadable. The open either finds the newest commit or refuses with the
// kind the row names, and a refused open writes nothing.
TEST(Recovery, single_damaged_head_sector_opens_the_newest_commit_or_is_refused) {
  auto image = three_commits();  // transaction 4 in slot 0 (sector 1)
  enum class Loss { Zeroed, Garbled, FlippedBit, Unreadable };
  struct Row {
    std::size_t sector;
    Loss loss;
    std::optional<ErrorKind> refused;
  };
  const Row rows[] = {
      {0, Loss::Zeroed, ErrorKind::NotADatabase},
      {0, Loss::Garbled, ErrorKind::NotADatabase},
      {0, Loss::FlippedBit, std::nullopt},  // in the first header: the copy stands in
      {0, Loss::Unreadable, ErrorKind::Io},
      {1, Loss::Zeroed, ErrorKind::Corrupted},
      {1, Loss::Garbled, ErrorKind::Corrupted},
      {1, Loss::FlippedBit, ErrorKind::Corrupted},
      {2, Loss::Zeroed, std::nullopt},
      {2, Loss::Garbled, std::nullopt},
      {3, Loss::FlippedBit, std::nullopt},
  };
  for (const Row& row : rows) {
    auto damaged = image;
    std::uint8_t* sector = damaged.data() + row.sector * 512;
    if (row.loss == Loss::Zeroed) std::memset(sector, 0, 512);
    if (row.loss == Loss::Garbled)
      for (int i = 0; i < 512; ++i) sector[i] = std::uint8_t(i * 131 + 7);
    if (row.loss == Loss::FlippedBit) sector[20] ^= 0x04;
    FaultStorage disk("/mem/r.db", damaged);
    if (row.loss == Loss::Unreadable) disk.fail_nth_read(1);
    auto opened = Database::open_existing(std::make_unique<testing::BorrowedStorage>(disk), {});
    std::string what = format_text("sector {}, loss {}", row.sector, int(row.loss));
    if (row.refused) {
      ASSERT_FALSE(opened) << what;
      EXPECT_EQ(opened.error().kind(), *row.refused) << what << ": " << opened.error().to_string();
      EXPECT_EQ(disk.operation_count(), 0u) << what;
      continue;
    }
    ASSERT_TRUE(opened) << what << ": " << opened.error().to_string();
    EXPECT_EQ(value_of_k(*opened), "3") << what;
    auto problems = testing::check_commit((*opened)->reader(), (*opened)->published().record);
    EXPECT_TRUE(problems.empty()) << what << ": " << problems.front();
  }
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

// Rewrites the record in `slot` of `image` through `change`, its check
// recomputed.
void forge_record(std::vector<std::uint8_t>& image, std::size_t slot,
                  const std::function<void(CommitRecord&)>& change) {
  auto bytes = std::span(image).subspan(record_slot_offset(slot), kRecordSize);
  auto parsed = record::parse_commit_record(slot, bytes, PageCipher::Checksum, 4096);
  ASSERT_TRUE(parsed.valid());
  change(parsed.record);
  auto encoded = record::encode_commit_record(parsed.record);
  std::copy(encoded.begin(), encoded.end(), bytes.begin());
}

// The durable record the selector names counts pages that no file, or not
// this one, can hold: refused, and the file left untouched.
TEST(Recovery, durable_record_counting_pages_the_file_cannot_hold_is_refused_and_cuts_nothing) {
  const auto sound = three_commits();
  const std::uint64_t held = sound.size() / 4096;
  const std::size_t slot = header::decode_selector(sound[kSelectorOffset])->slot;
  struct Case {
    std::uint64_t page_count;
    std::string why;
  };
  const std::uint64_t far = std::uint64_t{1} << 40;
  const Case cases[] = {
      // (2^52 + 1) x 4096 wraps to 4096: a file cut to its head alone.
      {(std::uint64_t{1} << 52) + 1, "it counts more pages than a file can hold"},
      {far, format_text("it counts {} pages, and the file holds {}", far, held)},
      {held + 1, format_text("it counts {} pages, and the file holds {}", held + 1, held)},
  };
  for (const Case& c : cases) {
    auto image = sound;
    forge_record(image, slot, [&](CommitRecord& r) { r.page_count = c.page_count; });
    FaultStorage disk("/mem/r.db", image);
    auto opened = Database::open_existing(std::make_unique<testing::BorrowedStorage>(disk), {});
    ASSERT_FALSE(opened) << c.page_count;
    EXPECT_EQ(opened.error().to_string(),
              format_text("`/mem/r.db` is damaged: the published commit record: commit record "
                          "slot {}: {}",
                          slot, c.why));
    EXPECT_EQ(disk.current_image(), image) << c.page_count;
  }
}

// A newer record, or the record an open beside another process takes as it
// is, counting pages past the file's end.
TEST(Recovery, page_count_past_what_the_file_holds_is_never_adopted_nor_checked_as_such) {
  const auto sound = three_commits();
  const std::uint64_t held = sound.size() / 4096;
  const std::size_t published = header::decode_selector(sound[kSelectorOffset])->slot;
  const std::size_t other = (published + 1) % kRecordSlotCount;
  const std::uint64_t claimed = std::uint64_t{1} << 40;

  // A newer record beside it, whose pages are the published ones: never
  // adopted, cleared, and the published commit opens.
  auto image = sound;
  std::uint64_t newest = 0;
  forge_record(image, published, [&](CommitRecord& r) { newest = r.txn_id; });
  forge_record(image, other, [&](CommitRecord& r) {
    const auto bytes =
        std::span<const std::uint8_t>(sound).subspan(record_slot_offset(published), kRecordSize);
    r = record::parse_commit_record(published, bytes, PageCipher::Checksum, 4096).record;
    r.txn_id = newest + 1;
    r.page_count = claimed;
  });
  auto o = open_image(image);
  ASSERT_TRUE(o.instance) << o.instance.error().to_string();
  EXPECT_EQ((*o.instance)->published().record.txn_id, newest);
  EXPECT_EQ(value_of_k(*o.instance), "3");
  EXPECT_EQ(o.storage->current_image().size(), sound.size());

  // Opened beside another process, which takes the record as it is, the
  // check sizes its page map by the file and reports the claim.
  image = sound;
  forge_record(image, published, [&](CommitRecord& r) { r.page_count = claimed; });
  FaultStorage shared("/mem/r.db", image);
  auto beside =
      Database::open_existing(std::make_unique<testing::BorrowedStorage>(shared), {}, false);
  ASSERT_TRUE(beside) << beside.error().to_string();
  auto report = tools::check_commit(*beside);
  ASSERT_TRUE(report) << report.error().to_string();
  ASSERT_FALSE(report->problems.empty());
  EXPECT_EQ(report->problems.front().message,
            format_text("the commit counts {} pages, and the file holds {}", claimed, held));
  EXPECT_EQ(report->page_count, claimed);
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

// A failed sync may leave a commit's pages in the system's cache, seen by
// reads but never to reach the disk. Reopened, the file must not publish
// that commit on the strength of those reads: a later acknowledged commit
// would then stand on pages the disk never got.
TEST(Recovery, commit_whose_sync_dropped_its_writes_is_not_published_on_cached_pages) {
  FaultStorage disk("/mem/r.db", *Database::new_first_page({}));
  auto put = [&](const std::shared_ptr<Instance>& instance, const char* value) {
    auto w = WriteTxn::begin(instance);
    EXPECT_TRUE(w && (*w)->put(b("t"), b("k"), b(value)));
    return w ? (*w)->commit() : Status(fail(std::move(w).error()));
  };
  {
    auto first = *Database::open_existing(std::make_unique<testing::BorrowedStorage>(disk), {});
    ASSERT_TRUE(put(first, "1"));
    disk.fail_nth_sync(1, SyncFailure::DropsWrites);
    ASSERT_EQ(put(first, "2").error().kind(), ErrorKind::SyncFailed);
  }
  auto again = Database::open_existing(std::make_unique<testing::BorrowedStorage>(disk), {});
  ASSERT_TRUE(again) << again.error().to_string();
  ASSERT_TRUE(put(*again, "3"));
  for (std::uint64_t seed = 0; seed < 16; ++seed) {
    auto o = open_image(disk.crash_image(disk.random_crash_plan(seed)));
    ASSERT_TRUE(o.instance) << seed << ": " << o.instance.error().to_string();
    EXPECT_EQ(value_of_k(*o.instance), "3") << seed;
    auto problems =
        testing::check_commit((*o.instance)->reader(), (*o.instance)->published().record);
    EXPECT_TRUE(problems.empty()) << seed << ": " << problems.front();
  }
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

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
