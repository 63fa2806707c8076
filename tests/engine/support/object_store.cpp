#include "support/object_store.hpp"

#include <gtest/gtest.h>

#include <set>

#include "database.hpp"
#include "format/object/codec.hpp"
#include "format/object/key.hpp"
#include "format/object/names.hpp"
#include "format/object/schema_codec.hpp"
#include "query/parse.hpp"
#include "storage/fault_storage.hpp"

namespace deziro::test {

Status store_object(WriteTxn& txn, const Schema& schema, const Collection& collection,
                    const ObjectMap& object) {
  const Field* key_field = collection.primary_key_field();
  const Value* key_value = key_field ? object.get(key_field->name) : nullptr;
  if (!key_value) return fail(Error::invalid_argument("the object has no primary key"));
  std::vector<std::uint8_t> pk;
  DZ_CHECK(key::primary_key_of(collection, *key_value, pk));
  std::vector<std::uint8_t> record;
  if (auto r = codec::encode_object_fields(object, collection.fields, schema, record); !r)
    return fail(Error::invalid_argument(r.error()));
  DZ_CHECK(txn.put(names::record_tree_name(collection.id).bytes(), pk, record));
  for (const Index& index : collection.indexes) {
    const Field* field = collection.field_by_id(index.field_id);
    const Value* present = object.get(field->name);
    Value value;
    if (present && !present->is_null()) {
      value = *present;
    } else if (field->default_value) {
      value = *field->default_value;
    }
    std::set<std::vector<std::uint8_t>> keys;
    auto add = [&](const Value& v) {
      std::vector<std::uint8_t> k;
      (void)key::encode_value(v, k);
      if (!index.unique || v.is_null()) k.insert(k.end(), pk.begin(), pk.end());
      keys.insert(std::move(k));
    };
    if (value.kind() == ValueKind::List) {
      for (const Value& item : value.as_list()) add(item);
    } else {
      add(value);
    }
    const names::TreeName tree = names::index_tree_name(index.id);
    for (const auto& k : keys) {
      const std::vector<std::uint8_t> empty;
      DZ_CHECK(txn.put(tree.bytes(), k, index.unique ? pk : empty));
    }
  }
  return ok();
}

MemoryDatabase open_memory_database(const Schema& schema, std::size_t cache_size) {
  OpenOptions options;
  options.cache_size = cache_size;
  auto storage =
      std::make_unique<FaultStorage>("/mem/query.db", *Database::new_first_page(options));
  auto instance = Database::open_existing(std::move(storage), options);
  EXPECT_TRUE(instance) << instance.error().to_string();
  MemoryDatabase db;
  db.instance = *instance;
  db.schema = ResolvedSchema::make(schema, schema_codec::encode_schema(schema));
  auto w = WriteTxn::begin(db.instance, db.schema);
  EXPECT_TRUE(w);
  EXPECT_TRUE(
      (*w)->put(bytes_of(names::kMetaTree), bytes_of(names::kSchemaKey), db.schema->stored_bytes));
  EXPECT_TRUE((*w)->commit());
  return db;
}

BoundQuery bound(std::string_view text, std::span<const Value> params, bool find_one) {
  auto parsed = parse::parse_query(text);
  EXPECT_TRUE(parsed) << text << ": " << parsed.error().to_string();
  auto compiled = CompiledQuery::from(parsed ? std::move(*parsed) : Query{});
  auto b = query::bind(compiled, params, find_one);
  EXPECT_TRUE(b) << text << ": " << b.error().to_string();
  return std::move(*b);
}

}  // namespace deziro::test
