#include "support/query_world.hpp"

#include "database.hpp"
#include "format/object/names.hpp"
#include "format/object/schema_codec.hpp"
#include "schema/objects.hpp"
#include "support/fuzz_support.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro::fuzz {
namespace {

constexpr std::uint64_t kShops = 2;

Field field(std::uint64_t id, std::string name, FieldKind kind, bool optional = true,
            std::optional<Value> default_value = std::nullopt) {
  return Field{id, std::move(name), std::move(kind), optional, std::move(default_value)};
}

const char* const kNames[] = {"apple", "apricot", "b", "", "banana", "cherry", "s\xc3\xa9", "zz"};
constexpr int kNameCount = 8;
// Shops exist for the first six names only: links to the others dangle.
constexpr int kShopCount = 6;

Value name_value(int i) { return Value::string(kNames[i % kNameCount]); }

ObjectMap shop(int i) {
  std::vector<ObjectEntry> e;
  e.emplace_back("name", name_value(i));
  if (i % 3 != 0) e.emplace_back("city", Value::string(i % 2 ? "kiel" : "zug"));
  e.emplace_back("rank", Value::integer(5 - i));
  return ObjectMap::from_entries(std::move(e));
}

// Object i of items: values cycle with co-prime periods, so that every
// combination of present, absent and repeated values occurs.
ObjectMap item(int i) {
  std::vector<ObjectEntry> e;
  e.emplace_back("id", Value::integer(i * 3 - 20));
  e.emplace_back("a", Value::integer(i % 7 - 3));
  if (i % 5 != 0) e.emplace_back("s", name_value(i));
  if (i % 4 != 1) e.emplace_back("f", Value::floating(i % 6 == 0 ? -0.0 : (i % 11) / 4.0 - 1));
  if (i % 3 != 0) e.emplace_back("b", Value::bytes(std::string_view(kNames[i % 5])));
  e.emplace_back("flag", Value::boolean(i % 2 == 0));
  if (i % 6 != 5) {
    ValueList tags;
    for (int t = 0; t < i % 4; ++t) tags.push_back(Value::integer((i + t) % 5));
    e.emplace_back("tags", Value::list(std::move(tags)));
  }
  if (i % 4 != 0) e.emplace_back("shop", name_value(i * 5));
  if (i % 3 != 1) {
    ValueList shops;
    for (int t = 0; t < i % 3 + 1; ++t) shops.push_back(name_value(i + t * 3));
    e.emplace_back("shops", Value::list(std::move(shops)));
  }
  if (i % 5 != 2) {
    std::vector<ObjectEntry> address;
    if (i % 2) address.emplace_back("city", Value::string(i % 3 ? "kiel" : "mainz"));
    address.emplace_back("zip", Value::integer(i % 9));
    e.emplace_back("addr", Value::object(ObjectMap::from_entries(std::move(address))));
  }
  return ObjectMap::from_entries(std::move(e));
}

}  // namespace

Schema world_schema(bool with_indexes) {
  Collection items;
  items.id = 1;
  items.name = "items";
  items.fields.push_back(field(1, "id", FieldKind::integer(), false));
  items.fields.push_back(field(2, "a", FieldKind::integer(), false));
  items.fields.push_back(field(3, "s", FieldKind::str()));
  items.fields.push_back(field(4, "f", FieldKind::floating(), true, Value::floating(2.5)));
  items.fields.push_back(field(5, "b", FieldKind::bytes()));
  items.fields.push_back(field(6, "flag", FieldKind::boolean(), false));
  items.fields.push_back(field(7, "tags", FieldKind::list(FieldKind::integer())));
  items.fields.push_back(field(8, "shop", FieldKind::link(kShops)));
  items.fields.push_back(field(9, "shops", FieldKind::list(FieldKind::link(kShops))));
  std::vector<Field> address;
  address.push_back(field(1, "city", FieldKind::str()));
  address.push_back(field(2, "zip", FieldKind::integer(), false));
  items.fields.push_back(field(10, "addr", FieldKind::object(std::move(address), 3)));
  items.next_field_id = 11;
  items.primary_key_field_id = 1;
  Collection shops;
  shops.id = kShops;
  shops.name = "shops";
  shops.fields.push_back(field(1, "name", FieldKind::str(), false));
  shops.fields.push_back(field(2, "city", FieldKind::str()));
  shops.fields.push_back(field(3, "rank", FieldKind::integer(), false));
  shops.next_field_id = 4;
  shops.primary_key_field_id = 1;
  Schema s;
  s.version = 1;
  s.next_index_id = 1;
  if (with_indexes) {
    for (std::uint64_t f = 2; f <= 9; ++f)
      items.indexes.push_back(Index{s.next_index_id++, f, false});
    shops.indexes.push_back(Index{s.next_index_id++, 2, false});
    shops.indexes.push_back(Index{s.next_index_id++, 3, true});
  }
  s.collections.push_back(std::move(items));
  s.collections.push_back(std::move(shops));
  s.next_collection_id = 3;
  return s;
}

WorldDb make_world_db(bool with_indexes, int items) {
  OpenOptions options;
  auto first = Database::new_first_page(options);
  if (!first) failure("a new first page", first.error().to_string());
  auto storage = std::make_unique<FaultStorage>("/fuzz/world.db", std::move(*first));
  FaultStorage* raw = storage.get();
  auto instance = Database::open_existing(std::move(storage), options);
  if (!instance) failure("a new database opens", instance.error().to_string());
  Schema schema = world_schema(with_indexes);
  auto stored = schema_codec::encode_schema(schema);
  WorldDb db{*instance, ResolvedSchema::make(std::move(schema), stored), raw};
  auto w = WriteTxn::begin(db.instance, db.schema);
  if (!w) failure("a write begins", w.error().to_string());
  Status s =
      (*w)->put(bytes_of(names::kMetaTree), bytes_of(names::kSchemaKey), db.schema->stored_bytes);
  for (int i = 0; s && i < kShopCount; ++i)
    if (auto key = objects::write_object_map(**w, {db.schema, 1}, shop(i), WriteMode::Insert); !key)
      s = fail(key.error());
  for (int i = 0; s && i < items; ++i)
    if (auto key = objects::write_object_map(**w, {db.schema, 0}, item(i), WriteMode::Insert); !key)
      s = fail(key.error());
  if (s) s = (*w)->commit();
  if (!s) failure("the world is written", s.error().to_string());
  return db;
}

std::vector<std::string> world_queries() {
  return {
      "",
      "a == 1",
      "a != 2 AND s STARTSWITH \"ap\"",
      "s CONTAINS \"an\" OR s ENDSWITH \"e\" SORT BY s DESC LIMIT 5",
      "f BETWEEN -1 AND 1.5 SORT BY f, id DESC",
      "a == $0 OR s STARTSWITH $1 OR b IS NULL",
      "flag == true AND tags CONTAINS 2",
      "tags IN [1, 3] LIMIT 4 OFFSET 2",
      "NOT (tags > 2) SORT BY a",
      "shop STARTSWITH \"a\" SORT BY shop",
      "shop CONTAINS \"an\" OR shop ENDSWITH \"y\"",
      "shop.rank >= 2 AND shop.city == \"kiel\"",
      "shops CONTAINS \"b\" OR shops.rank == 0",
      "shops STARTSWITH \"ch\"",
      "addr.city IS NULL AND addr.zip < 4 SORT BY addr.zip DESC",
      "id BETWEEN 0 AND 40 SORT BY shop.rank, id LIMIT 7",
      "s IN [\"apple\", \"b\", \"zz\"] AND NOT shop IS NULL",
  };
}

}  // namespace deziro::fuzz
