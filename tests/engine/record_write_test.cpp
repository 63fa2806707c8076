// Records written through a real write transaction by their collection's
// precomputed record tree name.
#include <gtest/gtest.h>

#include "database.hpp"
#include "format/object/key.hpp"
#include "format/object/names.hpp"
#include "format/object/schema_codec.hpp"
#include "schema/resolved_schema.hpp"
#include "storage/fault_storage.hpp"
#include "support/object_samples.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace {

using test::make_collection;
using test::make_field;

Schema two_collections() {
  Schema s;
  s.version = 1;
  s.collections.push_back(make_collection(1, "a", {make_field(1, "k", FieldKind::integer())}, 1));
  s.collections.push_back(make_collection(7, "b", {make_field(1, "k", FieldKind::str())}, 1));
  s.next_collection_id = 8;
  return s;
}

struct Fixture {
  std::shared_ptr<Instance> instance;
  std::unique_ptr<WriteTxn> txn;

  Fixture() {
    OpenOptions options;
    auto storage = std::make_unique<FaultStorage>("/mem/r.db", *Database::new_first_page(options));
    instance = *Database::open_existing(std::move(storage), options);
    const Schema schema = two_collections();
    auto resolved = ResolvedSchema::make(schema, schema_codec::encode_schema(schema));
    txn = std::move(*WriteTxn::begin(instance, resolved));
  }

  std::optional<std::vector<std::uint8_t>> stored(std::string_view tree, ByteView key) {
    return txn->open_tree(bytes_of(tree), key).value();
  }
};

std::vector<std::uint8_t> key_of(const Value& v) {
  std::vector<std::uint8_t> out;
  EXPECT_TRUE(key::encode_value(v, out).has_value());
  return out;
}

TEST(RecordWrite, PutsAndDeletesGoToTheCollectionsOwnRecordTree) {
  Fixture f;
  const auto k = key_of(Value::string("x"));
  const auto record = test::bytes({1, 1, 6, 1, 'x'});
  ASSERT_TRUE(names::write_record(*f.txn, 1, k, names::RecordWrite::put(record)).value());
  EXPECT_EQ(f.stored(names::record_tree_name(7).text(), k), record);
  EXPECT_EQ(f.stored(names::record_tree_name(1).text(), k), std::nullopt);

  EXPECT_TRUE(names::write_record(*f.txn, 1, k, names::RecordWrite::remove()).value());
  EXPECT_EQ(f.stored(names::record_tree_name(7).text(), k), std::nullopt);
  EXPECT_FALSE(names::write_record(*f.txn, 1, k, names::RecordWrite::remove()).value());
  EXPECT_FALSE(f.txn->failed());
}

TEST(RecordWrite, ARefusedReplacementIsAnInternalError) {
  Fixture f;
  const auto k = key_of(Value::integer(1));
  const auto refused = names::write_record(*f.txn, 0, k, names::RecordWrite::refused());
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().to_string(),
            "internal error, which is a bug in DeziRO: a replacement was refused after nothing "
            "could refuse it");
  EXPECT_EQ(f.stored(names::record_tree_name(1).text(), k), std::nullopt);
  EXPECT_EQ(names::write_record(*f.txn, 2, k, names::RecordWrite::remove()).error().kind(),
            ErrorKind::Internal);
}

TEST(RecordWrite, KeysTooLongForTheFileAreRefusedByTheTransaction) {
  Fixture f;
  const std::vector<std::uint8_t> long_key(f.txn->max_key_len() + 1, 'k');
  const auto r =
      names::write_record(*f.txn, 0, long_key, names::RecordWrite::put(test::bytes({0})));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidArgument);
}

TEST(RecordTreeKeys, KeysComeBackDecodedInOrderThroughTheTransaction) {
  Fixture f;
  test::RandomValues random(31);
  std::vector<std::int64_t> ints;
  for (int i = 0; i < 300; ++i) {
    const std::int64_t x = random.int64();
    ints.push_back(x);
    ASSERT_TRUE(names::write_record(*f.txn, 0, key_of(Value::integer(x)),
                                    names::RecordWrite::put(test::bytes({1, 1, 4, 0})))
                    .has_value());
  }
  std::sort(ints.begin(), ints.end());
  ints.erase(std::unique(ints.begin(), ints.end()), ints.end());
  const Collection& a = f.txn->schema()->schema.collections[0];
  auto walk = key::TreeKeyWalk::open(*f.txn, names::record_tree_name(1).bytes());
  ASSERT_TRUE(walk.has_value());
  auto keys = key::decode_primary_keys(a, **walk, *f.txn);
  std::vector<std::int64_t> seen;
  while (auto v = keys.next()) seen.push_back(v->as_int());
  EXPECT_FALSE(keys.error().has_value());
  EXPECT_EQ(seen, ints);

  // An absent tree has no keys.
  auto none = key::TreeKeyWalk::open(*f.txn, names::record_tree_name(99).bytes());
  EXPECT_EQ((*none)->next_key().value(), std::nullopt);
}

TEST(RecordTreeKeys, AKeyThatDoesNotDecodeEndsTheWalkAsCorruption) {
  Fixture f;
  ASSERT_TRUE(names::write_record(*f.txn, 0, test::bytes({0x0D, 0x00}),
                                  names::RecordWrite::put(test::bytes({0})))
                  .has_value());
  const Collection& a = f.txn->schema()->schema.collections[0];
  auto walk = key::TreeKeyWalk::open(*f.txn, names::record_tree_name(1).bytes());
  auto keys = key::decode_primary_keys(a, **walk, *f.txn);
  EXPECT_EQ(keys.next(), std::nullopt);
  ASSERT_TRUE(keys.error().has_value());
  EXPECT_EQ(keys.error()->to_string(),
            "`/mem/r.db` is damaged: a primary key of `a` does not decode");
}

}  // namespace
}  // namespace deziro
