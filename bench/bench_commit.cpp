// What one commit costs in storage operations and syncs, on a real file:
// single-put durable commits, a durable commit after a durable-then-deferred
// pair, and empty commits; and the sync call itself (fsync beside
// fdatasync) after the writes of a small commit. Besides the common fields
// each line reports syncs and storage operations (writes, syncs, length
// changes) per operation. Argument: [commits], default 300.
// `bench_commit COMMITS large KEYS` instead makes that many single-put
// durable commits of new random keys on a file of KEYS keys and reports
// besides the separate runs of blocks each commit writes (what its sync
// carries as separate writes) and the file's page count before and after;
// `bench_commit COMMITS deferred KEYS` the same for deferred commits of 10
// puts over the keys loaded (the writer of bench_concurrency alone, for a
// profile; with no background sync, pages freed wait for the end);
// `bench_commit COMMITS writer KEYS` the same with the default background
// sync, so that pages freed are taken again as bench_concurrency's writer
// does.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "database.hpp"
#include "format/page.hpp"
#include "scratch.hpp"
#include "txn/write_txn.hpp"

using namespace deziro;
using Clock = std::chrono::steady_clock;

namespace {

// Counts the calls that reach the file.
class CountingStorage final : public Storage {
 public:
  explicit CountingStorage(std::unique_ptr<Storage> inner) : inner_(std::move(inner)) {}
  const std::string& path() const override { return inner_->path(); }
  Result<std::size_t> read_at(std::uint64_t offset, ByteSpan out) override {
    ++reads;
    auto r = inner_->read_at(offset, out);
    if (r) note_pages(reads_by_node, offset, out.first(*r));
    return r;
  }
  Status write_at(std::uint64_t offset, ConstByteSpan data) override {
    ++operations;
    note_blocks(offset, data.size());
    note_pages(writes_by_node, offset, data);
    return inner_->write_at(offset, data);
  }
  Status write_vectored_at(std::uint64_t offset, std::span<const ConstByteSpan> buffers) override {
    ++operations;
    std::size_t bytes = 0;
    for (auto b : buffers) {
      note_pages(writes_by_node, offset + bytes, b);
      bytes += b.size();
    }
    note_blocks(offset, bytes);
    return inner_->write_vectored_at(offset, buffers);
  }
  // The runs of consecutive 4 KiB blocks written since the last call: what
  // a sync carries as separate writes.
  std::uint64_t take_block_runs() {
    std::ranges::sort(blocks_);
    blocks_.erase(std::unique(blocks_.begin(), blocks_.end()), blocks_.end());
    std::uint64_t runs = 0, next = UINT64_MAX;
    for (std::uint64_t b : blocks_) {
      if (b != next) ++runs;
      next = b + 1;
    }
    blocks_.clear();
    return runs;
  }
  Status sync() override {
    ++operations;
    ++syncs;
    return inner_->sync();
  }
  Result<std::uint64_t> len_or_error() override { return inner_->len_or_error(); }
  Status set_len(std::uint64_t length) override {
    ++operations;
    return inner_->set_len(length);
  }

  std::uint64_t operations = 0;
  std::uint64_t syncs = 0;
  std::uint64_t reads = 0;
  // Node pages read and written by tree id and level; level -1 counts the
  // reads and writes of anything else (records, the selector, overflow).
  using ByNode = std::map<std::pair<std::uint64_t, int>, std::uint64_t>;
  ByNode reads_by_node, writes_by_node;

 private:
  // Each 4 KiB page of a transfer under its node page's tree and level,
  // which its plain header tells.
  static void note_pages(ByNode& by_node, std::uint64_t offset, ConstByteSpan data) {
    if (offset % 4096 != 0 || data.size() % 4096 != 0) {
      ++by_node[{0, -1}];
      return;
    }
    for (std::size_t at = 0; at < data.size(); at += 4096) {
      PageHeader header = PageHeader::read(data.subspan(at, kPageHeaderSize));
      if (is_known_page_kind(header.kind) && header.kind != std::uint8_t(PageKind::Overflow))
        ++by_node[{header.tree_id, header.level}];
      else
        ++by_node[{0, -1}];
    }
  }
  void note_blocks(std::uint64_t offset, std::size_t bytes) {
    for (std::uint64_t b = offset / 4096; b * 4096 < offset + bytes; ++b) blocks_.push_back(b);
  }

  std::unique_ptr<Storage> inner_;
  // Sorted and made unique when taken; kept with its capacity, so that
  // counting adds no allocation of its own to the commits it counts.
  std::vector<std::uint64_t> blocks_;
};

void die(const std::string& what) {
  std::fprintf(stderr, "bench_commit: %s\n", what.c_str());
  std::exit(1);
}

template <typename T>
T need(Result<T> r, const char* what) {
  if (!r) die(std::string(what) + ": " + r.error().to_string());
  return std::move(*r);
}

void need(Status s, const char* what) {
  if (!s) die(std::string(what) + ": " + s.error().to_string());
}

struct Opened {
  CountingStorage* storage;
  std::shared_ptr<Instance> instance;
};

Opened open_new(const std::string& path, bool background_sync = false) {
  OpenOptions options;
  if (!background_sync) options.SYNC_DELAY = std::chrono::hours(1);
  need(Database::create_file(path, need(Database::new_first_page(options), "first page")),
       "create");
  auto counting = std::make_unique<CountingStorage>(need(Database::open_file(path), "open"));
  CountingStorage* raw = counting.get();
  return {raw, need(Database::open_existing(std::move(counting), options), "open existing")};
}

void commit_one(const std::shared_ptr<Instance>& instance, std::uint64_t n, bool deferred,
                bool empty = false) {
  auto w = need(WriteTxn::begin(instance), "begin");
  if (!empty) {
    std::string key = "k" + std::to_string(n % 1000);
    need(w->put(bytes_of("t"), bytes_of(key), bytes_of(std::string(100, 'v'))), "put");
  }
  need(deferred ? w->commit_deferred() : w->commit(), "commit");
}

void report(const char* workload, std::uint64_t ops, Clock::duration spent, double syncs,
            double storage_ops) {
  std::printf(
      "{\"bench\":\"commit\",\"workload\":\"%s\",\"engine\":\"deziro\",\"ops\":%llu,"
      "\"ns_per_op\":%.0f,\"syncs_per_op\":%.2f,\"storage_ops_per_op\":%.2f}\n",
      workload, static_cast<unsigned long long>(ops),
      double(std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count()) / double(ops),
      syncs, storage_ops);
}

// `pattern` lists each commit of a round: 'D' durable, 'd' deferred, 'e' an
// empty durable commit. Counts and times the last commit of each round.
void run_pattern(const std::string& dir, const char* workload, const std::string& pattern,
                 std::uint64_t rounds) {
  Opened db = open_new(dir + "/" + workload + ".db");
  for (int i = 0; i < 20; ++i) commit_one(db.instance, i, false);
  Clock::duration spent{};
  std::uint64_t syncs = 0, operations = 0, n = 0;
  for (std::uint64_t r = 0; r < rounds; ++r) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
      bool last = i + 1 == pattern.size();
      std::uint64_t s0 = db.storage->syncs, o0 = db.storage->operations;
      auto t0 = Clock::now();
      commit_one(db.instance, ++n, pattern[i] == 'd', pattern[i] == 'e');
      if (!last) continue;
      spent += Clock::now() - t0;
      syncs += db.storage->syncs - s0;
      operations += db.storage->operations - o0;
    }
  }
  report(workload, rounds, spent, double(syncs) / double(rounds),
         double(operations) / double(rounds));
}

// The writes of a small commit (four pages, a record, the selector byte of
// the commit before), then one sync call.
void run_sync_call(const std::string& dir, const char* workload, int (*sync_call)(int),
                   std::uint64_t rounds) {
  std::string path = dir + "/" + workload + ".bin";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) die("open " + path);
  std::string page(4096, 'p');
  for (int i = 0; i < 64; ++i)
    if (::pwrite(fd, page.data(), page.size(), off_t(i) * 4096) != 4096) die("pwrite");
  ::fsync(fd);
  Clock::duration spent{};
  for (std::uint64_t r = 0; r < rounds; ++r) {
    page[0] = char(r);
    auto t0 = Clock::now();
    for (int i = 0; i < 4; ++i)
      if (::pwrite(fd, page.data(), page.size(), off_t(1 + (r * 4 + i) % 63) * 4096) != 4096)
        die("pwrite");
    if (::pwrite(fd, page.data(), 512, 512 + off_t(r % 3) * 512) != 512) die("pwrite");
    if (::pwrite(fd, page.data(), 1, 64) != 1) die("pwrite");
    if (sync_call(fd) != 0) die("sync");
    spent += Clock::now() - t0;
  }
  ::close(fd);
  report(workload, rounds, spent, 1, 7);
}

// Single-put durable commits of new random keys (16-byte keys, 100-byte
// values, as bench_kv's) on a file of `keys` keys, or deferred commits of
// `puts` puts over the keys loaded: time, syncs, storage operations and
// separate runs of blocks written per commit, and the file's page count
// before and after.
void run_large_file(const std::string& dir, std::uint64_t keys, std::uint64_t commits, int puts = 1,
                    bool deferred = false, bool background_sync = false) {
  Opened db = open_new(dir + "/large.db", background_sync);
  std::mt19937_64 rng(2026);
  auto random_bytes = [&](std::size_t len) {
    std::string s(len, '\0');
    for (auto& c : s) c = char(rng());
    return s;
  };
  std::vector<std::string> loaded;
  {
    auto w = need(WriteTxn::begin(db.instance), "begin");
    for (std::uint64_t i = 0; i < keys; ++i) {
      loaded.push_back(random_bytes(16));
      need(w->put(bytes_of("t"), bytes_of(loaded.back()), bytes_of(random_bytes(100))), "put");
    }
    need(w->commit(), "commit");
  }
  auto page_count = [&] { return db.instance->published().record.page_count; };
  const std::uint64_t pages_before = page_count();
  db.storage->take_block_runs();
  std::uint64_t s0 = db.storage->syncs, o0 = db.storage->operations, r0 = db.storage->reads,
                runs = 0;
  CountingStorage::ByNode reads0 = db.storage->reads_by_node, writes0 = db.storage->writes_by_node;
  Clock::duration spent{};
  for (std::uint64_t i = 0; i < commits; ++i) {
    std::string key = random_bytes(16), value = random_bytes(100);
    auto t0 = Clock::now();
    auto w = need(WriteTxn::begin(db.instance), "begin");
    if (puts == 1) {
      need(w->put(bytes_of("t"), bytes_of(key), bytes_of(value)), "put");
    } else {
      for (int p = 0; p < puts; ++p)
        need(w->put(bytes_of("t"), bytes_of(loaded[rng() % keys]), bytes_of(value)), "put");
    }
    need(deferred ? w->commit_deferred() : w->commit(), "commit");
    spent += Clock::now() - t0;
    runs += db.storage->take_block_runs();
  }
  std::printf(
      "{\"bench\":\"commit\",\"workload\":\"%s\",\"engine\":\"deziro\","
      "\"ops\":%llu,\"ns_per_op\":%.0f,\"syncs_per_op\":%.2f,\"storage_ops_per_op\":%.2f,"
      "\"block_runs_per_op\":%.2f,\"reads_per_op\":%.2f,\"pages_before\":%llu,"
      "\"pages_after\":%llu}\n",
      deferred ? "deferred_puts_on_large_file" : "durable_put_on_large_file",
      static_cast<unsigned long long>(commits),
      double(std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count()) / double(commits),
      double(db.storage->syncs - s0) / double(commits),
      double(db.storage->operations - o0) / double(commits), double(runs) / double(commits),
      double(db.storage->reads - r0) / double(commits),
      static_cast<unsigned long long>(pages_before), static_cast<unsigned long long>(page_count()));
  // Which pages the commits read and wrote: tree 1 is the catalog, 2 and 3
  // the free-space trees, others the user's; level 0 is a leaf.
  auto breakdown = [&](const char* workload, const CountingStorage::ByNode& now,
                       CountingStorage::ByNode& before) {
    std::string fields;
    for (auto& [where, n] : now) {
      double per_op = double(n - before[where]) / double(commits);
      if (per_op < 0.005) continue;
      char field[96];
      if (where.second < 0)
        std::snprintf(field, sizeof field, ",\"other\":%.2f", per_op);
      else
        std::snprintf(field, sizeof field, ",\"tree_%llu_level_%d\":%.2f",
                      static_cast<unsigned long long>(where.first), where.second, per_op);
      fields += field;
    }
    std::printf("{\"bench\":\"commit\",\"workload\":\"%s\"%s}\n", workload, fields.c_str());
  };
  breakdown("reads_per_op_by_page", db.storage->reads_by_node, reads0);
  breakdown("writes_per_op_by_page", db.storage->writes_by_node, writes0);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t commits = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 300;
  std::string dir = bench::scratch_folder("commit");
  if (argc > 3 && std::string(argv[2]) == "large") {
    run_large_file(dir, std::strtoull(argv[3], nullptr, 10), commits);
    return 0;
  }
  if (argc > 3 && std::string(argv[2]) == "deferred") {
    run_large_file(dir, std::strtoull(argv[3], nullptr, 10), commits, 10, true);
    return 0;
  }
  if (argc > 3 && std::string(argv[2]) == "writer") {
    run_large_file(dir, std::strtoull(argv[3], nullptr, 10), commits, 10, true, true);
    return 0;
  }
  run_pattern(dir, "durable_commit", "D", commits);
  run_pattern(dir, "durable_after_durable_deferred", "DdD", commits / 3);
  run_pattern(dir, "empty_durable_commit", "e", commits);
  run_sync_call(dir, "fsync_after_small_commit", ::fsync, commits);
  run_sync_call(dir, "fdatasync_after_small_commit", ::fdatasync, commits);
  return 0;
}
