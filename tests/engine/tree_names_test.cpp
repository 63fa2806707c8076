#include <gtest/gtest.h>

#include "format/object/key.hpp"
#include "format/object/names.hpp"
#include "schema/record_trees.hpp"
#include "support/memory_tree_access.hpp"
#include "support/object_samples.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace std::string_view_literals;

TEST(TreeNames, PrefixAndDecimalIdWithoutLeadingZeros) {
  EXPECT_EQ(names::record_tree_name(1).text(), "\0rec/1"sv);
  EXPECT_EQ(names::record_tree_name(1).size(), 6u);
  EXPECT_EQ(names::counter_key(1).text(), "next/1");
  EXPECT_EQ(names::index_tree_name(0).text(), "\0idx/0"sv);
  EXPECT_EQ(names::index_tree_name(1000).text(), "\0idx/1000"sv);
  const names::TreeName longest = names::record_tree_name(UINT64_MAX);
  EXPECT_EQ(longest.size(), 25u);
  EXPECT_EQ(longest.text(), "\0rec/18446744073709551615"sv);
  EXPECT_EQ(names::kMetaTree, "\0meta"sv);
  EXPECT_EQ(names::kMetaTree.size(), 5u);
}

TEST(TreeNames, EveryIdReadsBackFromItsName) {
  test::RandomValues random(8);
  for (int i = 0; i < 10000; ++i) {
    const std::uint64_t id = random.next() >> random.below(64);
    const names::TreeName name = names::index_tree_name(id);
    ASSERT_EQ(name.text().substr(0, 5), names::kIndexPrefix);
    ASSERT_EQ(name.text().substr(5), std::to_string(id));
  }
}

TEST(TreeNames, CollectionNamesFollowTheIndexOrder) {
  Collection c = test::make_collection(
      42, "c",
      {test::make_field(1, "k", FieldKind::integer()), test::make_field(2, "x", FieldKind::str())},
      1);
  const auto bare = names::collection_tree_names(c);
  EXPECT_EQ(bare.record_tree, "\0rec/42"sv);
  EXPECT_EQ(bare.counter_key, "next/42");
  EXPECT_TRUE(bare.index_trees.empty());
  c.indexes = {{9, 2, true}, {3, 1, false}};
  const auto indexed = names::collection_tree_names(c);
  ASSERT_EQ(indexed.index_trees.size(), 2u);
  EXPECT_EQ(indexed.index_trees[0], "\0idx/9"sv);
  EXPECT_EQ(indexed.index_trees[1], "\0idx/3"sv);
}

TEST(IndexLookup, TargetIsTheIndexTreeAndTheValuesKey) {
  for (const Value& v :
       {Value::integer(-3), Value::string("short"), Value::string(std::string(100, 'x')),
        Value::bytes(std::string_view("\0\0", 2)), Value::null()}) {
    std::vector<std::uint8_t> expected;
    ASSERT_TRUE(key::encode_value(v, expected).has_value());
    std::string tree_seen;
    std::vector<std::uint8_t> key_seen;
    auto lookup = [&](ByteView tree, ByteView k) -> Result<bool> {
      tree_seen.assign(tree.begin(), tree.end());
      key_seen.assign(k.begin(), k.end());
      return true;
    };
    ASSERT_TRUE(names::lookup_target(v, Index{5, 1, true}, lookup).value());
    EXPECT_EQ(tree_seen, "\0idx/5"sv);
    EXPECT_EQ(key_seen, expected) << v.debug_string();
  }
  auto never = [](ByteView, ByteView) -> Result<bool> { return true; };
  const auto refused = names::lookup_target(Value::list({}), Index{5, 1, true}, never);
  EXPECT_EQ(refused.error().kind(), ErrorKind::Internal);
}

TEST(IndexResolution, AnEntryWithoutItsObjectIsCorruption) {
  test::MemoryTreeAccess access(std::make_shared<test::MemoryTrees>(), "/d/x.db");
  const std::string tree = names::record_tree_name(1).str();
  access.put(tree, "\x0d\x01", {1, 2, 3});
  std::vector<std::uint8_t> seen;
  auto visitor = [&](ByteView record) -> Status {
    seen.assign(record.begin(), record.end());
    return ok();
  };
  ASSERT_TRUE(
      objects::resolve_index_entry(access, bytes_of(tree), "c", test::bytes({0x0D, 0x01}), visitor)
          .has_value());
  EXPECT_EQ(seen, test::bytes({1, 2, 3}));
  const auto missing =
      objects::resolve_index_entry(access, bytes_of(tree), "c", test::bytes({0x0D, 0x02}), visitor);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().to_string(),
            "`/d/x.db` is damaged: an index of `c` names an object that is not there");
  // A read error is passed up as it is.
  access.fail_reads_with(Error::io("/d/x.db", "gone"));
  EXPECT_EQ(
      objects::resolve_index_entry(access, bytes_of(tree), "c", test::bytes({0x0D, 0x01}), visitor)
          .error()
          .kind(),
      ErrorKind::Io);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
