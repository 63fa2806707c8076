// Find and count: filtered full scans at several selectivities (first and
// second run, so the slot-hint cache is seen), the point lookup of find
// against get, index ranges read forward and backward, top-k against a
// full sort, and counts with no filter and through an index. Each result is
// checked before it is timed.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "database.hpp"
#include "format/object/codec.hpp"
#include "format/object/key.hpp"
#include "format/object/names.hpp"
#include "format/object/schema_codec.hpp"
#include "query/find.hpp"
#include "query/parse.hpp"
#include "schema/resolved_schema.hpp"
#include "schema/tree_keys.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace {

constexpr std::int64_t kObjects = 100000;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::exit(1);
  }
}

template <typename T>
T must(Result<T> r, const char* what) {
  if (!r) {
    std::fprintf(stderr, "%s: %s\n", what, r.error().to_string().c_str());
    std::exit(1);
  }
  return std::move(*r);
}

void report(const char* workload, std::size_t ops, double ns, const char* extra = "") {
  std::printf(
      "{\"bench\": \"find\", \"workload\": \"%s\", \"engine\": \"deziro\", \"ops\": %zu, "
      "\"ns_per_op\": %.1f, \"ops_per_sec\": %.0f%s}\n",
      workload, ops, ns / static_cast<double>(ops), static_cast<double>(ops) / (ns / 1e9), extra);
  std::fflush(stdout);
}

double time_ns(const std::function<void()>& op) {
  const auto start = std::chrono::steady_clock::now();
  op();
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
}

Schema bench_schema() {
  Collection c;
  c.id = 1;
  c.name = "rows";
  c.fields = {Field{1, "id", FieldKind::integer(), false, std::nullopt},
              Field{2, "sel", FieldKind::integer(), false, std::nullopt},
              Field{3, "x", FieldKind::integer(), false, std::nullopt},
              Field{4, "y", FieldKind::integer(), false, std::nullopt},
              Field{5, "name", FieldKind::str(), false, std::nullopt}};
  c.next_field_id = 6;
  c.primary_key_field_id = 1;
  c.indexes = {Index{1, 3, false}};
  Schema s;
  s.version = 1;
  s.collections.push_back(std::move(c));
  s.next_collection_id = 2;
  s.next_index_id = 2;
  return s;
}

BoundQuery query_of(const std::string& text) {
  auto parsed = parse::parse_query(text);
  check(parsed.has_value(), "query parses");
  auto compiled = CompiledQuery::from(std::move(*parsed));
  return must(query::bind(compiled, {}, false), "bind");
}

struct Bench {
  std::string path;
  std::shared_ptr<Instance> instance;
  std::shared_ptr<const ResolvedSchema> schema;

  const Collection& rows() const { return schema->schema.collections[0]; }

  void load() {
    OpenOptions options;
    auto opened = must(Database::open(path, options), "open");
    instance = opened.instance;
    Schema s = bench_schema();
    schema = ResolvedSchema::make(s, schema_codec::encode_schema(s));
    auto w = must(WriteTxn::begin(instance, schema), "begin");
    check(w->put(bytes_of(names::kMetaTree), bytes_of(names::kSchemaKey), schema->stored_bytes)
              .has_value(),
          "schema stored");
    std::mt19937_64 rng(1);
    const auto records = names::record_tree_name(1);
    const auto index = names::index_tree_name(1);
    std::vector<std::uint8_t> record;
    std::vector<std::uint8_t> pk;
    std::vector<std::uint8_t> entry;
    for (std::int64_t id = 0; id < kObjects; ++id) {
      const std::int64_t x = id % 1000;
      ObjectMap object = ObjectMap::from_entries(
          {{"id", Value::integer(id)},
           {"sel", Value::integer(id % 100)},
           {"x", Value::integer(x)},
           {"y", Value::integer(static_cast<std::int64_t>(rng() % 1000000))},
           {"name", Value::string("row number " + std::to_string(id))}});
      record.clear();
      check(codec::encode_object_fields(object, rows().fields, s, record).has_value(), "encode");
      pk.clear();
      key::encode_int(id, pk);
      check(w->put(records.bytes(), pk, record).has_value(), "put record");
      entry.clear();
      key::encode_int(x, entry);
      entry.insert(entry.end(), pk.begin(), pk.end());
      check(w->put(index.bytes(), entry, {}).has_value(), "put entry");
    }
    check(w->commit().has_value(), "commit");
  }

  std::size_t find_count(ReadTxn& r, const BoundQuery& q) {
    std::size_t found = 0;
    auto sink = [&](ByteView) -> Status {
      ++found;
      return ok();
    };
    check(objects::find_with(r, schema->schema.collections, rows(), q, sink).has_value(), "find");
    return found;
  }

  std::vector<std::int64_t> find_ids(ReadTxn& r, const BoundQuery& q) {
    auto found = must(objects::find_read(r, schema::CollectionRef{schema, 0}, q), "find_read");
    std::vector<std::int64_t> ids;
    for (const ObjectMap& o : found) ids.push_back(o.get("id")->as_int());
    return ids;
  }
};

void run() {
  Bench b;
  char dir[] = "/tmp/deziro-bench-find-XXXXXX";
  check(mkdtemp(dir) != nullptr, "temp dir");
  b.path = std::string(dir) + "/find.db";
  b.load();
  auto r = must(ReadTxn::begin(b.instance, b.schema), "read");

  // Filtered full scans: records read per second.
  for (int percent : {1, 50, 100}) {
    const BoundQuery q = query_of("sel < " + std::to_string(percent));
    for (const char* run : {"first", "second"}) {
      std::size_t found = 0;
      const double ns = time_ns([&] { found = b.find_count(r, q); });
      check(found == static_cast<std::size_t>(kObjects * percent / 100), "scan selectivity");
      const std::string workload =
          "full scan sel<" + std::to_string(percent) + " (" + run + " run), per record";
      report(workload.c_str(), kObjects, ns);
    }
  }
  {
    const BoundQuery q = query_of("name ENDSWITH \"7\"");
    std::size_t found = 0;
    const double ns = time_ns([&] { found = b.find_count(r, q); });
    check(found == static_cast<std::size_t>(kObjects / 10), "endswith count");
    report("full scan name ENDSWITH, per record", kObjects, ns);
  }

  // Point lookups: find through the fast path against get.
  {
    constexpr std::size_t kLookups = 20000;
    std::vector<BoundQuery> queries;
    for (std::size_t i = 0; i < kLookups; ++i)
      queries.push_back(query_of("id == " + std::to_string((i * 7919) % kObjects)));
    check(b.find_count(r, queries[5]) == 1, "find by key finds one");
    const double find_ns = time_ns([&] {
      for (const BoundQuery& q : queries) check(b.find_count(r, q) == 1, "found");
    });
    report("find id == k (fast path)", kLookups, find_ns);
    const auto tree = names::record_tree_name(1);
    const double get_ns = time_ns([&] {
      for (std::size_t i = 0; i < kLookups; ++i) {
        auto got = objects::get_by_key(
            b.rows(), tree.bytes(),
            Value::integer(static_cast<std::int64_t>((i * 7919) % kObjects)), r);
        check(got && got->has_value(), "got");
      }
    });
    report("get by key (decoded)", kLookups, get_ns);
  }

  // Index ranges, ordered by the index, forward and backward.
  for (const char* dir : {"", " DESC"}) {
    const BoundQuery q = query_of(std::string("x >= 100 AND x < 200 SORT BY x") + dir);
    const auto ids = b.find_ids(r, q);
    check(ids.size() == static_cast<std::size_t>(kObjects / 10), "index range size");
    std::size_t found = 0;
    const double ns = time_ns([&] { found = b.find_count(r, q); });
    check(found == ids.size(), "index range again");
    const std::string workload =
        std::string("index range 10% ") + (*dir ? "backward" : "forward") + ", per row";
    report(workload.c_str(), found, ns);
  }

  // Top-k against a full sort.
  {
    const BoundQuery full = query_of("SORT BY y");
    const BoundQuery top = query_of("SORT BY y LIMIT 10");
    const auto all = b.find_ids(r, full);
    const auto first = b.find_ids(r, top);
    check(all.size() == static_cast<std::size_t>(kObjects), "full sort size");
    check(std::vector<std::int64_t>(all.begin(), all.begin() + 10) == first, "top-k is a slice");
    report("SORT BY y LIMIT 10 over 1e5", 1, time_ns([&] { b.find_count(r, top); }));
    report("SORT BY y (full sort) over 1e5", 1, time_ns([&] { b.find_count(r, full); }));
  }

  // Counts.
  {
    const BoundQuery none = query_of("");
    const BoundQuery via_index = query_of("x < 500");
    const BoundQuery residual = query_of("sel < 50");
    auto count = [&](const BoundQuery& q) {
      return must(objects::count_read(r, schema::CollectionRef{b.schema, 0}, q), "count");
    };
    check(count(none) == static_cast<std::uint64_t>(kObjects), "count all");
    check(count(via_index) == static_cast<std::uint64_t>(kObjects / 2), "count index");
    check(count(residual) == static_cast<std::uint64_t>(kObjects / 2), "count residual");
    constexpr std::size_t kCounts = 10000;
    report("count, no filter", kCounts, time_ns([&] {
             for (std::size_t i = 0; i < kCounts; ++i) count(none);
           }));
    report("count x < 500 via index (5e4 entries)", 1, time_ns([&] { count(via_index); }));
    report("count sel < 50 with records tested (1e5)", 1, time_ns([&] { count(residual); }));
  }
  std::remove(b.path.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace deziro

int main() {
  deziro::run();
  return 0;
}
