// One writer committing while 1, 2, 4 and 8 reader processes read random
// keys, beside LMDB doing the same. Each reader is a forked process that
// opens the file afresh and runs random point gets for a fixed time, taking
// a new snapshot every 64 gets; the writer (the parent) commits 10 random
// puts per transaction meanwhile. Printed per reader count: the reads per
// second of all readers, per reader, and the writer's commits per second
// (first with no reader, as the base line).
// The writer's commits are deferred (the engine syncs once a second in the
// background) and LMDB runs with MDB_NOSYNC: both measure the locking and
// the page work, not the disk's sync time.
// Arguments: [keys] [seconds per run].
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "database.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

#ifdef DEZIRO_BENCH_HAVE_LMDB
#include <lmdb.h>
#endif

using namespace deziro;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kValueLen = 100;
constexpr int kGetsPerSnapshot = 64;
constexpr int kPutsPerCommit = 10;
const std::string kTree = "kv";

std::string key_of(std::uint64_t i) {
  std::string k(8, '\0');
  for (int b = 0; b < 8; ++b) k[b] = char(i >> (56 - 8 * b));
  return k;
}

std::string value_of(std::uint64_t i, std::uint64_t round) {
  std::string v = std::to_string(i) + ":" + std::to_string(round) + ":";
  v.resize(kValueLen, 'v');
  return v;
}

bool value_matches(std::uint64_t i, ByteView v) {
  std::string prefix = std::to_string(i) + ":";
  return v.size() == kValueLen && std::memcmp(v.data(), prefix.data(), prefix.size()) == 0;
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench_concurrency: %s\n", what.c_str());
  std::exit(1);
}

// What one engine has to offer the harness.
struct Engine {
  const char* name;
  std::function<void(std::uint64_t keys)> load;
  // In a fresh process: gets until `end`; returns the gets done.
  std::function<std::uint64_t(std::uint64_t keys, Clock::time_point end, std::uint64_t seed)>
      read_until;
  // In the parent: commits until `end`; returns the commits done.
  std::function<std::uint64_t(std::uint64_t keys, Clock::time_point end, std::uint64_t round)>
      write_until;
};

void print(const char* engine, const std::string& workload, int readers, std::uint64_t ops,
           double seconds, const char* rate_name, double per_reader) {
  double ns = ops ? seconds * 1e9 / double(ops) : 0;
  std::printf(
      "{\"bench\":\"concurrency\",\"workload\":\"%s\",\"engine\":\"%s\",\"readers\":%d,"
      "\"ops\":%llu,\"ns_per_op\":%.1f,\"%s\":%.0f",
      workload.c_str(), engine, readers, (unsigned long long)ops, ns, rate_name,
      double(ops) / seconds);
  if (per_reader >= 0) std::printf(",\"reads_per_sec_per_reader\":%.0f", per_reader);
  std::printf("}\n");
  std::fflush(stdout);
}

void run(const Engine& e, std::uint64_t keys, double seconds) {
  e.load(keys);
  std::uint64_t round = 1;
  for (int readers : {0, 1, 2, 4, 8}) {
    // Readers start, then all run for the same window as the writer.
    auto start = Clock::now() + std::chrono::milliseconds(200);
    auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::pair<pid_t, int>> children;
    for (int r = 0; r < readers; ++r) {
      int fds[2];
      if (::pipe(fds) != 0) die("pipe");
      pid_t pid = ::fork();
      if (pid == 0) {
        ::close(fds[0]);
        std::this_thread::sleep_until(start);
        std::uint64_t n = e.read_until(keys, end, 7919 * (r + 1));
        if (::write(fds[1], &n, sizeof n) != sizeof n) ::_exit(3);
        ::_exit(0);
      }
      ::close(fds[1]);
      children.emplace_back(pid, fds[0]);
    }
    std::this_thread::sleep_until(start);
    std::uint64_t commits = e.write_until(keys, end, round++);
    std::uint64_t reads = 0;
    for (auto [pid, fd] : children) {
      std::uint64_t n = 0;
      if (::read(fd, &n, sizeof n) != sizeof n) die("a reader failed");
      ::close(fd);
      int status = 0;
      ::waitpid(pid, &status, 0);
      reads += n;
    }
    print(e.name, "writer_commits_beside_" + std::to_string(readers) + "_readers", readers, commits,
          seconds, "commits_per_sec", -1);
    if (readers > 0)
      print(e.name, "random_reads_" + std::to_string(readers) + "_readers", readers, reads, seconds,
            "reads_per_sec", double(reads) / seconds / readers);
  }
}

// ---------------------------------------------------------------- deziro

std::string g_path;

std::shared_ptr<Instance> open_deziro() {
  auto opened = Database::open(g_path, OpenOptions{});
  if (!opened) die(opened.error().to_string());
  return opened->instance;
}

Engine deziro_engine() {
  Engine e;
  e.name = "deziro";
  e.load = [](std::uint64_t keys) {
    auto instance = open_deziro();
    auto w = WriteTxn::begin(instance);
    if (!w) die(w.error().to_string());
    for (std::uint64_t i = 0; i < keys; ++i)
      if (!(*w)->put(bytes_of(kTree), bytes_of(key_of(i)), bytes_of(value_of(i, 0)))) die("load");
    if (!(*w)->commit()) die("load commit");
    auto r = ReadTxn::begin(instance);
    auto v = r->open_tree(bytes_of(kTree), bytes_of(key_of(keys / 2)));
    if (!v || !*v || !value_matches(keys / 2, **v)) die("the loaded data does not read back");
  };
  e.read_until = [](std::uint64_t keys, Clock::time_point end, std::uint64_t seed) {
    auto instance = open_deziro();
    std::mt19937_64 rng(seed);
    std::uint64_t done = 0;
    while (Clock::now() < end) {
      auto r = ReadTxn::begin(instance);
      if (!r) die(r.error().to_string());
      auto reader = r->tree_reader(bytes_of(kTree));
      if (!reader || !*reader) die("no tree");
      for (int i = 0; i < kGetsPerSnapshot; ++i) {
        std::uint64_t k = rng() % keys;
        bool good = false;
        auto found = (*reader)->get(bytes_of(key_of(k)), [&](ByteView v) -> Status {
          good = value_matches(k, v);
          return ok();
        });
        if (!found || !*found || !good) die("a read came back wrong");
      }
      done += kGetsPerSnapshot;
    }
    return done;
  };
  e.write_until = [](std::uint64_t keys, Clock::time_point end, std::uint64_t round) {
    auto instance = open_deziro();
    std::mt19937_64 rng(round);
    std::uint64_t commits = 0;
    while (Clock::now() < end) {
      auto w = WriteTxn::begin(instance);
      if (!w) die(w.error().to_string());
      for (int i = 0; i < kPutsPerCommit; ++i) {
        std::uint64_t k = rng() % keys;
        if (!(*w)->put(bytes_of(kTree), bytes_of(key_of(k)), bytes_of(value_of(k, round))))
          die("put");
      }
      if (!(*w)->commit_deferred()) die("commit");
      ++commits;
    }
    return commits;
  };
  return e;
}

// ---------------------------------------------------------------- LMDB

#ifdef DEZIRO_BENCH_HAVE_LMDB
std::string g_lmdb_path;

void check(int rc, const char* what) {
  if (rc != 0) die(std::string(what) + ": " + mdb_strerror(rc));
}

MDB_env* open_lmdb() {
  MDB_env* env = nullptr;
  check(mdb_env_create(&env), "env");
  check(mdb_env_set_mapsize(env, std::size_t(4) << 30), "mapsize");
  check(mdb_env_set_maxreaders(env, 64), "maxreaders");
  check(mdb_env_open(env, g_lmdb_path.c_str(), MDB_NOSUBDIR | MDB_NOSYNC, 0644), "open");
  return env;
}

Engine lmdb_engine() {
  Engine e;
  e.name = "lmdb";
  e.load = [](std::uint64_t keys) {
    MDB_env* env = open_lmdb();
    MDB_txn* txn;
    MDB_dbi dbi;
    check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
    check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
    for (std::uint64_t i = 0; i < keys; ++i) {
      std::string k = key_of(i), v = value_of(i, 0);
      MDB_val mk{k.size(), k.data()}, mv{v.size(), v.data()};
      check(mdb_put(txn, dbi, &mk, &mv, 0), "put");
    }
    check(mdb_txn_commit(txn), "commit");
    mdb_env_sync(env, 1);
    mdb_env_close(env);
  };
  e.read_until = [](std::uint64_t keys, Clock::time_point end, std::uint64_t seed) {
    MDB_env* env = open_lmdb();
    MDB_txn* txn;
    MDB_dbi dbi;
    check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "begin");
    check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
    mdb_txn_reset(txn);
    std::mt19937_64 rng(seed);
    std::uint64_t done = 0;
    while (Clock::now() < end) {
      check(mdb_txn_renew(txn), "renew");
      for (int i = 0; i < kGetsPerSnapshot; ++i) {
        std::uint64_t k = rng() % keys;
        std::string key = key_of(k);
        MDB_val mk{key.size(), key.data()}, mv;
        check(mdb_get(txn, dbi, &mk, &mv), "get");
        if (!value_matches(k, ByteView(static_cast<const std::uint8_t*>(mv.mv_data), mv.mv_size)))
          die("an LMDB read came back wrong");
      }
      mdb_txn_reset(txn);
      done += kGetsPerSnapshot;
    }
    mdb_txn_abort(txn);
    mdb_env_close(env);
    return done;
  };
  e.write_until = [](std::uint64_t keys, Clock::time_point end, std::uint64_t round) {
    MDB_env* env = open_lmdb();
    MDB_dbi dbi;
    {
      MDB_txn* txn;
      check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
      check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
      check(mdb_txn_commit(txn), "commit");
    }
    std::mt19937_64 rng(round);
    std::uint64_t commits = 0;
    while (Clock::now() < end) {
      MDB_txn* txn;
      check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
      for (int i = 0; i < kPutsPerCommit; ++i) {
        std::uint64_t k = rng() % keys;
        std::string key = key_of(k), v = value_of(k, round);
        MDB_val mk{key.size(), key.data()}, mv{v.size(), v.data()};
        check(mdb_put(txn, dbi, &mk, &mv, 0), "put");
      }
      check(mdb_txn_commit(txn), "commit");
      ++commits;
    }
    mdb_env_close(env);
    return commits;
  };
  return e;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t keys = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
  double seconds = argc > 2 ? std::strtod(argv[2], nullptr) : 1.5;
  auto dir =
      std::filesystem::temp_directory_path() / ("bench_concurrency." + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  g_path = (dir / "deziro.db").string();
  run(deziro_engine(), keys, seconds);
#ifdef DEZIRO_BENCH_HAVE_LMDB
  g_lmdb_path = (dir / "lmdb.mdb").string();
  run(lmdb_engine(), keys, seconds);
#endif
  std::filesystem::remove_all(dir);
  return 0;
}
