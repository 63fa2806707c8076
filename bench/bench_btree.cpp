// B-tree workloads at the tree level (no transaction layer): building a
// tree in one transaction, random point gets and a full forward scan, beside
// LMDB doing the same.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "btree/cursor.hpp"
#include "btree/pager/pager_source.hpp"
#include "btree/tree.hpp"
#include "crypto/page_protection.hpp"
#include "scratch.hpp"
#include "storage/db_file.hpp"

#ifdef DEZIRO_BENCH_HAVE_LMDB
#include <lmdb.h>
#endif

namespace {

using namespace deziro;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kEntries = 200000;
constexpr std::size_t kGets = 1000000;
constexpr std::size_t kValueSize = 100;

void report(const char* workload, const char* engine, std::size_t ops, Clock::duration spent) {
  double ns = std::chrono::duration<double, std::nano>(spent).count() / static_cast<double>(ops);
  std::printf(
      "{\"bench\": \"btree\", \"workload\": \"%s\", \"engine\": \"%s\", \"ops\": %zu, "
      "\"ns_per_op\": %.1f}\n",
      workload, engine, ops, ns);
  std::fflush(stdout);
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "bench_btree: %s\n", what);
  std::exit(1);
}

std::string key_of(std::size_t i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "user:%010zu", i * 2654435761u % 4000000007u);
  return buf;
}

std::vector<std::size_t> random_order(std::size_t n, std::size_t count) {
  std::mt19937_64 rng(42);
  std::vector<std::size_t> out(count);
  for (auto& i : out) i = rng() % n;
  return out;
}

// Pages handed out from the end of the file, sealed and written at once.
class AppendPages final : public PageSink {
 public:
  AppendPages(const Pager& pager, const PageProtection& protection)
      : pager_(pager), protection_(protection) {}
  Result<std::uint64_t> allocate_page() override { return next_++; }
  Result<std::uint64_t> allocate_run(std::uint32_t count) override {
    std::uint64_t first = next_;
    next_ += count;
    return first;
  }
  Status write_pages(std::uint64_t first, std::span<std::uint8_t> pages,
                     std::span<PageStamp> stamps) override {
    std::vector<ConstByteSpan> spans;
    std::size_t size = pager_.page_size();
    for (std::size_t i = 0; i < stamps.size(); ++i) {
      auto page = pages.subspan(i * size, size);
      stamps[i] = DZ_TRY(protection_.seal_page(first + i, page));
      spans.push_back(page);
    }
    return pager_.write_pages(first, spans);
  }
  void release_pages(std::uint64_t, std::uint64_t) override {}

 private:
  const Pager& pager_;
  const PageProtection& protection_;
  std::uint64_t next_ = 1;
};

void bench_deziro(const std::string& dir) {
  auto file = DbFile::open(dir + "/tree.db", DbFileMode::CreateNew);
  if (!file) die("cannot create the file");
  PageProtection protection = PageProtection::checksum();
  Pager pager(*file, 4096, protection, 64u << 20);
  PagerSource source(pager);
  AppendPages pages(pager, protection);
  WriteContext cx{source, 20, 1, LeafLayout::Varint, pages};
  std::string value(kValueSize, 'v');

  TreeRoot root;
  auto start = Clock::now();
  for (std::size_t i = 0; i < kEntries; ++i) {
    std::string key = key_of(i);
    if (!btree::put(cx, root, bytes_view(key), bytes_view(value))) die("put failed");
  }
  if (!btree::write_tree(cx, root)) die("write failed");
  report("put_random_one_txn", "deziro", kEntries, Clock::now() - start);

  ReadContext rx{source, 20};
  std::vector<std::size_t> order = random_order(kEntries, kGets);
  std::size_t found = 0;
  std::size_t bytes = 0;
  auto count = [&](ByteView v) {
    bytes += v.size();
    return ok();
  };
  // One pass to check every answer and warm the cache, then the timed pass.
  for (std::size_t i = 0; i < kEntries; ++i)
    if (btree::get(rx, root, bytes_view(key_of(i)), count).value_or(false)) ++found;
  if (found != kEntries || bytes != kEntries * kValueSize) die("a get missed");
  std::vector<std::string> keys;
  for (std::size_t i : order) keys.push_back(key_of(i));
  start = Clock::now();
  for (const std::string& key : keys)
    if (!btree::get(rx, root, bytes_view(key), count).value_or(false)) die("a get missed");
  report("get_random", "deziro", kGets, Clock::now() - start);

  std::size_t seen = 0;
  auto visit = [&](ByteView, ByteView v) -> Result<VisitAnswer> {
    seen += v.size() == kValueSize;
    return VisitAnswer::Continue;
  };
  start = Clock::now();
  if (!read::scan_forward(rx, root, {}, {}, visit)) die("scan failed");
  auto spent = Clock::now() - start;
  if (seen != kEntries) die("the scan missed entries");
  report("scan_forward", "deziro", kEntries, spent);
}

#ifdef DEZIRO_BENCH_HAVE_LMDB
void check(int rc, const char* what) {
  if (rc != 0) die(what);
}

void bench_lmdb(const std::string& dir) {
  MDB_env* env = nullptr;
  check(mdb_env_create(&env), "mdb_env_create");
  check(mdb_env_set_mapsize(env, std::size_t{1} << 30), "mapsize");
  check(mdb_env_open(env, dir.c_str(), MDB_NOSYNC, 0644), "mdb_env_open");
  MDB_txn* txn = nullptr;
  MDB_dbi dbi;
  std::string value(kValueSize, 'v');
  auto start = Clock::now();
  check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
  check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
  for (std::size_t i = 0; i < kEntries; ++i) {
    std::string key = key_of(i);
    MDB_val k{key.size(), key.data()};
    MDB_val v{value.size(), value.data()};
    check(mdb_put(txn, dbi, &k, &v, 0), "put");
  }
  check(mdb_txn_commit(txn), "commit");
  report("put_random_one_txn", "lmdb", kEntries, Clock::now() - start);

  check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "begin read");
  std::vector<std::size_t> order = random_order(kEntries, kGets);
  std::vector<std::string> keys;
  for (std::size_t i : order) keys.push_back(key_of(i));
  std::size_t bytes = 0;
  start = Clock::now();
  for (std::string& key : keys) {
    MDB_val k{key.size(), key.data()};
    MDB_val v;
    check(mdb_get(txn, dbi, &k, &v), "get");
    bytes += v.mv_size;
  }
  auto spent = Clock::now() - start;
  if (bytes != kGets * kValueSize) die("lmdb get missed");
  report("get_random", "lmdb", kGets, spent);

  MDB_cursor* cursor = nullptr;
  check(mdb_cursor_open(txn, dbi, &cursor), "cursor");
  std::size_t seen = 0;
  MDB_val k;
  MDB_val v;
  start = Clock::now();
  for (int rc = mdb_cursor_get(cursor, &k, &v, MDB_FIRST); rc == 0;
       rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT))
    seen += v.mv_size == kValueSize;
  spent = Clock::now() - start;
  if (seen != kEntries) die("lmdb scan missed entries");
  report("scan_forward", "lmdb", kEntries, spent);
  mdb_cursor_close(cursor);
  mdb_txn_abort(txn);
  mdb_env_close(env);
}
#endif

}  // namespace

int main() {
  const std::string dir = bench::scratch_folder("btree");
  bench_deziro(dir);
#ifdef DEZIRO_BENCH_HAVE_LMDB
  bench_lmdb(dir);
#endif
  return 0;
}
