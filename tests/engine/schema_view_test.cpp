#include <gtest/gtest.h>

#include <thread>

#include "format/object/schema_codec.hpp"
#include "schema/open.hpp"
#include "schema/resolve.hpp"
#include "support/declared_builders.hpp"
#include "support/memory_tree_access.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace test;
using K = DeclaredKind;

constexpr std::string_view kMeta("\0meta", 5);

Schema resolved_schema_of(const DeclaredSchema& declared) {
  auto r = resolve::resolve_schema(declared, resolve::empty_schema(), {});
  EXPECT_TRUE(r);
  return r->schema;
}

Schema two_collections() {
  return resolved_schema_of(
      declared(1, {auto_collection("users", {required("name", K::str())}),
                   keyed_collection("Users", "k", {required("k", K::str())})}));
}

// A file whose "\0meta"/"schema" holds `stored`, and a handle opened on it.
struct File {
  std::shared_ptr<MemoryTrees> trees = std::make_shared<MemoryTrees>();
  std::shared_ptr<const ResolvedSchema> handle;

  explicit File(Bytes stored) {
    writer().put(kMeta, "schema", stored);
    handle = ResolvedSchema::make(two_collections(), stored);
  }
  MemoryTreeAccess writer() { return MemoryTreeAccess(trees); }
  MemoryTreeAccess snapshot() { return MemoryTreeAccess::snapshot_of(trees); }
};

const std::string kMigrated =
    "another process migrated the database's schema since this handle opened it; open it again "
    "with the new schema";

TEST(SchemaView, confirmed_transaction_keeps_working_after_another_handle_migrates) {
  File file(schema_codec::encode_schema(two_collections()));
  MemoryTreeAccess first = file.writer();
  bool first_confirmed = false;
  auto found = schema::collection_by_name(first, file.handle, first_confirmed, "users");
  ASSERT_TRUE(found) << found.error().to_string();
  EXPECT_TRUE(first_confirmed);

  // Another handle migrates the file: a field added at version 2.
  DeclaredMigration to_two = migration_to(2);
  auto migrated = resolve::resolve_schema(
      declared(
          2, {auto_collection("users", {required("name", K::str()), optional("age", K::integer())}),
              keyed_collection("Users", "k", {required("k", K::str())})}),
      file.handle->schema, std::span(&to_two, 1));
  ASSERT_TRUE(migrated);
  file.writer().put(kMeta, "schema", schema_codec::encode_schema(migrated->schema));

  // The first transaction already confirmed: it goes on, without reading.
  std::size_t reads = first.reads();
  auto again = schema::collection_by_name_write(first, file.handle, first_confirmed, "Users");
  ASSERT_TRUE(again) << again.error().to_string();
  EXPECT_EQ(again->position, 1u);
  EXPECT_EQ(first.reads(), reads);

  // The next transaction of the handle is refused.
  MemoryTreeAccess next = file.snapshot();
  bool next_confirmed = false;
  auto refused = schema::collection_by_name(next, file.handle, next_confirmed, "users");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::SchemaMismatch);
  EXPECT_EQ(refused.error().to_string(), kMigrated);
  EXPECT_FALSE(next_confirmed);
}

TEST(SchemaView, stored_bytes_are_compared_once_per_transaction) {
  File file(Bytes{1, 2, 3});
  MemoryTreeAccess txn = file.snapshot();
  bool confirmed = false;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(schema::schema_view(txn, file.handle, confirmed));
  EXPECT_EQ(txn.reads(), 1u);
}

TEST(SchemaView, an_absent_or_longer_stored_schema_is_a_mismatch) {
  File file(Bytes{1, 2, 3});
  file.writer().put(kMeta, "schema", Bytes{1, 2, 3, 4});
  MemoryTreeAccess longer = file.snapshot();
  bool confirmed = false;
  auto r = schema::schema_view(longer, file.handle, confirmed);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), kMigrated);

  file.writer().erase(kMeta, "schema");
  MemoryTreeAccess absent = file.snapshot();
  r = schema::schema_view(absent, file.handle, confirmed);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::SchemaMismatch);
  EXPECT_FALSE(confirmed);
}

TEST(SchemaView, a_failed_read_is_passed_on_and_leaves_the_flag_clear) {
  File file(Bytes{1, 2, 3});
  MemoryTreeAccess txn = file.snapshot();
  txn.fail_reads_with(Error::io("/tmp/mem.db", "disk gone"));
  bool confirmed = false;
  auto r = schema::collection_by_name(txn, file.handle, confirmed, "users");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
  EXPECT_FALSE(confirmed);
}

TEST(CollectionByName, names_are_matched_byte_for_byte) {
  File file(Bytes{7});
  MemoryTreeAccess txn = file.snapshot();
  bool confirmed = false;
  auto lower = schema::collection_by_name(txn, file.handle, confirmed, "users");
  auto upper = schema::collection_by_name(txn, file.handle, confirmed, "Users");
  ASSERT_TRUE(lower && upper);
  EXPECT_EQ(lower->collection().name, "users");
  EXPECT_EQ(upper->collection().name, "Users");
  EXPECT_EQ(upper->resolved().trees.record_tree, std::string("\0rec/2", 6));
  auto missing = schema::collection_by_name(txn, file.handle, confirmed, "user");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(missing.error().to_string(), "the schema has no collection called `user`");
  // The view itself succeeded.
  EXPECT_TRUE(confirmed);
}

TEST(SchemaView, a_handle_without_schema_on_a_file_without_one_has_no_collections) {
  auto trees = std::make_shared<MemoryTrees>();
  MemoryTreeAccess txn(trees);
  bool confirmed = false;
  auto r = schema::collection_by_name(txn, nullptr, confirmed, "users");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(r.error().to_string(),
            "the database was opened without a schema, and the file holds none, so it has no "
            "collections; declare one with `OpenOptions::schema`");
}

// A handle opened on a file without a schema learns, at its first lookup,
// whether the file has gained one since.
struct SchemalessHandle {
  std::shared_ptr<MemoryTrees> trees = std::make_shared<MemoryTrees>();

  Error lookup_error(Bytes stored) {
    MemoryTreeAccess(trees).put(kMeta, "schema", std::move(stored));
    MemoryTreeAccess txn = MemoryTreeAccess::snapshot_of(trees);
    bool confirmed = false;
    auto r = schema::collection_by_name(txn, nullptr, confirmed, "users");
    EXPECT_FALSE(confirmed);
    return r ? Error::internal("found") : r.error();
  }
};

TEST(SchemaView, a_handle_without_schema_is_told_to_reopen_for_a_schema_stored_since) {
  Error e = SchemalessHandle().lookup_error(schema_codec::encode_schema(two_collections()));
  EXPECT_EQ(e.kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(e.to_string(),
            "the file held no schema when this handle opened it; open it again to use the schema "
            "it holds now");
}

TEST(SchemaView, a_damaged_schema_stored_since_is_corrupted_for_the_file) {
  Error e = SchemalessHandle().lookup_error(Bytes{5, 1});
  EXPECT_EQ(e.kind(), ErrorKind::Corrupted);
  EXPECT_EQ(e.path(), "/tmp/mem.db");
  EXPECT_EQ(e.to_string().rfind("`/tmp/mem.db` is damaged: the stored schema: ", 0), 0u)
      << e.to_string();
}

// The stored schema's own check does not require an auto-increment key to
// be the int "id"; the declared view does, and says so as damage.
TEST(SchemaView, a_stored_schema_without_a_declared_view_is_corrupted_for_the_file) {
  Schema s = two_collections();
  s.collections[0].fields[0].name = "key";
  Error e = SchemalessHandle().lookup_error(schema_codec::encode_schema(s));
  EXPECT_EQ(e.kind(), ErrorKind::Corrupted);
  EXPECT_EQ(e.to_string(),
            "`/tmp/mem.db` is damaged: the stored schema: `users` has an auto-increment key, which "
            "is an int called `id`");
}

TEST(LoadStored, reads_back_what_was_stored_and_refuses_another_format) {
  auto trees = std::make_shared<MemoryTrees>();
  MemoryTreeAccess access(trees);
  Schema s = two_collections();
  auto loaded = schema::load_stored(access, schema_codec::encode_schema(s));
  ASSERT_TRUE(loaded) << loaded.error().to_string();
  EXPECT_EQ(*loaded, s);

  // A schema record whose format field (1) holds 2.
  Bytes future = schema_codec::encode_schema(s);
  ASSERT_EQ(future[1], 1u);  // field id 1
  ASSERT_EQ(future[2], 4u);  // an int
  future[3] = 4;             // zigzag 2
  auto refused = schema::load_stored(access, future);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::UnsupportedFormatVersion);
  EXPECT_EQ(refused.error().first_number(), 2u);
  EXPECT_EQ(refused.error().second_number(), 1u);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
