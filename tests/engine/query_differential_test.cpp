// Random objects under random filters: every query must give the same rows
// in the same order, and the same counts, whether the collection has
// indexes or not, and the same as a plain evaluation of the filter over
// the objects in memory. The paths go through links (some dangling), lists
// of links and embedded objects as well as top-level fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "format/object/codec.hpp"
#include "format/object/key.hpp"
#include "query/find.hpp"
#include "query/parse.hpp"
#include "schema/objects.hpp"
#include "support/object_store.hpp"
#include "txn/read_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

Field field(std::uint64_t id, std::string name, FieldKind kind, bool optional = false,
            std::optional<Value> default_value = std::nullopt) {
  return Field{id, std::move(name), std::move(kind), optional, std::move(default_value)};
}

constexpr std::uint64_t kShopsId = 2;

Collection shops_collection() {
  Collection c;
  c.id = kShopsId;
  c.name = "shops";
  c.fields.push_back(field(1, "name", FieldKind::str()));
  c.fields.push_back(field(2, "city", FieldKind::str(), true));
  c.fields.push_back(field(3, "rank", FieldKind::integer()));
  c.next_field_id = 4;
  c.primary_key_field_id = 1;
  return c;
}

Schema items_schema(bool with_indexes) {
  Collection c;
  c.id = 1;
  c.name = "items";
  c.fields.push_back(field(1, "id", FieldKind::integer()));
  c.fields.push_back(field(2, "a", FieldKind::integer()));
  c.fields.push_back(field(3, "c", FieldKind::str(), true, Value::string("m")));
  c.fields.push_back(field(4, "s", FieldKind::str(), true));
  c.fields.push_back(field(5, "tags", FieldKind::list(FieldKind::integer()), true));
  c.fields.push_back(field(6, "f", FieldKind::floating()));
  c.fields.push_back(field(7, "n", FieldKind::integer(), true));
  c.fields.push_back(field(8, "u", FieldKind::integer()));
  c.fields.push_back(field(9, "shop", FieldKind::link(kShopsId), true));
  c.fields.push_back(field(10, "shops", FieldKind::list(FieldKind::link(kShopsId)), true));
  std::vector<Field> address;
  address.push_back(field(1, "city", FieldKind::str(), true));
  address.push_back(field(2, "zip", FieldKind::integer()));
  c.fields.push_back(field(11, "addr", FieldKind::object(std::move(address), 3), true));
  std::vector<Field> spot;
  spot.push_back(field(1, "x", FieldKind::integer()));
  spot.push_back(field(2, "shop", FieldKind::link(kShopsId), true));
  c.fields.push_back(
      field(12, "spots", FieldKind::list(FieldKind::object(std::move(spot), 3)), true));
  c.next_field_id = 13;
  c.primary_key_field_id = 1;
  if (with_indexes) {
    c.indexes = {Index{1, 2, false}, Index{2, 3, false}, Index{3, 4, false},
                 Index{4, 5, false}, Index{5, 7, false}, Index{6, 8, true},
                 Index{7, 6, false}, Index{8, 9, false}, Index{9, 10, false}};
  }
  Schema s;
  s.version = 1;
  s.collections.push_back(std::move(c));
  s.collections.push_back(shops_collection());
  s.next_collection_id = 3;
  s.next_index_id = 10;
  return s;
}

const char* const kWords[] = {"apple", "apricot", "banana", "b", "", "cherry"};
const char* const kCodes[] = {"k", "m", "z"};
const char* const kCities[] = {"kiel", "mainz", "zug"};

// Every word but "cherry" names a shop, so links to "cherry" dangle.
std::vector<ObjectMap> make_shops(std::mt19937_64& rng) {
  std::vector<ObjectMap> shops;
  for (int w = 0; w < 5; ++w) {
    std::vector<ObjectEntry> e;
    e.emplace_back("name", Value::string(kWords[w]));
    if (rng() % 4 != 0) e.emplace_back("city", Value::string(kCities[rng() % 3]));
    e.emplace_back("rank", Value::integer(static_cast<std::int64_t>(rng() % 4)));
    shops.push_back(ObjectMap::from_entries(std::move(e)));
  }
  return shops;
}

ObjectMap random_object(std::mt19937_64& rng, std::int64_t id, std::int64_t u) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  std::vector<ObjectEntry> e;
  e.emplace_back("id", Value::integer(id));
  e.emplace_back("a", Value::integer(pick(20) - 5));
  if (pick(3) != 0) e.emplace_back("c", Value::string(kCodes[pick(3)]));
  if (pick(4) != 0) e.emplace_back("s", Value::string(kWords[pick(6)]));
  if (pick(5) != 0) {
    ValueList tags;
    for (int i = pick(4); i > 0; --i) tags.push_back(Value::integer(pick(10)));
    e.emplace_back("tags", Value::list(std::move(tags)));
  }
  e.emplace_back("f", Value::floating(pick(3) == 0 ? pick(7) - 3 : (pick(1000) - 500) / 100.0));
  if (pick(2) == 0) e.emplace_back("n", Value::integer(pick(5)));
  e.emplace_back("u", Value::integer(u));
  if (pick(4) != 0) e.emplace_back("shop", Value::string(kWords[pick(6)]));
  if (pick(3) != 0) {
    ValueList shops;
    for (int i = pick(4); i > 0; --i) shops.push_back(Value::string(kWords[pick(6)]));
    e.emplace_back("shops", Value::list(std::move(shops)));
  }
  if (pick(3) != 0) {
    std::vector<ObjectEntry> address;
    if (pick(3) != 0) address.emplace_back("city", Value::string(kCities[pick(3)]));
    address.emplace_back("zip", Value::integer(pick(6)));
    e.emplace_back("addr", Value::object(ObjectMap::from_entries(std::move(address))));
  }
  if (pick(3) != 0) {
    ValueList spots;
    for (int i = pick(3); i > 0; --i) {
      std::vector<ObjectEntry> spot;
      spot.emplace_back("x", Value::integer(pick(6)));
      if (pick(2) != 0) spot.emplace_back("shop", Value::string(kWords[pick(6)]));
      spots.push_back(Value::object(ObjectMap::from_entries(std::move(spot))));
    }
    e.emplace_back("spots", Value::list(std::move(spots)));
  }
  return ObjectMap::from_entries(std::move(e));
}

// ------------------------------------------------ the plain evaluation

// The objects in memory: the items, and the shops by key.
struct World {
  const Collection& items;
  const Collection& shops;
  std::map<std::string, ObjectMap> shop_by_key;
};

Value field_value(std::span<const Field> fields, const ObjectMap* object, const std::string& name) {
  const Field* f = schema::find_by_name(fields, name);
  const Value* v = object ? object->get(name) : nullptr;
  if (v && !v->is_null()) return *v;
  if (object && f->default_value) return *f->default_value;
  return Value::null();
}

// Every value that `path` reaches from a value of `kind`: each element of a
// list, the field of an embedded object, the linked shop (Null when it is
// missing), and a link's key at the end of the path.
void reach(const World& w, const FieldKind& kind, const Value& value,
           std::span<const std::string> path, std::vector<Value>& out) {
  if (kind.code() == KindCode::List) {
    if (value.kind() != ValueKind::List) return reach(w, kind.element(), Value::null(), path, out);
    for (const Value& item : value.as_list()) reach(w, kind.element(), item, path, out);
    return;
  }
  if (path.empty()) {
    out.push_back(value);
    return;
  }
  std::span<const Field> fields;
  const ObjectMap* object = nullptr;
  if (kind.code() == KindCode::Object) {
    fields = kind.fields();
    if (value.kind() == ValueKind::Object) object = &value.as_object();
  } else {
    fields = w.shops.fields;
    if (value.kind() == ValueKind::String) {
      const auto it = w.shop_by_key.find(value.as_string());
      if (it != w.shop_by_key.end()) object = &it->second;
    }
  }
  const Field* f = schema::find_by_name(fields, path[0]);
  reach(w, f->kind, field_value(fields, object, path[0]), path.subspan(1), out);
}

std::vector<Value> reached(const World& w, const ObjectMap& object, const Path& path) {
  const std::span<const Field> top(w.items.fields);
  std::vector<Value> out;
  reach(w, schema::find_by_name(top, path[0])->kind, field_value(top, &object, path[0]),
        std::span<const std::string>(path).subspan(1), out);
  return out;
}

// The kind of the last name of a path.
const FieldKind& last_kind(const World& w, const Path& path) {
  std::span<const Field> fields(w.items.fields);
  const FieldKind* kind = nullptr;
  for (const std::string& name : path) {
    kind = &schema::find_by_name(fields, name)->kind;
    const FieldKind* inner = kind;
    while (inner->code() == KindCode::List) inner = &inner->element();
    if (inner->code() == KindCode::Object) fields = inner->fields();
    if (inner->code() == KindCode::Link) fields = w.shops.fields;
  }
  return *kind;
}

bool naive_test(const World& w, const TestExpr& t, const ObjectMap& object) {
  const FieldKind& kind = last_kind(w, t.path);
  const bool is_list = kind.code() == KindCode::List;
  const bool is_float = !is_list && kind.code() == KindCode::Float;
  auto operand = [&](std::size_t i) {
    Value v = t.operands[i];
    if (is_float && v.kind() == ValueKind::Int)
      return Value::floating(static_cast<double>(v.as_int()));
    return v;
  };
  for (const Value& v : reached(w, object, t.path)) {
    if (t.op == TestOp::IsNull) {
      if (v.is_null()) return true;
      continue;
    }
    if (v.is_null()) continue;
    bool hit = false;
    switch (t.op) {
      case TestOp::Eq:
      case TestOp::Contains:
        if (t.op == TestOp::Contains && !is_list)
          hit = v.as_string().find(t.operands[0].as_string()) != std::string::npos;
        else
          hit = Value::cmp(v, operand(0)) == 0;
        break;
      case TestOp::Ne:
        hit = Value::cmp(v, operand(0)) != 0;
        break;
      case TestOp::Lt:
        hit = Value::cmp(v, operand(0)) < 0;
        break;
      case TestOp::Le:
        hit = Value::cmp(v, operand(0)) <= 0;
        break;
      case TestOp::Gt:
        hit = Value::cmp(v, operand(0)) > 0;
        break;
      case TestOp::Ge:
        hit = Value::cmp(v, operand(0)) >= 0;
        break;
      case TestOp::Between:
        hit = Value::cmp(v, operand(0)) >= 0 && Value::cmp(v, operand(1)) <= 0;
        break;
      case TestOp::In:
        for (std::size_t i = 0; i < t.operands.size(); ++i)
          hit = hit || Value::cmp(v, operand(i)) == 0;
        break;
      case TestOp::StartsWith:
        hit = v.as_string().starts_with(t.operands[0].as_string());
        break;
      case TestOp::EndsWith:
        hit = v.as_string().ends_with(t.operands[0].as_string());
        break;
      default:
        break;
    }
    if (hit) return true;
  }
  return false;
}

bool naive_eval(const World& w, const Expr& e, const ObjectMap& object) {
  switch (e.kind()) {
    case Expr::Kind::And:
      for (const Expr& child : *e.logical_children())
        if (!naive_eval(w, child, object)) return false;
      return true;
    case Expr::Kind::Or:
      for (const Expr& child : *e.logical_children())
        if (naive_eval(w, child, object)) return true;
      return false;
    case Expr::Kind::Not:
      return !naive_eval(w, *std::get<NotExpr>(e.node).child, object);
    case Expr::Kind::Test:
      return naive_test(w, std::get<TestExpr>(e.node), object);
    default:
      ADD_FAILURE() << "unexpected parameter";
      return false;
  }
}

// A sort key's value: its path reaches one value (sort paths go through no
// list).
Value sort_value(const World& w, const ObjectMap& object, const Path& path) {
  return reached(w, object, path).front();
}

std::vector<std::int64_t> naive_find(const World& w, const Query& q,
                                     const std::vector<ObjectMap>& objects) {
  std::vector<const ObjectMap*> rows;
  for (const ObjectMap& o : objects)
    if (!q.filter || naive_eval(w, *q.filter, o)) rows.push_back(&o);
  std::stable_sort(rows.begin(), rows.end(), [&](const ObjectMap* x, const ObjectMap* y) {
    for (const SortKey& k : q.sort_keys) {
      const auto order = Value::cmp(sort_value(w, *x, k.path), sort_value(w, *y, k.path));
      if (order != 0) return k.descending ? order > 0 : order < 0;
    }
    return x->get("id")->as_int() < y->get("id")->as_int();
  });
  std::vector<std::int64_t> ids;
  std::uint64_t skipped = 0;
  for (const ObjectMap* o : rows) {
    if (skipped < q.offset) {
      ++skipped;
      continue;
    }
    if (q.limit && ids.size() >= *q.limit) break;
    ids.push_back(o->get("id")->as_int());
  }
  return ids;
}

// ------------------------------------------------ random queries

class QueryMaker {
 public:
  explicit QueryMaker(std::uint64_t seed) : rng_(seed) {}

  std::string query() {
    std::string text;
    if (pick(8) != 0) text = expr(1);
    if (pick(3) == 0) {
      const char* keys[] = {"a", "s",    "c",        "n",         "f",         "id",
                            "u", "shop", "addr.zip", "shop.rank", "addr.city", "shop.city"};
      text += " SORT BY ";
      text += keys[pick(12)];
      if (pick(2)) text += " DESC";
      if (pick(3) == 0) {
        text += ", ";
        text += keys[pick(12)];
        if (pick(2)) text += " DESC";
      }
    }
    if (pick(3) == 0) text += " LIMIT " + std::to_string(pick(12));
    if (pick(4) == 0) text += " OFFSET " + std::to_string(pick(6));
    return text;
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
  std::string num(int lo, int hi) { return std::to_string(lo + pick(hi - lo + 1)); }
  std::string word() { return std::string("\"") + kWords[pick(6)] + "\""; }
  std::string prefix() {
    const char* p[] = {"\"a\"", "\"ap\"", "\"b\"", "\"\"", "\"ch\"", "\"x\""};
    return p[pick(6)];
  }

  // A path to strings: a field, a link, a list of links, or a str field
  // reached through a link or an embedded object.
  std::string string_path() {
    const char* paths[] = {"s",          "shop",      "shops",     "shop.city",
                           "shops.city", "addr.city", "spots.shop"};
    return pick(3) == 0 ? "s" : paths[pick(7)];
  }

  // A path to ints through links, lists of links and embedded objects.
  std::string int_path() {
    const char* paths[] = {"shop.rank", "shops.rank", "addr.zip", "spots.x", "spots.shop.rank"};
    return paths[pick(5)];
  }

  std::string test() {
    switch (pick(9)) {
      case 0: {
        const char* ops[] = {"==", "!=", "<", "<=", ">", ">="};
        return std::string("a ") + ops[pick(6)] + " " + num(-6, 15);
      }
      case 1:
        return pick(2) ? "a BETWEEN " + num(-6, 10) + " AND " + num(-2, 15)
                       : "a IN [" + num(-5, 14) + ", " + num(-5, 14) + ", " + num(-5, 14) + "]";
      case 2: {
        const std::string path = string_path();
        switch (pick(6)) {
          case 0:
            return path + " == " + word();
          case 1:
            return path + " STARTSWITH " + prefix();
          case 2:
            return path + " CONTAINS " + prefix();
          case 3:
            return path + (pick(2) ? " ENDSWITH \"e\"" : " ENDSWITH \"ot\"");
          case 4:
            return path + (pick(2) ? " IS NULL" : " IS NOT NULL");
          default:
            return path + (pick(2) ? " < " : " >= ") + word();
        }
      }
      case 8: {
        const std::string path = int_path();
        switch (pick(4)) {
          case 0:
            return path + (pick(2) ? " == " : " >= ") + num(0, 5);
          case 1:
            return path + " BETWEEN " + num(0, 3) + " AND " + num(1, 5);
          case 2:
            return path + " IN [" + num(0, 5) + ", " + num(0, 5) + "]";
          default:
            return path + (pick(2) ? " IS NULL" : " IS NOT NULL");
        }
      }
      case 3: {
        switch (pick(6)) {
          case 5:
            // Two ranges on a list field, each met by any element.
            return "tags > " + num(0, 9) + " AND tags < " + num(0, 9);
          case 0:
            return "tags CONTAINS " + num(0, 10);
          case 1:
            return "tags > " + num(0, 9);
          case 2:
            return "tags < " + num(0, 9);
          case 3:
            return "tags BETWEEN " + num(0, 9) + " AND " + num(0, 9);
          default:
            return "tags IN [" + num(0, 9) + ", " + num(0, 9) + "]";
        }
      }
      case 4:
        return pick(3) == 0 ? "c IS NULL" : (pick(2) ? "c == \"m\"" : "c IN [\"k\", \"z\"]");
      case 5:
        return pick(3) == 0 ? "n IS NULL" : (pick(2) ? "n == " + num(0, 4) : "n >= " + num(0, 4));
      case 6:
        return pick(2) ? "f < " + num(-3, 3) : "f == " + num(-3, 3);
      default: {
        const char* ops[] = {"==", "<", ">=", "BETWEEN"};
        const std::string op = ops[pick(4)];
        const std::string field = pick(2) ? "id" : "u";
        if (op == "BETWEEN") return field + " BETWEEN " + num(0, 60) + " AND " + num(20, 130);
        return field + " " + op + " " + num(0, 130);
      }
    }
  }

  std::string expr(int depth) {
    if (depth >= 3 || pick(2) == 0) return test();
    switch (pick(3)) {
      case 0:
        return "(" + expr(depth + 1) + " AND " + expr(depth + 1) + ")";
      case 1:
        return "(" + expr(depth + 1) + " OR " + expr(depth + 1) + ")";
      default:
        return "NOT " + expr(depth + 1);
    }
  }

  std::mt19937_64 rng_;
};

struct Store {
  test::MemoryDatabase db;
  Store(bool with_indexes, const std::vector<ObjectMap>& objects,
        const std::vector<ObjectMap>& shops)
      : db(test::open_memory_database(items_schema(with_indexes))) {
    auto w = WriteTxn::begin(db.instance, db.schema);
    EXPECT_TRUE(w);
    auto write_all = [&](std::size_t collection, const std::vector<ObjectMap>& all) {
      const schema::CollectionRef ref{db.schema, collection};
      for (const ObjectMap& o : all) {
        auto key = objects::write_object_map(**w, ref, o, WriteMode::Insert);
        EXPECT_TRUE(key) << key.error().to_string();
      }
    };
    write_all(0, objects);
    write_all(1, shops);
    EXPECT_TRUE((*w)->commit());
  }
};

std::vector<std::int64_t> ids_of(const std::vector<ObjectMap>& found) {
  std::vector<std::int64_t> ids;
  for (const ObjectMap& o : found) ids.push_back(o.get("id")->as_int());
  return ids;
}

TEST(QueryDifferential, indexes_never_change_rows_order_or_counts) {
  std::mt19937_64 rng(20261206);
  std::vector<ObjectMap> objects;
  // Ids with gaps, unique values shuffled, enough records for several leaves.
  std::vector<std::int64_t> us(600);
  for (std::size_t i = 0; i < us.size(); ++i) us[i] = static_cast<std::int64_t>(i * 3 % 601);
  std::shuffle(us.begin(), us.end(), rng);
  for (std::size_t i = 0; i < us.size(); ++i)
    objects.push_back(random_object(rng, static_cast<std::int64_t>(i) * 2, us[i]));
  const std::vector<ObjectMap> shops = make_shops(rng);
  Store plain(false, objects, shops);
  Store indexed(true, objects, shops);
  World world{plain.db.schema->schema.collections[0], plain.db.schema->schema.collections[1], {}};
  for (const ObjectMap& shop : shops) world.shop_by_key[shop.get("name")->as_string()] = shop;

  auto r1 = ReadTxn::begin(plain.db.instance, plain.db.schema);
  auto r2 = ReadTxn::begin(indexed.db.instance, indexed.db.schema);
  ASSERT_TRUE(r1 && r2);
  schema::CollectionRef ref1{plain.db.schema, 0};
  schema::CollectionRef ref2{indexed.db.schema, 0};
  QueryMaker maker(77);
  for (int round = 0; round < 500; ++round) {
    const std::string text = maker.query();
    SCOPED_TRACE(text);
    auto parsed = parse::parse_query(text);
    ASSERT_TRUE(parsed) << parsed.error().to_string();
    const auto expected = naive_find(world, *parsed, objects);
    const BoundQuery q = test::bound(text);
    auto f1 = objects::find_read(*r1, ref1, q);
    auto f2 = objects::find_read(*r2, ref2, q);
    ASSERT_TRUE(f1) << f1.error().to_string();
    ASSERT_TRUE(f2) << f2.error().to_string();
    EXPECT_EQ(ids_of(*f1), expected);
    EXPECT_EQ(ids_of(*f2), expected);
    auto c1 = objects::count_read(*r1, ref1, q);
    auto c2 = objects::count_read(*r2, ref2, q);
    ASSERT_TRUE(c1 && c2);
    // A count pages like a find without sort keys over the same matches.
    Query unsorted = ir::clone_query(*parsed);
    unsorted.sort_keys.clear();
    EXPECT_EQ(*c1, naive_find(world, unsorted, objects).size());
    EXPECT_EQ(*c2, *c1);
    // find_one is find with the limit capped at 1.
    const BoundQuery one = test::bound(text, {}, true);
    auto o2 = objects::find_read(*r2, ref2, one);
    ASSERT_TRUE(o2);
    const std::vector<std::int64_t> first(
        expected.begin(), expected.begin() + std::min<std::size_t>(1, expected.size()));
    if (!(parsed->limit && *parsed->limit == 0)) {
      EXPECT_EQ(ids_of(*o2), first);
    }
    if (HasFailure()) break;
  }
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
