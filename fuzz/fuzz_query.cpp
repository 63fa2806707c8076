// Query text and intermediate form. The input is query text (first byte
// even) or the intermediate form's bytes (odd); bit 1 picks the collection.
// A query that parses or reads writes an intermediate form that reads back
// to the same query and writes the same bytes. Every query then runs on two
// stores of the same objects, one with an index on every indexable field
// and one without: both give the same rows in the same order and the same
// counts, or the same refusal, which is INVALID_QUERY.
#include "format/object/codec.hpp"
#include "query/find.hpp"
#include "query/ir.hpp"
#include "query/params.hpp"
#include "query/parse.hpp"
#include "support/fuzz_support.hpp"
#include "support/query_world.hpp"
#include "txn/read_txn.hpp"

using namespace deziro;

namespace {

struct Store {
  fuzz::WorldDb db;
  ReadTxn txn;

  explicit Store(bool with_indexes) : db(fuzz::make_world_db(with_indexes)), txn(begin(db)) {}

  static ReadTxn begin(const fuzz::WorldDb& db) {
    auto r = ReadTxn::begin(db.instance, db.schema);
    if (!r) fuzz::failure("a snapshot begins", r.error().to_string());
    return std::move(*r);
  }
};

// The rows' primary keys, or the error.
Result<std::vector<Value>> find_keys(Store& store, std::size_t collection, const BoundQuery& q) {
  const schema::CollectionRef ref{store.db.schema, collection};
  auto found = DZ_TRY(objects::find_read(store.txn, ref, q));
  const std::string& key_name = ref.collection().primary_key_field()->name;
  std::vector<Value> keys;
  for (const ObjectMap& o : found) keys.push_back(*o.get(key_name));
  return keys;
}

std::string describe(const Result<std::vector<Value>>& r) {
  if (!r) return r.error().to_string();
  std::string out;
  for (const Value& v : *r) out += v.debug_string() + " ";
  return out;
}

void run_on_both(const Query& query, std::size_t collection, const std::string& shown) {
  static Store plain(false);
  static Store indexed(true);
  static const std::vector<Value> params{Value::integer(2), Value::string("ap"),
                                         Value::floating(0.5)};
  auto bound = query::bind(CompiledQuery::from(ir::clone_query(query)), params, false);
  if (!bound) {
    FUZZ_CHECK(bound.error().kind() == ErrorKind::InvalidQuery, bound.error().to_string());
    return;
  }
  auto a = find_keys(plain, collection, *bound);
  auto b = find_keys(indexed, collection, *bound);
  FUZZ_CHECK(a.has_value() == b.has_value(), shown + "\n" + describe(a) + "\n" + describe(b));
  if (!a) {
    FUZZ_CHECK(a.error().kind() == ErrorKind::InvalidQuery, shown + "\n" + describe(a));
    return;
  }
  FUZZ_CHECK(*a == *b, shown + "\nwithout indexes: " + describe(a) + "\nwith: " + describe(b));
  const schema::CollectionRef ref_a{plain.db.schema, collection};
  const schema::CollectionRef ref_b{indexed.db.schema, collection};
  auto count_a = objects::count_read(plain.txn, ref_a, *bound);
  auto count_b = objects::count_read(indexed.txn, ref_b, *bound);
  FUZZ_CHECK(count_a && count_b && *count_a == *count_b && *count_a == a->size(),
             shown + "\n" + describe(a));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const ByteView body = fuzz::input_bytes(data + 1, size - 1);
  const std::size_t collection = data[0] & 2 ? 1 : 0;
  const std::string_view name = collection ? "shops" : "items";
  const std::string text(body.begin(), body.end());
  auto query = data[0] & 1 ? ir::read_query(body) : parse::parse_query(text);
  if (!query) {
    FUZZ_CHECK(query.error().kind() == ErrorKind::InvalidQuery, query.error().to_string());
    return 0;
  }
  const std::string shown = data[0] & 1 ? fuzz::hex(body) : text;
  auto written = ir::write_query(name, *query);
  if (written) {
    auto back = ir::read_query(*written);
    FUZZ_CHECK(back.has_value(), shown + "\n" + back.error().to_string());
    FUZZ_CHECK(*back == *query, shown);
    auto again = ir::write_query(name, *back);
    FUZZ_CHECK(again && *again == *written, shown);
  } else {
    FUZZ_CHECK(written.error().kind() == ErrorKind::InvalidQuery, written.error().to_string());
  }
  run_on_both(*query, collection, shown);
  return 0;
}
