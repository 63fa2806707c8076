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

#include "adaptive_mutex.hpp"
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
#include "txn/head.hpp"
#include "txn/open_file.hpp"
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

class ReadTxn;
namespace registry {
class Lock;
}
struct ResolvedSchema;
struct Schema;

class Instance final : public std::enable_shared_from_this<Instance>,
                       public OpenFile,
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

  // --- OpenFile: what a transaction needs of the file (documented in
  // txn/open_file.hpp). The published state is copied and stored under
  // `state_mutex_`, taken inside.
  const std::string& path() const override { return *path_; }
  std::uint32_t page_size() const override { return fields_.page_size; }
  std::size_t max_key_len() const override { return (fields_.page_size - 268) / 4; }
  LeafLayout leaf_layout() const override {
    return format_version() >= 6 ? LeafLayout::Varint : LeafLayout::Fixed;
  }
  const FileId& file_id() const override { return fields_.file_id; }
  const FileKeys* file_keys() const override { return keys_.get(); }
  Storage& storage() override { return *storage_; }
  PageReader& reader() override { return *reader_; }
  std::vector<std::uint8_t>& commit_page_buffer() override { return commit_page_buffer_; }
  std::uint64_t cache_size() const override { return settings_.cache_size; }
  Status check_process() const override;
  bool failed() const override { return failed_.load(); }
  void mark_failed(std::optional<std::string> os_error) override;
  Error sync_failed_error() const override;
  Status sync_file() override;
  PublishedCommit published() const override;
  Result<WriterGuard> begin_write() override;
  void end_write(WriterGuard& guard) override;
  std::unique_lock<std::mutex> hold_publishing() override {
    return std::unique_lock(publish_mutex_);
  }
  void publishing(std::uint64_t txn_id) override;
  Status check_still_published(std::uint64_t txn_id) override;
  Result<PublishedCommit> begin_snapshot() override;
  void end_snapshot(std::uint64_t txn_id) override;
  Result<std::uint64_t> reclaim_limit(std::uint64_t new_txn_id,
                                      std::uint64_t oldest_group = 0) override;
  bool deferred_page_limit_reached() const override;
  Result<std::uint8_t> slot_for_next_commit() override;
  Status sync_guarded_selector() override;
  void committed(const PublishedCommit& published, std::uint64_t pages_written) override;
  void keep_free_runs(std::uint64_t txn_id, const ChildPointer& free_tree,
                      space::FreeRuns runs) override;
  std::optional<space::FreeRuns> take_free_runs(std::uint64_t txn_id,
                                                const ChildPointer& free_tree) override;

  const std::shared_ptr<const std::string>& shared_path() const { return path_; }
  std::uint32_t format_version() const { return format_version_.load(); }
  bool encrypted() const { return fields_.encrypted(); }
  PageCipher cipher() const { return fields_.cipher; }
  const InstanceSettings& settings() const { return settings_; }

  // Whether this is a process forked from the opener (or a descendant of
  // one), told apart by the fork generation, never by the process id.
  bool in_forked_process() const;

  // Under `state_mutex_`, taken here, as are durable_txn_id and
  // durable_slot.
  void set_published(const PublishedCommit& published);
  // The newest commit known to be on disk: a deferred commit's pages may not
  // be, so until it is synced this one stays protected like a snapshot.
  std::uint64_t durable_txn_id() const;
  std::uint8_t durable_slot() const;

  // --- Locks between processes. A file opened through the registry has a
  // lock state; a private one (a test's storage, a new file being written)
  // has none and is coordinated inside the process only.
  // The open reads the head before it has its lock state: the sync of
  // another process's deferred commit seen then is requested here, since
  // the sync thread takes the write lock through this state.
  void adopt_file_lock(std::unique_ptr<FileLock> lock);
  FileLock* file_lock() const { return lock_.get(); }
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
  // Re-reads the head (selector and slots) into the cached published state;
  // takes `state_mutex_` only to store it.
  Status read_commit_state();

  // A snapshot of the published commit (begin_snapshot, then a ReadTxn
  // that ends it); the keeper thread lets the reader byte go 20 to 25 ms
  // after the last local reader of a commit ended.
  static Result<ReadTxn> begin_read(std::shared_ptr<Instance> instance,
                                    std::shared_ptr<const ResolvedSchema> schema = nullptr);
  // The oldest snapshot in use by this process, or none.
  std::optional<std::uint64_t> oldest_reader() const;

  // --- Durability.
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

  // IdleReaderBytes (the keeper thread).
  std::optional<SteadyTime> release_if_idle(std::uint64_t txn_id, SteadyTime now) override;
  // DeferredSyncTarget (the sync thread).
  std::optional<SteadyTime> sync_deferred() override;
  bool sync_thread_running() const { return sync_thread_.running(); }

  // Raises the static header to format version 6 (the copy at 128, the
  // version, the check, each followed by a full sync) and this instance's
  // format version with it. The caller holds the writer and the file alone.
  // A failed sync answers IO and marks the instance failed.
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

  // The slots of the head reads (load_commit_state, check_still_published).
  head::SlotCache slot_cache_;
  // The commit state load_commit_state last worked out, by its head bytes.
  head::StateMemo state_memo_;

  std::atomic<bool> failed_{false};
  // The syncs of the file under way (sync_file), under `sync_mutex_`; a
  // sync that ends waits on `syncs_done_` for the ones beside it.
  std::mutex sync_mutex_;
  std::condition_variable syncs_done_;
  int syncs_running_ = 0;
  // Guards the published state: the four fields below and the deferred
  // commit fields further down. Held only to copy or store them, never
  // across a read, write or sync of the file.
  mutable AdaptiveMutex state_mutex_;
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

  // Set by the open (adopt_file_lock) before the instance is shared and
  // before its sync thread can start; the state guards its own bytes.
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
  mutable AdaptiveMutex readers_mutex_;
  // Under `readers_mutex_`.
  std::map<std::uint64_t, ReaderEntry> readers_;

  // Under `state_mutex_`, like the fields after it down to the sync thread:
  // the last deferred commit this process published.
  std::uint64_t local_deferred_txn_ = 0;
  // The commit this process is writing, between its record and `committed`
  // (see publishing); 0 for none.
  std::uint64_t publishing_txn_ = 0;
  // The commit whose selector byte this process last wrote itself: a
  // selector another process wrote may be only in the system's cache (that
  // process's sync failed), where this process's syncs would not carry it.
  std::uint64_t selector_written_txn_ = 0;
  // The slot that the selector byte as of the last sync names, when it
  // names it without the deferred bit: after a power loss that selector may
  // be the one on disk, so its record must stay until the next sync.
  std::optional<std::uint8_t> guarded_slot_;
  // The pages this process's deferred commits wrote since the published
  // commit was last durable, and how many of them a write-ahead sync has
  // since put on disk: the rest is what the next sync has to write.
  std::uint64_t deferred_pages_ = 0;
  std::uint64_t synced_pages_ = 0;
  // Set once the pages not yet synced reached the page limit after a
  // deferred commit: the next write transaction commits durably, whatever
  // syncs end meanwhile. Cleared when the published commit is durable.
  bool page_limit_reached_ = false;
  // Counts the times the published commit became durable, so that a
  // write-ahead sync knows whether the pages it counted are still pending.
  std::uint64_t durable_points_ = 0;
  // When the pending deferred commits of this process are due to be made
  // durable: the sync delay after the first of them.
  std::optional<SteadyTime> own_sync_due_;
  // Set by a deferred commit that took `deferred_pages_` past another
  // thirty-second of the limit: the sync thread writes the file out ahead (see
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
  // Under `state_mutex_`: the published commit `txn_id` in `slot` is
  // durable, and nothing of this process is pending.
  void note_durable(std::uint64_t txn_id, std::uint8_t slot);
  // Syncs the file holding no lock and leaving the selector byte alone (see
  // sync_deferred); false once a failed sync has failed the instance.
  bool write_out_ahead();
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
