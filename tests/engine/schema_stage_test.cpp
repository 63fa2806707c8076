// The schema stage at open: first schemas, equal and newer versions,
// migrations with their index builds and the removal of deleted
// collections when they finish.
#include <gtest/gtest.h>

#include <thread>

#include "format/object/key.hpp"
#include "format/object/schema_codec.hpp"
#include "support/declared_builders.hpp"
#include "support/object_db.hpp"
#include "support/temp_dir.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace test;
using K = DeclaredKind;

std::shared_ptr<const DeclaredSchema> shared(DeclaredSchema s) {
  return std::make_shared<const DeclaredSchema>(std::move(s));
}

DeclaredSchema items_v(std::uint64_t version, std::vector<DeclaredIndex> indexes = {}) {
  return declared(version, {keyed_collection("items", "k",
                                             {required("k", K::integer()), optional("v", K::str())},
                                             std::move(indexes)),
                            auto_collection("logs", {required("line", K::str())})});
}

std::uint64_t published_txn(const std::shared_ptr<Instance>& instance) {
  return instance->published().record.txn_id;
}

std::optional<Schema> stored_schema(const std::shared_ptr<Instance>& instance) {
  auto r = ReadTxn::begin(instance);
  EXPECT_TRUE(r);
  auto bytes = r->open_tree(bytes_of(names::kMetaTree), bytes_of(names::kSchemaKey));
  if (!bytes || !*bytes) return std::nullopt;
  return *schema_codec::decode_schema(**bytes);
}

// Fills `items` with objects whose `v` is given by `value_of(i)`.
void fill(const std::shared_ptr<Instance>& instance, std::size_t count,
          const std::function<std::optional<std::string>(std::size_t)>& value_of) {
  auto stage = open_stage(instance, shared(items_v(1)));
  ASSERT_TRUE(stage) << stage.error().to_string();
  auto txn = *WriteTxn::begin(instance, stage->resolved);
  auto ref = collection(*txn, "items");
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<ObjectEntry> e{{"k", Value::integer(static_cast<std::int64_t>(i))}};
    if (auto v = value_of(i)) e.emplace_back("v", Value::string(*v));
    ASSERT_TRUE(objects::write_object_map(*txn, ref, object(std::move(e)), WriteMode::Insert));
  }
  ASSERT_TRUE(txn->commit());
}

Result<schema::SchemaStage> migrate_to_unique_index(const std::shared_ptr<Instance>& instance) {
  return open_stage(instance, shared(items_v(2, {{"v", true}})), {migration_to(2)});
}

TEST(SchemaStage, new_file_stores_the_declared_version_with_ids_from_one) {
  auto instance = memory_instance();
  const auto before = published_txn(instance);
  auto stage = open_stage(instance, shared(items_v(3)));
  ASSERT_TRUE(stage) << stage.error().to_string();
  EXPECT_FALSE(stage->migration);
  EXPECT_GT(published_txn(instance), before);
  auto s = stored_schema(instance);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->version, 3u);
  EXPECT_EQ(s->collections[0].id, 1u);
  EXPECT_EQ(stage->resolved->stored_bytes, schema_codec::encode_schema(*s));
}

TEST(SchemaStage, file_newer_than_the_declaration_is_refused) {
  auto instance = memory_instance();
  ASSERT_TRUE(open_stage(instance, shared(items_v(2))));
  auto refused = open_stage(instance, shared(items_v(1)));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::SchemaTooNew);
  EXPECT_EQ(refused.error().first_number(), 2u);
  EXPECT_EQ(refused.error().second_number(), 1u);
}

TEST(SchemaStage, same_declaration_in_another_order_writes_nothing) {
  auto instance = memory_instance();
  ASSERT_TRUE(open_stage(instance, shared(items_v(1))));
  const auto before = published_txn(instance);
  DeclaredSchema reordered = items_v(1);
  std::swap(reordered.collections[0], reordered.collections[1]);
  std::swap(reordered.collections[1].fields[0], reordered.collections[1].fields[1]);
  auto again = open_stage(instance, shared(reordered));
  ASSERT_TRUE(again) << again.error().to_string();
  EXPECT_EQ(published_txn(instance), before);
  EXPECT_FALSE(again->migration);
}

TEST(SchemaStage, change_without_a_new_version_is_a_mismatch) {
  auto instance = memory_instance();
  ASSERT_TRUE(open_stage(instance, shared(items_v(1))));
  DeclaredSchema added = items_v(1);
  added.collections[0].fields.push_back(optional("w", K::integer()));
  auto refused = open_stage(instance, shared(added));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::SchemaMismatch);
  EXPECT_EQ(refused.error().message(),
            "the schema declared at version 1 does not match: it differs from the schema the file "
            "holds at that version; raise the version to change it");
  DeclaredSchema kind = items_v(1);
  kind.collections[0].fields[1] = optional("v", K::integer());
  refused = open_stage(instance, shared(kind));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::SchemaMismatch);
  EXPECT_NE(refused.error().message().find("the type of `items.v` changed"), std::string::npos)
      << refused.error().message();
}

TEST(SchemaStage, two_migrations_to_one_version_count_only_in_the_range) {
  auto instance = memory_instance();
  ASSERT_TRUE(open_stage(instance, shared(items_v(1))));
  auto refused = open_stage(instance, shared(items_v(2)), {migration_to(2), migration_to(2)});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "two migrations to version 2");
  auto sorted = schema::sort_migrations(
      std::vector{migration_to(2), migration_to(2), migration_to(4), migration_to(3)}, 2, 4);
  ASSERT_TRUE(sorted);
  ASSERT_EQ(sorted->size(), 2u);
  EXPECT_EQ((*sorted)[0].version, 3u);
}

TEST(SchemaStage, unique_index_over_duplicates_far_apart_fails_and_keeps_the_old_schema) {
  auto instance = memory_instance();
  fill(instance, 5001, [](std::size_t i) {
    return std::optional<std::string>(i == 5000 ? "v0" : "v" + std::to_string(i));
  });
  const auto before = published_txn(instance);
  auto refused = migrate_to_unique_index(instance);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::DuplicateKey);
  EXPECT_EQ(refused.error().message(),
            "two objects of `items` hold the same value of `v`, which the new unique index does "
            "not allow");
  EXPECT_EQ(published_txn(instance), before);
  EXPECT_EQ(stored_schema(instance)->version, 1u);
}

TEST(SchemaStage, unique_index_over_nulls_builds_and_batches_cover_every_record) {
  for (std::size_t count : {1024u, 1025u}) {
    auto instance = memory_instance();
    fill(instance, count, [](std::size_t i) -> std::optional<std::string> {
      if (i % 3 == 0) return std::nullopt;
      return "v" + std::to_string(i);
    });
    auto stage = migrate_to_unique_index(instance);
    ASSERT_TRUE(stage) << stage.error().to_string();
    ASSERT_TRUE(stage->migration);
    ASSERT_TRUE(stage->migration->finish());
    auto r = ReadTxn::begin(instance);
    auto index_id = stage->resolved->schema.collections[0].indexes[0].id;
    EXPECT_EQ(*r->tree_len(names::index_tree_name(index_id).bytes()), count);
  }
}

TEST(SchemaStage, plain_index_over_an_empty_collection_leaves_no_tree_until_an_insert) {
  auto instance = memory_instance();
  ASSERT_TRUE(open_stage(instance, shared(items_v(1))));
  auto stage = open_stage(instance, shared(items_v(2, {{"v", false}})), {migration_to(2)});
  ASSERT_TRUE(stage) << stage.error().to_string();
  ASSERT_TRUE(stage->migration->finish());
  const auto index = names::index_tree_name(stage->resolved->schema.collections[0].indexes[0].id);
  auto txn = *WriteTxn::begin(instance, stage->resolved);
  EXPECT_EQ(*txn->tree_entry(index.bytes(), false), nullptr);
  ASSERT_TRUE(objects::write_object_map(*txn, collection(*txn, "items"),
                                        object({{"k", Value::integer(1)}}), WriteMode::Insert));
  EXPECT_EQ(*txn->tree_len(index.bytes()), 1u);
}

TEST(SchemaStage, migration_steps_run_in_order_and_finish_removes_deleted_collections) {
  auto instance = memory_instance();
  {
    auto stage = open_stage(instance, shared(items_v(1, {{"v", false}})));
    ASSERT_TRUE(stage);
    auto txn = *WriteTxn::begin(instance, stage->resolved);
    ASSERT_TRUE(objects::write_object_map(
        *txn, collection(*txn, "logs"), object({{"line", Value::string("l")}}), WriteMode::Insert));
    ASSERT_TRUE(objects::write_object_map(
        *txn, collection(*txn, "items"),
        object({{"k", Value::integer(1)}, {"v", Value::string("a")}}), WriteMode::Insert));
    ASSERT_TRUE(txn->commit());
  }
  std::vector<std::uint64_t> ran;
  DeclaredMigration to3 = migration_to(3);
  to3.collection_deletions = {"logs"};
  to3.step = std::make_shared<const MigrationStepFn>([&](WriteTxn&, const Schema& working) {
    ran.push_back(3);
    EXPECT_TRUE(working.collections[0].fields[0].optional);
    return ok();
  });
  DeclaredSchema v3 = items_v(3, {{"v", false}});
  v3.collections.pop_back();
  const auto before = published_txn(instance);
  auto stage = open_stage(instance, shared(v3), {to3});
  ASSERT_TRUE(stage) << stage.error().to_string();
  ASSERT_TRUE(stage->migration);
  EXPECT_EQ(published_txn(instance), before);  // nothing before finish
  EXPECT_EQ(*stage->migration->next_step(), std::optional<std::uint64_t>(2));
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(stage->migration->versions_left(), 1u);
  ASSERT_TRUE(stage->migration->finish());
  EXPECT_EQ(ran, std::vector<std::uint64_t>{3});
  auto r = ReadTxn::begin(instance);
  EXPECT_EQ(*r->tree_len(names::record_tree_name(2).bytes()), 0u);
  auto counter = r->open_tree(bytes_of(names::kMetaTree), names::counter_key(2).bytes());
  EXPECT_FALSE(*counter);
  EXPECT_EQ(*r->tree_len(names::record_tree_name(1).bytes()), 1u);
  EXPECT_EQ(*r->tree_len(names::index_tree_name(1).bytes()), 1u);
  EXPECT_EQ(stored_schema(instance)->version, 3u);
}

TEST(SchemaStage, two_first_opens_at_once_store_the_schema_once_and_both_use_it) {
  auto instance = memory_instance();
  const auto before = published_txn(instance);
  auto declared_schema = shared(items_v(1, {{"v", true}}));
  std::optional<Result<schema::SchemaStage>> a, b;
  std::thread first([&] { a.emplace(open_stage(instance, declared_schema)); });
  std::thread second([&] { b.emplace(open_stage(instance, declared_schema)); });
  first.join();
  second.join();
  ASSERT_TRUE(*a) << (*a).error().to_string();
  ASSERT_TRUE(*b) << (*b).error().to_string();
  // The later one compared again under the writer and wrote nothing.
  EXPECT_EQ(published_txn(instance), before + 1);
  EXPECT_EQ((**a).resolved->stored_bytes, (**b).resolved->stored_bytes);
}

TEST(SchemaStage, database_open_runs_the_stage_and_hands_over_a_migration) {
  testing::TempDir dir;
  const std::string path = dir.file("stage.db");
  OpenOptions options;
  options.schema = shared(items_v(1));
  std::uint64_t first_commit = 0;
  {
    auto opened = Database::open(path, options);
    ASSERT_TRUE(opened) << opened.error().to_string();
    ASSERT_TRUE(opened->resolved);
    EXPECT_FALSE(opened->migration);
    EXPECT_EQ(opened->schema->version, 1u);
    first_commit = published_txn(opened->instance);
  }
  {
    auto again = Database::open(path, options);
    ASSERT_TRUE(again) << again.error().to_string();
    EXPECT_EQ(published_txn(again->instance), first_commit);
  }
  OpenOptions without;
  {
    auto plain = Database::open(path, without);
    ASSERT_TRUE(plain) << plain.error().to_string();
    ASSERT_TRUE(plain->resolved);  // the stored schema
    EXPECT_EQ(plain->resolved->schema.collections.size(), 2u);
  }
  OpenOptions newer;
  newer.schema = shared(items_v(2));
  newer.migrations = {migration_to(2)};
  {
    auto migrating = Database::open(path, newer);
    ASSERT_TRUE(migrating) << migrating.error().to_string();
    ASSERT_TRUE(migrating->migration);
    EXPECT_EQ(migrating->migration->previous.version, 1u);
    EXPECT_EQ(migrating->migration->versions_left(), 1u);
    // Dropped without finishing: the file keeps version 1.
  }
  auto after = Database::open(path, without);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->resolved->schema.version, 1u);
}

TEST(SchemaStage, migration_far_ahead_counts_its_versions_without_listing_them) {
  auto instance = memory_instance();
  ASSERT_TRUE(open_stage(instance, shared(items_v(1))));
  const std::uint64_t far = std::uint64_t(1) << 40;
  int ran = 0;
  DeclaredMigration last = migration_to(far);
  last.step = std::make_shared<const MigrationStepFn>([&](WriteTxn&, const Schema&) {
    ++ran;
    return ok();
  });
  auto stage = open_stage(instance, shared(items_v(far)), {last});
  ASSERT_TRUE(stage) << stage.error().to_string();
  EXPECT_EQ(stage->migration->versions_left(), far - 1);
  EXPECT_EQ(*stage->migration->next_step(), std::optional<std::uint64_t>(2));
  ASSERT_TRUE(stage->migration->finish());
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(stored_schema(instance)->version, far);
}

TEST(SchemaStage, next_step_answers_none_after_the_last_version_and_keeps_doing_so) {
  auto instance = memory_instance();
  ASSERT_TRUE(open_stage(instance, shared(items_v(1))));
  auto stage = open_stage(instance, shared(items_v(3)), {});
  ASSERT_TRUE(stage) << stage.error().to_string();
  schema::Migration& m = *stage->migration;
  EXPECT_EQ(*m.next_step(), std::optional<std::uint64_t>(2));
  EXPECT_EQ(*m.next_step(), std::optional<std::uint64_t>(3));
  EXPECT_EQ(*m.next_step(), std::nullopt);
  EXPECT_EQ(*m.next_step(), std::nullopt);
}

TEST(SchemaStage, previous_reads_see_deleted_collections_and_walk_past_buffered_writes) {
  auto instance = memory_instance();
  fill(instance, 3, [](std::size_t i) { return std::optional<std::string>(std::to_string(i)); });
  DeclaredMigration to2 = migration_to(2);
  to2.collection_deletions = {"items"};
  DeclaredSchema v2 = items_v(2);
  v2.collections.erase(v2.collections.begin());
  auto stage = open_stage(instance, shared(v2), {to2});
  ASSERT_TRUE(stage) << stage.error().to_string();
  schema::Migration& m = *stage->migration;
  auto got = m.previous_object("items", Value::integer(2));
  ASSERT_TRUE(got && *got) << (got ? "absent" : got.error().to_string());
  EXPECT_EQ(*(*got)->get("v"), Value::string("2"));
  EXPECT_EQ(m.previous_object("nothing", Value::integer(1)).error().kind(),
            ErrorKind::InvalidArgument);
  // A write still waiting in the transaction's buffer, as an engine step
  // may leave one: the walk sees it instead of refusing the tree.
  key::KeyBuffer key;
  ASSERT_TRUE(key::encode_primary_key(m.previous.collections[0], Value::integer(7), key));
  ASSERT_TRUE(m.txn->buffer_put(names::record_tree_name(1).bytes(), key.view(),
                                std::vector<std::uint8_t>{0}));
  auto keys = m.previous_keys("items");
  ASSERT_TRUE(keys) << keys.error().to_string();
  EXPECT_EQ(*keys, (std::vector<Value>{Value::integer(0), Value::integer(1), Value::integer(2),
                                       Value::integer(7)}));
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
