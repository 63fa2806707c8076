// Typed insert, put and get: keys, counters, index entries, duplicate keys
// and the undo of a refused put, over a database in memory.
#include <gtest/gtest.h>

#include <limits>

#include "format/object/key.hpp"
#include "support/declared_builders.hpp"
#include "support/object_db.hpp"
#include "text_format.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace test;
using K = DeclaredKind;

DeclaredSchema sample_schema() {
  return declared(
      1, {auto_collection("auto", {required("name", K::str())}),
          keyed_collection("people", "email",
                           {required("email", K::str()), optional("nick", K::str()),
                            required("age", K::integer()), optional("tags", K::list(K::integer())),
                            defaulted("rank", K::integer(), Value::integer(5)),
                            optional("score", K::floating())},
                           {{"nick", true}, {"age", false}, {"tags", false}, {"rank", false}}),
          keyed_collection("badges", "k",
                           {required("k", K::integer()), optional("labels", K::list(K::str()))},
                           {{"labels", true}}),
          keyed_collection("plain", "k", {required("k", K::str())})});
}

class ObjectWrites : public ::testing::Test {
 protected:
  ObjectDb db{sample_schema()};
  std::unique_ptr<WriteTxn> txn = db.begin();

  Result<Value> insert(std::string_view name, ObjectMap map, WriteMode mode = WriteMode::Insert) {
    return objects::write_object_map(*txn, collection(*txn, name), map, mode);
  }
  Result<Value> auto_insert(std::optional<std::int64_t> id) {
    std::vector<ObjectEntry> entries{{"name", Value::string("n")}};
    if (id) entries.emplace_back("id", Value::integer(*id));
    return insert("auto", object(std::move(entries)));
  }
  ObjectMap person(std::string email, std::optional<std::string> nick, std::int64_t age) {
    std::vector<ObjectEntry> e{{"email", Value::string(std::move(email))},
                               {"age", Value::integer(age)}};
    if (nick) e.emplace_back("nick", Value::string(*nick));
    return object(std::move(e));
  }
  std::uint64_t counter() {
    auto c = objects::read_counter(*txn, collection(*txn, "auto"));
    EXPECT_TRUE(c);
    return c.value_or(0);
  }
};

TEST_F(ObjectWrites, auto_increment_counts_from_one_and_follows_explicit_keys) {
  EXPECT_EQ(auto_insert(std::nullopt).value(), Value::integer(1));
  EXPECT_EQ(auto_insert(std::nullopt).value(), Value::integer(2));
  EXPECT_EQ(counter(), 3u);
  EXPECT_EQ(auto_insert(10).value(), Value::integer(10));
  EXPECT_EQ(counter(), 11u);
  EXPECT_EQ(auto_insert(std::nullopt).value(), Value::integer(11));
  EXPECT_EQ(auto_insert(5).value(), Value::integer(5));
  EXPECT_EQ(auto_insert(-4).value(), Value::integer(-4));
  EXPECT_EQ(counter(), 12u);
  ASSERT_TRUE(txn->commit());
}

TEST_F(ObjectWrites, explicit_key_zero_writes_no_counter) {
  EXPECT_EQ(auto_insert(0).value(), Value::integer(0));
  auto meta = txn->open_tree(bytes_of(names::kMetaTree), names::counter_key(1).bytes());
  ASSERT_TRUE(meta);
  EXPECT_FALSE(meta->has_value());
  EXPECT_EQ(auto_insert(std::nullopt).value(), Value::integer(1));
}

TEST_F(ObjectWrites, largest_explicit_key_uses_up_the_counter_in_both_forms) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(auto_insert(max).value(), Value::integer(max));
  EXPECT_EQ(counter(), std::uint64_t(1) << 63);
  auto refused = auto_insert(std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().to_string(), "`auto` has used every auto-increment number");
  LayoutShape layout{901, {{"id", {}}, {"name", {}}}};
  const LayoutValue row[] = {LayoutValue::absent(), LayoutValue::str("x")};
  objects::LayoutRun run{layout, row, 2};
  std::optional<Error> error;
  EXPECT_FALSE(
      objects::write_typed_object(*txn, collection(*txn, "auto"), run, WriteMode::Insert, error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->to_string(), "`auto` has used every auto-increment number");
  EXPECT_FALSE(txn->failed());
  ASSERT_TRUE(txn->commit());
}

TEST_F(ObjectWrites, counter_of_four_bytes_is_corrupted) {
  const std::uint8_t four[] = {1, 0, 0, 0};
  ASSERT_TRUE(txn->buffer_meta_put(names::counter_key(1).bytes(), four));
  auto refused = auto_insert(std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::Corrupted);
  EXPECT_NE(
      refused.error().to_string().find("the auto-increment counter of `auto` is not 8 bytes long"),
      std::string::npos);
}

TEST_F(ObjectWrites, put_that_replaces_an_object_never_moves_the_counter) {
  ASSERT_TRUE(auto_insert(std::nullopt));
  ASSERT_TRUE(insert("auto", object({{"id", Value::integer(1)}, {"name", Value::string("b")}}),
                     WriteMode::Put));
  EXPECT_EQ(counter(), 2u);
  ASSERT_TRUE(insert("auto", object({{"id", Value::integer(7)}, {"name", Value::string("c")}}),
                     WriteMode::Put));
  EXPECT_EQ(counter(), 8u);
}

TEST_F(ObjectWrites, inserting_a_stored_key_is_refused_and_the_transaction_goes_on) {
  ASSERT_TRUE(insert("people", person("a", "x", 1)));
  auto refused = insert("people", person("a", "y", 2));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::DuplicateKey);
  EXPECT_EQ(refused.error().message(),
            "`people` already holds an object with the primary key String(\"a\")");
  auto ref = collection(*txn, "people");
  // Nothing of the refused object reached the indexes.
  EXPECT_EQ(index_tree(*txn, ref, 0).size(), 1u);
  EXPECT_EQ(index_tree(*txn, ref, 1).size(), 1u);
  ASSERT_TRUE(txn->commit());
  auto r = db.read();
  auto kept = stored(r, collection(*db.begin(), "people"), Value::string("a"));
  ASSERT_TRUE(kept);
  EXPECT_EQ(*kept->get("nick"), Value::string("x"));
}

TEST_F(ObjectWrites, refused_put_leaves_the_old_object_findable_through_its_index) {
  ASSERT_TRUE(insert("people", person("a", "x", 1)));
  ASSERT_TRUE(insert("people", person("b", "y", 2)));
  auto ref = collection(*txn, "people");
  const auto before = index_tree(*txn, ref, 0);
  auto refused = insert("people", person("b", "x", 3), WriteMode::Put);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::DuplicateKey);
  EXPECT_EQ(refused.error().message(),
            "another object of `people` holds this value of its unique field `nick`");
  auto b = stored(*txn, ref, Value::string("b"));
  ASSERT_TRUE(b);
  EXPECT_EQ(*b->get("nick"), Value::string("y"));
  EXPECT_EQ(*b->get("age"), Value::integer(2));
  EXPECT_EQ(index_tree(*txn, ref, 0), before);
  // The entry of "y" still names b.
  auto y =
      txn->open_tree(bytes_of(ref.resolved().trees.index_trees[0]), key_bytes(Value::string("y")));
  ASSERT_TRUE(y && *y);
  EXPECT_EQ(**y, key_bytes(Value::string("b")));
  // A put under a new key whose unique value is taken leaves no record.
  ASSERT_FALSE(insert("people", person("c", "x", 4), WriteMode::Put));
  EXPECT_FALSE(stored(*txn, ref, Value::string("c")));
  EXPECT_FALSE(txn->failed());
  ASSERT_TRUE(txn->commit());
}

TEST_F(ObjectWrites, put_keeping_its_unique_value_meets_no_conflict_with_itself) {
  ASSERT_TRUE(insert("people", person("a", "x", 1)));
  ASSERT_TRUE(insert("people", person("a", "x", 9), WriteMode::Put));
  auto ref = collection(*txn, "people");
  auto ages = index_tree(*txn, ref, 1);
  ASSERT_EQ(ages.size(), 1u);
  EXPECT_EQ(ages[0].first, concat(key_bytes(Value::integer(9)), key_bytes(Value::string("a"))));
}

TEST_F(ObjectWrites, insert_many_keeps_the_objects_before_a_failure_and_stops) {
  LayoutShape layout{
      902, {{"age", {}}, {"email", {}}, {"nick", {}}, {"tags", {}}, {"rank", {}}, {"score", {}}}};
  auto row = [](std::int64_t age, const char* email, const char* nick) {
    return std::vector<LayoutValue>{LayoutValue::int64(age), LayoutValue::str(email),
                                    LayoutValue::str(nick),  LayoutValue::absent(),
                                    LayoutValue::absent(),   LayoutValue::absent()};
  };
  std::vector<LayoutValue> values;
  for (auto r : {row(1, "a", "x"), row(2, "b", "x"), row(3, "c", "z")})
    values.insert(values.end(), r.begin(), r.end());
  objects::LayoutRun run{layout, values, 6};
  auto ref = collection(*txn, "people");
  std::optional<Error> error;
  std::vector<Value> keys;
  while (auto k = objects::write_typed_object(*txn, ref, run, WriteMode::Insert, error))
    keys.push_back(*k);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0], Value::string("a"));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), ErrorKind::DuplicateKey);
  EXPECT_TRUE(stored(*txn, ref, Value::string("a")));
  EXPECT_FALSE(stored(*txn, ref, Value::string("b")));
  EXPECT_FALSE(stored(*txn, ref, Value::string("c")));
  // The default of `rank` stands in the record and in its index.
  auto a = stored(*txn, ref, Value::string("a"));
  EXPECT_EQ(*a->get("rank"), Value::integer(5));
  EXPECT_EQ(index_tree(*txn, ref, 3).size(), 1u);
}

TEST_F(ObjectWrites, unique_list_field_refuses_a_shared_element_but_not_a_repeated_one) {
  auto labels = [](std::vector<std::string> items) {
    ValueList list;
    for (auto& s : items) list.push_back(Value::string(s));
    return Value::list(std::move(list));
  };
  ASSERT_TRUE(
      insert("badges", object({{"k", Value::integer(1)}, {"labels", labels({"p", "q", "p"})}})));
  ASSERT_TRUE(insert("badges", object({{"k", Value::integer(2)}})));
  ASSERT_TRUE(insert("badges", object({{"k", Value::integer(3)}})));
  auto refused =
      insert("badges", object({{"k", Value::integer(4)}, {"labels", labels({"r", "q"})}}));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "another object of `badges` holds this value of its unique field `labels`");
  auto ref = collection(*txn, "badges");
  auto entries = index_tree(*txn, ref, 0);
  // Two Nulls (each with its key appended), then "p" and "q" of object 1.
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].first, concat(key_bytes(Value::null()), key_bytes(Value::integer(2))));
  EXPECT_EQ(entries[1].first, concat(key_bytes(Value::null()), key_bytes(Value::integer(3))));
  EXPECT_EQ(entries[2].first, key_bytes(Value::string("p")));
  EXPECT_EQ(entries[3].first, key_bytes(Value::string("q")));
  EXPECT_EQ(entries[3].second, key_bytes(Value::integer(1)));
}

TEST_F(ObjectWrites, plain_list_index_holds_one_entry_per_distinct_element_in_key_order) {
  ASSERT_TRUE(insert(
      "people",
      object({{"email", Value::string("a")},
              {"age", Value::integer(1)},
              {"tags", Value::list({Value::integer(3), Value::integer(1), Value::integer(3)})}})));
  ASSERT_TRUE(insert("people", object({{"email", Value::string("b")},
                                       {"age", Value::integer(1)},
                                       {"tags", Value::list({})}})));
  auto ref = collection(*txn, "people");
  auto entries = index_tree(*txn, ref, 2);
  ASSERT_EQ(entries.size(), 2u);
  const ByteString a = key_bytes(Value::string("a"));
  EXPECT_EQ(entries[0].first, concat(key_bytes(Value::integer(1)), a));
  EXPECT_EQ(entries[1].first, concat(key_bytes(Value::integer(3)), a));
  EXPECT_TRUE(entries[0].second.empty());
}

TEST_F(ObjectWrites, key_of_exactly_the_limit_passes_and_one_byte_more_is_refused) {
  const std::size_t limit = txn->max_key_len();
  // A string key is its tag, its bytes and a two-byte terminator.
  auto plain = [&](std::string k) {
    return insert("plain", object({{"k", Value::string(std::move(k))}}));
  };
  ASSERT_TRUE(plain(std::string(limit - 3, 'k')));
  auto refused = plain(std::string(limit - 2, 'k'));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            format_text("an object of `plain` has a key or an indexed value too long for the "
                        "file's keys, which are at most {} bytes",
                        limit));
  auto plain_ref = collection(*txn, "plain");
  EXPECT_EQ(*txn->tree_len(bytes_of(plain_ref.resolved().trees.record_tree)), 1u);
  auto ref = collection(*txn, "people");
  // The same for a unique index entry, whose key is the value alone.
  ASSERT_TRUE(insert("people", person("n1", std::string(limit - 3, 'n'), 1)));
  ASSERT_FALSE(insert("people", person("n2", std::string(limit - 2, 'n'), 1)));
  EXPECT_EQ(*txn->tree_len(bytes_of(ref.resolved().trees.record_tree)), 1u);
  EXPECT_FALSE(txn->failed());
  ASSERT_TRUE(txn->commit());
}

TEST_F(ObjectWrites, layout_value_of_another_type_is_refused_with_the_object_frame) {
  LayoutShape layout{
      903, {{"email", {}}, {"nick", {}}, {"age", {}}, {"tags", {}}, {"rank", {}}, {"score", {}}}};
  const LayoutValue row[] = {LayoutValue::str("a"), LayoutValue::absent(), LayoutValue::int64(1),
                             LayoutValue::absent(), LayoutValue::absent(), LayoutValue::int64(3)};
  objects::LayoutRun run{layout, row, 6};
  auto ref = collection(*txn, "people");
  std::optional<Error> error;
  EXPECT_FALSE(objects::write_typed_object(*txn, ref, run, WriteMode::Insert, error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message(),
            "an object of `people`: a record holds a value of another type than its field");
  // The check passed and was cached; the refusal came from the value.
  EXPECT_TRUE(ref.schema->class_cache.get(903, ref.position));
}

TEST_F(ObjectWrites, class_that_does_not_match_is_refused_and_not_cached) {
  LayoutShape missing{904, {{"email", {}}, {"age", {}}}};
  const LayoutValue row[] = {LayoutValue::str("a"), LayoutValue::int64(1)};
  objects::LayoutRun run{missing, row, 2};
  auto ref = collection(*txn, "people");
  std::optional<Error> error;
  EXPECT_FALSE(objects::write_typed_object(*txn, ref, run, WriteMode::Insert, error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message(),
            "the class does not match the collection `people` the database holds: `people` has "
            "a field `nick` that the class does not");
  EXPECT_FALSE(ref.schema->class_cache.get(904, ref.position));
  LayoutShape extra{905, {{"name", {}}, {"id", {}}, {"other", {}}}};
  const LayoutValue row3[] = {LayoutValue::str("a"), LayoutValue::absent(), LayoutValue::int64(1)};
  objects::LayoutRun run3{extra, row3, 3};
  error.reset();
  EXPECT_FALSE(
      objects::write_typed_object(*txn, collection(*txn, "auto"), run3, WriteMode::Insert, error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message(),
            "the class does not match the collection `auto` the database holds: the class has a "
            "field `other` that `auto` does not");
}

TEST_F(ObjectWrites, layout_rows_and_object_maps_store_the_same_record) {
  LayoutShape layout{
      906, {{"score", {}}, {"rank", {}}, {"tags", {}}, {"age", {}}, {"nick", {}}, {"email", {}}}};
  const LayoutValue row[] = {LayoutValue::float64(1.5), LayoutValue::absent(),
                             LayoutValue::absent(),     LayoutValue::int64(40),
                             LayoutValue::str("nk"),    LayoutValue::str("a")};
  objects::LayoutRun run{layout, row, 6};
  auto ref = collection(*txn, "people");
  std::optional<Error> error;
  ASSERT_TRUE(objects::write_typed_object(*txn, ref, run, WriteMode::Insert, error));
  ASSERT_TRUE(insert("people", object({{"email", Value::string("b")},
                                       {"nick", Value::string("nk2")},
                                       {"age", Value::integer(40)},
                                       {"score", Value::floating(1.5)}})));
  auto a = stored(*txn, ref, Value::string("a"));
  auto b = stored(*txn, ref, Value::string("b"));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a->get("rank"), *b->get("rank"));
  EXPECT_EQ(*a->get("score"), Value::floating(1.5));
  EXPECT_EQ(*a->get("age"), *b->get("age"));
  EXPECT_EQ(index_tree(*txn, ref, 3).size(), 2u);
}

TEST_F(ObjectWrites, object_map_names_an_unknown_field_before_a_field_error) {
  auto refused = insert("people", object({{"email", Value::string("a")},
                                          {"age", Value::string("old")},
                                          {"zz", Value::integer(1)},
                                          {"yy", Value::integer(1)}}));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "an object of `people`: `yy` is not a field");
  auto missing = insert("people", object({{"email", Value::string("a")}}));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "an object of `people`: `age` is required");
  auto wrong_key = insert("people", object({{"email", Value::integer(3)}}));
  ASSERT_FALSE(wrong_key);
  EXPECT_EQ(wrong_key.error().message(), "Int(3) is not a primary key of `people`");
  EXPECT_FALSE(txn->failed());
}

class ObjectGets : public ObjectWrites {};

TEST_F(ObjectGets, key_of_another_kind_than_the_key_field_is_refused) {
  auto ref = collection(*txn, "people");
  auto sink = [](ByteView) -> Status { return ok(); };
  auto got = objects::get_typed(*txn, ref.collection(), bytes_of(ref.resolved().trees.record_tree),
                                Value::integer(7), sink);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().message(), "Int(7) is not a primary key of `people`");
  auto b = collection(*txn, "badges");
  got = objects::get_typed(*txn, b.collection(), bytes_of(b.resolved().trees.record_tree),
                           Value::string("7"), sink);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().message(), "String(\"7\") is not a primary key of `badges`");
  got = objects::get_typed(*txn, b.collection(), bytes_of(b.resolved().trees.record_tree),
                           Value::floating(7), sink);
  ASSERT_FALSE(got);
  EXPECT_FALSE(txn->failed());
}

TEST_F(ObjectGets, long_short_and_escaped_keys_find_their_objects_in_both_transactions) {
  const std::string k61(61, 'a'), k62(62, 'a'), zero("a\0b", 3);
  for (const auto& k : {k61, k62, zero}) ASSERT_TRUE(insert("people", person(k, std::nullopt, 1)));
  auto ref = collection(*txn, "people");
  const ByteView tree = bytes_of(ref.resolved().trees.record_tree);
  for (const auto& k : {k61, k62, zero}) {
    std::vector<ByteString> sink;
    auto collect = [&](ByteView record) -> Status {
      sink.emplace_back(record.begin(), record.end());
      return ok();
    };
    auto got = objects::get_typed(*txn, ref.collection(), tree, Value::string(k), collect);
    ASSERT_TRUE(got);
    EXPECT_TRUE(*got);
    EXPECT_EQ(sink.size(), 1u);
  }
  EXPECT_EQ(key_bytes(Value::string(k61)).size(), 64u);
  EXPECT_EQ(key_bytes(Value::string(k62)).size(), 65u);
  ASSERT_TRUE(objects::remove(*txn, ref, Value::string(k61)));
  auto none = [](ByteView) -> Status { return fail(Error::internal("called")); };
  EXPECT_FALSE(*objects::get_typed(*txn, ref.collection(), tree, Value::string(k61), none));
  ASSERT_TRUE(txn->commit());
  auto r = db.read();
  auto ok_sink = [](ByteView) -> Status { return ok(); };
  EXPECT_TRUE(*objects::get_typed(r, ref.collection(), tree, Value::string(zero), ok_sink));
  EXPECT_FALSE(*objects::get_typed(r, ref.collection(), tree, Value::string(k61), ok_sink));
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
