// A database in memory with a declared schema, for tests of the typed
// object operations: opened through the schema stage like a real file.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "database.hpp"
#include "format/object/names.hpp"
#include "schema/objects.hpp"
#include "schema/open.hpp"
#include "schema/stage.hpp"
#include "schema/tree_keys.hpp"
#include "storage/fault_storage.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro::test {

// Opens `storage`'s file and runs the schema stage with `declared`.
inline Result<schema::SchemaStage> open_stage(const std::shared_ptr<Instance>& instance,
                                              std::shared_ptr<const DeclaredSchema> declared,
                                              std::vector<DeclaredMigration> migrations = {}) {
  OpenOptions options;
  options.schema = std::move(declared);
  options.migrations = std::move(migrations);
  return schema::run_schema_stage(instance, options);
}

inline std::shared_ptr<Instance> memory_instance(const std::string& path = "/mem/objects.db") {
  OpenOptions options;
  auto storage = std::make_unique<FaultStorage>(path, *Database::new_first_page(options));
  auto instance = Database::open_existing(std::move(storage), options);
  EXPECT_TRUE(instance) << instance.error().to_string();
  return *instance;
}

struct ObjectDb {
  std::shared_ptr<Instance> instance;
  std::shared_ptr<const ResolvedSchema> resolved;

  explicit ObjectDb(DeclaredSchema declared) : instance(memory_instance()) {
    auto stage = open_stage(instance, std::make_shared<const DeclaredSchema>(std::move(declared)));
    EXPECT_TRUE(stage) << stage.error().to_string();
    resolved = stage->resolved;
  }

  std::unique_ptr<WriteTxn> begin() const {
    auto txn = WriteTxn::begin(instance, resolved);
    EXPECT_TRUE(txn) << txn.error().to_string();
    return std::move(*txn);
  }

  ReadTxn read() const {
    auto txn = ReadTxn::begin(instance, resolved);
    EXPECT_TRUE(txn) << txn.error().to_string();
    return std::move(*txn);
  }
};

inline schema::CollectionRef collection(WriteTxn& txn, std::string_view name) {
  auto ref = schema::collection_by_name_write(txn, name);
  EXPECT_TRUE(ref) << ref.error().to_string();
  return *ref;
}

inline ObjectMap object(std::vector<ObjectEntry> entries) {
  return ObjectMap::from_entries(std::move(entries));
}

// Every (key, value) of a tree, in key order; empty for an absent tree.
inline std::vector<std::pair<ByteString, ByteString>> tree_entries(TreeAccess& access,
                                                                   ByteView tree) {
  std::vector<std::pair<ByteString, ByteString>> out;
  auto cursor = access.range(tree, KeyBound::unbounded(), KeyBound::unbounded(), false);
  EXPECT_TRUE(cursor) << cursor.error().to_string();
  if (!cursor || !*cursor) return out;
  ByteView k, v;
  while (true) {
    auto more = (*cursor)->next(k, v);
    EXPECT_TRUE(more);
    if (!more || !*more) break;
    out.emplace_back(ByteString(k.begin(), k.end()), ByteString(v.begin(), v.end()));
  }
  return out;
}

inline std::vector<std::pair<ByteString, ByteString>> index_tree(TreeAccess& access,
                                                                 const schema::CollectionRef& ref,
                                                                 std::size_t index) {
  return tree_entries(access, bytes_of(ref.resolved().trees.index_trees[index]));
}

// The object stored under `key`, decoded, or none.
inline std::optional<ObjectMap> stored(TreeAccess& access, const schema::CollectionRef& ref,
                                       const Value& key) {
  auto got = objects::get_by_key(ref.collection(), bytes_of(ref.resolved().trees.record_tree), key,
                                 access);
  EXPECT_TRUE(got) << got.error().to_string();
  return got ? *got : std::nullopt;
}

inline ByteString key_bytes(const Value& v) {
  ByteString out;
  EXPECT_TRUE(key::encode_value(v, out));
  return out;
}

inline ByteString concat(ByteString a, const ByteString& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace deziro::test
