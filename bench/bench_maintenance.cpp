// Compaction and backup beside SQLite and LMDB, on the same data in one run
// on one disk: N random 16-byte keys with 100-byte values inserted, then
// nine in ten deleted, so that the files hold mostly free pages. Measured:
//   backup   - the engine's backup, SQLite's VACUUM INTO, LMDB's compacting
//              copy (mdb_env_copy2 with MDB_CP_COMPACT, which is both);
//   compact  - the engine's compaction in place, SQLite's VACUUM.
// Throughput is the live data (keys and values left) per second, the same
// bytes for every engine; each line also gives the file sizes before and
// after. Arguments: [keys] [engine], the last to run one engine alone.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "database.hpp"
#include "scratch.hpp"
#include "tools/backup.hpp"
#include "tools/compact.hpp"
#include "txn/write_txn.hpp"

#ifdef DEZIRO_BENCH_HAVE_LMDB
#include <lmdb.h>
#endif
#ifdef DEZIRO_BENCH_HAVE_SQLITE
#include <sqlite3.h>
#endif

using namespace deziro;
using Clock = std::chrono::steady_clock;
namespace stdfs = std::filesystem;

namespace {

constexpr std::size_t kKeyLen = 16;
constexpr std::size_t kValueLen = 100;

struct Data {
  std::vector<std::string> keys;
  std::vector<std::string> values;
  // Keys and values that stay after the deletes.
  std::uint64_t live_bytes = 0;
  std::uint64_t live_entries = 0;
  bool kept(std::size_t i) const { return i % 10 == 0; }
};

Data make_data(std::size_t n) {
  std::mt19937_64 rng(2026);
  auto random_bytes = [&](std::size_t len) {
    std::string s(len, '\0');
    for (auto& c : s) c = char(rng());
    return s;
  };
  Data d;
  for (std::size_t i = 0; i < n; ++i) {
    d.keys.push_back(random_bytes(kKeyLen));
    d.values.push_back(random_bytes(kValueLen));
    if (d.kept(i)) {
      d.live_bytes += kKeyLen + kValueLen;
      ++d.live_entries;
    }
  }
  return d;
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench_maintenance: %s\n", what.c_str());
  std::exit(1);
}

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void report(const char* workload, const char* engine, const Data& d, double seconds,
            std::uint64_t bytes_before, std::uint64_t bytes_after) {
  std::printf(
      "{\"bench\":\"maintenance\",\"workload\":\"%s\",\"engine\":\"%s\",\"ops\":%llu,"
      "\"ns_per_op\":%.1f,\"mib_per_s\":%.1f,\"bytes_before\":%llu,\"bytes_after\":%llu}\n",
      workload, engine, static_cast<unsigned long long>(d.live_entries),
      seconds * 1e9 / double(d.live_entries), double(d.live_bytes) / (1 << 20) / seconds,
      static_cast<unsigned long long>(bytes_before), static_cast<unsigned long long>(bytes_after));
  std::fflush(stdout);
}

ByteView bv(const std::string& s) { return bytes_of(s); }

template <typename T>
T must(Result<T> r) {
  if (!r) die(r.error().to_string());
  return std::move(*r);
}

void must(Status s) {
  if (!s) die(s.error().to_string());
}

// ------------------------------------------------------------------ deziro

void run_deziro(const Data& d, const std::string& dir) {
  std::string path = dir + "/deziro.db";
  auto instance = must(Database::open(path, OpenOptions{})).instance;
  {
    auto w = must(WriteTxn::begin(instance));
    for (std::size_t i = 0; i < d.keys.size(); ++i)
      must(w->put(bv("kv"), bv(d.keys[i]), bv(d.values[i])));
    must(w->commit());
  }
  {
    auto w = must(WriteTxn::begin(instance));
    for (std::size_t i = 0; i < d.keys.size(); ++i)
      if (!d.kept(i)) (void)must(w->del(bv("kv"), bv(d.keys[i])));
    must(w->commit());
  }
  std::uint64_t size = stdfs::file_size(path);

  auto start = Clock::now();
  auto copied = must(backup::backup(instance, dir + "/deziro-backup.db", {}));
  report("backup", "deziro", d, since(start), size, copied.bytes);

  start = Clock::now();
  auto figures = must(repack::compact(instance));
  report("compact", "deziro", d, since(start), figures.bytes_before, figures.bytes_after);
}

// ------------------------------------------------------------------ SQLite

#ifdef DEZIRO_BENCH_HAVE_SQLITE
void exec(sqlite3* db, const std::string& sql) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
    die("sqlite " + sql + ": " + sqlite3_errmsg(db));
}

void run_sqlite(const Data& d, const std::string& dir) {
  std::string path = dir + "/sqlite.db";
  sqlite3* db;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) die("sqlite open");
  // Durable commits, a rollback journal so that VACUUM works on the file
  // itself, and the engine's default page size.
  exec(db, "PRAGMA page_size=4096");
  exec(db, "PRAGMA synchronous=FULL");
  exec(db, "CREATE TABLE kv(k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID");
  sqlite3_stmt* put;
  sqlite3_stmt* del;
  sqlite3_prepare_v2(db, "INSERT INTO kv VALUES(?,?)", -1, &put, nullptr);
  sqlite3_prepare_v2(db, "DELETE FROM kv WHERE k=?", -1, &del, nullptr);
  exec(db, "BEGIN");
  for (std::size_t i = 0; i < d.keys.size(); ++i) {
    sqlite3_bind_blob(put, 1, d.keys[i].data(), int(kKeyLen), SQLITE_STATIC);
    sqlite3_bind_blob(put, 2, d.values[i].data(), int(kValueLen), SQLITE_STATIC);
    if (sqlite3_step(put) != SQLITE_DONE) die("sqlite put");
    sqlite3_reset(put);
  }
  exec(db, "COMMIT");
  exec(db, "BEGIN");
  for (std::size_t i = 0; i < d.keys.size(); ++i) {
    if (d.kept(i)) continue;
    sqlite3_bind_blob(del, 1, d.keys[i].data(), int(kKeyLen), SQLITE_STATIC);
    if (sqlite3_step(del) != SQLITE_DONE) die("sqlite delete");
    sqlite3_reset(del);
  }
  exec(db, "COMMIT");
  sqlite3_finalize(put);
  sqlite3_finalize(del);
  std::uint64_t size = stdfs::file_size(path);

  std::string copy = dir + "/sqlite-backup.db";
  auto start = Clock::now();
  exec(db, "VACUUM INTO '" + copy + "'");
  report("backup", "sqlite", d, since(start), size, stdfs::file_size(copy));

  start = Clock::now();
  exec(db, "VACUUM");
  report("compact", "sqlite", d, since(start), size, stdfs::file_size(path));
  sqlite3_close(db);
}
#endif

// ------------------------------------------------------------------ LMDB

#ifdef DEZIRO_BENCH_HAVE_LMDB
void check_mdb(int rc, const char* what) {
  if (rc != 0) die(std::string("lmdb ") + what + ": " + mdb_strerror(rc));
}

void run_lmdb(const Data& d, const std::string& dir) {
  std::string path = dir + "/lmdb";
  std::string copy = dir + "/lmdb-backup";
  stdfs::create_directories(path);
  stdfs::create_directories(copy);
  MDB_env* env;
  check_mdb(mdb_env_create(&env), "env");
  check_mdb(mdb_env_set_mapsize(env, std::size_t(4) << 30), "mapsize");
  check_mdb(mdb_env_open(env, path.c_str(), 0, 0644), "open");
  MDB_txn* txn;
  MDB_dbi dbi;
  check_mdb(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
  check_mdb(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
  for (std::size_t i = 0; i < d.keys.size(); ++i) {
    MDB_val k{kKeyLen, const_cast<char*>(d.keys[i].data())};
    MDB_val v{kValueLen, const_cast<char*>(d.values[i].data())};
    check_mdb(mdb_put(txn, dbi, &k, &v, 0), "put");
  }
  check_mdb(mdb_txn_commit(txn), "commit");
  check_mdb(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
  for (std::size_t i = 0; i < d.keys.size(); ++i) {
    if (d.kept(i)) continue;
    MDB_val k{kKeyLen, const_cast<char*>(d.keys[i].data())};
    check_mdb(mdb_del(txn, dbi, &k, nullptr), "del");
  }
  check_mdb(mdb_txn_commit(txn), "commit");
  std::uint64_t size = stdfs::file_size(path + "/data.mdb");

  auto start = Clock::now();
  check_mdb(mdb_env_copy2(env, copy.c_str(), MDB_CP_COMPACT), "copy");
  report("backup", "lmdb", d, since(start), size, stdfs::file_size(copy + "/data.mdb"));
  mdb_env_close(env);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 500000;
  std::string only = argc > 2 ? argv[2] : "";
  auto wanted = [&](const char* engine) { return only.empty() || only == engine; };
  std::string dir = bench::scratch_folder("maintenance");
  Data d = make_data(n);
  if (wanted("deziro")) run_deziro(d, dir);
#ifdef DEZIRO_BENCH_HAVE_SQLITE
  if (wanted("sqlite")) run_sqlite(d, dir);
#endif
#ifdef DEZIRO_BENCH_HAVE_LMDB
  if (wanted("lmdb")) run_lmdb(d, dir);
#endif
  return 0;
}
