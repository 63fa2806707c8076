// The key material of an encrypted file as its head carries it: what opens
// the head's records, and which foreign or damaged records are refused.
#include "crypto/file_keys.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "open_options.hpp"
#include "storage/fault_storage.hpp"
#include "txn/head.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

constexpr std::string_view kPath = "/d/x.db";

Credential key_credential(std::uint8_t seed) {
  std::array<std::uint8_t, 32> raw;
  raw.fill(seed);
  return Credential::key(std::span<const std::uint8_t, 32>(raw));
}

OpenOptions options_with(Credential credential) {
  OpenOptions options;
  options.credential = std::move(credential);
  options.password_hashing = {64, 1, 1};
  options.new_file_cipher = NewFileCipher::XChaCha20Poly1305;
  return options;
}

struct NewFile {
  StaticFields fields;
  FileKeyMaterial keys;
  std::vector<std::uint8_t> head;  // the first page, which begins with the head
};

NewFile make_file(const OpenOptions& options, std::uint8_t id_seed = 1) {
  NewFile f;
  f.fields.format_version = 6;
  f.fields.page_size = 4096;
  f.fields.file_id.fill(id_seed);
  f.fields.cipher = keys::new_file_cipher(options);
  auto made = keys::new_file_keys(kPath, options, f.fields.file_id, f.fields.cipher);
  EXPECT_TRUE(made.has_value()) << made.error().to_string();
  f.keys = std::move(*made);
  CommitRecord first;
  first.txn_id = 1;
  first.key_block = f.keys.key_block;
  record::sign_commit_record(first, f.keys.keys.record_mac_key, f.fields.file_id, 0);
  f.head = header::first_page(f.fields, record::encode_commit_record(first));
  f.head.resize(kHeadSize);
  return f;
}

std::span<std::uint8_t> slot_bytes(std::vector<std::uint8_t>& head, std::size_t slot) {
  return std::span(head).subspan(record_slot_offset(slot), kRecordSize);
}

Result<FileKeyMaterial> read(const NewFile& f, const Credential& credential) {
  return record::read_commit_records(kPath, f.fields, f.head, credential);
}

TEST(FileKeys, new_file_opens_with_its_key_or_password) {
  for (Credential secret :
       {key_credential(7), Credential::password(std::vector<std::uint8_t>{'p', 'w', '1'})}) {
    NewFile f = make_file(options_with(secret));
    auto opened = read(f, secret);
    ASSERT_TRUE(opened.has_value()) << opened.error().to_string();
    EXPECT_TRUE(opened->keys.data_key.same_as(f.keys.keys.data_key));
    EXPECT_TRUE(opened->keys.record_mac_key.same_as(f.keys.keys.record_mac_key));
    EXPECT_EQ(opened->key_block, f.keys.key_block);
  }
}

TEST(FileKeys, new_file_without_credential_is_plain) {
  OpenOptions options;
  EXPECT_EQ(keys::new_file_cipher(options), PageCipher::Checksum);
  options.credential = key_credential(1);
  EXPECT_EQ(keys::new_file_cipher(options), automatic_page_cipher());
  options.new_file_cipher = NewFileCipher::Xaes256Gcm;
  EXPECT_EQ(keys::new_file_cipher(options), PageCipher::XAes256Gcm);
}

TEST(FileKeys, head_refuses_a_missing_or_wrong_secret) {
  NewFile f = make_file(options_with(key_credential(7)));
  EXPECT_EQ(read(f, Credential()).error().kind(), ErrorKind::KeyRequired);
  EXPECT_EQ(read(f, key_credential(8)).error().kind(), ErrorKind::WrongKey);
  EXPECT_EQ(read(f, Credential::password(std::vector<std::uint8_t>(32, 7))).error().kind(),
            ErrorKind::WrongKey);
}

TEST(FileKeys, record_moved_to_another_slot_is_refused) {
  NewFile f = make_file(options_with(key_credential(7)));
  auto slot0 = slot_bytes(f.head, 0);
  std::copy(slot0.begin(), slot0.end(), slot_bytes(f.head, 1).begin());
  std::fill(slot0.begin(), slot0.end(), 0);
  f.head[kSelectorOffset] = 1;
  auto opened = read(f, key_credential(7));
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().kind(), ErrorKind::Corrupted);
  EXPECT_EQ(opened.error().to_string(),
            "`/d/x.db` is damaged: the head: no commit record's MAC holds under its data key");
}

TEST(FileKeys, record_of_another_file_is_refused) {
  // Same key, another file: its key block is bound to its own file id.
  NewFile ours = make_file(options_with(key_credential(7)), 1);
  NewFile theirs = make_file(options_with(key_credential(7)), 2);
  auto from = slot_bytes(theirs.head, 0);
  std::copy(from.begin(), from.end(), slot_bytes(ours.head, 0).begin());
  EXPECT_EQ(read(ours, key_credential(7)).error().kind(), ErrorKind::WrongKey);
}

TEST(FileKeys, signed_record_with_a_changed_field_fails_its_mac) {
  NewFile f = make_file(options_with(key_credential(7)));
  CommitRecord r =
      record::parse_commit_record(0, slot_bytes(f.head, 0), f.fields.cipher, 4096).record;
  r.page_count = 5;  // re-encoded with a fresh check, but the old MAC
  auto forged = record::encode_commit_record(r);
  EXPECT_FALSE(
      record::commit_record_mac_holds(forged, f.keys.keys.record_mac_key, f.fields.file_id, 0));
  std::copy(forged.begin(), forged.end(), slot_bytes(f.head, 0).begin());
  EXPECT_EQ(read(f, key_credential(7)).error().kind(), ErrorKind::Corrupted);
}

TEST(FileKeys, every_flipped_bit_of_the_only_record_is_refused) {
  NewFile clean = make_file(options_with(key_credential(7)));
  for (std::size_t bit = 0; bit < kRecordSize * 8; bit += 3) {
    NewFile f = clean;
    slot_bytes(f.head, 0)[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    auto opened = read(f, key_credential(7));
    EXPECT_FALSE(opened.has_value()) << "bit " << bit;
  }
}

TEST(FileKeys, older_record_still_opens_when_the_newest_is_damaged) {
  NewFile f = make_file(options_with(key_credential(7)));
  CommitRecord second;
  second.txn_id = 2;
  second.key_block = f.keys.key_block;
  record::sign_commit_record(second, f.keys.keys.record_mac_key, f.fields.file_id, 1);
  auto bytes = record::encode_commit_record(second);
  std::copy(bytes.begin(), bytes.end(), slot_bytes(f.head, 1).begin());
  f.head[kSelectorOffset] = 1;
  ASSERT_TRUE(read(f, key_credential(7)).has_value());
  slot_bytes(f.head, 1)[200] ^= 0x10;  // inside the key block
  auto opened = read(f, key_credential(7));
  ASSERT_TRUE(opened.has_value()) << opened.error().to_string();
  EXPECT_TRUE(opened->keys.data_key.same_as(f.keys.keys.data_key));
}

TEST(FileKeys, unsigned_records_are_dropped_before_recovery) {
  NewFile f = make_file(options_with(key_credential(7)));
  // A newer record that passes its check but was signed by another key.
  CommitRecord forged;
  forged.txn_id = 2;
  forged.key_block = f.keys.key_block;
  Key32 other_mac_key = keys::record_mac_key(Key32());
  record::sign_commit_record(forged, other_mac_key, f.fields.file_id, 2);
  auto bytes = record::encode_commit_record(forged);
  std::copy(bytes.begin(), bytes.end(), slot_bytes(f.head, 2).begin());
  ASSERT_TRUE(record::parse_commit_record(2, slot_bytes(f.head, 2), f.fields.cipher, 4096).valid());

  EXPECT_EQ(record::drop_unsigned_records(f.head, f.fields, f.keys.keys), 1u);
  EXPECT_EQ(record::parse_commit_record(2, slot_bytes(f.head, 2), f.fields.cipher, 4096).state,
            SlotContent::State::Empty);
  EXPECT_TRUE(record::parse_commit_record(0, slot_bytes(f.head, 0), f.fields.cipher, 4096).valid());
  EXPECT_EQ(record::drop_unsigned_records(f.head, f.fields, f.keys.keys), 0u);
}

// The head reads of an open file parse only the slots whose bytes changed
// since the last read: whatever changes, the answer is a full parse's, with
// the unsigned records dropped.
TEST(SlotCache, answers_what_a_full_parse_answers_as_the_slots_change) {
  NewFile f = make_file(options_with(key_credential(7)));
  head::SlotCache cache;
  auto expect_full_parse = [&](const char* when) {
    head::Head cached, full;
    std::copy_n(f.head.begin(), kHeadSize, cached.bytes.begin());
    full = cached;
    auto answer = cache.parse(cached, f.fields, &f.keys.keys);
    record::drop_unsigned_records(full.bytes, f.fields, f.keys.keys, &full.unauthentic);
    auto want = head::parse_slots(full, f.fields.cipher, f.fields.page_size);
    for (std::size_t s = 0; s < kRecordSlotCount; ++s) {
      EXPECT_EQ(answer[s].state, want[s].state) << when << ", slot " << s;
      EXPECT_EQ(answer[s].record, want[s].record) << when << ", slot " << s;
      EXPECT_EQ(answer[s].problem, want[s].problem) << when << ", slot " << s;
    }
    EXPECT_EQ(cached.unauthentic, full.unauthentic) << when;
    EXPECT_EQ(cached.bytes, full.bytes) << when;
  };
  auto put = [&](std::uint8_t slot, std::uint64_t txn_id, const Key32& mac_key) {
    CommitRecord r;
    r.txn_id = txn_id;
    r.key_block = f.keys.key_block;
    record::sign_commit_record(r, mac_key, f.fields.file_id, slot);
    auto bytes = record::encode_commit_record(r);
    std::copy(bytes.begin(), bytes.end(), slot_bytes(f.head, slot).begin());
  };
  expect_full_parse("new file");
  expect_full_parse("unchanged");
  put(1, 2, f.keys.keys.record_mac_key);
  expect_full_parse("a commit in slot 1");
  put(2, 3, keys::record_mac_key(Key32()));
  expect_full_parse("an unsigned record in slot 2");
  // Before authentication the unsigned record is a record.
  EXPECT_EQ(cache.parse_one(slot_bytes(f.head, 2), 2, f.fields, &f.keys.keys).record.txn_id, 3u);
  put(2, 3, f.keys.keys.record_mac_key);
  expect_full_parse("signed in its place");
  for (std::size_t at : {8u, 100u, 300u, 511u}) {
    slot_bytes(f.head, 1)[at] ^= 0x04;
    expect_full_parse("a flipped bit in slot 1");
    slot_bytes(f.head, 1)[at] ^= 0x04;
    expect_full_parse("the bit back");
  }
  std::ranges::fill(slot_bytes(f.head, 0), std::uint8_t{0});
  expect_full_parse("slot 0 emptied");
}

// A head read takes the commit state it kept only for the very bytes it
// was worked out from: a change to any byte from the selector on (a
// selector that lost its deferred bit, a slot a commit rewrote) is worked
// out again.
TEST(StateMemo, answers_only_for_the_bytes_it_kept) {
  std::array<std::uint8_t, head::StateMemo::kBytes> bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::uint8_t(i * 7 + 3);
  PublishedCommit state;
  state.record.txn_id = 9;
  state.slot = 2;
  state.deferred = true;
  state.slot_txn_ids = {7, 8, 9};
  head::StateMemo memo;
  EXPECT_FALSE(memo.find(bytes).has_value()) << "nothing kept yet";
  memo.keep(bytes, state);
  auto same = [&](const std::optional<PublishedCommit>& got) {
    return got && got->record == state.record && got->slot == state.slot &&
           got->deferred == state.deferred && got->slot_txn_ids == state.slot_txn_ids;
  };
  EXPECT_TRUE(same(memo.find(bytes)));
  // The selector, the bytes before the first slot, each slot's first and
  // last byte.
  for (std::size_t at :
       {kSelectorOffset, kSelectorOffset + 1, record_slot_offset(0) - 1, record_slot_offset(0),
        record_slot_offset(1) - 1, record_slot_offset(1), record_slot_offset(2), kHeadSize - 1}) {
    bytes[at - kSelectorOffset] ^= 0x01;
    EXPECT_FALSE(memo.find(bytes).has_value()) << "byte " << at << " changed";
    bytes[at - kSelectorOffset] ^= 0x01;
    EXPECT_TRUE(same(memo.find(bytes))) << "byte " << at << " back";
  }
  // A later state takes the place of the first.
  auto later = bytes;
  later[0] ^= 0x80;
  state.deferred = false;
  memo.keep(later, state);
  EXPECT_FALSE(memo.find(bytes).has_value());
  EXPECT_TRUE(same(memo.find(later)));
}

// The bytes a commit state comes from: the head from the selector on, with
// zeros past the end of a file shorter than the head.
TEST(StateMemo, reads_the_head_from_the_selector_on) {
  std::vector<std::uint8_t> file(record_slot_offset(1) + 100);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = std::uint8_t(i * 13 + 1);
  FaultStorage storage("memory.db", file);
  std::array<std::uint8_t, head::StateMemo::kBytes> read;
  read.fill(0xEE);
  ASSERT_TRUE(head::read_from_selector(storage, read).has_value());
  for (std::size_t i = 0; i < read.size(); ++i) {
    const std::size_t at = kSelectorOffset + i;
    ASSERT_EQ(read[i], at < file.size() ? file[at] : 0) << "byte " << at;
  }
}

TEST(FileKeys, page_protection_needs_the_key_of_an_encrypted_file) {
  NewFile f = make_file(options_with(key_credential(7)));
  EXPECT_TRUE(keys::page_protection(PageCipher::Checksum, nullptr).has_value());
  EXPECT_TRUE(keys::page_protection(f.fields.cipher, &f.keys.keys).has_value());
  auto missing = keys::page_protection(f.fields.cipher, nullptr);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), ErrorKind::Internal);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
