// The static header, the selector byte and commit records: what is refused
// and how a damaged first header falls back to its copy.
#include <gtest/gtest.h>

#include <cstring>

#include "format/header.hpp"
#include "format/header_bytes.hpp"
#include "format/record.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

StaticFields sample_fields(std::uint32_t version = 6) {
  StaticFields f;
  f.format_version = version;
  f.page_size = 8192;
  for (std::size_t i = 0; i < f.file_id.size(); ++i) f.file_id[i] = std::uint8_t(i + 1);
  return f;
}

std::vector<std::uint8_t> sample_page(std::uint32_t version = 6) {
  CommitRecord r;
  r.txn_id = 1;
  return header::first_page(sample_fields(version), record::encode_commit_record(r));
}

Error header_error(std::span<const std::uint8_t> head) {
  auto r = header::check_static_fields(head);
  EXPECT_FALSE(r);
  return Error::from_header("/d/x.db", r.error());
}

TEST(StaticHeader, first_page_reads_back_its_fields) {
  auto page = sample_page();
  EXPECT_EQ(page.size(), 8192u);
  auto f = header::check_static_fields(page);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->format_version, 6u);
  EXPECT_EQ(f->page_size, 8192u);
  EXPECT_EQ(f->file_id, sample_fields().file_id);
  EXPECT_EQ(f->cipher, PageCipher::Checksum);
  EXPECT_FALSE(f->read_from_copy);
}

TEST(StaticHeader, damaged_first_header_falls_back_to_its_copy) {
  auto page = sample_page();
  page[20] ^= 0x01;
  auto f = header::check_static_fields(page);
  ASSERT_TRUE(f);
  EXPECT_TRUE(f->read_from_copy);
  EXPECT_EQ(f->file_id, sample_fields().file_id);
}

// The magic and the check are judged before the version: a flipped bit in
// the version field is damage that the copy mends, not a newer format.
TEST(StaticHeader, flipped_version_bit_falls_back_to_the_copy) {
  for (int bit = 0; bit < 32; ++bit) {
    auto page = sample_page();
    page[8 + bit / 8] ^= std::uint8_t(1u << (bit % 8));
    auto f = header::check_static_fields(page);
    ASSERT_TRUE(f) << bit;
    EXPECT_TRUE(f->read_from_copy) << bit;
    EXPECT_EQ(f->format_version, 6u) << bit;
    // Without the copy, an unreadable version is still named as one.
    auto v5 = sample_page(5);
    v5[8 + bit / 8] ^= std::uint8_t(1u << (bit % 8));
    EXPECT_EQ(header_error(v5).kind(), ErrorKind::UnsupportedFormatVersion) << bit;
  }
}

TEST(StaticHeader, damage_in_both_copies_is_corrupted) {
  auto page = sample_page();
  page[20] ^= 0x01;
  page[128 + 20] ^= 0x01;
  Error e = header_error(page);
  EXPECT_EQ(e.kind(), ErrorKind::Corrupted);
  EXPECT_EQ(e.to_string(), "`/d/x.db` is damaged: the static header fails its check");
}

TEST(StaticHeader, version_5_has_no_copy_to_fall_back_on) {
  auto page = sample_page(5);
  EXPECT_TRUE(header::check_static_fields(page));
  page[20] ^= 0x01;
  EXPECT_EQ(header_error(page).kind(), ErrorKind::Corrupted);
}

TEST(StaticHeader, foreign_file_is_not_a_database) {
  std::vector<std::uint8_t> text(4096, 'a');
  EXPECT_EQ(header_error(text).to_string(), "`/d/x.db` is not a DeziRO database");
  std::vector<std::uint8_t> zeros(2048, 0);
  EXPECT_EQ(header_error(zeros).kind(), ErrorKind::NotADatabase);
  EXPECT_EQ(header_error(std::span<const std::uint8_t>()).kind(), ErrorKind::NotADatabase);
}

TEST(StaticHeader, newer_version_is_refused_without_trying_the_copy) {
  auto fields = sample_fields();
  fields.format_version = 7;
  auto h = header::encode_static_fields(fields);
  auto page = sample_page();
  std::memcpy(page.data(), h.data(), h.size());
  EXPECT_EQ(header_error(page).to_string(),
            "`/d/x.db` uses format version 7, which this build does not read; the newest it "
            "reads is 6");
  fields.format_version = 4;
  h = header::encode_static_fields(fields);
  std::memcpy(page.data(), h.data(), h.size());
  EXPECT_EQ(header_error(page).kind(), ErrorKind::UnsupportedFormatVersion);
}

TEST(StaticHeader, page_size_that_is_no_power_of_two_is_corrupted) {
  auto fields = sample_fields();
  fields.page_size = 5000;
  auto h = header::encode_static_fields(fields);
  std::vector<std::uint8_t> head(h.begin(), h.end());
  EXPECT_EQ(header_error(head).to_string(),
            "`/d/x.db` is damaged: the static header holds the page size 5000");
}

TEST(Selector, refuses_bytes_that_name_no_slot) {
  EXPECT_FALSE(header::decode_selector(3));
  EXPECT_FALSE(header::decode_selector(0x41));
  auto s = header::decode_selector(header::encode_selector({2, true}));
  ASSERT_TRUE(s);
  EXPECT_EQ(s->slot, 2);
  EXPECT_TRUE(s->deferred);
}

CommitRecord sample_record() {
  CommitRecord r;
  r.txn_id = 42;
  r.page_count = 100;
  r.catalog.page = 7;
  r.catalog.commit_id = 40;
  r.catalog.stamp.bytes[3] = 9;
  r.free_tree.page = 99;
  r.free_tree.commit_id = 42;
  r.free_tree.stamp.bytes[0] = 1;
  r.next_tree_id = 20;
  return r;
}

// The reserved fields of a record and a header are checked eight bytes at
// a time: a byte set anywhere, in a whole word or in the tail, is seen.
TEST(HeadBytes, a_byte_set_anywhere_is_not_all_zero) {
  for (std::size_t size = 0; size <= 40; ++size) {
    std::vector<std::uint8_t> bytes(size + 1, 0xFF);
    auto inner = std::span<const std::uint8_t>(bytes).first(size);
    std::fill_n(bytes.begin(), size, 0);
    EXPECT_TRUE(bytes::all_zero(inner)) << size;
    for (std::size_t at = 0; at < size; ++at) {
      bytes[at] = 0x40;
      EXPECT_FALSE(bytes::all_zero(inner)) << size << " " << at;
      bytes[at] = 0;
    }
  }
}

TEST(CommitRecord, round_trips_through_its_slot) {
  auto bytes = record::encode_commit_record(sample_record());
  auto c = record::parse_commit_record(1, bytes, PageCipher::Checksum, 4096);
  ASSERT_TRUE(c.valid()) << c.problem;
  EXPECT_EQ(c.record, sample_record());
}

TEST(CommitRecord, any_flipped_bit_fails_the_check) {
  auto bytes = record::encode_commit_record(sample_record());
  for (std::size_t bit = 64; bit < kRecordSize * 8; bit += 37) {
    auto copy = bytes;
    copy[bit / 8] ^= std::uint8_t(1u << (bit % 8));
    auto c = record::parse_commit_record(0, copy, PageCipher::Checksum, 4096);
    EXPECT_EQ(c.state, SlotContent::State::Invalid) << bit;
  }
}

TEST(CommitRecord, zero_transaction_id_is_an_empty_slot) {
  std::array<std::uint8_t, kRecordSize> zeros{};
  EXPECT_EQ(record::parse_commit_record(0, zeros, PageCipher::Checksum, 4096).state,
            SlotContent::State::Empty);
}

TEST(CommitRecord, rules_refuse_impossible_records) {
  auto refused = [](CommitRecord r, PageCipher cipher = PageCipher::Checksum) {
    auto c = record::parse_commit_record(2, record::encode_commit_record(r), cipher, 4096);
    return c.state == SlotContent::State::Invalid ? c.problem : std::string("accepted");
  };
  auto r = sample_record();
  r.catalog.page = 100;
  EXPECT_EQ(refused(r), "commit record slot 2: a root lies beyond the file");
  r = sample_record();
  r.free_tree.commit_id = 43;
  EXPECT_EQ(refused(r), "commit record slot 2: a root has an impossible commit id");
  r = sample_record();
  r.retained_tree.commit_id = 1;
  EXPECT_EQ(refused(r), "commit record slot 2: an empty root carries data");
  r = sample_record();
  r.txn_id = kMaxTxnId + 1;
  EXPECT_EQ(refused(r), "commit record slot 2: its transaction id is out of range");
  r = sample_record();
  r.key_block[5] = 1;
  EXPECT_EQ(refused(r), "commit record slot 2: a plain file's record carries a key block");
  EXPECT_EQ(refused(sample_record(), PageCipher::XChaCha20Poly1305),
            "commit record slot 2: an encrypted file's record lacks its key block or MAC");
  r = sample_record();
  r.page_count = 0;
  r.catalog = {};
  r.free_tree = {};
  EXPECT_EQ(refused(r), "commit record slot 2: it counts no pages");
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
