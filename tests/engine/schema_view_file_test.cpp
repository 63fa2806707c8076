// The schema view over a real file: snapshots and the writer of one file,
// with two handles whose schemas differ.
#include <gtest/gtest.h>

#include "database.hpp"
#include "format/object/names.hpp"
#include "format/object/schema_codec.hpp"
#include "schema/open.hpp"
#include "schema/resolve.hpp"
#include "storage/fault_storage.hpp"
#include "support/declared_builders.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace test;
using K = DeclaredKind;

std::shared_ptr<Instance> open_memory_file() {
  OpenOptions options;
  auto storage =
      std::make_unique<FaultStorage>("/mem/schema.db", *Database::new_first_page(options));
  auto instance = Database::open_existing(std::move(storage), options);
  EXPECT_TRUE(instance) << instance.error().to_string();
  return *instance;
}

// What a handle opened with `schema` holds.
std::shared_ptr<const ResolvedSchema> handle_of(const Schema& schema) {
  return ResolvedSchema::make(schema, schema_codec::encode_schema(schema));
}

// Stores the handle's schema in the file, as the open path does.
void store(const std::shared_ptr<Instance>& instance, const ResolvedSchema& handle) {
  auto w = WriteTxn::begin(instance);
  ASSERT_TRUE(w) << w.error().to_string();
  ASSERT_TRUE(
      (*w)->put(bytes_of(names::kMetaTree), bytes_of(names::kSchemaKey), handle.stored_bytes));
  ASSERT_TRUE((*w)->commit());
}

struct TwoVersions {
  std::shared_ptr<const ResolvedSchema> v1, v2;

  TwoVersions() {
    auto first = resolve::resolve_schema(declared(1, {auto_collection("c", {})}),
                                         resolve::empty_schema(), {});
    DeclaredMigration m = migration_to(2);
    auto second =
        resolve::resolve_schema(declared(2, {auto_collection("c", {optional("x", K::integer())})}),
                                first->schema, std::span(&m, 1));
    v1 = handle_of(first->schema);
    v2 = handle_of(second->schema);
  }
};

TEST(SchemaViewFile, confirmed_snapshot_keeps_working_after_another_handle_migrates_the_file) {
  auto instance = open_memory_file();
  TwoVersions schemas;
  store(instance, *schemas.v1);

  auto confirmed = ReadTxn::begin(instance, schemas.v1);
  ASSERT_TRUE(confirmed);
  ASSERT_TRUE(schema::collection_by_name(*confirmed, "c"));
  // Began before the migration but not yet confirmed: its snapshot still
  // holds the old schema, so it works too.
  auto unconfirmed = ReadTxn::begin(instance, schemas.v1);
  ASSERT_TRUE(unconfirmed);

  store(instance, *schemas.v2);  // another handle migrates

  EXPECT_TRUE(schema::collection_by_name(*confirmed, "c"));
  EXPECT_TRUE(schema::collection_by_name(*unconfirmed, "c"));

  auto next = ReadTxn::begin(instance, schemas.v1);
  ASSERT_TRUE(next);
  auto refused = schema::collection_by_name(*next, "c");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::SchemaMismatch);

  auto writer = WriteTxn::begin(instance, schemas.v1);
  ASSERT_TRUE(writer);
  auto refused_write = schema::collection_by_name_write(**writer, "c");
  ASSERT_FALSE(refused_write);
  EXPECT_EQ(refused_write.error().kind(), ErrorKind::SchemaMismatch);
  EXPECT_FALSE((*writer)->schema_confirmed);

  // The migrated handle works.
  auto fresh = ReadTxn::begin(instance, schemas.v2);
  ASSERT_TRUE(fresh);
  auto found = schema::collection_by_name(*fresh, "c");
  ASSERT_TRUE(found) << found.error().to_string();
  EXPECT_EQ(found->collection().fields.size(), 2u);
}

TEST(SchemaViewFile, a_writer_sees_the_schema_it_stores_itself) {
  auto instance = open_memory_file();
  TwoVersions schemas;
  auto w = WriteTxn::begin(instance, schemas.v1);
  ASSERT_TRUE(w);
  EXPECT_EQ(schema::collection_by_name_write(**w, "c").error().kind(), ErrorKind::SchemaMismatch);
  ASSERT_TRUE(
      (*w)->put(bytes_of(names::kMetaTree), bytes_of(names::kSchemaKey), schemas.v1->stored_bytes));
  auto found = schema::collection_by_name_write(**w, "c");
  ASSERT_TRUE(found) << found.error().to_string();
  EXPECT_TRUE((*w)->schema_confirmed);
}

TEST(SchemaViewFile, a_handle_without_schema_on_a_new_file_has_no_collections) {
  auto instance = open_memory_file();
  auto r = ReadTxn::begin(instance);
  ASSERT_TRUE(r);
  auto refused = schema::collection_by_name(*r, "c");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidArgument);
  TwoVersions schemas;
  store(instance, *schemas.v1);
  auto later = ReadTxn::begin(instance);
  ASSERT_TRUE(later);
  EXPECT_EQ(schema::collection_by_name(*later, "c").error().to_string(),
            "the file held no schema when this handle opened it; open it again to use the schema "
            "it holds now");
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
