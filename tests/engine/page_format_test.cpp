#include <gtest/gtest.h>

#include <vector>

#include "format/bytes.hpp"
#include "format/page.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

TEST(PageHeader, fields_land_at_their_documented_offsets) {
  std::vector<std::uint8_t> page(4096, 0);
  PageHeader header{
      .kind = 2, .level = 3, .commit_id = 0x0102030405060708, .tree_id = 0x1122334455667788};
  header.write(page);
  EXPECT_EQ(page[24], 2);
  EXPECT_EQ(page[25], 3);
  EXPECT_EQ(page[32], 0x08);  // little-endian
  EXPECT_EQ(page[39], 0x01);
  EXPECT_EQ(page[40], 0x88);
  EXPECT_EQ(page[47], 0x11);
  EXPECT_EQ(PageHeader::read(page), header);
}

TEST(PageHeader, writing_fields_leaves_nonce_and_layout_bytes_alone) {
  std::vector<std::uint8_t> page(4096, 0xAB);
  PageHeader{.kind = 1, .level = 0, .commit_id = 7, .tree_id = 16}.write(page);
  for (std::size_t i = 0; i < 24; ++i) EXPECT_EQ(page[i], 0xAB) << i;
  for (std::size_t i = 26; i < 32; ++i) EXPECT_EQ(page[i], 0xAB) << i;
  for (std::size_t i = 48; i < page.size(); ++i) ASSERT_EQ(page[i], 0xAB) << i;
}

TEST(PageHeader, unknown_kind_survives_a_read_for_reporting) {
  std::vector<std::uint8_t> page(4096, 0);
  page[24] = 9;
  EXPECT_EQ(PageHeader::read(page).kind, 9);
  EXPECT_FALSE(is_known_page_kind(9));
  EXPECT_FALSE(is_known_page_kind(0));
  for (std::uint8_t k = 1; k <= 4; ++k) EXPECT_TRUE(is_known_page_kind(k));
}

TEST(PageHeader, only_branches_sit_above_level_zero) {
  EXPECT_TRUE(page_kind_allows_level(1, 0));
  EXPECT_FALSE(page_kind_allows_level(1, 1));
  EXPECT_TRUE(page_kind_allows_level(2, 1));
  EXPECT_FALSE(page_kind_allows_level(2, 0));
  EXPECT_TRUE(page_kind_allows_level(3, 0));
  EXPECT_FALSE(page_kind_allows_level(3, 2));
  EXPECT_TRUE(page_kind_allows_level(4, 0));
  EXPECT_FALSE(page_kind_allows_level(4, 255));
}

TEST(PageTrailer, stamp_is_the_last_sixteen_bytes) {
  for (std::size_t size : {4096u, 65536u}) {
    std::vector<std::uint8_t> page(size, 0);
    PageStamp stamp;
    for (std::size_t i = 0; i < 16; ++i) stamp.bytes[i] = static_cast<std::uint8_t>(i + 1);
    set_page_trailer(page, stamp);
    EXPECT_EQ(page[size - 16], 1);
    EXPECT_EQ(page[size - 1], 16);
    EXPECT_EQ(page[size - 17], 0);
    EXPECT_EQ(page_trailer(page), stamp);
  }
}

TEST(ChildPointer, encodes_page_commit_and_stamp_in_thirty_two_bytes) {
  ChildPointer pointer{.page = 0xAABBCCDD00112233, .commit_id = 42, .stamp = {}};
  pointer.stamp.bytes.fill(0x5A);
  std::uint8_t raw[40];
  std::fill(std::begin(raw), std::end(raw), 0xEE);
  pointer.store(raw);
  EXPECT_EQ(load_u64_le(raw), 0xAABBCCDD00112233u);
  EXPECT_EQ(load_u64_le(raw + 8), 42u);
  EXPECT_EQ(raw[16], 0x5A);
  EXPECT_EQ(raw[31], 0x5A);
  EXPECT_EQ(raw[32], 0xEE);  // nothing past 32 bytes
  EXPECT_EQ(ChildPointer::load(raw), pointer);
}

TEST(ChildPointer, differing_stamps_make_differing_pointers) {
  ChildPointer a{.page = 5, .commit_id = 3, .stamp = {}};
  ChildPointer b = a;
  b.stamp.bytes[15] = 1;
  EXPECT_NE(a, b);
  EXPECT_TRUE(a.stamp.is_zero());
  EXPECT_FALSE(b.stamp.is_zero());
}

TEST(PageSize, accepts_only_powers_of_two_from_4k_to_64k) {
  EXPECT_TRUE(is_valid_page_size(4096));
  EXPECT_TRUE(is_valid_page_size(8192));
  EXPECT_TRUE(is_valid_page_size(65536));
  EXPECT_FALSE(is_valid_page_size(2048));
  EXPECT_FALSE(is_valid_page_size(131072));
  EXPECT_FALSE(is_valid_page_size(12288));
  EXPECT_FALSE(is_valid_page_size(0));
  EXPECT_EQ(page_content_room(4096), 4024u);
}

TEST(Bytes, integers_round_trip_in_both_orders) {
  std::uint8_t raw[8];
  store_u64_be(raw, 0x0102030405060708);
  EXPECT_EQ(raw[0], 1);
  EXPECT_EQ(load_u64_be(raw), 0x0102030405060708u);
  store_u32_le(raw, 0xDEADBEEF);
  EXPECT_EQ(raw[0], 0xEF);
  EXPECT_EQ(load_u32_le(raw), 0xDEADBEEFu);
  store_u32_be(raw, 0xDEADBEEF);
  EXPECT_EQ(raw[0], 0xDE);
  EXPECT_EQ(load_u32_be(raw), 0xDEADBEEFu);
  store_u16_le(raw, 0xBEEF);
  EXPECT_EQ(load_u16_le(raw), 0xBEEF);
}

// Every width and order, at an odd address: the exact bytes, in order,
// with the bytes beside them untouched, and the same number read back.
TEST(Bytes, each_width_writes_exactly_its_bytes_in_its_order) {
  constexpr std::uint64_t kValue = 0x0102030405060708;
  struct Case {
    const char* name;
    std::size_t width;
    bool big;
    void (*store)(std::uint8_t*, std::uint64_t);
    std::uint64_t (*load)(const std::uint8_t*);
  };
  const Case cases[] = {
      {"u16 le", 2, false,
       [](std::uint8_t* p, std::uint64_t v) { store_u16_le(p, std::uint16_t(v)); },
       [](const std::uint8_t* p) -> std::uint64_t { return load_u16_le(p); }},
      {"u32 le", 4, false,
       [](std::uint8_t* p, std::uint64_t v) { store_u32_le(p, std::uint32_t(v)); },
       [](const std::uint8_t* p) -> std::uint64_t { return load_u32_le(p); }},
      {"u64 le", 8, false, [](std::uint8_t* p, std::uint64_t v) { store_u64_le(p, v); },
       [](const std::uint8_t* p) -> std::uint64_t { return load_u64_le(p); }},
      {"u32 be", 4, true,
       [](std::uint8_t* p, std::uint64_t v) { store_u32_be(p, std::uint32_t(v)); },
       [](const std::uint8_t* p) -> std::uint64_t { return load_u32_be(p); }},
      {"u64 be", 8, true, [](std::uint8_t* p, std::uint64_t v) { store_u64_be(p, v); },
       [](const std::uint8_t* p) -> std::uint64_t { return load_u64_be(p); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint64_t value =
        kValue & (c.width == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * c.width)) - 1);
    std::uint8_t raw[11];
    std::fill(std::begin(raw), std::end(raw), 0xEE);
    c.store(raw + 1, value);
    EXPECT_EQ(raw[0], 0xEE);
    for (std::size_t i = 0; i < c.width; ++i) {
      const std::size_t shift = 8 * (c.big ? c.width - 1 - i : i);
      EXPECT_EQ(raw[1 + i], std::uint8_t(value >> shift)) << i;
    }
    for (std::size_t i = 1 + c.width; i < sizeof raw; ++i) EXPECT_EQ(raw[i], 0xEE) << i;
    EXPECT_EQ(c.load(raw + 1), value);
  }
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
