// The complete check of a file against SQLite's PRAGMA integrity_check on
// the same data in the same run: 10^6 small objects (int key, a unique str
// and a plain int index, a float and a short str), written in ten
// transactions, the file then opened afresh and checked. Reported per object
// and per GiB of file.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "database.hpp"
#include "schema/declared.hpp"
#include "schema/objects.hpp"
#include "schema/open.hpp"
#include "scratch.hpp"
#include "tools/check.hpp"
#include "txn/write_txn.hpp"

#ifdef DEZIRO_BENCH_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace deziro {
namespace {

constexpr std::size_t kObjects = 1000000;
constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "bench_check: %s\n", what);
    std::exit(1);
  }
}

template <typename T>
T must(Result<T> r, const char* what) {
  if (!r) {
    std::fprintf(stderr, "bench_check: %s: %s\n", what, r.error().to_string().c_str());
    std::exit(1);
  }
  return std::move(*r);
}

// `used_bytes`: the pages in use (the trees' pages for DeziRO, whose file
// also holds free pages its copy-on-write commits left; the whole file for
// SQLite, which was only ever added to).
void report(const char* engine, double ns, std::uint64_t file_bytes, std::uint64_t used_bytes) {
  std::printf(
      "{\"bench\": \"check\", \"workload\": \"check/small_objects/two_indexes\", \"engine\": "
      "\"%s\", \"ops\": %zu, \"ns_per_op\": %.1f, \"file_bytes\": %llu, \"used_bytes\": %llu, "
      "\"seconds_per_gib\": %.3f, \"seconds_per_used_gib\": %.3f}\n",
      engine, kObjects, ns / kObjects, static_cast<unsigned long long>(file_bytes),
      static_cast<unsigned long long>(used_bytes),
      ns / 1e9 / (static_cast<double>(file_bytes) / kGiB),
      ns / 1e9 / (static_cast<double>(used_bytes) / kGiB));
  std::fflush(stdout);
}

std::uint64_t file_size(const std::string& path) {
  struct stat st {};
  check(::stat(path.c_str(), &st) == 0, "stat");
  return static_cast<std::uint64_t>(st.st_size);
}

std::string code_of(std::size_t i) { return "code-" + std::to_string(i * 7919 % 1000003); }
std::string note_of(std::size_t i) { return "note " + std::to_string(i % 1000); }

DeclaredField field(std::string name, DeclaredKind kind) {
  return DeclaredField{std::move(kind), std::move(name), std::nullopt, false};
}

void bench_deziro(const std::string& dir) {
  const std::string path = dir + "/check.db";
  OpenOptions options;
  auto schema = std::make_shared<DeclaredSchema>();
  schema->version = 1;
  schema->collections.push_back(
      DeclaredCollection{"items",
                         {field("k", DeclaredKind::integer()), field("code", DeclaredKind::str()),
                          field("n", DeclaredKind::integer()), field("x", DeclaredKind::floating()),
                          field("note", DeclaredKind::str())},
                         {{"code", true}, {"n", false}},
                         "k"});
  options.schema = schema;
  {
    OpenedDatabase db = must(Database::open(path, options), "open");
    for (std::size_t first = 0; first < kObjects; first += kObjects / 10) {
      auto txn = must(WriteTxn::begin(db.instance, db.resolved), "begin");
      auto ref = must(schema::collection_by_name_write(*txn, "items"), "collection");
      for (std::size_t i = first; i < first + kObjects / 10; ++i) {
        const auto k = static_cast<std::int64_t>(i);
        must(objects::write_object_map(
                 *txn, ref,
                 ObjectMap::from_entries({{"k", Value::integer(k)},
                                          {"code", Value::string(code_of(i))},
                                          {"n", Value::integer(k % 100)},
                                          {"x", Value::floating(0.5 * k)},
                                          {"note", Value::string(note_of(i))}}),
                 WriteMode::Insert),
             "insert");
      }
      check(txn->commit().has_value(), "commit");
    }
  }
  OpenedDatabase db = must(Database::open(path, options), "reopen");
  const auto start = std::chrono::steady_clock::now();
  CheckReport result = must(tools::check_commit(db.instance, db.resolved), "check");
  const auto end = std::chrono::steady_clock::now();
  check(result.ok() && result.objects_checked == kObjects, "a sound file checks ok");
  report("deziro", std::chrono::duration<double, std::nano>(end - start).count(), file_size(path),
         result.pages_checked * db.instance->page_size());
}

#ifdef DEZIRO_BENCH_HAVE_SQLITE
void exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::fprintf(stderr, "bench_check: sqlite: %s\n", message ? message : "?");
    std::exit(1);
  }
}

void bench_sqlite(const std::string& dir) {
  const std::string path = dir + "/check.sqlite";
  sqlite3* db = nullptr;
  check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "sqlite open");
  exec(db,
       "CREATE TABLE items (k INTEGER PRIMARY KEY, code TEXT NOT NULL UNIQUE, n INTEGER NOT "
       "NULL, x REAL NOT NULL, note TEXT NOT NULL); CREATE INDEX items_n ON items (n);");
  exec(db, "BEGIN");
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO items VALUES (?, ?, ?, ?, ?)", -1, &insert, nullptr) ==
            SQLITE_OK,
        "sqlite prepare");
  for (std::size_t i = 0; i < kObjects; ++i) {
    const auto k = static_cast<sqlite3_int64>(i);
    const std::string code = code_of(i), note = note_of(i);
    sqlite3_bind_int64(insert, 1, k);
    sqlite3_bind_text(insert, 2, code.data(), static_cast<int>(code.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 3, k % 100);
    sqlite3_bind_double(insert, 4, 0.5 * static_cast<double>(k));
    sqlite3_bind_text(insert, 5, note.data(), static_cast<int>(note.size()), SQLITE_TRANSIENT);
    check(sqlite3_step(insert) == SQLITE_DONE, "sqlite insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  exec(db, "COMMIT");
  sqlite3_close(db);

  check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "sqlite reopen");
  sqlite3_stmt* pragma = nullptr;
  check(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &pragma, nullptr) == SQLITE_OK,
        "sqlite pragma");
  const auto start = std::chrono::steady_clock::now();
  check(sqlite3_step(pragma) == SQLITE_ROW, "sqlite integrity_check");
  const auto end = std::chrono::steady_clock::now();
  const std::string answer = reinterpret_cast<const char*>(sqlite3_column_text(pragma, 0));
  check(answer == "ok", "sqlite says ok");
  sqlite3_finalize(pragma);
  sqlite3_close(db);
  const std::uint64_t bytes = file_size(path);
  report("sqlite", std::chrono::duration<double, std::nano>(end - start).count(), bytes, bytes);
}
#endif

}  // namespace
}  // namespace deziro

int main() {
  const std::string dir = bench::scratch_folder("check");
  deziro::bench_deziro(dir);
#ifdef DEZIRO_BENCH_HAVE_SQLITE
  deziro::bench_sqlite(dir);
#endif
  return 0;
}
