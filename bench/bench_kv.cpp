// Key-value workloads on the engine beside LMDB and SQLite, on one disk:
// 1 000 000 random 16-byte keys with 100-byte values inserted in one
// transaction in random order, random point gets, a full forward scan,
// single-put durable commits (one full sync each), the same keys inserted
// in random order again into a new file over 1 000 commits (a thousandth
// each), and once more in one transaction in key order.
// Arguments: [keys] [durable commits per repetition] [repetitions] [engine]
// [bulk]: an engine to run it alone ("all" for every one), and "bulk" to run
// the two bulk inserts alone, each scanned back: the 10 000 000-key run, by
// hand, is `bench_kv 10000000 1 1 deziro bulk`.
//
// Every engine is checked against one model of the data, untimed before
// the clock starts and while it runs: each get must answer the key's value,
// the scan must answer every key in order with its value (the timed scan
// only adds up its rows' sizes and a byte of each, checked after the clock
// stops, so that the check's own cost is not timed), the durable
// commits must read back after the file is closed and opened again, and the
// sorted insert must scan back whole. A wrong answer fails the run.
//
// The engines take turns: each repetition runs every engine once, in an
// order that rotates from one repetition to the next, and each run is a
// process of its own (this program again), so that its peak resident size
// belongs to that engine alone. Printed per workload and engine: the median
// time per operation over the repetitions with its range, the file's size
// after each bulk insert and the growth of the resident size over each
// insert workload (its peak over its size before), and per engine the peak
// resident size and its growth over what the process held before opening
// anything (the data set of the model). Then the engine's time over each peer's, per repetition
// (median and range): below 1 the engine is faster. First of all, the
// disk's own sync latency (a 4 KiB write and fsync), which the durable
// commits of every engine depend on.
// The durable commits default to 1 000 per repetition: at about 4 ms per
// sync on the test machines more would take minutes. The engine and SQLite
// get the same 256 MiB page cache, enough for the whole set, as LMDB has the
// operating system's page cache through its map.
#include <fcntl.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "database.hpp"
#include "scratch.hpp"
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
constexpr int kSyncProbes = 50;
// The commits that the batched insert spreads the keys over.
constexpr std::size_t kInsertCommits = 1000;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench_kv: %s\n", what.c_str());
  std::exit(1);
}

// ------------------------------------------------------------------ model

struct Data {
  std::vector<std::string> keys;
  std::vector<std::string> values;
  // A random order of the keys for the gets, and their key order.
  std::vector<std::size_t> get_order;
  std::vector<std::size_t> sorted;
  std::vector<std::string> commit_keys;
  std::vector<std::string> commit_values;
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
  d.sorted = d.get_order;
  std::shuffle(d.get_order.begin(), d.get_order.end(), rng);
  std::sort(d.sorted.begin(), d.sorted.end(),
            [&](std::size_t a, std::size_t b) { return d.keys[a] < d.keys[b]; });
  for (std::size_t i = 0; i < commits; ++i) {
    d.commit_keys.push_back(random_bytes(kKeyLen));
    d.commit_values.push_back(random_bytes(kValueLen));
  }
  return d;
}

// ------------------------------------------------------------------ engines

// What the workloads ask of an engine. Reads happen between begin_reads and
// end_reads, in one snapshot.
class Kv {
 public:
  virtual ~Kv() = default;
  // Opens the store at `path`, making it when it does not exist.
  virtual void open(const std::string& path) = 0;
  virtual void close() = 0;
  // One transaction putting keys[i] = values[i] for each i of `order`.
  virtual void put_all(const Data& d, const std::vector<std::size_t>& order) = 0;
  // One durable transaction putting one key.
  virtual void commit_one(const std::string& key, const std::string& value) = 0;
  virtual void begin_reads() = 0;
  virtual void end_reads() = 0;
  // Whether the key is there with exactly this value.
  virtual bool holds(const std::string& key, std::string_view value) = 0;
  // Every entry in key order; stops when `row` answers false.
  virtual void scan(const std::function<bool(std::string_view, std::string_view)>& row) = 0;
  // The bytes the store takes on disk, once its commits are in its file.
  virtual std::uint64_t file_bytes() = 0;
};

std::uint64_t size_of(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? std::uint64_t(st.st_size) : 0;
}

std::string_view text_of(ByteView v) { return {reinterpret_cast<const char*>(v.data()), v.size()}; }

class DeziroKv final : public Kv {
 public:
  void open(const std::string& path) override {
    path_ = path;
    OpenOptions options;
    options.cache_size = kCacheBytes;
    auto opened = Database::open(path, options);
    if (!opened) die(opened.error().to_string());
    instance_ = opened->instance;
  }
  void close() override { instance_ = nullptr; }
  void put_all(const Data& d, const std::vector<std::size_t>& order) override {
    auto w = WriteTxn::begin(instance_);
    if (!w) die(w.error().to_string());
    for (std::size_t i : order)
      if (auto s = (*w)->put(tree(), bytes_of(d.keys[i]), bytes_of(d.values[i])); !s)
        die(s.error().to_string());
    if (auto s = (*w)->commit(); !s) die(s.error().to_string());
  }
  void commit_one(const std::string& key, const std::string& value) override {
    auto w = WriteTxn::begin(instance_);
    if (!w) die(w.error().to_string());
    if (auto s = (*w)->put(tree(), bytes_of(key), bytes_of(value)); !s) die(s.error().to_string());
    if (auto s = (*w)->commit(); !s) die(s.error().to_string());
  }
  void begin_reads() override {
    auto r = ReadTxn::begin(instance_);
    if (!r) die(r.error().to_string());
    read_.emplace(std::move(*r));
    auto reader = read_->tree_reader(tree());
    if (!reader || !*reader) die("no tree reader");
    reader_ = std::move(*reader);
  }
  void end_reads() override {
    reader_ = nullptr;
    read_.reset();
  }
  bool holds(const std::string& key, std::string_view value) override {
    bool same = false;
    auto g = reader_->get(bytes_of(key), [&](ByteView v) -> Status {
      same = text_of(v) == value;
      return ok();
    });
    if (!g) die(g.error().to_string());
    return *g && same;
  }
  void scan(const std::function<bool(std::string_view, std::string_view)>& row) override {
    auto cursor = read_->range(tree(), KeyBound::unbounded(), KeyBound::unbounded(), false);
    if (!cursor || !*cursor) die("no cursor");
    ByteView key, value;
    for (;;) {
      auto more = (*cursor)->next(key, value);
      if (!more) die(more.error().to_string());
      if (!*more || !row(text_of(key), text_of(value))) break;
    }
  }
  std::uint64_t file_bytes() override { return size_of(path_); }

 private:
  static ByteView tree() {
    static const std::string kTree = "kv";
    return bytes_of(kTree);
  }
  std::string path_;
  std::shared_ptr<Instance> instance_;
  std::optional<ReadTxn> read_;
  std::unique_ptr<TreeReader> reader_;
};

#ifdef DEZIRO_BENCH_HAVE_LMDB
void check_mdb(int rc, const char* what) {
  if (rc != 0) die(std::string("lmdb ") + what + ": " + mdb_strerror(rc));
}

MDB_val mdb_of(const std::string& s) { return MDB_val{s.size(), const_cast<char*>(s.data())}; }

std::string_view text_of(const MDB_val& v) {
  return {static_cast<const char*>(v.mv_data), v.mv_size};
}

class LmdbKv final : public Kv {
 public:
  void open(const std::string& path) override {
    path_ = path;
    std::filesystem::create_directories(path);
    check_mdb(mdb_env_create(&env_), "env");
    check_mdb(mdb_env_set_mapsize(env_, std::size_t(4) << 30), "mapsize");
    check_mdb(mdb_env_open(env_, path.c_str(), 0, 0644), "open");
    MDB_txn* txn;
    check_mdb(mdb_txn_begin(env_, nullptr, 0, &txn), "begin");
    check_mdb(mdb_dbi_open(txn, nullptr, 0, &dbi_), "dbi");
    check_mdb(mdb_txn_commit(txn), "commit");
  }
  void close() override {
    mdb_env_close(env_);
    env_ = nullptr;
  }
  void put_all(const Data& d, const std::vector<std::size_t>& order) override {
    MDB_txn* txn;
    check_mdb(mdb_txn_begin(env_, nullptr, 0, &txn), "begin");
    for (std::size_t i : order) {
      MDB_val k = mdb_of(d.keys[i]), v = mdb_of(d.values[i]);
      check_mdb(mdb_put(txn, dbi_, &k, &v, 0), "put");
    }
    check_mdb(mdb_txn_commit(txn), "commit");
  }
  void commit_one(const std::string& key, const std::string& value) override {
    MDB_txn* txn;
    check_mdb(mdb_txn_begin(env_, nullptr, 0, &txn), "begin");
    MDB_val k = mdb_of(key), v = mdb_of(value);
    check_mdb(mdb_put(txn, dbi_, &k, &v, 0), "put");
    check_mdb(mdb_txn_commit(txn), "commit");
  }
  void begin_reads() override {
    check_mdb(mdb_txn_begin(env_, nullptr, MDB_RDONLY, &read_), "begin read");
  }
  void end_reads() override { mdb_txn_abort(read_); }
  bool holds(const std::string& key, std::string_view value) override {
    MDB_val k = mdb_of(key), v;
    int rc = mdb_get(read_, dbi_, &k, &v);
    if (rc == MDB_NOTFOUND) return false;
    check_mdb(rc, "get");
    return text_of(v) == value;
  }
  void scan(const std::function<bool(std::string_view, std::string_view)>& row) override {
    MDB_cursor* cursor;
    check_mdb(mdb_cursor_open(read_, dbi_, &cursor), "cursor");
    MDB_val k, v;
    int rc = mdb_cursor_get(cursor, &k, &v, MDB_FIRST);
    for (; rc == 0; rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT))
      if (!row(text_of(k), text_of(v))) break;
    mdb_cursor_close(cursor);
    if (rc != 0 && rc != MDB_NOTFOUND) check_mdb(rc, "scan");
  }
  std::uint64_t file_bytes() override { return size_of(path_ + "/data.mdb"); }

 private:
  std::string path_;
  MDB_env* env_ = nullptr;
  MDB_dbi dbi_ = 0;
  MDB_txn* read_ = nullptr;
};
#endif

#ifdef DEZIRO_BENCH_HAVE_SQLITE
class SqliteKv final : public Kv {
 public:
  void open(const std::string& path) override {
    path_ = path;
    check(sqlite3_open(path.c_str(), &db_), "open");
    // Its durable configuration with one sync per commit: a write-ahead log
    // synced at every commit.
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=FULL");
    exec("PRAGMA cache_size=-262144");
    exec("CREATE TABLE IF NOT EXISTS kv(k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID");
    prepare("INSERT OR REPLACE INTO kv VALUES(?,?)", &put_);
    prepare("SELECT v FROM kv WHERE k=?", &get_);
    prepare("SELECT k, v FROM kv ORDER BY k", &scan_);
  }
  void close() override {
    for (sqlite3_stmt* s : {put_, get_, scan_}) sqlite3_finalize(s);
    sqlite3_close(db_);
    db_ = nullptr;
  }
  void put_all(const Data& d, const std::vector<std::size_t>& order) override {
    exec("BEGIN");
    for (std::size_t i : order) put(d.keys[i], d.values[i]);
    exec("COMMIT");
  }
  void commit_one(const std::string& key, const std::string& value) override { put(key, value); }
  void begin_reads() override { exec("BEGIN"); }
  void end_reads() override { exec("COMMIT"); }
  bool holds(const std::string& key, std::string_view value) override {
    sqlite3_bind_blob(get_, 1, key.data(), int(key.size()), SQLITE_STATIC);
    int rc = sqlite3_step(get_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) check(rc, "get");
    bool same = rc == SQLITE_ROW && column(get_, 0) == value;
    sqlite3_reset(get_);
    return same;
  }
  void scan(const std::function<bool(std::string_view, std::string_view)>& row) override {
    int rc;
    while ((rc = sqlite3_step(scan_)) == SQLITE_ROW)
      if (!row(column(scan_, 0), column(scan_, 1))) break;
    if (rc != SQLITE_ROW) check(rc, "scan");
    sqlite3_reset(scan_);
  }
  // What the write-ahead log holds goes into the file first (untimed).
  std::uint64_t file_bytes() override {
    exec("PRAGMA wal_checkpoint(TRUNCATE)");
    return size_of(path_) + size_of(path_ + "-wal");
  }

 private:
  void check(int rc, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
      die(std::string("sqlite ") + what + ": " + (db_ ? sqlite3_errmsg(db_) : "no database"));
  }
  void exec(const char* sql) { check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), sql); }
  void prepare(const char* sql, sqlite3_stmt** statement) {
    check(sqlite3_prepare_v2(db_, sql, -1, statement, nullptr), sql);
  }
  void put(const std::string& key, const std::string& value) {
    sqlite3_bind_blob(put_, 1, key.data(), int(key.size()), SQLITE_STATIC);
    sqlite3_bind_blob(put_, 2, value.data(), int(value.size()), SQLITE_STATIC);
    check(sqlite3_step(put_), "put");
    sqlite3_reset(put_);
  }
  static std::string_view column(sqlite3_stmt* s, int i) {
    return {static_cast<const char*>(sqlite3_column_blob(s, i)),
            std::size_t(sqlite3_column_bytes(s, i))};
  }
  std::string path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt *put_ = nullptr, *get_ = nullptr, *scan_ = nullptr;
};
#endif

std::vector<std::string> engine_names() {
  std::vector<std::string> names{"deziro"};
#ifdef DEZIRO_BENCH_HAVE_LMDB
  names.push_back("lmdb");
#endif
#ifdef DEZIRO_BENCH_HAVE_SQLITE
  names.push_back("sqlite");
#endif
  return names;
}

std::unique_ptr<Kv> make_engine(const std::string& name) {
  if (name == "deziro") return std::make_unique<DeziroKv>();
#ifdef DEZIRO_BENCH_HAVE_LMDB
  if (name == "lmdb") return std::make_unique<LmdbKv>();
#endif
#ifdef DEZIRO_BENCH_HAVE_SQLITE
  if (name == "sqlite") return std::make_unique<SqliteKv>();
#endif
  die("no engine called " + name);
}

// ------------------------------------------------------------------ one run

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

long peak_resident_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// A figure of /proc/self/status, in KiB.
long status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::size_t length = std::strlen(field);
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + length, nullptr, 10);
  return 0;
}

long resident_kib() { return status_kib("VmRSS:"); }

// The growth of the resident size over one workload: the freed heap is
// handed back and the peak set back to the present size first (Linux resets
// the peak, VmHWM, on a write of 5 to clear_refs), and the peak is read after.
class ResidentGrowth {
 public:
  ResidentGrowth() {
    ::malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    start_ = resident_kib();
  }
  long kib() const { return status_kib("VmHWM:") - start_; }

 private:
  long start_ = 0;
};

// Every get answers the key's value, in the order of `d.get_order`.
void get_all(Kv& kv, const Data& d, const char* when) {
  for (std::size_t i : d.get_order) {
    if (!kv.holds(d.keys[i], d.values[i])) die(std::string(when) + ": a get answers a wrong value");
  }
}

// The scan answers every key of `d.sorted` in order, with its value.
void scan_all(Kv& kv, const Data& d, const char* when) {
  std::size_t at = 0;
  bool good = true;
  kv.scan([&](std::string_view key, std::string_view value) {
    good = at < d.sorted.size() && key == d.keys[d.sorted[at]] && value == d.values[d.sorted[at]];
    ++at;
    return good;
  });
  if (!good || at != d.sorted.size()) die(std::string(when) + ": the scan answers wrong rows");
}

// What a timed scan adds up: the rows, their key and value bytes, and the
// sum of each key's last byte and each value's first, so the scan's bytes are
// read and the loop cannot be dropped; cheap, so the engine is what is timed.
struct ScanTotals {
  std::size_t rows = 0, bytes = 0, sum = 0;
  void add(std::string_view key, std::string_view value) {
    ++rows;
    bytes += key.size() + value.size();
    sum += (key.empty() ? 0 : (unsigned char)key.back()) +
           (value.empty() ? 0 : (unsigned char)value[0]);
  }
  bool operator==(const ScanTotals&) const = default;
};

ScanTotals expected_totals(const Data& d) {
  ScanTotals totals;
  for (std::size_t i : d.sorted) totals.add(d.keys[i], d.values[i]);
  return totals;
}

// The scan, timed: the rows are only added up, checked after the clock stops
// (`scan_all` has checked them row by row first).
void timed_scan(Kv& kv, const Data& d, const char* what) {
  ScanTotals totals;
  const auto start = Clock::now();
  kv.scan(
      [&](std::string_view key, std::string_view value) { return totals.add(key, value), true; });
  const double seconds = since(start);
  if (!(totals == expected_totals(d))) die("the timed scan answers wrong totals");
  std::printf("%s %.9g\n", what, seconds);
}

// An insert workload's figures: its time, the growth of the resident size
// and the file's size.
void put_insert_figures(Kv& kv, const std::string& workload, Clock::time_point start,
                        const ResidentGrowth& growth) {
  std::printf("%s %.9g\n", workload.c_str(), since(start));
  std::printf("%s.rss.kib %ld\n", workload.c_str(), growth.kib());
  std::printf("%s.bytes %.9g\n", workload.c_str(), double(kv.file_bytes()));
}

void scan_and_close(Kv& kv, const Data& d, const char* when) {
  kv.begin_reads();
  scan_all(kv, d, when);
  kv.end_reads();
  kv.close();
}

// One engine's run, in a process of its own; prints "name value" lines for
// the parent: seconds per workload, file bytes, resident sizes in KiB.
// `bulk_only`: the two bulk inserts alone, each scanned back.
void run_one(const std::string& name, std::size_t n, std::size_t commits, const std::string& folder,
             bool bulk_only) {
  Data d = make_data(n, commits);
  long base = resident_kib();
  auto put = [](const char* what, double value) { std::printf("%s %.9g\n", what, value); };
  auto kv = make_engine(name);
  const std::string path = folder + "/" + name;

  std::optional<ResidentGrowth> growth(std::in_place);
  kv->open(path + ".random");
  auto start = Clock::now();
  kv->put_all(d, d.get_order);
  put_insert_figures(*kv, "bulk_insert", start, *growth);
  if (bulk_only) {
    scan_and_close(*kv, d, "after the random insert");
  } else {
    kv->begin_reads();
    // Also warms the caches, so every engine is timed on a warm one.
    get_all(*kv, d, "before the timed gets");
    start = Clock::now();
    get_all(*kv, d, "timed gets");
    put("point_get", since(start));
    scan_all(*kv, d, "before the timed scan");
    timed_scan(*kv, d, "forward_scan");
    kv->end_reads();

    start = Clock::now();
    for (std::size_t i = 0; i < commits; ++i) kv->commit_one(d.commit_keys[i], d.commit_values[i]);
    put("durable_commit", since(start));
    kv->close();
    kv->open(path + ".random");
    kv->begin_reads();
    for (std::size_t i = 0; i < commits; ++i)
      if (!kv->holds(d.commit_keys[i], d.commit_values[i]))
        die("a durable commit does not read back after a reopen");
    std::size_t rows = 0;
    kv->scan([&](std::string_view, std::string_view) { return ++rows, true; });
    if (rows != n + commits) die("the file holds the wrong number of keys after a reopen");
    kv->end_reads();
    kv->close();
    put("rss_after_random.kib", double(peak_resident_kib() - base));

    // The same keys in random order again, into a new file, a thousandth of
    // them per commit: what random inserts over time leave in the leaves.
    growth.emplace();
    kv->open(path + ".batched");
    const std::size_t batches = std::min(n, kInsertCommits);
    start = Clock::now();
    for (std::size_t b = 0; b < batches; ++b) {
      const std::vector<std::size_t> batch(
          d.get_order.begin() + std::ptrdiff_t(n * b / batches),
          d.get_order.begin() + std::ptrdiff_t(n * (b + 1) / batches));
      kv->put_all(d, batch);
    }
    put_insert_figures(*kv, "batched_insert", start, *growth);
    scan_and_close(*kv, d, "after the batched insert");
  }

  growth.emplace();
  kv->open(path + ".sorted");
  start = Clock::now();
  kv->put_all(d, d.sorted);
  put_insert_figures(*kv, "sorted_bulk_insert", start, *growth);
  scan_and_close(*kv, d, "after the sorted insert");
  if (bulk_only) return;
  put("rss_growth.kib", double(peak_resident_kib() - base));
  put("rss_peak.kib", double(peak_resident_kib()));
}

// ------------------------------------------------------------------ turns

using Figures = std::map<std::string, double>;

// Runs this program again as `--one` for one engine in a fresh process and
// reads back its figures.
Figures run_child(const std::string& engine, std::size_t n, std::size_t commits,
                  const std::string& folder, bool bulk_only) {
  std::filesystem::create_directories(folder);
  std::fflush(nullptr);
  int out[2];
  if (::pipe(out) != 0) die("pipe");
  const std::string n_text = std::to_string(n), commits_text = std::to_string(commits);
  pid_t pid = ::fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    // Stops with the benchmark rather than run on alone.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    const char* argv[] = {"bench_kv",
                          "--one",
                          engine.c_str(),
                          n_text.c_str(),
                          commits_text.c_str(),
                          folder.c_str(),
                          bulk_only ? "bulk" : "all",
                          nullptr};
    ::execv("/proc/self/exe", const_cast<char* const*>(argv));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(out[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, std::size_t(got));
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::filesystem::remove_all(folder);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die(engine + " failed its run");
  Figures figures;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    std::size_t space = line.find(' ');
    if (space != std::string::npos)
      figures[line.substr(0, space)] = std::strtod(line.c_str() + space + 1, nullptr);
    at = end + 1;
  }
  return figures;
}

struct Spread {
  double median, low, high;
};

Spread spread_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t m = v.size() / 2;
  double median = v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
  return {median, v.front(), v.back()};
}

// The latency of one 4 KiB write and fsync in `folder`: how fast the disk
// syncs while the engines run. Kept as it was for comparison with earlier
// runs; the durable commits of all three engines sync with fdatasync, which
// leaves out the inode write this fsync pays whenever the clock has ticked
// since its last write.
Spread sync_latency_ns(const std::string& folder) {
  const std::string path = folder + "/sync-probe";
  int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
  if (fd < 0) die("the sync probe cannot be made");
  std::string page(4096, 'x');
  std::vector<double> ns;
  for (int i = 0; i <= kSyncProbes; ++i) {
    auto start = Clock::now();
    if (::pwrite(fd, page.data(), page.size(), 0) != ssize_t(page.size()) || ::fsync(fd) != 0)
      die("the sync probe failed");
    // The first also allocates the block.
    if (i > 0) ns.push_back(since(start) * 1e9);
  }
  ::close(fd);
  std::filesystem::remove(path);
  return spread_of(ns);
}

struct Workload {
  const char* name;
  bool per_commit;
  bool sized;
};

constexpr Workload kWorkloads[] = {
    {"bulk_insert", false, true},        {"batched_insert", false, true},
    {"sorted_bulk_insert", false, true}, {"point_get", false, false},
    {"forward_scan", false, false},      {"durable_commit", true, false},
};

void print_row(const char* workload, const std::string& engine, std::size_t ops,
               const std::string& rest) {
  std::printf("{\"bench\":\"kv\",\"workload\":\"%s\",\"engine\":\"%s\",\"ops\":%zu,%s}\n", workload,
              engine.c_str(), ops, rest.c_str());
  std::fflush(stdout);
}

std::string spread_text(const char* name, const Spread& s, const char* format = "%.1f") {
  auto number = [&](double x) {
    char text[64];
    std::snprintf(text, sizeof text, format, x);
    return std::string(text);
  };
  return "\"" + std::string(name) + "\":" + number(s.median) + ",\"" + name +
         "_min\":" + number(s.low) + ",\"" + name + "_max\":" + number(s.high);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::string(argv[1]) == "--one") {
    run_one(argv[2], std::strtoull(argv[3], nullptr, 10), std::strtoull(argv[4], nullptr, 10),
            argv[5], std::string(argv[6]) == "bulk");
    return 0;
  }
  std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  std::size_t commits = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
  int repetitions = argc > 3 ? std::atoi(argv[3]) : 3;
  std::vector<std::string> engines = engine_names();
  if (argc > 4 && std::string(argv[4]) != "all") engines = {argv[4]};
  const bool bulk_only = argc > 5 && std::string(argv[5]) == "bulk";
  if (n == 0 || commits == 0 || repetitions < 1) die("keys, commits and repetitions must be > 0");
  const std::string folder = bench::scratch_folder("kv");

  Spread sync = sync_latency_ns(folder);
  print_row("disk_sync", "disk", kSyncProbes,
            spread_text("ns_per_op", sync) + ",\"what\":\"4 KiB write and fsync\"");

  // figures[engine][repetition]
  std::map<std::string, std::vector<Figures>> figures;
  for (int rep = 0; rep < repetitions; ++rep)
    for (std::size_t e = 0; e < engines.size(); ++e) {
      const std::string& engine = engines[(e + std::size_t(rep)) % engines.size()];
      figures[engine].push_back(run_child(
          engine, n, commits, folder + "/" + engine + "-" + std::to_string(rep), bulk_only));
    }

  auto values = [&](const std::string& engine, const std::string& key, double scale) {
    std::vector<double> v;
    for (const Figures& f : figures[engine]) {
      auto it = f.find(key);
      if (it == f.end()) die(engine + " did not report " + key);
      v.push_back(it->second * scale);
    }
    return v;
  };
  // The workloads run: the two bulk inserts alone with `bulk`.
  auto ran = [&](const Workload& w) {
    return !bulk_only || std::string_view(w.name).ends_with("bulk_insert");
  };
  for (const Workload& w : kWorkloads)
    for (const std::string& engine : engines) {
      if (!ran(w)) continue;
      std::size_t ops = w.per_commit ? commits : n;
      std::string rest =
          spread_text("ns_per_op", spread_of(values(engine, w.name, 1e9 / double(ops))));
      rest += ",\"repetitions\":" + std::to_string(repetitions);
      if (w.sized)
        rest +=
            "," +
            spread_text("file_bytes", spread_of(values(engine, std::string(w.name) + ".bytes", 1)),
                        "%.0f") +
            "," +
            spread_text("rss_growth_mib",
                        spread_of(values(engine, std::string(w.name) + ".rss.kib", 1.0 / 1024)));
      print_row(w.name, engine, ops, rest);
    }
  for (const std::string& engine : engines) {
    if (bulk_only) break;
    const double mib = 1.0 / 1024;
    std::string rest =
        "\"ns_per_op\":0," +
        spread_text("rss_peak_mib", spread_of(values(engine, "rss_peak.kib", mib))) + "," +
        spread_text("rss_growth_mib", spread_of(values(engine, "rss_growth.kib", mib))) + "," +
        spread_text("rss_growth_random_mib",
                    spread_of(values(engine, "rss_after_random.kib", mib))) +
        ",\"measured\":\"own process per engine and repetition\"";
    if (engine != "lmdb") rest += ",\"cache_size_mib\":256";
    print_row("memory", engine, 1, rest);
  }
  // The engine's time over each peer's, repetition by repetition.
  if (!figures.contains("deziro")) return 0;
  for (const Workload& w : kWorkloads)
    for (const std::string& peer : engines) {
      if (peer == "deziro" || !ran(w)) continue;
      auto ratios = [&](const std::string& key) {
        std::vector<double> ours = values("deziro", key, 1), theirs = values(peer, key, 1), r;
        for (int rep = 0; rep < repetitions; ++rep) r.push_back(ours[rep] / theirs[rep]);
        return spread_of(r);
      };
      std::string rest = "\"ns_per_op\":0," + spread_text("ratio", ratios(w.name), "%.3f");
      if (w.sized)
        rest += "," + spread_text("bytes_ratio", ratios(std::string(w.name) + ".bytes"), "%.3f");
      print_row((std::string("ratio_") + w.name).c_str(), "deziro/" + peer, 0, rest);
    }
  return 0;
}
