// The shared state of one open database file in one process. Every handle,
// snapshot and write transaction of the file holds the same Instance; the
// process registry holds it only weakly, so the file closes with its last
// handle.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "btree/pager/page_reader.hpp"
#include "crypto/credential.hpp"
#include "crypto/file_keys.hpp"
#include "error.hpp"
#include "format/header.hpp"
#include "format/node.hpp"
#include "format/record.hpp"
#include "lock/background.hpp"
#include "lock/file_lock.hpp"
#include "storage/storage.hpp"
#include "txn/space.hpp"

namespace deziro {

// What an Instance keeps from the open that created it; later opens of the
// same file share these.
struct InstanceSettings {
  std::chrono::nanoseconds busy_timeout = std::chrono::seconds(5);
  std::uint64_t cache_size = 33554432;
  PasswordHashing password_hashing;
  std::uint64_t deferred_page_limit = 16384;
  std::chrono::nanoseconds sync_delay = std::chrono::seconds(1);
};

// The commit the file publishes, as last read or written by this process.
struct PublishedCommit {
  CommitRecord record;
  std::uint8_t slot = 0;
  // The published commit has not been synced yet.
  bool deferred = false;
  // Transaction ids in the three slots (0 for empty or invalid), to choose
  // the slot the next commit overwrites.
  std::array<std::uint64_t, kRecordSlotCount> slot_txn_ids{};
};

class Instance;

// The writer of a file, held: the in-process writer slot and, for a file
// other processes can open, its write lock byte. Dropping it ends the write.
class WriterGuard {
 public:
  WriterGuard() = default;
  WriterGuard(WriterGuard&& other) noexcept : instance_(std::exchange(other.instance_, nullptr)) {}
  WriterGuard& operator=(WriterGuard&& other) noexcept;
  WriterGuard(const WriterGuard&) = delete;
  WriterGuard& operator=(const WriterGuard&) = delete;
  ~WriterGuard() { release(); }
  explicit operator bool() const { return instance_ != nullptr; }
  void release();

 private:
  friend class Instance;
  explicit WriterGuard(Instance* instance) : instance_(instance) {}
  Instance* instance_ = nullptr;
};

class ReadTxn;
namespace registry {
class Lock;
}
struct ResolvedSchema;
struct Schema;

class Instance final : public std::enable_shared_from_this<Instance>,
                       public IdleReaderBytes,
                       public DeferredSyncTarget {
 public:
  // `keys` holds the data key of an encrypted file, none for a plain one.
  Instance(std::unique_ptr<Storage> storage, StaticFields fields, PageProtection protection,
           PublishedCommit published, InstanceSettings settings,
           std::unique_ptr<const FileKeys> keys = nullptr);
  // Closes: a pending deferred commit is published durably if the writer
  // can be had within the busy timeout, the sync thread stops, the locks
  // are released and the file closed. A forked process releases nothing
  // and closes no descriptor: that would drop the locks it holds on the file
  // through an open of its own.
  ~Instance() override;
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  const std::string& path() const { return *path_; }
  const std::shared_ptr<const std::string>& shared_path() const { return path_; }
  std::uint32_t page_size() const { return fields_.page_size; }
  std::uint32_t format_version() const { return format_version_.load(); }
  bool encrypted() const { return fields_.encrypted(); }
  PageCipher cipher() const { return fields_.cipher; }
  const FileId& file_id() const { return fields_.file_id; }
  // The data key and record MAC key of an encrypted file; null when plain.
  const FileKeys* file_keys() const { return keys_.get(); }
  const InstanceSettings& settings() const { return settings_; }
  Storage& storage() { return *storage_; }
  // Checked nodes through the file's page cache.
  PageReader& reader() { return *reader_; }
  // The leaf layout write transactions write: varint from format 6 on.
  LeafLayout leaf_layout() const {
    return format_version() >= 6 ? LeafLayout::Varint : LeafLayout::Fixed;
  }
  // The longest key or tree name: (page size - 268) / 4 bytes.
  std::size_t max_key_len() const { return (fields_.page_size - 268) / 4; }

  // Whether this is a process forked from the opener (or a descendant of
  // one), told apart by the fork generation, never by the process id.
  bool in_forked_process() const;
  // CLOSED "the database has been closed" in a forked process: its handles
  // and transactions are the opener's, whose locks it does not hold.
  Status check_process() const;

  // Set for good by a failed sync or selector write.
  bool failed() const { return failed_.load(); }
  void mark_failed(std::optional<std::string> os_error);
  // SYNC_FAILED with the path and the error that failed the instance.
  Error sync_failed_error() const;

  // Under `state_mutex_`, taken here, as are durable_txn_id and
  // durable_slot.
  PublishedCommit published() const;
  void set_published(const PublishedCommit& published);
  // The newest commit known to be on disk: a deferred commit's pages may not
  // be, so until it is synced this one stays protected like a snapshot.
  std::uint64_t durable_txn_id() const;
  std::uint8_t durable_slot() const;

  // --- Locks between processes. A file opened through the registry has a
  // lock state; a private one (a test's storage, a new file being written)
  // has none and is coordinated inside the process only.
  void adopt_file_lock(std::unique_ptr<FileLock> lock) { lock_ = std::move(lock); }
  FileLock* file_lock() const { return lock_.get(); }
  // BUSY (timed out), UNSUPPORTED_FILE_SYSTEM or IO, naming the path.
  Error writer_error(const LockWaitFailure& failure) const;
  // Takes the intent byte, tries byte 2^62 exclusively once, lets the intent
  // byte go: whether this process now holds the file alone.
  Result<bool> try_lock_exclusive(FileLock::Deadline deadline);
  // Takes byte 2^62 shared again (after exclusive work), until the busy
  // timeout.
  Status lock_shared();
  // Turns byte 2^62, held exclusively, shared in place with one request that
  // cannot conflict, so the file is never left unlocked in between. Should
  // the request fail, the instance is marked failed (without the byte,
  // another process could recover the file under this one's writes) and
  // the error returned.
  Status return_to_shared();

  // --- The writer. CLOSED in a forked child, SYNC_FAILED once failed, BUSY
  // when the in-process slot or the write lock byte is not had within the
  // busy timeout. The head is re-read once the writer is held, so commits of
  // other processes are seen; a deferred commit of another process is made
  // durable first, so that this process knows which record is on disk.
  Result<WriterGuard> begin_write();
  void end_write(WriterGuard& guard);
  // Held by a commit from the choice of its slot until it is published, and
  // by a sync made beside this process's open writer.
  std::unique_lock<std::mutex> hold_publishing() { return std::unique_lock(publish_mutex_); }
  // With the writer held, before a commit writes its pages: CORRUPTED
  // unless the file still publishes commit `txn_id`, the one the
  // transaction began from. Another writer's commit beside this one means
  // the write lock did not hold; it is not written over. One read of the
  // selector byte and the slots; nothing for a file without a lock state.
  Status check_still_published(std::uint64_t txn_id);
  // Re-reads the head (selector and slots) into the cached published state;
  // takes `state_mutex_` only to store it.
  Status read_commit_state();

  // --- Snapshots. begin_read takes the published commit with its reader
  // byte held (shared) and its reader registered; end_snapshot ends one
  // local reader, and the keeper lets the byte go 20 ms after the last.
  // CLOSED in a forked child, BUSY when the byte is not had in time.
  static Result<ReadTxn> begin_read(std::shared_ptr<Instance> instance,
                                    std::shared_ptr<const ResolvedSchema> schema = nullptr);
  Result<PublishedCommit> begin_snapshot();
  void end_snapshot(std::uint64_t txn_id);
  // The oldest snapshot in use by this process, or none.
  std::optional<std::uint64_t> oldest_reader() const;
  // Requires the writer. The newest retained group a writer of transaction
  // `new_txn_id` may free: older than every snapshot in use here or in
  // another process, and than every record in the slots (recovery may still
  // fall back on them).
  Result<std::uint64_t> reclaim_limit(std::uint64_t new_txn_id);

  // --- Commits and durability.
  // Whether deferred commits have written so many pages since the last
  // sync that the next write transaction commits durably.
  bool deferred_page_limit_reached() const;
  // With the writer held: the slot the next commit record goes into. Never
  // the published slot, nor the newest durable one, nor one that a selector
  // byte not yet synced away may still name as durable; when a chain of
  // deferred commits leaves no other, the published commit is made durable
  // first.
  Result<std::uint8_t> slot_for_next_commit();
  // Requires the writer (and `hold_publishing`): called once a commit is
  // published. Takes `state_mutex_`.
  void committed(const PublishedCommit& published, std::uint64_t pages_written);
  // With the writer held. The free runs that the free tree of this
  // process's last commit holds, kept so that the next write transaction
  // need not read the whole free tree again; `take_free_runs` hands them
  // over only while that commit, with that free tree, is the published one.
  void keep_free_runs(std::uint64_t txn_id, const ChildPointer& free_tree, space::FreeRuns runs);
  std::optional<space::FreeRuns> take_free_runs(std::uint64_t txn_id,
                                                const ChildPointer& free_tree);
  // Makes a published deferred commit durable: a full sync, then the
  // selector byte without its deferred bit. Beside a write transaction of
  // this process it does so at once, without waiting for it. CLOSED in a
  // forked child, SYNC_FAILED once failed, BUSY when the writer is not had
  // in time, unless the commit is seen made durable meanwhile (another
  // process's writer makes this process's deferred commit durable before it
  // writes).
  Status sync();
  // Whether the published commit is a deferred commit of this process.
  bool own_commit_pending() const;
  // `sync` when a deferred commit of this process is pending, then drops the
  // handles (the last Instance handle closes the file); the sync's error,
  // if any, is returned after the drops.
  static Status release_handle(std::shared_ptr<Instance> instance,
                               std::shared_ptr<const Schema> schema = nullptr);

  // Requires the writer: where a commit gathers the pages it writes
  // together, kept from one commit to the next.
  std::vector<std::uint8_t>& commit_page_buffer() { return commit_page_buffer_; }

  // IdleReaderBytes (the keeper thread).
  std::optional<SteadyTime> release_if_idle(std::uint64_t txn_id, SteadyTime now) override;
  // DeferredSyncTarget (the sync thread).
  std::optional<SteadyTime> sync_deferred() override;
  bool sync_thread_running() const { return sync_thread_.running(); }

  // Raises the static header to format version 6 (the copy at 128, the
  // version, the check, each followed by a full sync) and this instance's
  // format version with it. The caller holds the writer and the file alone.
  Status write_static_header();

 private:
  std::unique_ptr<Storage> storage_;
  std::unique_ptr<PageReader> reader_;
  StaticFields fields_;
  std::atomic<std::uint32_t> format_version_;
  InstanceSettings settings_;
  std::shared_ptr<const std::string> path_;
  // The opener's fork generation.
  std::uint64_t opener_generation_;
  std::unique_ptr<const FileKeys> keys_;

  std::atomic<bool> failed_{false};
  // Guards the published state: the four fields below and the deferred
  // commit fields further down. Held only to copy or store them, never
  // across a read, write or sync of the file.
  mutable std::mutex state_mutex_;
  // Under `state_mutex_`.
  std::optional<std::string> failure_os_error_;
  PublishedCommit published_;
  std::uint64_t durable_txn_id_ = 0;
  std::uint8_t durable_slot_ = 0;

  std::mutex writer_mutex_;
  std::condition_variable writer_cv_;
  // Under `writer_mutex_`: the in-process writer slot is taken (waited for
  // on `writer_cv_`).
  bool writer_busy_ = false;
  // Under writer_mutex_: a write transaction of this process holds the write
  // lock. It lets the lock go only in end_write, under the same mutex.
  bool writer_open_ = false;
  // See hold_publishing.
  std::mutex publish_mutex_;

  // Set by the open (adopt_file_lock) before the instance is shared; the
  // state guards its own bytes.
  std::unique_ptr<FileLock> lock_;

  // Snapshots of this process by transaction id.
  struct ReaderEntry {
    std::uint32_t count = 0;
    // This process holds the commit's reader byte.
    bool byte_held = false;
    // While count > 0: the commit was still in a slot after the byte was
    // taken and the reader registered, so no writer anywhere frees what it
    // sees.
    bool verified = false;
    bool release_scheduled = false;
    SteadyTime idle_since;
  };
  mutable std::mutex readers_mutex_;
  // Under `readers_mutex_`.
  std::map<std::uint64_t, ReaderEntry> readers_;

  // Under `state_mutex_`, like the three fields after it: the last deferred
  // commit this process published (the pages deferred commits wrote since
  // the last sync are `deferred_pages_`).
  std::uint64_t local_deferred_txn_ = 0;
  // The slot that the selector byte as of the last sync names, when it
  // names it without the deferred bit: after a power loss that selector may
  // be the one on disk, so its record must stay until the next sync.
  std::optional<std::uint8_t> guarded_slot_;
  std::uint64_t deferred_pages_ = 0;
  // When the pending deferred commits of this process are due to be made
  // durable: the sync delay after the first of them.
  std::optional<SteadyTime> own_sync_due_;
  // Set by a deferred commit that took `deferred_pages_` past another
  // quarter of the limit: the sync thread writes the file out ahead (see
  // sync_deferred).
  bool write_ahead_due_ = false;
  // The deferred commit of another process that the sync thread found
  // pending at its last run; made durable here if still pending at the next.
  std::uint64_t watched_deferred_txn_ = 0;
  SyncThread sync_thread_;

  // Under the writer: see keep_free_runs.
  struct KeptFreeRuns {
    std::uint64_t txn_id = 0;
    ChildPointer free_tree;
    space::FreeRuns runs;
  };
  std::optional<KeptFreeRuns> kept_free_runs_;
  // Under the writer: see commit_page_buffer.
  std::vector<std::uint8_t> commit_page_buffer_;

  // The head as it is on disk now, without recovery.
  Result<PublishedCommit> load_commit_state();
  // Keeps the newer of the cached and the given state; takes
  // `state_mutex_`.
  void adopt_published(const PublishedCommit& seen);
  // With the writer held: syncs and clears the deferred bit. A chain that
  // another process `made_elsewhere` is written again first.
  Status make_durable(bool made_elsewhere = false);
  // With the in-process writer slot taken: takes the write lock before
  // `deadline`, re-reads the head and makes another process's deferred
  // commit durable. Given a `target` deferred commit, it stops waiting, with
  // false, once the head shows that commit durable.
  Result<bool> hold_write_lock(SteadyTime deadline, const PublishedCommit* target = nullptr);
  // The published commit's id when it is a deferred commit of this
  // process, else 0.
  std::uint64_t own_deferred_txn() const;
  // `sync` without its checks, until `deadline`.
  Status sync_published(SteadyTime deadline);
  Status write_deferred_chain_again(const PublishedCommit& published);
  void request_sync(SteadyTime due);
  // Takes the reader byte of `txn_id` and checks the commit is still in a
  // slot; false when it is not (the byte is let go again).
  Result<bool> take_reader_byte(std::uint64_t txn_id);
  void close();

  // Set once close has released the locks and closed the file: until then
  // the registry makes a new open of the file wait, since closing this
  // Instance's descriptors would drop the new one's locks.
  std::shared_ptr<std::atomic<bool>> closed_ = std::make_shared<std::atomic<bool>>(false);

  friend class registry::Lock;
};

namespace registry {

struct FileKey {
  dev_t device = 0;
  ino_t inode = 0;
  friend auto operator<=>(const FileKey&, const FileKey&) = default;
};

// Holds the process-wide registry lock; opens of files in one process run
// one at a time under it.
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  // The live Instance of a file, or none; dead entries are dropped.
  std::shared_ptr<Instance> lookup(FileKey key);
  void insert(FileKey key, const std::shared_ptr<Instance>& instance);
  // Claims the file for a salvage that holds byte 2^62 exclusively through
  // `lock`: while that lock state lives, an open of the file in this process
  // fails with BUSY at once (handing its descriptor to the lock state, whose
  // locks closing it would drop).
  void claim_for_salvage(FileKey key, const std::shared_ptr<FileLock>& lock);
  // The lock state of a live salvage claim on the file, or none.
  std::shared_ptr<FileLock> salvage_claim(FileKey key);
  std::size_t live_count();

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace registry
}  // namespace deziro
