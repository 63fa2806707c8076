// Update and delete: the record rewritten in one descent, the indexes kept
// in step, refusals that leave the transaction usable.
#include <gtest/gtest.h>

#include "support/declared_builders.hpp"
#include "support/object_db.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace test;
using K = DeclaredKind;

DeclaredSchema change_schema() {
  return declared(
      1, {keyed_collection(
              "people", "email",
              {required("email", K::str()), optional("nick", K::str()),
               required("age", K::integer()), optional("tags", K::list(K::integer())),
               defaulted("rank", K::integer(), Value::integer(5)), optional("note", K::str())},
              {{"nick", true}, {"age", false}, {"tags", false}, {"rank", false}}),
          keyed_collection("coded", "k",
                           {required("k", K::integer()),
                            DeclaredField{K::str(), "code", Value::string("X"), true}},
                           {{"code", true}})});
}

class ObjectChanges : public ::testing::Test {
 protected:
  ObjectDb db{change_schema()};
  std::unique_ptr<WriteTxn> txn = db.begin();
  schema::CollectionRef people = collection(*txn, "people");

  void add(std::string email, std::optional<std::string> nick, std::int64_t age,
           std::optional<ValueList> tags = std::nullopt) {
    std::vector<ObjectEntry> e{{"email", Value::string(email)}, {"age", Value::integer(age)}};
    if (nick) e.emplace_back("nick", Value::string(*nick));
    if (tags) e.emplace_back("tags", Value::list(*tags));
    auto r = objects::write_object_map(*txn, people, object(std::move(e)), WriteMode::Insert);
    ASSERT_TRUE(r) << r.error().to_string();
  }
  Result<bool> update(const std::string& email, std::vector<ObjectEntry> changes) {
    return objects::update(*txn, people, Value::string(email), object(std::move(changes)));
  }
  std::vector<std::vector<std::pair<ByteString, ByteString>>> all_indexes() {
    std::vector<std::vector<std::pair<ByteString, ByteString>>> out;
    for (std::size_t i = 0; i < people.collection().indexes.size(); ++i)
      out.push_back(index_tree(*txn, people, i));
    return out;
  }
};

TEST_F(ObjectChanges, update_of_an_absent_key_answers_false_even_with_invalid_changes) {
  add("a", "x", 1);
  const auto before = all_indexes();
  auto r = update("zz", {{"nope", Value::integer(1)}, {"age", Value::string("bad")}});
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_FALSE(*r);
  EXPECT_EQ(all_indexes(), before);
}

TEST_F(ObjectChanges, update_with_the_stored_values_changes_nothing) {
  add("a", "x", 1);
  ASSERT_TRUE(txn->commit());
  txn = db.begin();
  people = collection(*txn, "people");
  auto r = update("a", {{"nick", Value::string("x")}, {"email", Value::string("a")}});
  ASSERT_TRUE(r && *r);
  // Nothing was written: the record tree was not even loaded for writing.
  auto* entry = *txn->tree_entry(bytes_of(people.resolved().trees.record_tree), false);
  ASSERT_NE(entry, nullptr);
  EXPECT_FALSE(entry->changed);
}

TEST_F(ObjectChanges, changing_the_primary_key_is_refused_before_anything_is_read) {
  add("a", "x", 1);
  auto r = update("a", {{"email", Value::string("b")}});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(),
            "an update of an object of `people` cannot change its primary key; delete the object "
            "and insert it again");
  auto missing = update("zz", {{"email", Value::string("b")}});
  ASSERT_FALSE(missing);
  EXPECT_FALSE(txn->failed());
}

TEST_F(ObjectChanges, update_onto_a_held_unique_value_is_undone) {
  add("a", "x", 1);
  add("b", "y", 2);
  const auto before = all_indexes();
  auto r = update("b", {{"nick", Value::string("x")}, {"age", Value::integer(50)}});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::DuplicateKey);
  EXPECT_EQ(r.error().message(),
            "another object of `people` holds this value of its unique field `nick`");
  auto b = stored(*txn, people, Value::string("b"));
  ASSERT_TRUE(b);
  EXPECT_EQ(*b->get("nick"), Value::string("y"));
  EXPECT_EQ(*b->get("age"), Value::integer(2));
  EXPECT_EQ(all_indexes(), before);
  EXPECT_FALSE(txn->failed());
  ASSERT_TRUE(txn->commit());
}

TEST_F(ObjectChanges, update_moves_only_the_entries_that_changed) {
  add("a", "x", 1, ValueList{Value::integer(1), Value::integer(2)});
  ASSERT_TRUE(update("a", {{"tags", Value::list({Value::integer(2), Value::integer(3)})},
                           {"note", Value::string("n")}}));
  auto tags = index_tree(*txn, people, 2);
  const ByteString a = key_bytes(Value::string("a"));
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0].first, concat(key_bytes(Value::integer(2)), a));
  EXPECT_EQ(tags[1].first, concat(key_bytes(Value::integer(3)), a));
  // Keeping its own unique value is no conflict.
  ASSERT_TRUE(update("a", {{"nick", Value::string("x")}, {"age", Value::integer(9)}}));
  EXPECT_EQ(index_tree(*txn, people, 1)[0].first, concat(key_bytes(Value::integer(9)), a));
}

TEST_F(ObjectChanges, none_removes_an_optional_field_and_restores_a_default) {
  add("a", "x", 1);
  ASSERT_TRUE(update("a", {{"rank", Value::integer(7)}}));
  ASSERT_TRUE(update("a", {{"nick", Value::null()}, {"rank", Value::null()}}));
  auto a = stored(*txn, people, Value::string("a"));
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->get("nick")->is_null());
  EXPECT_EQ(*a->get("rank"), Value::integer(5));
  auto refused = update("a", {{"age", Value::null()}});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "an object of `people`: `age` is required");
  auto names = update("a", {{"zz", Value::integer(1)}, {"yy", Value::integer(1)}});
  ASSERT_FALSE(names);
  EXPECT_EQ(names.error().message(), "an object of `people`: `yy` is not a field");
  auto kind = update("a", {{"age", Value::string("old")}});
  ASSERT_FALSE(kind);
  EXPECT_EQ(kind.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_FALSE(txn->failed());
}

TEST_F(ObjectChanges, delete_removes_every_entry_of_a_repeated_list) {
  add("a", "x", 1, ValueList{Value::integer(1), Value::integer(2), Value::integer(2)});
  add("b", std::nullopt, 1);
  add("c", std::nullopt, 1);
  ASSERT_TRUE(*objects::remove(*txn, people, Value::string("a")));
  EXPECT_FALSE(*objects::remove(*txn, people, Value::string("a")));
  for (const auto& [k, v] : index_tree(*txn, people, 2))
    EXPECT_NE(concat(key_bytes(Value::integer(1)), key_bytes(Value::string("a"))), k);
  EXPECT_EQ(index_tree(*txn, people, 2).size(), 2u);  // the Nulls of b and c
  // Deleting b removes exactly its own Null entry in the unique index.
  ASSERT_TRUE(*objects::remove(*txn, people, Value::string("b")));
  auto nicks = index_tree(*txn, people, 0);
  ASSERT_EQ(nicks.size(), 1u);
  EXPECT_EQ(nicks[0].first, concat(key_bytes(Value::null()), key_bytes(Value::string("c"))));
}

TEST_F(ObjectChanges, unreadable_record_is_corrupted_and_stays_for_delete_and_update) {
  add("a", "x", 1);
  const ByteString key = key_bytes(Value::string("a"));
  const std::uint8_t broken[] = {5, 1};
  ASSERT_TRUE(txn->put(bytes_of(people.resolved().trees.record_tree), key, broken));
  auto gone = objects::remove(*txn, people, Value::string("a"));
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error().kind(), ErrorKind::Corrupted);
  auto changed = update("a", {{"age", Value::integer(3)}});
  ASSERT_FALSE(changed);
  EXPECT_EQ(changed.error().kind(), ErrorKind::Corrupted);
  EXPECT_EQ(*txn->tree_len(bytes_of(people.resolved().trees.record_tree)), 1u);
  EXPECT_FALSE(txn->failed());
  ASSERT_TRUE(txn->commit());
}

// No object can have a key longer than the file allows: update and remove
// find none, write nothing and leave the transaction usable.
TEST_F(ObjectChanges, over_long_key_is_missing_and_leaves_the_transaction_usable) {
  add("a", "x", 1);
  const auto before = all_indexes();
  const std::string long_key(txn->max_key_len(), 'k');
  auto u = update(long_key, {{"age", Value::integer(1)}});
  ASSERT_TRUE(u) << u.error().to_string();
  EXPECT_FALSE(*u);
  auto d = objects::remove(*txn, people, Value::string(long_key));
  ASSERT_TRUE(d) << d.error().to_string();
  EXPECT_FALSE(*d);
  EXPECT_FALSE(txn->failed());
  EXPECT_EQ(*txn->tree_len(bytes_of(people.resolved().trees.record_tree)), 1u);
  EXPECT_EQ(all_indexes(), before);
  ASSERT_TRUE(txn->commit());
}

// An optional field with a default counts as its default in every index
// builder, so setting it to None and deleting leaves no entry behind.
TEST_F(ObjectChanges, optional_field_with_a_default_is_indexed_by_its_default_everywhere) {
  auto coded = collection(*txn, "coded");
  ASSERT_TRUE(objects::write_object_map(*txn, coded, object({{"k", Value::integer(1)}}),
                                        WriteMode::Insert));
  ASSERT_TRUE(objects::write_object_map(
      *txn, coded, object({{"k", Value::integer(2)}, {"code", Value::string("Y")}}),
      WriteMode::Insert));
  // The default "X" is held by object 1: object 2 cannot fall back to it.
  auto clash = objects::update(*txn, coded, Value::integer(2), object({{"code", Value::null()}}));
  ASSERT_FALSE(clash);
  EXPECT_EQ(clash.error().kind(), ErrorKind::DuplicateKey);
  ASSERT_TRUE(*objects::remove(*txn, coded, Value::integer(2)));
  auto entries = index_tree(*txn, coded, 0);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].first, key_bytes(Value::string("X")));
  EXPECT_EQ(entries[0].second, key_bytes(Value::integer(1)));
}

TEST_F(ObjectChanges, buffered_deletion_of_a_record_reads_as_absent) {
  add("a", "x", 1);
  const ByteView tree = bytes_of(people.resolved().trees.record_tree);
  ASSERT_TRUE(txn->buffer_delete(tree, key_bytes(Value::string("a"))));
  auto u = update("a", {{"age", Value::integer(2)}});
  ASSERT_TRUE(u) << u.error().to_string();
  EXPECT_FALSE(*u);
  ASSERT_TRUE(txn->buffer_put(tree, key_bytes(Value::string("a")), ByteView()));
  ASSERT_TRUE(txn->buffer_delete(tree, key_bytes(Value::string("a"))));
  auto d = objects::remove(*txn, people, Value::string("a"));
  ASSERT_TRUE(d) << d.error().to_string();
  EXPECT_FALSE(*d);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
