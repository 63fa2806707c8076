// Typed object writes and gets over a real file: insert_many of 10^5
// objects through Layout rows (no index; a unique str and a plain int
// index; auto-increment against explicit keys) and through object maps,
// with the heap allocations per object (this program counts every global
// operator new); then gets by primary key (int and str keys) in a write
// transaction and in a read snapshot.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "allocation_counter.hpp"
#include "database.hpp"
#include "schema/objects.hpp"
#include "schema/open.hpp"
#include "scratch.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace {

// The folder each workload makes its own folder in.
std::string g_folder;

constexpr std::size_t kObjects = 100000;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "bench_objects: %s\n", what);
    std::exit(1);
  }
}

template <typename T>
T must(Result<T> r, const char* what) {
  if (!r) {
    std::fprintf(stderr, "bench_objects: %s: %s\n", what, r.error().to_string().c_str());
    std::exit(1);
  }
  return std::move(*r);
}

void report(const char* workload, std::size_t ops, double ns, double allocs) {
  std::printf(
      "{\"bench\": \"objects\", \"workload\": \"%s\", \"engine\": \"deziro\", \"ops\": %zu, "
      "\"ns_per_op\": %.1f, \"ops_per_sec\": %.0f, \"allocs_per_op\": %.3f}\n",
      workload, ops, ns / ops, ops / (ns / 1e9), allocs);
  std::fflush(stdout);
}

DeclaredField field(std::string name, DeclaredKind kind, bool optional = false) {
  return DeclaredField{std::move(kind), std::move(name), std::nullopt, optional};
}

// Collections: "plain" (explicit int key), "auto" (auto-increment),
// "indexed" (explicit int key, unique str `code`, plain int `n`), "named"
// (str key).
std::shared_ptr<const DeclaredSchema> bench_schema() {
  auto fields = [] {
    return std::vector<DeclaredField>{
        field("code", DeclaredKind::str()), field("n", DeclaredKind::integer()),
        field("x", DeclaredKind::floating()), field("note", DeclaredKind::str(), true)};
  };
  auto keyed = [&](std::string name, std::vector<DeclaredIndex> indexes) {
    auto f = fields();
    f.insert(f.begin(), field("k", DeclaredKind::integer()));
    return DeclaredCollection{std::move(name), std::move(f), std::move(indexes), "k"};
  };
  auto schema = std::make_shared<DeclaredSchema>();
  schema->collections.push_back(keyed("plain", {}));
  schema->collections.push_back(DeclaredCollection{"auto", fields(), {}, std::nullopt});
  schema->collections.push_back(keyed("indexed", {{"code", true}, {"n", false}}));
  auto named = fields();
  named.insert(named.begin(), field("name", DeclaredKind::str()));
  schema->collections.push_back(DeclaredCollection{"named", std::move(named), {}, "name"});
  return schema;
}

struct BenchDb {
  std::string dir;
  OpenedDatabase db;

  BenchDb() {
    dir = g_folder + "/objects-XXXXXX";
    check(::mkdtemp(dir.data()) != nullptr, "mkdtemp");
    OpenOptions options;
    options.schema = bench_schema();
    db = must(Database::open(dir + "/objects.db", options), "open");
  }
  ~BenchDb() {
    db = OpenedDatabase();
    std::filesystem::remove_all(dir);
  }
  std::unique_ptr<WriteTxn> begin() {
    return must(WriteTxn::begin(db.instance, db.resolved), "begin");
  }
};

std::string code_of(std::size_t i) { return "code-" + std::to_string(i * 7919 % 1000003); }

// One Layout run of kObjects rows: (k, code, n, x, note), k absent for the
// auto-increment collection.
struct Rows {
  std::vector<std::string> codes;
  std::vector<LayoutValue> values;
  LayoutShape layout;

  Rows(bool with_key, std::uint64_t serial) {
    layout.serial = serial;
    layout.fields.push_back({with_key ? "k" : "id", {}});
    for (const char* n : {"code", "n", "x", "note"}) layout.fields.push_back({n, {}});
    codes.reserve(kObjects);
    for (std::size_t i = 0; i < kObjects; ++i) codes.push_back(code_of(i));
    for (std::size_t i = 0; i < kObjects; ++i) {
      const auto k = static_cast<std::int64_t>(i * 2654435761u % 4294967291u);
      values.push_back(with_key ? LayoutValue::int64(k) : LayoutValue::absent());
      values.push_back(LayoutValue::str(codes[i]));
      values.push_back(LayoutValue::int64(static_cast<std::int64_t>(i % 100)));
      values.push_back(LayoutValue::float64(0.5 * static_cast<double>(i)));
      values.push_back(LayoutValue::absent());
    }
  }
};

void bench_layout(const char* workload, const char* collection_name, bool with_key,
                  std::uint64_t serial) {
  BenchDb db;
  Rows rows(with_key, serial);
  auto txn = db.begin();
  auto ref = must(schema::collection_by_name_write(*txn, collection_name), "collection");
  objects::LayoutRun run{rows.layout, rows.values, rows.layout.fields.size()};
  std::optional<Error> error;
  std::size_t written = 0;
  const std::size_t allocations = bench_allocations::count;
  const auto start = std::chrono::steady_clock::now();
  while (objects::write_typed_object(*txn, ref, run, WriteMode::Insert, error)) ++written;
  const auto end = std::chrono::steady_clock::now();
  const double allocs = static_cast<double>(bench_allocations::count - allocations) / kObjects;
  if (error) std::fprintf(stderr, "%s\n", error->to_string().c_str());
  check(written == kObjects, "every object written");
  const auto commit_start = std::chrono::steady_clock::now();
  check(txn->commit().has_value(), "commit");
  const auto commit_end = std::chrono::steady_clock::now();
  auto r = must(ReadTxn::begin(db.db.instance, db.db.resolved), "read");
  check(must(r.tree_len(bytes_of(ref.resolved().trees.record_tree)), "len") == kObjects,
        "all records stored");
  for (const std::string& tree : ref.resolved().trees.index_trees)
    check(must(r.tree_len(bytes_of(tree)), "len") == kObjects, "one entry per object");
  report(workload, kObjects, std::chrono::duration<double, std::nano>(end - start).count(), allocs);
  std::string commit_name = std::string(workload) + "+commit";
  report(commit_name.c_str(), kObjects,
         std::chrono::duration<double, std::nano>(commit_end - start).count(), allocs);
}

void bench_maps() {
  BenchDb db;
  std::vector<ObjectMap> maps;
  maps.reserve(kObjects);
  for (std::size_t i = 0; i < kObjects; ++i) {
    maps.push_back(
        ObjectMap::from_entries({{"k", Value::integer(static_cast<std::int64_t>(i))},
                                 {"code", Value::string(code_of(i))},
                                 {"n", Value::integer(static_cast<std::int64_t>(i % 100))},
                                 {"x", Value::floating(0.5 * static_cast<double>(i))}}));
  }
  auto txn = db.begin();
  auto ref = must(schema::collection_by_name_write(*txn, "plain"), "collection");
  std::optional<Error> error;
  std::size_t next = 0, written = 0;
  const std::size_t allocations = bench_allocations::count;
  const auto start = std::chrono::steady_clock::now();
  while (objects::write_batch_next(*txn, ref, maps, next, WriteMode::Insert, error)) ++written;
  const auto end = std::chrono::steady_clock::now();
  const double allocs = static_cast<double>(bench_allocations::count - allocations) / kObjects;
  check(written == kObjects, "every map written");
  check(txn->commit().has_value(), "commit");
  report("insert_many/object_map/no_index", kObjects,
         std::chrono::duration<double, std::nano>(end - start).count(), allocs);
}

void bench_gets() {
  BenchDb db;
  {
    auto txn = db.begin();
    auto plain = must(schema::collection_by_name_write(*txn, "plain"), "collection");
    auto named = must(schema::collection_by_name_write(*txn, "named"), "collection");
    for (std::size_t i = 0; i < kObjects; ++i) {
      const auto k = static_cast<std::int64_t>(i);
      must(objects::write_object_map(*txn, plain,
                                     ObjectMap::from_entries({{"k", Value::integer(k)},
                                                              {"code", Value::string("c")},
                                                              {"n", Value::integer(k)},
                                                              {"x", Value::floating(1)}}),
                                     WriteMode::Insert),
           "insert");
      must(objects::write_object_map(
               *txn, named,
               ObjectMap::from_entries({{"name", Value::string("user-" + std::to_string(i))},
                                        {"code", Value::string("c")},
                                        {"n", Value::integer(k)},
                                        {"x", Value::floating(1)}}),
               WriteMode::Insert),
           "insert");
    }
    check(txn->commit().has_value(), "commit");
  }
  std::vector<Value> int_keys, str_keys;
  for (std::size_t i = 0; i < kObjects; ++i) {
    const std::size_t j = i * 48271 % kObjects;
    int_keys.push_back(Value::integer(static_cast<std::int64_t>(j)));
    str_keys.push_back(Value::string("user-" + std::to_string(j)));
  }
  auto run = [&](const char* workload, TreeAccess& access, const char* collection_name,
                 const std::vector<Value>& keys) {
    auto ref = must(schema::collection_by_name(access, db.db.resolved,
                                               *std::make_unique<bool>(false), collection_name),
                    "collection");
    const ByteView tree = bytes_of(ref.resolved().trees.record_tree);
    std::vector<std::uint8_t> arena;
    arena.reserve(1 << 20);
    std::size_t found = 0;
    auto sink = [&](ByteView record) -> Status {
      arena.clear();
      arena.insert(arena.end(), record.begin(), record.end());
      return ok();
    };
    const std::size_t allocations = bench_allocations::count;
    const auto start = std::chrono::steady_clock::now();
    for (const Value& key : keys)
      found += must(objects::get_typed(access, ref.collection(), tree, key, sink), "get") ? 1 : 0;
    const auto end = std::chrono::steady_clock::now();
    check(found == keys.size(), "every key found");
    report(workload, keys.size(), std::chrono::duration<double, std::nano>(end - start).count(),
           static_cast<double>(bench_allocations::count - allocations) / keys.size());
  };
  {
    auto r = must(ReadTxn::begin(db.db.instance, db.db.resolved), "read");
    run("get/int_key/snapshot", r, "plain", int_keys);
    run("get/str_key/snapshot", r, "named", str_keys);
  }
  auto txn = db.begin();
  run("get/int_key/write_txn", *txn, "plain", int_keys);
  run("get/str_key/write_txn", *txn, "named", str_keys);
}

}  // namespace
}  // namespace deziro

int main() {
  using namespace deziro;
  g_folder = bench::scratch_folder("objects");
  bench_layout("insert_many/layout/no_index/explicit_key", "plain", true, 1);
  bench_layout("insert_many/layout/no_index/auto_increment", "auto", false, 2);
  bench_layout("insert_many/layout/unique_str+plain_int/explicit_key", "indexed", true, 3);
  bench_maps();
  bench_gets();
  return 0;
}
