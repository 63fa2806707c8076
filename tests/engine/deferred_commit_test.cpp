// Deferred commits: published at once, durable after the sync delay, after
// `sync` and at close; a power loss before that loses at most the deferred
// commits; a failed background sync fails the file for good.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "database.hpp"
#include "format/header_bytes.hpp"
#include "lock/file_lock.hpp"
#include "storage/db_file.hpp"
#include "storage/fault_storage.hpp"
#include "support/borrowed_storage.hpp"
#include "support/child_process.hpp"
#include "support/commit_check.hpp"
#include "support/process_double.hpp"
#include "support/temp_dir.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace std::chrono_literals;
using testing::Child;
using testing::Signal;

ByteView b(const std::string& s) { return bytes_of(s); }

constexpr std::uint8_t kDeferredBit = 0x80;

OpenOptions with_delay(std::chrono::milliseconds delay) {
  OpenOptions o;
  o.SYNC_DELAY = delay;
  return o;
}

// A delay long enough that only the page limit makes a commit durable.
OpenOptions with_page_limit(std::uint64_t pages) {
  OpenOptions o = with_delay(3600s);
  o.DEFERRED_PAGE_LIMIT = pages;
  return o;
}

Status put_one(const std::shared_ptr<Instance>& instance, const std::string& key,
               const std::string& value, bool deferred) {
  auto w = DZ_TRY(WriteTxn::begin(instance));
  DZ_CHECK(w->put(b("t"), b(key), b(value)));
  return deferred ? w->commit_deferred() : w->commit();
}

std::uint8_t selector_on_disk(Instance& instance) {
  std::uint8_t byte = 0;
  EXPECT_TRUE(instance.storage().read_at(kSelectorOffset, {&byte, 1}));
  return byte;
}

// Read with a descriptor of its own: only once the file is closed here,
// since closing it would drop this process's locks on the file.
std::uint8_t selector_of_closed_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(kSelectorOffset);
  char c = 0;
  in.read(&c, 1);
  return std::uint8_t(c);
}

bool thread_named(const std::string& name) {
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return false;
  bool found = false;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string line;
    std::getline(comm, line);
    found = found || line == name;
  }
  ::closedir(dir);
  return found;
}

using testing::eventually;

// 0 when a new open of args[0] reads "v1" under "k".
DZ_CHILD(reads_v1) {
  auto other = Database::open(args[0], with_delay(10s));
  if (!other) return 2;
  auto r = ReadTxn::begin(other->instance);
  if (!r) return 3;
  auto v = r->open_tree(b("t"), b("k"));
  return v && *v && std::string((*v)->begin(), (*v)->end()) == "v1" ? 0 : 4;
}

// Makes a deferred commit of "v1" under "k", then waits to be killed.
DZ_CHILD(commit_deferred_and_wait) {
  Signal committed = args.signal(1), never = args.signal(2);
  auto other = Database::open(args[0], with_delay(3600s));
  if (!other || !put_one(other->instance, "k", "v1", true)) return 2;
  committed.send();
  never.receive(-1ms);
  return 3;
}

class DeferredCommits : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  std::string path_ = dir_.file("deferred.db");
};

TEST_F(DeferredCommits, deferred_commit_is_published_at_once_and_pending_until_the_delay) {
  // A delay no test outlasts: the commit is still pending below, however
  // slowly the machine runs.
  auto opened = Database::open(path_, with_delay(3600s));
  ASSERT_TRUE(opened);
  auto& instance = opened->instance;
  EXPECT_FALSE(thread_named("deziro-sync"));
  ASSERT_TRUE(put_one(instance, "k", "v1", true));
  EXPECT_TRUE(selector_on_disk(*instance) & kDeferredBit);
  EXPECT_TRUE(instance->published().deferred);
  EXPECT_TRUE(instance->sync_thread_running());
  EXPECT_TRUE(eventually([] { return thread_named("deziro-sync"); }));
  // Another process sees it at once.
  Child reader("reads_v1", {path_});
  EXPECT_EQ(reader.wait(), 0);
  EXPECT_TRUE(selector_on_disk(*instance) & kDeferredBit);
  EXPECT_TRUE(instance->sync_thread_running());
}

TEST_F(DeferredCommits, deferred_commit_is_durable_after_the_delay) {
  // Short, so that the wait below is short: the test above sees the commit
  // pending before the delay ends.
  auto opened = Database::open(path_, with_delay(20ms));
  ASSERT_TRUE(opened);
  auto& instance = opened->instance;
  EXPECT_FALSE(thread_named("deziro-sync"));
  ASSERT_TRUE(put_one(instance, "k", "v1", true));
  // Nothing but the sync thread makes it durable here.
  EXPECT_TRUE(eventually([&] { return !(selector_on_disk(*instance) & kDeferredBit); }));
  EXPECT_TRUE(eventually([&] { return !instance->published().deferred; }));
  // Nothing pending: the thread ends.
  EXPECT_TRUE(eventually([&] { return !instance->sync_thread_running(); }));
  Child reader("reads_v1", {path_});
  EXPECT_EQ(reader.wait(), 0);
}

TEST_F(DeferredCommits, sync_makes_a_deferred_commit_durable_at_once) {
  auto opened = Database::open(path_, with_delay(3600s));
  ASSERT_TRUE(opened);
  ASSERT_TRUE(put_one(opened->instance, "k", "v1", true));
  ASSERT_TRUE(put_one(opened->instance, "k", "v2", true));
  EXPECT_TRUE(selector_on_disk(*opened->instance) & kDeferredBit);
  ASSERT_TRUE(opened->instance->sync());
  EXPECT_FALSE(selector_on_disk(*opened->instance) & kDeferredBit);
  EXPECT_FALSE(opened->instance->published().deferred);
}

TEST_F(DeferredCommits, close_makes_a_pending_deferred_commit_durable) {
  {
    auto opened = Database::open(path_, with_delay(3600s));
    ASSERT_TRUE(opened);
    ASSERT_TRUE(put_one(opened->instance, "k", "v1", true));
    EXPECT_TRUE(selector_on_disk(*opened->instance) & kDeferredBit);
  }
  EXPECT_FALSE(selector_of_closed_file(path_) & kDeferredBit);
  auto again = Database::open(path_, OpenOptions{});
  ASSERT_TRUE(again);
  auto r = ReadTxn::begin(again->instance);
  ASSERT_TRUE(r);
  auto v = r->open_tree(b("t"), b("k"));
  ASSERT_TRUE(v && *v);
  EXPECT_EQ(std::string((*v)->begin(), (*v)->end()), "v1");
}

TEST_F(DeferredCommits, release_handle_syncs_then_drops_the_last_handle) {
  auto opened = Database::open(path_, with_delay(3600s));
  ASSERT_TRUE(opened);
  ASSERT_TRUE(put_one(opened->instance, "k", "v1", true));
  std::weak_ptr<Instance> weak = opened->instance;
  ASSERT_TRUE(Instance::release_handle(std::move(opened->instance)));
  EXPECT_TRUE(weak.expired());
  EXPECT_FALSE(selector_of_closed_file(path_) & kDeferredBit);
}

TEST_F(DeferredCommits, deferred_page_limit_makes_the_next_commit_durable) {
  auto opened = Database::open(path_, with_page_limit(8));
  ASSERT_TRUE(opened);
  auto& instance = opened->instance;
  ASSERT_TRUE(put_one(instance, "small", "v", true));
  EXPECT_TRUE(selector_on_disk(*instance) & kDeferredBit);
  ASSERT_TRUE(put_one(instance, "large", std::string(12 * 4096, 'x'), true));
  EXPECT_TRUE(selector_on_disk(*instance) & kDeferredBit);
  // More than 8 pages written since the last sync: asked for a deferred
  // commit, the next one is durable.
  ASSERT_TRUE(put_one(instance, "next", "v", true));
  EXPECT_FALSE(selector_on_disk(*instance) & kDeferredBit);
  ASSERT_TRUE(put_one(instance, "after", "v", true));
  EXPECT_TRUE(selector_on_disk(*instance) & kDeferredBit);
}

// The node pages a commit writes count toward the limit as its overflow
// runs do, those written from the cache's own buffers too: a commit of a
// short value alone reaches it.
TEST_F(DeferredCommits, node_pages_alone_reach_the_deferred_page_limit) {
  auto opened = Database::open(path_, with_page_limit(2));
  ASSERT_TRUE(opened);
  auto& instance = opened->instance;
  // The commit writes at least two node pages (its leaf and the catalog's).
  ASSERT_TRUE(put_one(instance, "k", "v", true));
  EXPECT_TRUE(selector_on_disk(*instance) & kDeferredBit);
  ASSERT_TRUE(put_one(instance, "j", "v", true));
  EXPECT_FALSE(selector_on_disk(*instance) & kDeferredBit);
}

TEST_F(DeferredCommits, deferred_commit_of_a_killed_process_is_made_durable_by_another) {
  auto opened = Database::open(path_, with_delay(50ms));
  ASSERT_TRUE(opened);
  ASSERT_TRUE(put_one(opened->instance, "k", "v0", false));
  Signal committed, never;
  Child maker("commit_deferred_and_wait", {path_, committed, never});
  ASSERT_EQ(committed.receive(), 'x');
  maker.kill_now();
  EXPECT_EQ(maker.wait(), 1000 + SIGKILL);
  EXPECT_TRUE(selector_on_disk(*opened->instance) & kDeferredBit);
  // This process sees the deferred commit and syncs it after its own delay.
  auto r = ReadTxn::begin(opened->instance);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r->open_tree(b("t"), b("k")), std::vector<std::uint8_t>({'v', '1'}));
  EXPECT_TRUE(eventually([&] { return !(selector_on_disk(*opened->instance) & kDeferredBit); }));
}

TEST_F(DeferredCommits, background_threads_carry_their_names) {
  auto opened = Database::open(path_, with_delay(3600s));
  ASSERT_TRUE(opened);
  { auto r = ReadTxn::begin(opened->instance); }
  // The keeper lets the snapshot's reader byte go a little later.
  EXPECT_TRUE(eventually([] { return thread_named("deziro-keeper"); }));
  ASSERT_TRUE(put_one(opened->instance, "k", "v", true));
  EXPECT_TRUE(eventually([] { return thread_named("deziro-sync"); }));
  // Closing stops the file's sync thread.
  opened->instance.reset();
  EXPECT_TRUE(eventually([] { return !thread_named("deziro-sync"); }));
}

std::vector<std::uint8_t> file_bytes(Instance& instance) {
  std::vector<std::uint8_t> bytes(*instance.storage().len_or_error());
  EXPECT_EQ(*instance.storage().read_at(0, bytes), bytes.size());
  return bytes;
}

std::string value_after_crash(std::vector<std::uint8_t> image);

// A writer of another process that died after writing its record leaves an
// orphan with the id of the next commit. The next commit here overwrites
// it, whichever process made the commit before durable, so that a power
// loss that keeps an older selector cannot bring the orphan back instead.
TEST_F(DeferredCommits, next_commit_overwrites_an_orphan_record) {
  for (bool synced_here : {true, false}) {
    auto opened =
        Database::open(dir_.file(synced_here ? "here.db" : "there.db"), with_delay(3600s));
    ASSERT_TRUE(opened);
    auto& instance = opened->instance;
    ASSERT_TRUE(put_one(instance, "k", "2", false));  // transaction 2, slot 1
    ASSERT_TRUE(put_one(instance, "k", "3", true));   // transaction 3, slot 2
    Storage& file = instance->storage();
    if (synced_here) {
      ASSERT_TRUE(instance->sync());
    } else {
      // Another process makes it durable.
      std::uint8_t selector = 2;
      ASSERT_TRUE(file.sync() && file.write_at(kSelectorOffset, {&selector, 1}));
    }
    // The dead writer's record of transaction 4, which wrote no page, in
    // slot 0, the one it was free to use.
    auto head = file_bytes(*instance);
    std::uint8_t* orphan = head.data() + record_slot_offset(0);
    std::memcpy(orphan, head.data() + record_slot_offset(2), kRecordSize);
    orphan[0] = 4;
    auto check = bytes::xxh3_128(std::span<const std::uint8_t>(orphan, 496));
    std::memcpy(orphan + 496, check.data(), check.size());
    ASSERT_TRUE(file.write_at(record_slot_offset(0), std::span(orphan, kRecordSize)));

    ASSERT_TRUE(put_one(instance, "k", "4", false));
    auto image = file_bytes(*instance);
    image[kSelectorOffset] = 2;  // the selector synced last
    EXPECT_EQ(value_after_crash(image), "4") << synced_here;
  }
}

// --- power loss, through the fault-injecting storage

std::shared_ptr<Instance> open_private(std::unique_ptr<FaultStorage> storage) {
  auto instance = Database::open_existing(std::move(storage), with_delay(3600s));
  return instance ? *instance : nullptr;
}

// The value of "k" in the image after a power loss, or what went wrong.
std::string value_after_crash(std::vector<std::uint8_t> image) {
  auto instance = open_private(std::make_unique<FaultStorage>("/mem/d.db", std::move(image)));
  if (!instance) return "the image does not open";
  auto problems = testing::check_commit(instance->reader(), instance->published().record);
  if (!problems.empty())
    return "check of commit " + std::to_string(instance->published().record.txn_id) + ": " +
           problems.front();
  auto r = ReadTxn::begin(instance);
  if (!r) return "no snapshot";
  auto v = r->open_tree(b("t"), b("k"));
  if (!v) return v.error().to_string();
  if (!*v) return "absent";
  return std::string((*v)->begin(), (*v)->end());
}

// Version `n` of a power-loss test's tree: "k" = "v<n>" beside `fillers`
// values of 300 bytes under keys from "f<n * key_step>" on.
Status commit_version(const std::shared_ptr<Instance>& instance, int n, bool deferred, int fillers,
                      int key_step) {
  auto w = DZ_TRY(WriteTxn::begin(instance));
  for (int i = 0; i < fillers; ++i)
    DZ_CHECK(w->put(b("t"), b("f" + std::to_string(i + key_step * n)),
                    b(std::string(300, char('a' + n)))));
  DZ_CHECK(w->put(b("t"), b("k"), b("v" + std::to_string(n))));
  return deferred ? w->commit_deferred() : w->commit();
}

// The file, through which the next write of the selector byte, once armed,
// is made and then held until the test lets it go: a commit stopped
// between its selector byte and the state this process keeps of it.
class SelectorPause final : public Storage {
 public:
  explicit SelectorPause(std::unique_ptr<DbFile> file) : file_(std::move(file)) {}
  const std::string& path() const override { return file_->path(); }
  Result<std::size_t> read_at(std::uint64_t offset, ByteSpan out) override {
    return file_->read_at(offset, out);
  }
  Status write_at(std::uint64_t offset, ConstByteSpan data) override {
    Status written = file_->write_at(offset, data);
    if (offset == kSelectorOffset && data.size() == 1) {
      std::unique_lock lock(mutex_);
      if (armed_) {
        armed_ = false;
        paused_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_; });
      }
    }
    return written;
  }
  Status write_vectored_at(std::uint64_t offset, std::span<const ConstByteSpan> data) override {
    return file_->write_vectored_at(offset, data);
  }
  Status sync() override { return file_->sync(); }
  Result<std::uint64_t> len_or_error() override { return file_->len_or_error(); }
  Status set_len(std::uint64_t length) override { return file_->set_len(length); }
  void abandon_descriptor() override { file_->abandon_descriptor(); }

  void arm() {
    std::lock_guard lock(mutex_);
    armed_ = true;
  }
  void wait_paused() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return paused_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::unique_ptr<DbFile> file_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool armed_ = false;
  bool paused_ = false;
  bool released_ = false;
};

// A snapshot begun while this process's second deferred commit is between
// its selector byte and the state the process keeps of it reads that commit
// from the head. Taken for another process's commit, it dropped the due
// time of the first deferred commit, and the second one counted the delay
// afresh: a later deferred commit moved the sync later. Without the
// snapshot (`snapshot_between`), the due time stays as well.
void later_deferred_commit_keeps_the_due_time(bool snapshot_between) {
  testing::TempDir dir;
  const std::string path = dir.file("due.db");
  ASSERT_TRUE(Database::open(path, {}));
  auto file = Database::open_file(path).value();
  const int lock_fd = ::fcntl(file->descriptor(), F_DUPFD_CLOEXEC, 0);
  ASSERT_GE(lock_fd, 0);
  auto pause = std::make_unique<SelectorPause>(std::move(file));
  SelectorPause& selector = *pause;
  auto instance = Database::open_existing(std::move(pause), with_delay(3600s), true).value();
  // With a lock state, as any open has: snapshots read the head.
  auto lock = std::make_unique<FileLock>(lock_fd, path);
  ASSERT_TRUE(lock->try_lock(lock_bytes::kFile, LockMode::Shared).value());
  instance->adopt_file_lock(std::move(lock));

  ASSERT_TRUE(put_one(instance, "a", "v", true));
  const auto due = instance->sync_deferred();
  ASSERT_TRUE(due);
  selector.arm();
  std::thread writer([&] { EXPECT_TRUE(put_one(instance, "b", "v", true)); });
  selector.wait_paused();
  if (snapshot_between) {
    auto snapshot = ReadTxn::begin(instance);
    ASSERT_TRUE(snapshot) << snapshot.error().to_string();
  }
  selector.release();
  writer.join();
  const auto due_after = instance->sync_deferred();
  ASSERT_TRUE(due_after);
  EXPECT_EQ(*due_after, *due)
      << "moved later by "
      << std::chrono::duration_cast<std::chrono::microseconds>(*due_after - *due).count() << " us";
  EXPECT_TRUE(instance->sync());
}

TEST(DeferredDue, a_snapshot_of_the_next_deferred_commit_does_not_move_the_sync_later) {
  later_deferred_commit_keeps_the_due_time(true);
}

TEST(DeferredDue, the_next_deferred_commit_does_not_move_the_sync_later) {
  later_deferred_commit_keeps_the_due_time(false);
}

TEST(DeferredPowerLoss, power_loss_loses_at_most_the_deferred_commits) {
  auto storage = std::make_unique<FaultStorage>("/mem/d.db", *Database::new_first_page({}));
  FaultStorage* raw = storage.get();
  auto instance = open_private(std::move(storage));
  ASSERT_TRUE(instance);
  // Each commit rewrites a tree of several pages, so a later deferred commit
  // points at pages an earlier one wrote.
  ASSERT_TRUE(commit_version(instance, 1, false, 40, 10));
  for (int n = 2; n <= 5; ++n) ASSERT_TRUE(commit_version(instance, n, true, 40, 10));
  std::set<std::string> seen;
  for (std::uint64_t seed = 0; seed < 60; ++seed) {
    std::string v = value_after_crash(raw->crash_image(raw->random_crash_plan(seed)));
    EXPECT_TRUE(v == "v1" || v == "v2" || v == "v3" || v == "v4" || v == "v5")
        << "seed " << seed << ": " << v;
    seen.insert(v);
  }
  // Some crashes lost deferred commits, and none lost more.
  EXPECT_GT(seen.size(), 1u);
  ASSERT_TRUE(instance->sync());
  for (std::uint64_t seed = 0; seed < 4; ++seed)
    EXPECT_EQ(value_after_crash(raw->crash_image(raw->random_crash_plan(seed))), "v5");
}

// A durable commit writes its selector byte after its sync, so until the
// next sync a power loss may keep the selector before it, which names the
// record before it without the deferred bit: recovery takes that record as
// it is. The deferred commits after the durable one must leave it alone
// (here the first commit after creation, in slot 0) until a sync has put the
// new selector on disk, or a power loss that keeps one of their records and
// loses their pages and selectors recovers a commit cut short.
TEST(DeferredPowerLoss, deferred_commits_after_a_durable_one_keep_the_record_its_selector_hid) {
  auto storage = std::make_unique<FaultStorage>("/mem/d.db", *Database::new_first_page({}));
  FaultStorage* raw = storage.get();
  auto instance = open_private(std::move(storage));
  ASSERT_TRUE(instance);
  ASSERT_TRUE(commit_version(instance, 1, false, 20, 0));
  ASSERT_TRUE(commit_version(instance, 2, true, 20, 0));
  ASSERT_TRUE(commit_version(instance, 3, true, 20, 0));
  // Each change since the last sync lands with even odds: about one plan in
  // sixteen keeps the third commit's record and loses every selector write
  // and some of its pages.
  for (std::uint64_t seed = 0; seed < 256; ++seed) {
    std::string v = value_after_crash(raw->crash_image(raw->random_crash_plan(seed)));
    EXPECT_TRUE(v == "v1" || v == "v2" || v == "v3") << "seed " << seed << ": " << v;
  }
}

// The maker of a deferred commit fails to sync it, and the sync dropped its
// writes from the disk's future while reads still see them. Another process
// that makes the commit durable must get its pages onto the disk, or its
// own acknowledged commit stands on pages the disk never got.
TEST(DeferredPowerLoss, commit_made_durable_after_its_makers_sync_failed_reaches_the_disk) {
  testing::TempDir dir;
  FaultStorage disk("/mem/d.db", *Database::new_first_page({}));
  auto maker = *testing::open_as_process(disk, dir.file("maker"), with_delay(3600s), true);
  auto other = *testing::open_as_process(disk, dir.file("other"), with_delay(3600s), false);
  ASSERT_TRUE(put_one(maker, "k", "1", false));
  ASSERT_TRUE(put_one(maker, "k", "2", true));
  disk.fail_nth_sync(1, SyncFailure::DropsWrites);
  ASSERT_EQ(maker->sync().error().kind(), ErrorKind::SyncFailed);
  ASSERT_TRUE(put_one(other, "j", "3", false));
  for (std::uint64_t seed = 0; seed < 16; ++seed) {
    auto image = disk.crash_image(disk.random_crash_plan(seed));
    EXPECT_EQ(value_after_crash(image), "2") << seed;
  }
}

// A process that sees another's deferred commits leaves them to their maker
// while it keeps committing, and syncs one only when it is still pending at
// the next run of its sync thread.
TEST(DeferredOfAnother, is_synced_only_once_its_maker_stops_committing) {
  testing::TempDir dir;
  FaultStorage disk("/mem/d.db", *Database::new_first_page({}));
  auto maker = *testing::open_as_process(disk, dir.file("maker"), with_delay(3600s), true);
  auto other = *testing::open_as_process(disk, dir.file("other"), with_delay(3600s), false);
  auto deferred_on_disk = [&] {
    EXPECT_TRUE(maker->read_commit_state());
    return maker->published().deferred;
  };
  ASSERT_TRUE(put_one(maker, "k", "1", true));
  ASSERT_TRUE(other->read_commit_state());
  for (int round = 2; round < 5; ++round) {
    EXPECT_TRUE(other->sync_deferred());
    EXPECT_TRUE(deferred_on_disk()) << round;
    ASSERT_TRUE(put_one(maker, "k", std::to_string(round), true));
  }
  EXPECT_TRUE(other->sync_deferred());
  EXPECT_TRUE(deferred_on_disk());
  EXPECT_FALSE(other->sync_deferred());
  EXPECT_FALSE(deferred_on_disk());
}

// The file, through which each write of the selector byte is noted, with
// whether the test's other process had its write transaction open then.
class SelectorWatch final : public Storage {
 public:
  explicit SelectorWatch(std::unique_ptr<DbFile> file) : file_(std::move(file)) {}
  const std::string& path() const override { return file_->path(); }
  Result<std::size_t> read_at(std::uint64_t offset, ByteSpan out) override {
    return file_->read_at(offset, out);
  }
  Status write_at(std::uint64_t offset, ConstByteSpan data) override {
    Status written = file_->write_at(offset, data);
    if (offset == kSelectorOffset && data.size() == 1) {
      std::lock_guard lock(mutex_);
      ++writes_;
      if (other_writer_) ++writes_beside_writer_;
      last_ = data[0];
      changed_.notify_all();
    }
    return written;
  }
  Status write_vectored_at(std::uint64_t offset, std::span<const ConstByteSpan> data) override {
    return file_->write_vectored_at(offset, data);
  }
  Status sync() override { return file_->sync(); }
  Result<std::uint64_t> len_or_error() override { return file_->len_or_error(); }
  Status set_len(std::uint64_t length) override { return file_->set_len(length); }
  void abandon_descriptor() override { file_->abandon_descriptor(); }

  void set_other_writer(bool open) {
    std::lock_guard lock(mutex_);
    other_writer_ = open;
  }
  // Waits until `done` holds, looking again at each write of the selector.
  template <typename Done>
  void wait_until(Done done) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return done(writes_, last_); });
  }
  int writes_beside_writer() {
    std::lock_guard lock(mutex_);
    return writes_beside_writer_;
  }

 private:
  std::unique_ptr<DbFile> file_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool other_writer_ = false;
  int writes_ = 0;
  int writes_beside_writer_ = 0;
  std::uint8_t last_ = 0;
};

// An open beside another process whose deferred commit is pending starts
// the sync thread that makes it durable in case its maker does not. That
// thread takes the write lock through the open's lock state; started while
// the open had the head read but not yet its lock state, it found none and
// wrote the selector byte without the write lock, here while the other
// process had a write transaction open. The open is held at that point until
// the thread has written or is seen not running; once the lock state is in
// place the thread waits for the other writer and then makes the commit
// durable.
TEST(DeferredOfAnother, is_not_synced_before_the_open_has_its_lock_state) {
  testing::TempDir dir;
  const std::string path = dir.file("beside.db");
  ASSERT_TRUE(Database::open(path, {}));
  auto open_with_lock = [&](std::unique_ptr<Storage> file, int lock_fd, const OpenOptions& options,
                            bool alone) {
    auto instance = Database::open_existing(std::move(file), options, alone).value();
    auto lock = std::make_unique<FileLock>(lock_fd, path);
    EXPECT_TRUE(lock->try_lock(lock_bytes::kFile, LockMode::Shared).value());
    instance->adopt_file_lock(std::move(lock));
    return instance;
  };
  // The other process: its own open file description, so its locks
  // conflict with this one's.
  auto maker_file = Database::open_file(path).value();
  const int maker_lock_fd = ::fcntl(maker_file->descriptor(), F_DUPFD_CLOEXEC, 0);
  ASSERT_GE(maker_lock_fd, 0);
  auto maker = open_with_lock(std::move(maker_file), maker_lock_fd, with_delay(3600s), true);
  if (!maker->file_lock()->description_locks())
    GTEST_SKIP() << "locks of one process conflict only as open file description locks";
  ASSERT_TRUE(put_one(maker, "k", "v", true));
  auto maker_writer = WriteTxn::begin(maker);
  ASSERT_TRUE(maker_writer) << maker_writer.error().to_string();

  // This process's open, in the order Database::open makes it beside another
  // process: the instance from the head, then its lock state.
  auto file = Database::open_file(path).value();
  const int lock_fd = ::fcntl(file->descriptor(), F_DUPFD_CLOEXEC, 0);
  ASSERT_GE(lock_fd, 0);
  auto lock = std::make_unique<FileLock>(lock_fd, path);
  ASSERT_TRUE(lock->try_lock(lock_bytes::kFile, LockMode::Shared).value());
  auto watch = std::make_unique<SelectorWatch>(std::move(file));
  SelectorWatch& selector = *watch;
  selector.set_other_writer(true);
  auto instance = Database::open_existing(std::move(watch), with_delay(0ms), false).value();
  ASSERT_TRUE(instance->published().deferred);
  selector.wait_until(
      [&](int writes, std::uint8_t) { return writes > 0 || !instance->sync_thread_running(); });
  ASSERT_EQ(selector.writes_beside_writer(), 0)
      << "the sync thread wrote the selector byte before the open had its lock state, while "
         "another process's writer held the write lock";
  instance->adopt_file_lock(std::move(lock));

  selector.set_other_writer(false);
  maker_writer->reset();
  selector.wait_until(
      [](int writes, std::uint8_t last) { return writes > 0 && (last & kDeferredBit) == 0; });
  EXPECT_EQ(selector.writes_beside_writer(), 0);
  ASSERT_TRUE(maker->read_commit_state());
  EXPECT_FALSE(maker->published().deferred);
}

// Each thirty-second of `DEFERRED_PAGE_LIMIT` that deferred commits write,
// the sync thread syncs their pages at once, long before the delay, without
// making the commit durable; a failure there fails the file like any sync.
TEST(DeferredPowerLoss,
     deferred_commits_are_written_out_ahead_each_thirty_second_of_the_page_limit) {
  for (bool sync_fails : {false, true}) {
    SCOPED_TRACE(sync_fails ? "the sync fails" : "the sync succeeds");
    OpenOptions options = with_delay(3600s);
    options.DEFERRED_PAGE_LIMIT = 320;
    auto storage = std::make_unique<FaultStorage>("/mem/d.db", *Database::new_first_page(options));
    FaultStorage* raw = storage.get();
    auto instance = *Database::open_existing(std::move(storage), options);
    ASSERT_TRUE(put_one(instance, "k", "v1", false));
    // The first sync is the deferred commit's own, of the selector byte that
    // the durable commit left unsynced; the second is the write-ahead one.
    if (sync_fails) raw->fail_nth_sync(2);
    // Some twenty pages: past a thirty-second of the limit (10 pages), well
    // short of a quarter (80).
    const std::string big(16 * 4096, 'x');
    ASSERT_TRUE(put_one(instance, "k", big, true));
    if (sync_fails) {
      EXPECT_TRUE(eventually([&] { return instance->failed(); }));
      auto w = WriteTxn::begin(instance);
      ASSERT_FALSE(w);
      EXPECT_EQ(w.error().kind(), ErrorKind::SyncFailed);
      continue;
    }
    EXPECT_TRUE(eventually([&] { return raw->pending_count() == 0; }));
    // On the disk, with its selector still deferred.
    EXPECT_TRUE(instance->published().deferred);
    EXPECT_TRUE(raw->synced_image()[kSelectorOffset] & kDeferredBit);
    EXPECT_EQ(value_after_crash(raw->synced_image()), big);
    // The next commit is deferred too: the limit is not reached.
    ASSERT_TRUE(put_one(instance, "j", "v", true));
    EXPECT_TRUE(instance->published().deferred);
  }
}

// The limit counts the pages no sync has put on disk: a writer whose
// write-ahead syncs keep up goes on deferring far past it, while one that
// got the limit's worth ahead of them commits durably next, even when a sync
// ends before it begins.
TEST(DeferredPowerLoss, page_limit_counts_the_pages_not_yet_synced) {
  const std::string value(16 * 4096, 'x');
  OpenOptions options = with_delay(3600s);
  options.DEFERRED_PAGE_LIMIT = 320;
  for (bool ahead_of_syncs : {false, true}) {
    SCOPED_TRACE(ahead_of_syncs ? "past the limit in one commit" : "syncs keep up");
    auto storage = std::make_unique<FaultStorage>("/mem/d.db", *Database::new_first_page(options));
    FaultStorage* raw = storage.get();
    auto instance = *Database::open_existing(std::move(storage), options);
    ASSERT_TRUE(put_one(instance, "k", "v0", false));
    if (ahead_of_syncs) {
      ASSERT_TRUE(put_one(instance, "k", std::string(330 * 4096, 'y'), true));
      EXPECT_TRUE(eventually([&] { return raw->pending_count() == 0; }));
      ASSERT_TRUE(put_one(instance, "j", "v", true));
      EXPECT_FALSE(instance->published().deferred);
      continue;
    }
    // Some seventeen pages a commit, thirty commits: half as much again as
    // the limit, each commit waiting for the sync its pages asked for.
    for (int i = 0; i < 30; ++i) {
      ASSERT_TRUE(put_one(instance, "k" + std::to_string(i), value, true));
      ASSERT_TRUE(instance->published().deferred) << "commit " << i;
      ASSERT_TRUE(eventually([&] { return raw->pending_count() == 0; })) << "commit " << i;
    }
    EXPECT_TRUE(raw->synced_image()[kSelectorOffset] & kDeferredBit);
  }
}

// The disk, through which the second sync from now (the sync thread's
// write-ahead one) waits until the third begins; the third then waits
// until the second has returned before it syncs: a sync that fails while
// another is under way, which then finds nothing left to write.
class OverlappingSyncs final : public testing::BorrowedStorage {
 public:
  explicit OverlappingSyncs(FaultStorage& disk) : BorrowedStorage(disk), disk_(disk) {}
  Status sync() override {
    std::unique_lock lock(mutex_);
    const int ordinal = armed_ ? ++syncs_ : 0;
    if (ordinal == 2) {
      held_ = true;
      changed_.notify_all();
      changed_.wait(lock, [&] { return released_; });
      lock.unlock();
      Status synced = disk_.sync();
      lock.lock();
      second_done_ = true;
      changed_.notify_all();
      return synced;
    }
    if (ordinal == 3) {
      released_ = true;
      changed_.notify_all();
      changed_.wait(lock, [&] { return second_done_; });
    }
    lock.unlock();
    return disk_.sync();
  }

  void arm() {
    std::lock_guard lock(mutex_);
    armed_ = true;
  }
  void wait_held() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return held_; });
  }

 private:
  FaultStorage& disk_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool armed_ = false;
  int syncs_ = 0;
  bool held_ = false;
  bool released_ = false;
  bool second_done_ = false;
};

// A write-ahead sync of the sync thread that fails, and loses the deferred
// commit's pages, while this process's writer commits durably or a `sync`
// makes the deferred commit durable: their own sync, which began before the
// failure was known, then finds nothing to write and succeeds. Neither may
// report the commit durable, since a power loss then leaves a selector
// without the deferred bit naming commits whose pages never reached the disk.
TEST(DeferredPowerLoss, a_sync_beside_a_failing_write_ahead_sync_reports_the_failure) {
  struct Case {
    const char* name;
    // The step whose sync is the third: a durable commit, or a sync.
    std::function<Status(const std::shared_ptr<Instance>&)> step;
  };
  const Case cases[] = {
      {"a durable commit", [](auto& i) { return put_one(i, "j", "v3", false); }},
      {"a sync of the deferred commit", [](auto& i) { return i->sync(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenOptions options = with_delay(3600s);
    options.DEFERRED_PAGE_LIMIT = 320;
    FaultStorage disk("/mem/d.db", *Database::new_first_page(options));
    auto overlap = std::make_unique<OverlappingSyncs>(disk);
    OverlappingSyncs& syncs = *overlap;
    auto instance = *Database::open_existing(std::move(overlap), options);
    ASSERT_TRUE(put_one(instance, "k", "v1", false));
    // The first sync is the deferred commit's own, of the selector byte the
    // durable commit left unsynced; the second the write-ahead one.
    syncs.arm();
    disk.fail_nth_sync(2, SyncFailure::DropsWrites);
    const std::string big(16 * 4096, 'x');
    ASSERT_TRUE(put_one(instance, "k", big, true));
    syncs.wait_held();
    Status stepped = c.step(instance);
    EXPECT_TRUE(eventually([&] { return instance->failed(); }));
    if (stepped)
      ADD_FAILURE() << "reported durable beside a failed sync";
    else
      EXPECT_EQ(stepped.error().kind(), ErrorKind::SyncFailed);
    // What the disk holds opens sound, with the last durable commit.
    EXPECT_EQ(value_after_crash(disk.crash_image(CrashPlan::keep_all(disk.pending_count()))), "v1");
  }
}

TEST(DeferredPowerLoss, failed_sync_of_a_deferred_commit_fails_the_file_for_good) {
  auto storage = std::make_unique<FaultStorage>("/mem/d.db", *Database::new_first_page({}));
  FaultStorage* raw = storage.get();
  auto instance = open_private(std::move(storage));
  ASSERT_TRUE(instance);
  ASSERT_TRUE(put_one(instance, "k", "v1", true));
  raw->fail_nth_sync(1);
  auto s = instance->sync();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::SyncFailed);
  EXPECT_TRUE(instance->failed());
  auto again = instance->sync();
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().kind(), ErrorKind::SyncFailed);
  auto w = WriteTxn::begin(instance);
  ASSERT_FALSE(w);
  EXPECT_EQ(w.error().kind(), ErrorKind::SyncFailed);
  // Snapshots still read the published commit.
  auto r = ReadTxn::begin(instance);
  ASSERT_TRUE(r);
  EXPECT_TRUE(*r->open_tree(b("t"), b("k")));
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
