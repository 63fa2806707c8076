// Salvage throughput beside SQLite's `.recover` (through the sqlite3 shell,
// when it is on PATH), on the same data: N random 16-byte keys with 100-byte
// values. Each engine's file is rescued intact, then with one byte spoiled
// in the middle of every hundredth page. Throughput is the source file's
// size per second. Arguments: [keys] [engine], the last to run one engine
// alone.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "database.hpp"
#include "scratch.hpp"
#include "tools/salvage.hpp"
#include "txn/write_txn.hpp"

#ifdef DEZIRO_BENCH_HAVE_SQLITE
#include <sqlite3.h>
#endif

using namespace deziro;
using Clock = std::chrono::steady_clock;
namespace stdfs = std::filesystem;

namespace {

constexpr std::size_t kKeyLen = 16;
constexpr std::size_t kValueLen = 100;
constexpr std::uint64_t kDamageEvery = 100;

struct Data {
  std::vector<std::string> keys;
  std::vector<std::string> values;
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
  }
  return d;
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench_salvage: %s\n", what.c_str());
  std::exit(1);
}

template <typename T>
T must(Result<T> r) {
  if (!r) die(r.error().to_string());
  return std::move(*r);
}

void must(Status s) {
  if (!s) die(s.error().to_string());
}

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void report(const char* workload, const char* engine, std::uint64_t entries, double seconds,
            std::uint64_t bytes, const std::string& extra = "") {
  std::printf(
      "{\"bench\":\"salvage\",\"workload\":\"%s\",\"engine\":\"%s\",\"ops\":%llu,"
      "\"ns_per_op\":%.1f,\"mib_per_s\":%.1f,\"bytes\":%llu%s}\n",
      workload, engine, static_cast<unsigned long long>(entries), seconds * 1e9 / double(entries),
      double(bytes) / (1 << 20) / seconds, static_cast<unsigned long long>(bytes), extra.c_str());
  std::fflush(stdout);
}

// Flips one byte in the middle of every hundredth page from `first`.
void spoil_pages(const std::string& path, std::uint64_t page_size, std::uint64_t first) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  const std::uint64_t pages = stdfs::file_size(path) / page_size;
  for (std::uint64_t page = first; page < pages; page += kDamageEvery) {
    const auto at = std::streamoff(page * page_size + page_size / 2);
    char byte = 0;
    file.seekg(at);
    file.read(&byte, 1);
    byte = char(byte ^ 0x5A);
    file.seekp(at);
    file.write(&byte, 1);
  }
}

// ------------------------------------------------------------------ deziro

void salvage_deziro(const char* workload, const std::string& source, const std::string& target,
                    std::uint64_t entries) {
  const std::uint64_t bytes = stdfs::file_size(source);
  auto start = Clock::now();
  auto figures = must(salvage::salvage(source, target, OpenOptions{}));
  const double seconds = since(start);
  report(workload, "deziro", entries, seconds, bytes,
         ",\"entries_rescued\":" + std::to_string(figures.entries) +
             ",\"pages_damaged\":" + std::to_string(figures.pages_damaged));
  stdfs::remove(target);
}

void run_deziro(const Data& d, const std::string& dir) {
  const std::string path = dir + "/deziro.db";
  {
    auto instance = must(Database::open(path, OpenOptions{})).instance;
    auto w = must(WriteTxn::begin(instance));
    for (std::size_t i = 0; i < d.keys.size(); ++i)
      must(w->put(bytes_of("kv"), bytes_of(d.keys[i]), bytes_of(d.values[i])));
    must(w->commit());
  }
  salvage_deziro("intact", path, dir + "/deziro-rescued.db", d.keys.size());
  spoil_pages(path, kDefaultPageSize, 1);
  salvage_deziro("damaged_1pct", path, dir + "/deziro-rescued.db", d.keys.size());
}

// ------------------------------------------------------------------ SQLite

#ifdef DEZIRO_BENCH_HAVE_SQLITE
void exec(sqlite3* db, const std::string& sql) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
    die("sqlite " + sql + ": " + sqlite3_errmsg(db));
}

void recover_sqlite(const char* workload, const std::string& source, const std::string& target,
                    std::uint64_t entries) {
  const std::uint64_t bytes = stdfs::file_size(source);
  const std::string command = "bash -c \"set -o pipefail; sqlite3 '" + source +
                              "' .recover | sqlite3 '" + target + "'\" 2>/dev/null";
  auto start = Clock::now();
  const bool recovered = std::system(command.c_str()) == 0;
  const double seconds = since(start);
  stdfs::remove(target);
  // Some builds of the shell lack what .recover reads pages through.
  if (!recovered) return (void)std::fprintf(stderr, "bench_salvage: sqlite3 .recover failed\n");
  report(workload, "sqlite", entries, seconds, bytes);
}

void run_sqlite(const Data& d, const std::string& dir) {
  if (std::system("command -v sqlite3 >/dev/null 2>&1") != 0) return;
  const std::string path = dir + "/sqlite.db";
  sqlite3* db;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) die("sqlite open");
  exec(db, "PRAGMA page_size=4096");
  exec(db, "CREATE TABLE kv(k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID");
  sqlite3_stmt* put;
  sqlite3_prepare_v2(db, "INSERT INTO kv VALUES(?,?)", -1, &put, nullptr);
  exec(db, "BEGIN");
  for (std::size_t i = 0; i < d.keys.size(); ++i) {
    sqlite3_bind_blob(put, 1, d.keys[i].data(), int(kKeyLen), SQLITE_STATIC);
    sqlite3_bind_blob(put, 2, d.values[i].data(), int(kValueLen), SQLITE_STATIC);
    if (sqlite3_step(put) != SQLITE_DONE) die("sqlite put");
    sqlite3_reset(put);
  }
  exec(db, "COMMIT");
  sqlite3_finalize(put);
  sqlite3_close(db);
  recover_sqlite("intact", path, dir + "/sqlite-rescued.db", d.keys.size());
  // Page 1 (the header and schema) is left whole.
  spoil_pages(path, 4096, 2);
  recover_sqlite("damaged_1pct", path, dir + "/sqlite-rescued.db", d.keys.size());
}
#endif

}  // namespace

int main(int argc, char** argv) {
  // About 256 MiB of deziro file.
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1600000;
  const std::string only = argc > 2 ? argv[2] : "";
  auto wanted = [&](const char* engine) { return only.empty() || only == engine; };
  const std::string dir = bench::scratch_folder("salvage");
  const Data d = make_data(n);
  if (wanted("deziro")) run_deziro(d, dir);
#ifdef DEZIRO_BENCH_HAVE_SQLITE
  if (wanted("sqlite")) run_sqlite(d, dir);
#endif
  return 0;
}
