// Key-value workloads on the engine beside LMDB and SQLite, in one run on
// one disk: 1 000 000 random 16-byte keys with 100-byte values inserted in
// one transaction, random point gets, a full forward scan, and single-put
// durable commits (one full sync each). Arguments: [keys] [durable commits]
// [engine], the last to run one engine alone.
// The durable commits default to 2 000 rather than 10 000: at about 4 ms per
// sync on the test machines a run of 10 000 per engine takes minutes. The
// engine and SQLite get the same 256 MiB page cache, enough for the whole
// set, as LMDB has the operating system's page cache through its map.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "database.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

#ifdef DEZIRO_BENCH_HAVE_LMDB
#include <lmdb.h>
#endif
#ifdef DEZIRO_BENCH_HAVE_SQLITE
#include <sqlite3.h>
#endif

using namespace deziro;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kKeyLen = 16;
constexpr std::size_t kValueLen = 100;
constexpr std::uint64_t kCacheBytes = 256ull << 20;

struct Data {
  std::vector<std::string> keys;
  std::vector<std::string> values;
  std::vector<std::size_t> get_order;
  std::vector<std::string> sorted_keys;
  std::vector<std::string> commit_keys;
};

Data make_data(std::size_t n, std::size_t commits) {
  std::mt19937_64 rng(2026);
  Data d;
  auto random_bytes = [&](std::size_t len) {
    std::string s(len, '\0');
    for (auto& c : s) c = char(rng());
    return s;
  };
  for (std::size_t i = 0; i < n; ++i) {
    d.keys.push_back(random_bytes(kKeyLen));
    d.values.push_back(random_bytes(kValueLen));
  }
  d.get_order.resize(n);
  for (std::size_t i = 0; i < n; ++i) d.get_order[i] = i;
  std::shuffle(d.get_order.begin(), d.get_order.end(), rng);
  d.sorted_keys = d.keys;
  std::sort(d.sorted_keys.begin(), d.sorted_keys.end());
  for (std::size_t i = 0; i < commits; ++i) d.commit_keys.push_back(random_bytes(kKeyLen));
  return d;
}

void die(const std::string& what) {
  std::fprintf(stderr, "bench_kv: %s\n", what.c_str());
  std::exit(1);
}

long peak_rss_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

void report(const char* workload, const char* engine, std::uint64_t ops, double seconds,
            const std::string& extra = "") {
  std::printf(
      "{\"bench\":\"kv\",\"workload\":\"%s\",\"engine\":\"%s\",\"ops\":%llu,"
      "\"ns_per_op\":%.1f%s}\n",
      workload, engine, static_cast<unsigned long long>(ops), seconds * 1e9 / double(ops),
      extra.c_str());
  std::fflush(stdout);
}

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

ByteView bv(const std::string& s) { return bytes_of(s); }

// ------------------------------------------------------------------ deziro

void run_deziro(const Data& d, const std::string& dir) {
  const char* engine = "deziro";
  std::string path = dir + "/deziro.db";
  long rss_before = peak_rss_kib();
  OpenOptions options;
  options.cache_size = kCacheBytes;
  auto opened = Database::open(path, options);
  if (!opened) die(opened.error().to_string());
  auto instance = opened->instance;
  static const std::string kTree = "kv";
  auto tree = bv(kTree);

  auto start = Clock::now();
  {
    auto w = WriteTxn::begin(instance);
    if (!w) die(w.error().to_string());
    for (std::size_t i = 0; i < d.keys.size(); ++i)
      if (auto s = (*w)->put(tree, bv(d.keys[i]), bv(d.values[i])); !s) die(s.error().to_string());
    if (auto s = (*w)->commit(); !s) die(s.error().to_string());
  }
  report("bulk_insert", engine, d.keys.size(), since(start));
  long rss_after_insert = peak_rss_kib();

  auto r = ReadTxn::begin(instance);
  if (!r) die(r.error().to_string());
  auto reader = r->tree_reader(tree);
  if (!reader || !*reader) die("no tree reader");
  // Warm the cache once so every engine is timed on a warm page cache.
  std::size_t found = 0, checksum = 0;
  auto visitor = [&](ByteView v) -> Status {
    ++found;
    checksum += v[0];
    return ok();
  };
  for (std::size_t i : d.get_order) (void)(*reader)->get(bv(d.keys[i]), visitor);
  found = 0;
  start = Clock::now();
  for (std::size_t i : d.get_order)
    if (auto g = (*reader)->get(bv(d.keys[i]), visitor); !g) die(g.error().to_string());
  double t = since(start);
  if (found != d.keys.size()) die("deziro lost keys");
  report("point_get", engine, found, t);

  start = Clock::now();
  auto cursor = r->range(tree, KeyBound::unbounded(), KeyBound::unbounded(), false);
  if (!cursor || !*cursor) die("no cursor");
  std::size_t scanned = 0;
  ByteView key, value;
  for (;;) {
    auto more = (*cursor)->next(key, value);
    if (!more) die(more.error().to_string());
    if (!*more) break;
    if (key.size() != kKeyLen || value.size() != kValueLen) die("deziro scan: wrong sizes");
    ++scanned;
  }
  t = since(start);
  if (scanned != d.keys.size()) die("deziro scan count");
  report("forward_scan", engine, scanned, t);
  cursor = std::nullopt;
  *reader = nullptr;
  r = fail(Error::closed());

  start = Clock::now();
  for (const std::string& k : d.commit_keys) {
    auto w = WriteTxn::begin(instance);
    if (!w) die(w.error().to_string());
    if (auto s = (*w)->put(tree, bv(k), bv(d.values[0])); !s) die(s.error().to_string());
    if (auto s = (*w)->commit(); !s) die(s.error().to_string());
  }
  report("durable_commit", engine, d.commit_keys.size(), since(start));
  std::printf(
      "{\"bench\":\"kv\",\"workload\":\"peak_memory\",\"engine\":\"deziro\",\"ops\":1,"
      "\"ns_per_op\":0,\"cache_size_mib\":256,\"rss_growth_bulk_insert_mib\":%.1f,"
      "\"rss_growth_total_mib\":%.1f}\n",
      double(rss_after_insert - rss_before) / 1024, double(peak_rss_kib() - rss_before) / 1024);
  (void)checksum;
}

// ------------------------------------------------------------------ LMDB

#ifdef DEZIRO_BENCH_HAVE_LMDB
void check_mdb(int rc, const char* what) {
  if (rc != 0) die(std::string("lmdb ") + what + ": " + mdb_strerror(rc));
}

void run_lmdb(const Data& d, const std::string& dir) {
  const char* engine = "lmdb";
  std::string path = dir + "/lmdb";
  std::filesystem::create_directories(path);
  MDB_env* env;
  check_mdb(mdb_env_create(&env), "env");
  check_mdb(mdb_env_set_mapsize(env, std::size_t(4) << 30), "mapsize");
  check_mdb(mdb_env_open(env, path.c_str(), 0, 0644), "open");
  MDB_dbi dbi;
  MDB_txn* txn;
  auto val = [](const std::string& s) { return MDB_val{s.size(), const_cast<char*>(s.data())}; };

  auto start = Clock::now();
  check_mdb(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
  check_mdb(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
  for (std::size_t i = 0; i < d.keys.size(); ++i) {
    MDB_val k = val(d.keys[i]), v = val(d.values[i]);
    check_mdb(mdb_put(txn, dbi, &k, &v, 0), "put");
  }
  check_mdb(mdb_txn_commit(txn), "commit");
  report("bulk_insert", engine, d.keys.size(), since(start));

  check_mdb(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "begin read");
  std::size_t found = 0, checksum = 0;
  for (std::size_t i : d.get_order) {
    MDB_val k = val(d.keys[i]), v;
    if (mdb_get(txn, dbi, &k, &v) == 0) checksum += static_cast<unsigned char*>(v.mv_data)[0];
  }
  start = Clock::now();
  for (std::size_t i : d.get_order) {
    MDB_val k = val(d.keys[i]), v;
    if (mdb_get(txn, dbi, &k, &v) == 0) {
      ++found;
      checksum += static_cast<unsigned char*>(v.mv_data)[0];
    }
  }
  double t = since(start);
  if (found != d.keys.size()) die("lmdb lost keys");
  report("point_get", engine, found, t);

  start = Clock::now();
  MDB_cursor* cursor;
  check_mdb(mdb_cursor_open(txn, dbi, &cursor), "cursor");
  MDB_val k, v;
  std::size_t scanned = 0;
  for (int rc = mdb_cursor_get(cursor, &k, &v, MDB_FIRST); rc == 0;
       rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT)) {
    if (k.mv_size != kKeyLen || v.mv_size != kValueLen) die("lmdb scan: wrong sizes");
    ++scanned;
  }
  t = since(start);
  mdb_cursor_close(cursor);
  mdb_txn_abort(txn);
  if (scanned != d.keys.size()) die("lmdb scan count");
  report("forward_scan", engine, scanned, t);

  start = Clock::now();
  for (const std::string& key : d.commit_keys) {
    check_mdb(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
    MDB_val kk = val(key), vv = val(d.values[0]);
    check_mdb(mdb_put(txn, dbi, &kk, &vv, 0), "put");
    check_mdb(mdb_txn_commit(txn), "commit");
  }
  report("durable_commit", engine, d.commit_keys.size(), since(start));
  mdb_env_close(env);
  (void)checksum;
}
#endif

// ------------------------------------------------------------------ SQLite

#ifdef DEZIRO_BENCH_HAVE_SQLITE
void check_sql(sqlite3* db, int rc, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    die(std::string("sqlite ") + what + ": " + sqlite3_errmsg(db));
}

void exec(sqlite3* db, const char* sql) {
  check_sql(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr), sql);
}

void run_sqlite(const Data& d, const std::string& dir) {
  const char* engine = "sqlite";
  sqlite3* db;
  check_sql(nullptr, sqlite3_open((dir + "/sqlite.db").c_str(), &db), "open");
  // Its durable configuration with one sync per commit: a write-ahead log
  // synced at every commit.
  exec(db, "PRAGMA journal_mode=WAL");
  exec(db, "PRAGMA synchronous=FULL");
  exec(db, "PRAGMA cache_size=-262144");
  exec(db, "CREATE TABLE kv(k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID");
  sqlite3_stmt *put, *get, *scan;
  check_sql(db, sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO kv VALUES(?,?)", -1, &put, nullptr),
            "prepare");
  check_sql(db, sqlite3_prepare_v2(db, "SELECT v FROM kv WHERE k=?", -1, &get, nullptr), "prepare");
  check_sql(db, sqlite3_prepare_v2(db, "SELECT k, v FROM kv ORDER BY k", -1, &scan, nullptr),
            "prepare");
  auto do_put = [&](const std::string& k, const std::string& v) {
    sqlite3_bind_blob(put, 1, k.data(), int(k.size()), SQLITE_STATIC);
    sqlite3_bind_blob(put, 2, v.data(), int(v.size()), SQLITE_STATIC);
    check_sql(db, sqlite3_step(put), "put");
    sqlite3_reset(put);
  };

  auto start = Clock::now();
  exec(db, "BEGIN");
  for (std::size_t i = 0; i < d.keys.size(); ++i) do_put(d.keys[i], d.values[i]);
  exec(db, "COMMIT");
  report("bulk_insert", engine, d.keys.size(), since(start));

  exec(db, "BEGIN");
  std::size_t found = 0, checksum = 0;
  auto do_get = [&](const std::string& k) {
    sqlite3_bind_blob(get, 1, k.data(), int(k.size()), SQLITE_STATIC);
    if (sqlite3_step(get) == SQLITE_ROW) {
      ++found;
      checksum += static_cast<const unsigned char*>(sqlite3_column_blob(get, 0))[0];
    }
    sqlite3_reset(get);
  };
  for (std::size_t i : d.get_order) do_get(d.keys[i]);
  found = 0;
  start = Clock::now();
  for (std::size_t i : d.get_order) do_get(d.keys[i]);
  double t = since(start);
  if (found != d.keys.size()) die("sqlite lost keys");
  report("point_get", engine, found, t);

  start = Clock::now();
  std::size_t scanned = 0;
  while (sqlite3_step(scan) == SQLITE_ROW) {
    if (sqlite3_column_bytes(scan, 0) != int(kKeyLen) ||
        sqlite3_column_bytes(scan, 1) != int(kValueLen))
      die("sqlite scan: wrong sizes");
    ++scanned;
  }
  t = since(start);
  sqlite3_reset(scan);
  exec(db, "COMMIT");
  if (scanned != d.keys.size()) die("sqlite scan count");
  report("forward_scan", engine, scanned, t);

  start = Clock::now();
  for (const std::string& k : d.commit_keys) do_put(k, d.values[0]);
  report("durable_commit", engine, d.commit_keys.size(), since(start));
  sqlite3_finalize(put);
  sqlite3_finalize(get);
  sqlite3_finalize(scan);
  sqlite3_close(db);
  (void)checksum;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  std::size_t commits = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2000;
  std::string dir = std::filesystem::current_path().string();
  std::string only = argc > 3 ? argv[3] : "";
  auto wanted = [&](const char* engine) { return only.empty() || only == engine; };
  Data d = make_data(n, commits);
  if (wanted("deziro")) run_deziro(d, dir);
#ifdef DEZIRO_BENCH_HAVE_LMDB
  if (wanted("lmdb")) run_lmdb(d, dir);
#endif
#ifdef DEZIRO_BENCH_HAVE_SQLITE
  if (wanted("sqlite")) run_sqlite(d, dir);
#endif
  return 0;
}
