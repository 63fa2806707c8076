// A snapshot's tree reader keeps the leaves it met and searches a later key
// in one of them when the key falls in its range: every order of keys must
// find exactly what the snapshot's own lookup finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "database.hpp"
#include "storage/fault_storage.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace {

constexpr int kKeys = 40000;  // even numbers stored, odd ones absent

// The keys' common start: short keys differ within their first eight
// bytes, long ones only after them.
std::string head = "k";

std::string key_of(int n) {
  char text[16];
  std::snprintf(text, sizeof text, "%06d", n);
  return n < 0 ? std::string() : head + text;
}

std::string value_of(int n) {
  // Every thousandth value lies in an overflow run.
  return key_of(n) + std::string(n % 1000 == 0 ? 9000 : 30, static_cast<char>('a' + n % 26));
}

class TreeReaderKeys : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { head = GetParam(); }
};

std::optional<std::string> found(TreeReader& reader, const std::string& key) {
  std::optional<std::string> value;
  auto visitor = [&](ByteView v) -> Status {
    value.emplace(v.begin(), v.end());
    return ok();
  };
  auto r = reader.get(bytes_of(key), visitor);
  EXPECT_TRUE(r && *r == value.has_value());
  return value;
}

TEST_P(TreeReaderKeys, finds_what_a_fresh_lookup_finds_in_every_order_of_keys) {
  auto storage = std::make_unique<FaultStorage>("/mem/r.db", *Database::new_first_page({}));
  auto instance = Database::open_existing(std::move(storage), {});
  ASSERT_TRUE(instance);
  auto w = WriteTxn::begin(*instance);
  ASSERT_TRUE(w);
  for (int n = 0; n < kKeys; n += 2)
    ASSERT_TRUE((*w)->put(bytes_of("t"), bytes_of(key_of(n)), bytes_of(value_of(n))));
  ASSERT_TRUE((*w)->commit());
  auto snapshot = ReadTxn::begin(*instance);
  ASSERT_TRUE(snapshot);

  std::vector<int> ascending;  // -1: the empty key
  for (int n = -1; n <= kKeys; ++n) ascending.push_back(n);
  // Like the records of an index range: each stride walks the whole tree
  // and the next comes back to nearly the same leaves.
  std::vector<int> strided;
  for (int start = 0; start < 700; ++start)
    for (int n = start; n < kKeys; n += 700) strided.push_back(n);
  std::vector<int> shuffled = ascending;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(23));
  for (const auto* order : {&ascending, &strided, &shuffled}) {
    auto reader = snapshot->tree_reader(bytes_of("t"));
    ASSERT_TRUE(reader && *reader);
    for (int n : *order) {
      const std::optional<std::string> expected =
          n % 2 == 0 && n < kKeys ? std::optional(value_of(n)) : std::nullopt;
      ASSERT_EQ(found(**reader, key_of(n)), expected) << key_of(n);
    }
    for (const std::string& key : {head, head + "000001x", std::string("l"), std::string("\xff")})
      EXPECT_EQ(found(**reader, key), std::nullopt) << key;
  }

  // A visitor looking up through the same reader meets more leaves than
  // the reader keeps, letting go of the outer value's leaf meanwhile.
  auto reader = snapshot->tree_reader(bytes_of("t"));
  ASSERT_TRUE(reader && *reader);
  int asked = 0;
  int right = 0;
  auto visitor = [&](ByteView v) -> Status {
    for (int n = 4; n < kKeys; n += 50, ++asked) right += found(**reader, key_of(n)) == value_of(n);
    EXPECT_EQ(std::string(v.begin(), v.end()), value_of(2));
    return ok();
  };
  ASSERT_TRUE((*reader)->get(bytes_of(key_of(2)), visitor));
  EXPECT_EQ(right, asked);
  EXPECT_GT(asked, static_cast<int>(RootReader::kMaxLeaves));
}

INSTANTIATE_TEST_SUITE_P(TreeReader, TreeReaderKeys, ::testing::Values("k", "long-key-head-"));

}  // namespace
}  // namespace deziro
