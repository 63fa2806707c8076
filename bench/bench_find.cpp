// Find and count: filtered full scans at several selectivities (first and
// second run, so the slot-hint cache is seen), the point lookup of find
// against get, index ranges read forward and backward, top-k against a
// full sort, and counts with no filter and through an index. Where SQLite
// is installed, the same objects go into a table with the same indexes and
// the equivalent SQL runs beside each workload ("engine": "sqlite"), after a
// check that both engines return the same rows. Each result is checked
// before it is timed; each timing is the best of a few runs.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#ifdef DEZIRO_BENCH_HAVE_SQLITE
#include <sqlite3.h>
#endif

#include "database.hpp"
#include "format/object/codec.hpp"
#include "format/object/key.hpp"
#include "format/object/names.hpp"
#include "format/object/schema_codec.hpp"
#include "query/find.hpp"
#include "query/parse.hpp"
#include "schema/resolved_schema.hpp"
#include "schema/tree_keys.hpp"
#include "scratch.hpp"
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

void report(const std::string& workload, std::size_t ops, double ns,
            const char* engine = "deziro") {
  std::printf(
      "{\"bench\": \"find\", \"workload\": \"%s\", \"engine\": \"%s\", \"ops\": %zu, "
      "\"ns_per_op\": %.1f, \"ops_per_sec\": %.0f}\n",
      workload.c_str(), engine, ops, ns / static_cast<double>(ops),
      static_cast<double>(ops) / (ns / 1e9));
  std::fflush(stdout);
}

// What the command line chose: how many runs a timing takes the best of,
// and which workloads and engine run (all when empty). A single workload
// repeated many times is what a profile of it wants.
struct Options {
  int runs = 3;
  std::string workload;
  std::string engine;
};
Options options;

bool wanted(const std::string& workload, const char* engine) {
  return workload.find(options.workload) != std::string::npos &&
         (options.engine.empty() || options.engine == engine);
}

// The best of a few runs (three unless chosen): the machine is shared, and
// the least disturbed run is the one to compare.
double time_ns(const std::function<void()>& op) {
  double best = 0;
  for (int run = 0; run < options.runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    op();
    const double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    if (run == 0 || ns < best) best = ns;
  }
  return best;
}

// Times `op` and reports it, when the workload and engine were chosen.
void measure(const std::string& workload, std::size_t ops, const std::function<void()>& op,
             const char* engine = "deziro") {
  if (wanted(workload, engine)) report(workload, ops, time_ns(op), engine);
}

// A single run, for the workloads whose first run is the point.
double time_once_ns(const std::function<void()>& op) {
  const auto start = std::chrono::steady_clock::now();
  op();
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
}

#ifdef DEZIRO_BENCH_HAVE_SQLITE
// The same rows in SQLite: one table with the same fields, a plain index
// on x and a unique one on name, filled in one transaction.
class Sql {
 public:
  static constexpr bool kPresent = true;
  explicit Sql(const std::string& path) {
    check_rc(sqlite3_open(path.c_str(), &db_), "open");
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA cache_size=-262144");
    exec(
        "CREATE TABLE rows(id INTEGER PRIMARY KEY, sel INTEGER NOT NULL, x INTEGER NOT NULL, "
        "y INTEGER NOT NULL, name TEXT NOT NULL)");
    exec("CREATE INDEX rows_x ON rows(x)");
    exec("CREATE UNIQUE INDEX rows_name ON rows(name)");
  }
  ~Sql() {
    for (auto& [text, stmt] : statements_) sqlite3_finalize(stmt);
    sqlite3_close(db_);
  }
  Sql(const Sql&) = delete;
  Sql& operator=(const Sql&) = delete;

  void exec(const char* sql) { check_rc(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), sql); }

  void insert(std::int64_t id, std::int64_t sel, std::int64_t x, std::int64_t y,
              const std::string& name) {
    sqlite3_stmt* s = statement("INSERT INTO rows VALUES(?,?,?,?,?)");
    sqlite3_bind_int64(s, 1, id);
    sqlite3_bind_int64(s, 2, sel);
    sqlite3_bind_int64(s, 3, x);
    sqlite3_bind_int64(s, 4, y);
    sqlite3_bind_text(s, 5, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    check_rc(sqlite3_step(s), "insert");
    sqlite3_reset(s);
  }

  // Runs a prepared statement (its parameters bound by `bind`) and hands
  // the first column of each row to `row`.
  void each(const std::string& sql, const std::function<void(sqlite3_stmt*)>& bind,
            const std::function<void(std::int64_t)>& row) {
    sqlite3_stmt* s = statement(sql);
    if (bind) bind(s);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) row(sqlite3_column_int64(s, 0));
    check_rc(rc, sql.c_str());
    sqlite3_reset(s);
  }

  std::vector<std::int64_t> ids(const std::string& sql) {
    std::vector<std::int64_t> out;
    each(sql, nullptr, [&](std::int64_t id) { out.push_back(id); });
    return out;
  }

  std::size_t count_rows(const std::string& sql) {
    std::size_t n = 0;
    each(sql, nullptr, [&](std::int64_t) { ++n; });
    return n;
  }

  std::int64_t scalar(const std::string& sql) {
    std::int64_t v = 0;
    each(sql, nullptr, [&](std::int64_t x) { v = x; });
    return v;
  }

 private:
  sqlite3_stmt* statement(const std::string& sql) {
    for (auto& [text, stmt] : statements_)
      if (text == sql) return stmt;
    sqlite3_stmt* s = nullptr;
    check_rc(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), sql.c_str());
    statements_.emplace_back(sql, s);
    return s;
  }

  void check_rc(int rc, const char* what) {
    if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return;
    std::fprintf(stderr, "sqlite %s: %s\n", what, sqlite3_errmsg(db_));
    std::exit(1);
  }

  sqlite3* db_ = nullptr;
  std::vector<std::pair<std::string, sqlite3_stmt*>> statements_;
};
#else
// Without SQLite the peer rows are left out.
struct sqlite3_stmt;
class Sql {
 public:
  static constexpr bool kPresent = false;
  explicit Sql(const std::string&) {}
  void exec(const char*) {}
  void insert(std::int64_t, std::int64_t, std::int64_t, std::int64_t, const std::string&) {}
  void each(const std::string&, const std::function<void(sqlite3_stmt*)>&,
            const std::function<void(std::int64_t)>&) {}
  std::vector<std::int64_t> ids(const std::string&) { return {}; }
  std::size_t count_rows(const std::string&) { return 0; }
  std::int64_t scalar(const std::string&) { return 0; }
};
#endif

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
  c.indexes = {Index{1, 3, false}, Index{2, 5, true}};
  Schema s;
  s.version = 1;
  s.collections.push_back(std::move(c));
  s.next_collection_id = 2;
  s.next_index_id = 3;
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

  void load(Sql& sql) {
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
    const auto unique = names::index_tree_name(2);
    sql.exec("BEGIN");
    std::vector<std::uint8_t> record;
    std::vector<std::uint8_t> pk;
    std::vector<std::uint8_t> entry;
    for (std::int64_t id = 0; id < kObjects; ++id) {
      const std::int64_t x = id % 1000;
      const auto y = static_cast<std::int64_t>(rng() % 1000000);
      const std::string name = "row number " + std::to_string(id);
      ObjectMap object = ObjectMap::from_entries({{"id", Value::integer(id)},
                                                  {"sel", Value::integer(id % 100)},
                                                  {"x", Value::integer(x)},
                                                  {"y", Value::integer(y)},
                                                  {"name", Value::string(name)}});
      sql.insert(id, id % 100, x, y, name);
      record.clear();
      check(codec::encode_object_fields(object, rows().fields, s, record).has_value(), "encode");
      pk.clear();
      key::encode_int(id, pk);
      check(w->put(records.bytes(), pk, record).has_value(), "put record");
      entry.clear();
      key::encode_int(x, entry);
      entry.insert(entry.end(), pk.begin(), pk.end());
      check(w->put(index.bytes(), entry, {}).has_value(), "put entry");
      entry.clear();
      key::write_escaped(key::kTagString, bytes_of(name), entry);
      check(w->put(unique.bytes(), entry, pk).has_value(), "put unique entry");
    }
    check(w->commit().has_value(), "commit");
    sql.exec("COMMIT");
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

// Checks that SQLite returns `expected` (as a set when `ordered` is false)
// for `sql`, then times it with the same workload name.
void peer(Sql& sql, const std::string& workload, std::size_t ops, const std::string& text,
          std::vector<std::int64_t> expected, bool ordered) {
  if (!Sql::kPresent || !wanted(workload, "sqlite")) return;
  std::vector<std::int64_t> got = sql.ids(text);
  if (!ordered) {
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
  }
  check(got == expected, ("sqlite returns the same rows: " + text).c_str());
  measure(
      workload, ops, [&] { check(sql.count_rows(text) == expected.size(), "sqlite again"); },
      "sqlite");
}

void run() {
  Bench b;
  const std::string dir = bench::scratch_folder("find");
  b.path = dir + "/find.db";
  const std::string sql_path = dir + "/peer.sqlite";
  {
    Sql sql(sql_path);
    b.load(sql);
    auto r = must(ReadTxn::begin(b.instance, b.schema), "read");

    // Filtered full scans: records read per second.
    for (int percent : {1, 50, 100}) {
      const std::string cond = "sel < " + std::to_string(percent);
      const BoundQuery q = query_of(cond);
      for (const char* run : {"first", "second"}) {
        const std::string workload =
            "full scan sel<" + std::to_string(percent) + " (" + run + " run), per record";
        if (!wanted(workload, "deziro")) continue;
        std::size_t found = 0;
        // The first run builds the slot hints; later runs (best of a few)
        // read through them.
        const double ns = *run == 'f' ? time_once_ns([&] { found = b.find_count(r, q); })
                                      : time_ns([&] { found = b.find_count(r, q); });
        check(found == static_cast<std::size_t>(kObjects * percent / 100), "scan selectivity");
        report(workload, kObjects, ns);
      }
      peer(sql, "full scan sel<" + std::to_string(percent) + " (second run), per record", kObjects,
           "SELECT id FROM rows WHERE " + cond, b.find_ids(r, q), false);
    }
    {
      const BoundQuery q = query_of("name ENDSWITH \"7\"");
      const std::string workload = "full scan name ENDSWITH, per record";
      measure(workload, kObjects, [&] {
        check(b.find_count(r, q) == static_cast<std::size_t>(kObjects / 10), "endswith count");
      });
      peer(sql, workload, kObjects, "SELECT id FROM rows WHERE name LIKE '%7'", b.find_ids(r, q),
           false);
    }

    // Point lookups: find through the fast path against get, by primary key
    // and by the unique index.
    {
      constexpr std::size_t kLookups = 20000;
      auto key_of = [](std::size_t i) { return static_cast<std::int64_t>((i * 7919) % kObjects); };
      auto name_of = [&](std::size_t i) { return "row number " + std::to_string(key_of(i)); };
      std::vector<BoundQuery> by_key;
      std::vector<BoundQuery> by_name;
      for (std::size_t i = 0; i < kLookups; ++i) {
        by_key.push_back(query_of("id == " + std::to_string(key_of(i))));
        by_name.push_back(query_of("name == \"" + name_of(i) + "\""));
      }
      check(b.find_ids(r, by_key[5]) == std::vector<std::int64_t>{key_of(5)}, "find by key");
      check(b.find_ids(r, by_name[5]) == std::vector<std::int64_t>{key_of(5)}, "find by name");
      auto lookups = [&](const std::vector<BoundQuery>& queries) {
        return [&] {
          for (const BoundQuery& q : queries) check(b.find_count(r, q) == 1, "found");
        };
      };
      measure("find id == k (fast path)", kLookups, lookups(by_key));
      measure("find name == s (unique index)", kLookups, lookups(by_name));
      const auto tree = names::record_tree_name(1);
      measure("get by key (decoded)", kLookups, [&] {
        for (std::size_t i = 0; i < kLookups; ++i) {
          auto got = objects::get_by_key(b.rows(), tree.bytes(), Value::integer(key_of(i)), r);
          check(got && got->has_value(), "got");
        }
      });
      if (Sql::kPresent) {
#ifdef DEZIRO_BENCH_HAVE_SQLITE
        auto sql_lookups = [&](const std::string& text, auto bind) {
          return [&, text, bind] {
            for (std::size_t i = 0; i < kLookups; ++i) {
              std::size_t n = 0;
              sql.each(
                  text, [&](sqlite3_stmt* s) { bind(s, i); },
                  [&](std::int64_t id) { n += id == key_of(i); });
              check(n == 1, "sqlite found");
            }
          };
        };
        auto bind_key = [&](sqlite3_stmt* s, std::size_t i) {
          sqlite3_bind_int64(s, 1, key_of(i));
        };
        std::string name;
        auto bind_name = [&](sqlite3_stmt* s, std::size_t i) {
          name = name_of(i);
          sqlite3_bind_text(s, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
        };
        measure("find id == k (fast path)", kLookups,
                sql_lookups("SELECT id, sel, x, y, name FROM rows WHERE id = ?", bind_key),
                "sqlite");
        measure("find name == s (unique index)", kLookups,
                sql_lookups("SELECT id, sel, x, y, name FROM rows WHERE name = ?", bind_name),
                "sqlite");
#endif
      }
    }

    // Index ranges, ordered by the index, forward and backward; equal
    // values come in primary-key order either way.
    for (const char* dir : {"", " DESC"}) {
      const BoundQuery q = query_of(std::string("x >= 100 AND x < 200 SORT BY x") + dir);
      const auto ids = b.find_ids(r, q);
      check(ids.size() == static_cast<std::size_t>(kObjects / 10), "index range size");
      const std::string workload =
          std::string("index range 10% ") + (*dir ? "backward" : "forward") + ", per row";
      measure(workload, ids.size(),
              [&] { check(b.find_count(r, q) == ids.size(), "index range again"); });
      peer(sql, workload, ids.size(),
           std::string("SELECT id FROM rows WHERE x >= 100 AND x < 200 ORDER BY x") + dir + ", id",
           ids, true);
    }

    // Top-k against a full sort, and a page of an indexed field backward.
    {
      const BoundQuery full = query_of("SORT BY y");
      const BoundQuery top = query_of("SORT BY y LIMIT 10");
      const auto all = b.find_ids(r, full);
      const auto first = b.find_ids(r, top);
      check(all.size() == static_cast<std::size_t>(kObjects), "full sort size");
      check(std::vector<std::int64_t>(all.begin(), all.begin() + 10) == first, "top-k is a slice");
      measure("SORT BY y LIMIT 10 over 1e5", 1, [&] { b.find_count(r, top); });
      peer(sql, "SORT BY y LIMIT 10 over 1e5", 1, "SELECT id FROM rows ORDER BY y, id LIMIT 10",
           first, true);
      measure("SORT BY y (full sort) over 1e5", 1, [&] { b.find_count(r, full); });
      peer(sql, "SORT BY y (full sort) over 1e5", 1, "SELECT id FROM rows ORDER BY y, id", all,
           true);
      const BoundQuery page = query_of("SORT BY x DESC LIMIT 10 OFFSET 100");
      const auto paged = b.find_ids(r, page);
      check(paged.size() == 10, "page size");
      measure("SORT BY x DESC LIMIT 10 OFFSET 100 (indexed)", 1, [&] { b.find_count(r, page); });
      peer(sql, "SORT BY x DESC LIMIT 10 OFFSET 100 (indexed)", 1,
           "SELECT id FROM rows ORDER BY x DESC, id LIMIT 10 OFFSET 100", paged, true);
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
      struct CountCase {
        const char* workload;
        const BoundQuery& query;
        std::size_t ops;
        const char* sql;
      };
      for (const CountCase& c :
           {CountCase{"count, no filter", none, kCounts, "SELECT count(*) FROM rows"},
            CountCase{"count x < 500 via index (5e4 entries)", via_index, 1,
                      "SELECT count(*) FROM rows WHERE x < 500"},
            CountCase{"count sel < 50 with records tested (1e5)", residual, 1,
                      "SELECT count(*) FROM rows WHERE sel < 50"}}) {
        measure(c.workload, c.ops, [&] {
          for (std::size_t i = 0; i < c.ops; ++i) count(c.query);
        });
        if (!Sql::kPresent || !wanted(c.workload, "sqlite")) continue;
        check(static_cast<std::uint64_t>(sql.scalar(c.sql)) == count(c.query),
              "sqlite counts the same");
        // SQLite's count(*) walks the table on every call, so it repeats a
        // hundredth as often to keep the run short.
        const std::size_t ops = c.ops == 1 ? 1 : c.ops / 100;
        measure(
            c.workload, ops,
            [&] {
              for (std::size_t i = 0; i < ops; ++i) sql.scalar(c.sql);
            },
            "sqlite");
      }
    }
  }
}

}  // namespace
}  // namespace deziro

// bench_find [RUNS [WORKLOAD [ENGINE]]]: each timing the best of RUNS
// runs (3), only the workloads whose name holds WORKLOAD, only ENGINE
// ("deziro" or "sqlite").
int main(int argc, char** argv) {
  auto& o = deziro::options;
  if (argc > 1) o.runs = std::max(1, std::atoi(argv[1]));
  if (argc > 2) o.workload = argv[2];
  if (argc > 3) o.engine = argv[3];
  deziro::run();
  return 0;
}
