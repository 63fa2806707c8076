// Locks between processes: snapshots that stay exact while another process
// commits, writers that take turns, BUSY after the busy timeout, locks freed
// by a killed process, and handles that a forked child must not use.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "database.hpp"
#include "lock/file_lock.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "text_format.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::Child;
using testing::Signal;

ByteView b(const std::string& s) { return bytes_of(s); }

constexpr int kKeys = 400;

std::string key_name(int k) { return "key" + std::to_string(1000 + k); }

// A key's value carries the generation that last wrote it; the long tail
// spreads the tree over a few dozen pages.
std::string value_of(std::uint64_t generation, int k) {
  return "g" + std::to_string(generation) + ":" + key_name(k) + ":" +
         std::string(180, 'a' + k % 26);
}

std::uint64_t generation_of(const std::string& value) {
  return std::stoull(value.substr(1, value.find(':') - 1));
}

OpenOptions options_with(std::chrono::milliseconds busy = 5000ms) {
  OpenOptions o;
  o.busy_timeout = busy;
  return o;
}

// Generation 0 writes every key, later ones a spread of 24 keys each, so
// that every commit releases a few leaves for later commits to reuse.
Status write_generation(const std::shared_ptr<Instance>& instance, std::uint64_t generation,
                        bool deferred) {
  auto w = DZ_TRY(WriteTxn::begin(instance));
  for (int k = 0; k < kKeys; ++k)
    if (generation == 0 || (k * 7 + generation) % (kKeys / 24) == 0)
      DZ_CHECK(w->put(b("t"), b(key_name(k)), b(value_of(generation, k))));
  DZ_CHECK(w->put(b("t"), b("generation"), b(std::to_string(generation))));
  return deferred ? w->commit_deferred() : w->commit();
}

// All keys of a snapshot, or an empty list when any read failed.
std::vector<std::string> read_all(ReadTxn& r) {
  std::vector<std::string> out;
  for (int k = 0; k < kKeys; ++k) {
    auto v = r.open_tree(b("t"), b(key_name(k)));
    if (!v || !*v) return {};
    out.emplace_back((*v)->begin(), (*v)->end());
  }
  return out;
}

class ProcessLocks : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("shared.db");
    auto opened = Database::open(path_, options_with());
    ASSERT_TRUE(opened) << opened.error().to_string();
    ASSERT_TRUE(write_generation(opened->instance, 0, false));
  }

  testing::TempDir dir_;
  std::string path_;
};

std::uint64_t snapshot_generation(ReadTxn& r) {
  auto v = r.open_tree(b("t"), b("generation"));
  if (!v || !*v) return UINT64_MAX;
  return std::stoull(std::string((*v)->begin(), (*v)->end()));
}

// A reader process: takes snapshot after snapshot until it has seen
// `last`, reading each one twice with a pause between, while the writer
// commits several times. Its page cache is too small for the tree, so the
// second read goes to the file: a page reused under the snapshot shows up
// as a damaged page or as changed content.
int read_snapshots_until(const std::string& path, std::uint64_t last) {
  OpenOptions o = options_with();
  o.cache_size = 16 * 4096;
  auto opened = Database::open(path, o);
  if (!opened) return 2;
  std::uint64_t seen = 0;
  int snapshots = 0;
  // Until the last commit, however long the writer takes (the test ends a
  // reader whose writer failed).
  while (seen < last || snapshots < 20) {
    auto r = ReadTxn::begin(opened->instance);
    if (!r) return 4;
    auto first = read_all(*r);
    if (first.empty()) return 5;
    std::uint64_t g = snapshot_generation(*r);
    for (int k = 0; k < kKeys; ++k)
      if (generation_of(first[k]) > g || first[k] != value_of(generation_of(first[k]), k)) return 6;
    if (g < seen) return 7;
    seen = g;
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + snapshots % 13));
    if (read_all(*r) != first) return 8;
    ++snapshots;
  }
  return 0;
}

constexpr std::uint64_t kCommits = 1500;

DZ_CHILD(read_snapshots) { return read_snapshots_until(args[0], kCommits); }

DZ_CHILD(write_generations) {
  OpenOptions o = options_with();
  // Deferred commits made durable every few milliseconds: pages are freed
  // and reused at a high rate.
  o.SYNC_DELAY = 5ms;
  auto opened = Database::open(args[0], o);
  if (!opened) return 2;
  for (std::uint64_t g = 1; g <= kCommits; ++g)
    if (!write_generation(opened->instance, g, g % 64 != 0)) return 3;
  return 0;
}

TEST_F(ProcessLocks,
       snapshots_in_other_processes_stay_exact_while_a_writer_commits_over_a_thousand_times) {
  std::vector<Child> readers;
  for (int i = 0; i < 3; ++i) readers.push_back(Child("read_snapshots", {path_}));
  Child writer("write_generations", {path_});
  int written = writer.wait();
  EXPECT_EQ(written, 0);
  for (auto& r : readers) {
    if (written != 0) r.kill_now();
    EXPECT_EQ(r.wait(), 0);
  }

  auto opened = Database::open(path_, options_with());
  ASSERT_TRUE(opened);
  auto r = ReadTxn::begin(opened->instance);
  ASSERT_TRUE(r);
  auto all = read_all(*r);
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(snapshot_generation(*r), kCommits);
}

constexpr int kEach = 150;

DZ_CHILD(add_one_at_a_time) {
  auto opened = Database::open(args[0], options_with());
  if (!opened) return 2;
  for (int i = 0; i < kEach; ++i) {
    auto w = WriteTxn::begin(opened->instance);
    if (!w) return 3;
    auto v = (*w)->open_tree(b("t"), b("counter"));
    if (!v) return 4;
    int n = *v ? std::stoi(std::string((*v)->begin(), (*v)->end())) : 0;
    // A writer that began from a stale head, or ran beside the other,
    // would lose increments.
    std::this_thread::sleep_for(50us);
    if (!(*w)->put(b("t"), b("counter"), b(std::to_string(n + 1)))) return 5;
    if (!(i % 2 ? (*w)->commit() : (*w)->commit_deferred())) return 6;
  }
  return 0;
}

TEST_F(ProcessLocks, two_writers_in_two_processes_never_interleave) {
  Child first("add_one_at_a_time", {path_});
  Child second("add_one_at_a_time", {path_});
  EXPECT_EQ(first.wait(), 0);
  EXPECT_EQ(second.wait(), 0);
  auto opened = Database::open(path_, options_with());
  ASSERT_TRUE(opened);
  auto r = ReadTxn::begin(opened->instance);
  ASSERT_TRUE(r);
  auto v = r->open_tree(b("t"), b("counter"));
  ASSERT_TRUE(v && *v);
  EXPECT_EQ(std::string((*v)->begin(), (*v)->end()), std::to_string(2 * kEach));
}

// Holds a write transaction until told, or until killed when args[3] is 1
// (after a put).
DZ_CHILD(hold_a_write) {
  Signal holding = args.signal(1), done = args.signal(2);
  auto opened = Database::open(args[0], options_with());
  if (!opened) return 2;
  auto w = WriteTxn::begin(opened->instance);
  if (!w) return 3;
  if (args.number(3) == 1 && !(*w)->put(b("t"), b("half"), b("written"))) return 3;
  holding.send();
  done.receive(std::chrono::milliseconds(-1));
  return 0;
}

TEST_F(ProcessLocks, busy_arrives_after_the_busy_timeout_with_its_message) {
  Signal holding, done;
  Child holder("hold_a_write", {path_, holding, done, 0});
  ASSERT_EQ(holding.receive(), 'x');
  auto opened = Database::open(path_, options_with(300ms));
  ASSERT_TRUE(opened) << opened.error().to_string();
  auto start = Clock::now();
  auto w = WriteTxn::begin(opened->instance);
  auto waited = Clock::now() - start;
  ASSERT_FALSE(w);
  EXPECT_EQ(w.error().kind(), ErrorKind::Busy);
  EXPECT_EQ(w.error().to_string(),
            "`" + path_ +
                "` stayed busy for longer than the busy timeout: another write transaction held "
                "it, another process was recovering it, or salvage needed it alone");
  EXPECT_GE(waited, 300ms);
  // Snapshots do not wait for the writer.
  EXPECT_TRUE(ReadTxn::begin(opened->instance));
  done.send();
  EXPECT_EQ(holder.wait(), 0);
  EXPECT_TRUE(WriteTxn::begin(opened->instance));
}

DZ_CHILD(hold_the_file_alone) {
  Signal holding = args.signal(1), done = args.signal(2);
  FileLock lock(::open(args[0].c_str(), O_RDWR), args[0]);
  auto alone = lock.try_lock(lock_bytes::kFile, LockMode::Exclusive);
  if (!alone || !*alone) return 2;
  holding.send();
  done.receive(std::chrono::milliseconds(-1));
  return 0;
}

TEST_F(ProcessLocks, open_is_busy_while_another_process_holds_the_file_alone) {
  Signal holding, done;
  Child holder("hold_the_file_alone", {path_, holding, done});
  ASSERT_EQ(holding.receive(), 'x');
  auto start = Clock::now();
  auto opened = Database::open(path_, options_with(200ms));
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().kind(), ErrorKind::Busy);
  EXPECT_GE(Clock::now() - start, 200ms);
  done.send();
  EXPECT_EQ(holder.wait(), 0);
  EXPECT_TRUE(Database::open(path_, options_with(200ms)));
}

TEST_F(ProcessLocks, writer_killed_with_sigkill_frees_the_write_lock) {
  Signal holding, never;
  Child holder("hold_a_write", {path_, holding, never, 1});
  ASSERT_EQ(holding.receive(), 'x');
  auto opened = Database::open(path_, options_with(200ms));
  ASSERT_TRUE(opened);
  ASSERT_FALSE(WriteTxn::begin(opened->instance));
  holder.kill_now();
  EXPECT_EQ(holder.wait(), 1000 + SIGKILL);
  auto w = WriteTxn::begin(opened->instance);
  ASSERT_TRUE(w) << w.error().to_string();
  EXPECT_FALSE(*(*w)->open_tree(b("t"), b("half")));
}

// Holds a snapshot of commit args[3] until killed.
DZ_CHILD(hold_a_snapshot) {
  Signal holding = args.signal(1), never = args.signal(2);
  auto opened = Database::open(args[0], options_with());
  if (!opened) return 2;
  auto r = ReadTxn::begin(opened->instance);
  if (!r || r->txn_id() != args.number(3)) return 3;
  holding.send();
  never.receive(std::chrono::milliseconds(-1));
  return 4;
}

TEST_F(ProcessLocks, reader_killed_with_sigkill_frees_its_snapshot) {
  Signal holding;
  std::uint64_t snapshot = 0;
  {
    auto opened = Database::open(path_, options_with());
    ASSERT_TRUE(opened);
    snapshot = opened->instance->published().record.txn_id;
  }
  Signal never;
  Child holder("hold_a_snapshot", {path_, holding, never, snapshot});
  ASSERT_EQ(holding.receive(), 'x');
  // A lock state of its own in this process: it sees only the other
  // process's locks, and is dropped before the file is opened here.
  auto reader_held = [&] {
    FileLock probe(::open(path_.c_str(), O_RDWR), path_);
    return probe.held_by_another(lock_bytes::reader(snapshot), LockMode::Exclusive).value();
  };
  EXPECT_TRUE(reader_held());

  auto opened = Database::open(path_, options_with());
  ASSERT_TRUE(opened);
  // While the snapshot lives, what it sees is never freed.
  for (std::uint64_t g = 1; g <= 6; ++g) ASSERT_TRUE(write_generation(opened->instance, g, false));
  auto limit = opened->instance->reclaim_limit(opened->instance->published().record.txn_id + 1);
  ASSERT_TRUE(limit);
  EXPECT_LE(*limit, snapshot);

  holder.kill_now();
  EXPECT_EQ(holder.wait(), 1000 + SIGKILL);
  limit = opened->instance->reclaim_limit(opened->instance->published().record.txn_id + 1);
  ASSERT_TRUE(limit);
  EXPECT_GT(*limit, snapshot);
}

TEST_F(ProcessLocks, reader_bytes_are_tested_only_when_the_oldest_retained_group_could_go) {
  Signal holding, never;
  std::uint64_t snapshot = 0;
  {
    auto opened = Database::open(path_, options_with());
    ASSERT_TRUE(opened);
    snapshot = opened->instance->published().record.txn_id;
  }
  Child holder("hold_a_snapshot", {path_, holding, never, snapshot});
  ASSERT_EQ(holding.receive(), 'x');
  auto opened = Database::open(path_, options_with());
  ASSERT_TRUE(opened);
  for (std::uint64_t g = 1; g <= 6; ++g) ASSERT_TRUE(write_generation(opened->instance, g, false));
  const std::uint64_t next = opened->instance->published().record.txn_id + 1;
  // With no group to consider the slots and the durable commit bound the
  // limit alone: past the snapshot the other process holds.
  auto bound = opened->instance->reclaim_limit(next, UINT64_MAX);
  ASSERT_TRUE(bound);
  EXPECT_GT(*bound, snapshot);
  // A group older than that bound could be freed: the bytes are tested
  // and the snapshot keeps it, down to a group at the bound itself.
  for (std::uint64_t oldest : {std::uint64_t{1}, snapshot, *bound}) {
    auto limit = opened->instance->reclaim_limit(next, oldest);
    ASSERT_TRUE(limit);
    EXPECT_LE(*limit, snapshot) << "oldest group " << oldest;
  }
  // Past the bound the bytes could only lower a limit that frees nothing.
  auto skipped = opened->instance->reclaim_limit(next, *bound + 1);
  ASSERT_TRUE(skipped);
  EXPECT_EQ(*skipped, *bound);
  holder.kill_now();
  EXPECT_EQ(holder.wait(), 1000 + SIGKILL);
}

// 0 when another process holds the file and the reader byte of args[1].
DZ_CHILD(file_and_reader_held) {
  FileLock lock(::open(args[0].c_str(), O_RDWR), args[0]);
  auto file = lock.held_by_another(lock_bytes::kFile, LockMode::Exclusive);
  auto reader = lock.held_by_another(lock_bytes::reader(args.number(1)), LockMode::Exclusive);
  if (!file || !*file) return 2;
  if (!reader || !*reader) return 3;
  return 0;
}

// Reads the head through a descriptor of its own and closes it, as a copy
// or a backup script would.
void peek_through_another_descriptor(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  char head[100];
  EXPECT_EQ(::pread(fd, head, sizeof head, 0), ssize_t(sizeof head));
  ::close(fd);
}

// A child that writes one key; 0 when its writer was refused with BUSY, 1
// when it committed.
int write_one_key(const std::string& path, const std::string& key, std::chrono::milliseconds busy) {
  auto opened = Database::open(path, options_with(busy));
  if (!opened) return 2;
  auto w = WriteTxn::begin(opened->instance);
  if (!w) return w.error().kind() == ErrorKind::Busy ? 0 : 3;
  if (!(*w)->put(b("t"), b(key), b("1"))) return 4;
  return (*w)->commit() ? 1 : 5;
}

// Writes the key args[1] into args[0], waiting args[2] ms for the locks: 0
// when refused with BUSY.
DZ_CHILD(write_one_key) {
  return write_one_key(args[0], args[1], std::chrono::milliseconds(args.number(2)));
}

// Makes 40 commits to args[0].
DZ_CHILD(write_forty_generations) {
  auto theirs = Database::open(args[0], options_with());
  if (!theirs) return 2;
  for (std::uint64_t g = 1; g <= 40; ++g)
    if (!write_generation(theirs->instance, g, false)) return 3;
  return 0;
}

std::optional<std::string> read_key(const std::shared_ptr<Instance>& instance,
                                    const std::string& key) {
  auto r = ReadTxn::begin(instance);
  if (!r) return "no snapshot";
  auto v = r->open_tree(b("t"), b(key));
  if (!v || !*v) return std::nullopt;
  return std::string((*v)->begin(), (*v)->end());
}

TEST_F(ProcessLocks, a_writer_keeps_the_write_lock_when_another_descriptor_of_the_file_closes) {
  auto opened = Database::open(path_, options_with());
  ASSERT_TRUE(opened);
  auto w = WriteTxn::begin(opened->instance);
  ASSERT_TRUE(w);
  ASSERT_TRUE((*w)->put(b("t"), b("mine"), b("1")));
  peek_through_another_descriptor(path_);
  Child other("write_one_key", {path_, "theirs", 200});
  EXPECT_EQ(other.wait(), 0);
  ASSERT_TRUE((*w)->commit());
  EXPECT_EQ(read_key(opened->instance, "mine"), "1");
  EXPECT_EQ(read_key(opened->instance, "theirs"), std::nullopt);
}

TEST_F(ProcessLocks, a_snapshot_stays_whole_when_another_descriptor_of_the_file_closes) {
  OpenOptions o = options_with();
  o.cache_size = 16 * 4096;
  auto opened = Database::open(path_, o);
  ASSERT_TRUE(opened);
  auto r = ReadTxn::begin(opened->instance);
  ASSERT_TRUE(r);
  auto first = read_all(*r);
  ASSERT_FALSE(first.empty());
  peek_through_another_descriptor(path_);
  // Enough commits that pages the snapshot reads would be reused, were
  // its reader byte gone.
  Child writer("write_forty_generations", {path_});
  EXPECT_EQ(writer.wait(), 0);
  EXPECT_EQ(read_all(*r), first);
  EXPECT_EQ(snapshot_generation(*r), 0u);
}

TEST_F(ProcessLocks, with_classic_locks_a_commit_beside_another_writer_is_refused) {
  // Classic locks go with any descriptor of the file; the commit still
  // writes over nobody's.
  set_description_locks_allowed(false);
  struct Restore {
    ~Restore() { set_description_locks_allowed(true); }
  } restore;
  auto opened = Database::open(path_, options_with());
  ASSERT_TRUE(opened);
  ASSERT_FALSE(opened->instance->file_lock()->description_locks());
  auto w = WriteTxn::begin(opened->instance);
  ASSERT_TRUE(w);
  std::uint64_t began_from = (*w)->base().txn_id;
  ASSERT_TRUE((*w)->put(b("t"), b("mine"), b("1")));
  peek_through_another_descriptor(path_);
  // The write lock is free here, so the child may wait as long as a loaded
  // machine makes it.
  Child other("write_one_key", {path_, "theirs", 120000});
  ASSERT_EQ(other.wait(), 1);
  auto committed = (*w)->commit();
  ASSERT_FALSE(committed);
  EXPECT_EQ(committed.error().kind(), ErrorKind::Corrupted);
  EXPECT_EQ(committed.error().message(),
            format_text("this write transaction began from commit {}, but the file now "
                        "publishes commit {}: another writer committed beside it, so it "
                        "publishes nothing",
                        began_from, began_from + 1));
  EXPECT_EQ(read_key(opened->instance, "theirs"), "1");
  EXPECT_EQ(read_key(opened->instance, "mine"), std::nullopt);
}

// Deferred commits wait this long for the sync thread: only a sync or a
// close makes them durable within a test.
OpenOptions without_background_sync(std::chrono::milliseconds busy) {
  OpenOptions o = options_with(busy);
  o.SYNC_DELAY = std::chrono::hours(1);
  return o;
}

// A child that commits deferred first when asked, then holds a write
// transaction until told to end.
// args: the path, 1 to commit first, the holding and done signals.
DZ_CHILD(hold_a_writer) {
  auto opened = Database::open(args[0], without_background_sync(5000ms));
  if (!opened) return 2;
  if (args.number(1) == 1 && !write_generation(opened->instance, 1, true)) return 3;
  auto w = WriteTxn::begin(opened->instance);
  if (!w) return 4;
  Signal holding = args.signal(2), done = args.signal(3);
  holding.send();
  done.receive();
  return 0;
}

bool selector_on_disk_is_deferred(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::uint8_t byte = 0;
  EXPECT_EQ(::pread(fd, &byte, 1, kSelectorOffset), 1);
  ::close(fd);
  auto selector = header::decode_selector(byte);
  EXPECT_TRUE(selector);
  return selector && selector->deferred;
}

TEST_F(ProcessLocks, closing_a_handle_without_a_commit_of_its_own_does_not_wait_for_a_writer) {
  Signal holding, done;
  Child other("hold_a_writer", {path_, 1, holding, done});
  ASSERT_EQ(holding.receive(), 'x');
  auto opened = Database::open(path_, without_background_sync(200ms));
  ASSERT_TRUE(opened) << opened.error().to_string();
  ASSERT_TRUE(opened->instance->published().deferred);
  auto closed = Instance::release_handle(std::move(opened->instance));
  EXPECT_TRUE(closed) << closed.error().to_string();
  done.send();
  EXPECT_EQ(other.wait(), 0);
}

TEST_F(ProcessLocks, closing_finds_its_deferred_commit_made_durable_by_another_writer) {
  auto opened = Database::open(path_, without_background_sync(200ms));
  ASSERT_TRUE(opened);
  ASSERT_TRUE(write_generation(opened->instance, 1, true));
  ASSERT_TRUE(selector_on_disk_is_deferred(path_));
  Signal holding, done;
  Child other("hold_a_writer", {path_, 0, holding, done});
  ASSERT_EQ(holding.receive(), 'x');
  auto closed = Instance::release_handle(std::move(opened->instance));
  EXPECT_TRUE(closed) << closed.error().to_string();
  EXPECT_FALSE(selector_on_disk_is_deferred(path_));
  done.send();
  EXPECT_EQ(other.wait(), 0);
}

TEST_F(ProcessLocks, forked_child_handles_answer_closed_and_release_nothing) {
  auto opened = Database::open(path_, options_with());
  ASSERT_TRUE(opened);
  auto instance = opened->instance;
  auto r = ReadTxn::begin(instance);
  ASSERT_TRUE(r);
  std::uint64_t snapshot = r->txn_id();
  Child child = Child::forked([&] {
    auto closed = [](const Error& e) {
      return e.kind() == ErrorKind::Closed && e.to_string() == "the database has been closed";
    };
    auto rr = ReadTxn::begin(instance);
    if (rr || !closed(rr.error())) return 2;
    auto w = WriteTxn::begin(instance);
    if (w || !closed(w.error())) return 3;
    auto s = instance->sync();
    if (s || !closed(s.error())) return 4;
    auto h = Instance::release_handle(instance);
    if (h || !closed(h.error())) return 5;
    // Dropping the inherited snapshot and the last handles here must
    // release none of the parent's locks.
    { ReadTxn dropped = std::move(*r); }
    instance.reset();
    opened->instance.reset();
    return 0;
  });
  EXPECT_EQ(child.wait(), 0);

  Child probe("file_and_reader_held", {path_, snapshot});
  EXPECT_EQ(probe.wait(), 0);
  EXPECT_TRUE(write_generation(instance, 1, false));
  EXPECT_EQ(snapshot_generation(*r), 0u);
  EXPECT_EQ(read_all(*r)[1], value_of(0, 1));
}

// 1 when another process holds the reader byte of args[1].
DZ_CHILD(reader_byte_held) {
  FileLock lock(::open(args[0].c_str(), O_RDWR), args[0]);
  return lock.held_by_another(lock_bytes::reader(args.number(1)), LockMode::Exclusive).value() ? 1
                                                                                               : 0;
}

TEST_F(ProcessLocks, reader_byte_is_let_go_after_the_last_local_reader_ends) {
  // The keeper thread stays after its work for as long as this test may
  // take, however slowly the machine runs it, so that it is seen running.
  auto idle_end = keeper::set_idle_end_for_tests(std::chrono::hours(1));
  auto opened = Database::open(path_, options_with());
  ASSERT_TRUE(opened);
  std::uint64_t snapshot;
  Clock::time_point ended;
  {
    auto r = ReadTxn::begin(opened->instance);
    ASSERT_TRUE(r);
    snapshot = r->txn_id();
    ended = Clock::now();
  }
  auto held = [&] {
    Child c("reader_byte_held", {path_, snapshot});
    return c.wait() == 1;
  };
  // Held a little longer, so that the next snapshot of the commit does not
  // pay for the lock again: never let go before that time...
  if (!held()) {
    EXPECT_GE(Clock::now() - ended, keeper::kReaderByteLinger);
  }
  // ...and let go by the keeper thread soon after.
  EXPECT_TRUE(testing::eventually([&] { return !held(); }));
  EXPECT_TRUE(keeper::running());
  keeper::set_idle_end_for_tests(idle_end);
}

// 0 when the file lock cannot be had in mode args[1] ("exclusive" or
// "shared").
DZ_CHILD(file_taken_elsewhere) {
  FileLock lock(::open(args[0].c_str(), O_RDWR), args[0]);
  auto taken = lock.try_lock(lock_bytes::kFile,
                             args[1] == "shared" ? LockMode::Shared : LockMode::Exclusive);
  return taken && !*taken ? 0 : 2;
}

TEST_F(ProcessLocks, a_second_open_in_the_process_keeps_the_locks_of_the_first) {
  auto first = Database::open(path_, options_with());
  ASSERT_TRUE(first);
  {
    auto second = Database::open(path_, options_with());
    ASSERT_TRUE(second);
    EXPECT_EQ(second->instance, first->instance);
  }
  // Had the second open closed its descriptor, the process would have lost
  // its lock on byte 2^62.
  Child probe("file_taken_elsewhere", {path_, "exclusive"});
  EXPECT_EQ(probe.wait(), 0);
}

TEST_F(ProcessLocks, open_of_a_file_claimed_by_a_salvage_is_busy_at_once) {
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  registry::FileKey key{st.st_dev, st.st_ino};
  auto salvage = std::make_shared<FileLock>(::open(path_.c_str(), O_RDWR), path_);
  ASSERT_TRUE(salvage->try_lock(lock_bytes::kFile, LockMode::Exclusive).value());
  registry::Lock().claim_for_salvage(key, salvage);
  // Busy at once: had it waited for the salvage, it would not return
  // within the run's time.
  auto opened = Database::open(path_, options_with(std::chrono::hours(1)));
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().kind(), ErrorKind::Busy);
  // The refused open did not close its descriptor: the salvage still holds
  // the file alone.
  Child probe("file_taken_elsewhere", {path_, "shared"});
  EXPECT_EQ(probe.wait(), 0);
  salvage.reset();
  EXPECT_TRUE(Database::open(path_, options_with()));
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
