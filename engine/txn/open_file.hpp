// What a transaction needs of the open file it runs on: the file's identity
// and page reader, the writer, snapshots, and the published commit a commit
// replaces. The file's Instance (a layer up, where the process registry and
// the open live) implements it; transactions know the file only through
// this interface, so every include of the transaction layer points down.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "btree/pager/page_reader.hpp"
#include "crypto/file_keys.hpp"
#include "error.hpp"
#include "format/header.hpp"
#include "format/node.hpp"
#include "format/record.hpp"
#include "storage/storage.hpp"
#include "txn/space.hpp"

namespace deziro {

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

class OpenFile;

// The writer of a file, held: the in-process writer slot and, for a file
// other processes can open, its write lock byte. Dropping it ends the write.
class WriterGuard {
 public:
  WriterGuard() = default;
  WriterGuard(WriterGuard&& other) noexcept : file_(std::exchange(other.file_, nullptr)) {}
  WriterGuard& operator=(WriterGuard&& other) noexcept;
  WriterGuard(const WriterGuard&) = delete;
  WriterGuard& operator=(const WriterGuard&) = delete;
  ~WriterGuard() { release(); }
  explicit operator bool() const { return file_ != nullptr; }
  void release();

 private:
  friend class OpenFile;
  explicit WriterGuard(OpenFile* file) : file_(file) {}
  OpenFile* file_ = nullptr;
};

class OpenFile {
 public:
  virtual ~OpenFile() = default;

  // --- Identity and layout.
  virtual const std::string& path() const = 0;
  virtual std::uint32_t page_size() const = 0;
  // The longest key or tree name: (page size - 268) / 4 bytes.
  virtual std::size_t max_key_len() const = 0;
  // The leaf layout write transactions write: varint from format 6 on.
  virtual LeafLayout leaf_layout() const = 0;
  virtual const FileId& file_id() const = 0;
  // The data key and record MAC key of an encrypted file; null when plain.
  virtual const FileKeys* file_keys() const = 0;
  virtual Storage& storage() = 0;
  // Checked nodes through the file's page cache.
  virtual PageReader& reader() = 0;
  // Requires the writer: where a commit gathers the pages it writes
  // together, kept from one commit to the next.
  virtual std::vector<std::uint8_t>& commit_page_buffer() = 0;
  // The page cache's budget in bytes; a write transaction keeps about as
  // much of its changed nodes in memory before it writes leaves early.
  virtual std::uint64_t cache_size() const = 0;

  // CLOSED "the database has been closed" in a process forked from the
  // opener: its handles and transactions are the opener's, whose locks it
  // does not hold.
  virtual Status check_process() const = 0;
  // Set for good by a failed sync or selector write.
  virtual bool failed() const = 0;
  virtual void mark_failed(std::optional<std::string> os_error) = 0;
  // SYNC_FAILED with the path and the error that failed the file.
  virtual Error sync_failed_error() const = 0;
  // The outcome of a sync or of a selector write. A failure fails the file
  // for good, as the pages the sync lost may no longer be dirty for the
  // next one, and gives SYNC_FAILED.
  Status fail_file_unless(Status step) {
    if (step) return ok();
    mark_failed(std::string(step.error().message()));
    return fail(sync_failed_error());
  }
  // A full sync of the file, failing the file as fail_file_unless does. A
  // sync that succeeds while another sync of this file fails beside it (the
  // sync thread's, which holds no lock) answers SYNC_FAILED as well: the
  // failed one may have taken the pages this one was to write, which it then
  // found clean. It also answers SYNC_FAILED, without syncing, once failed.
  virtual Status sync_file() = 0;

  // The published commit; a copy taken under the file's state lock.
  virtual PublishedCommit published() const = 0;

  // --- The writer. CLOSED in a forked child, SYNC_FAILED once failed, BUSY
  // when the in-process slot or the write lock byte is not had within the
  // busy timeout. The head is re-read once the writer is held, so commits of
  // other processes are seen; a deferred commit of another process is made
  // durable first, so that this process knows which record is on disk.
  virtual Result<WriterGuard> begin_write() = 0;
  // Called by the guard when it is dropped or released.
  virtual void end_write(WriterGuard& guard) = 0;
  // Held by a commit from the choice of its slot until it is published, and
  // by a sync made beside this process's open writer.
  virtual std::unique_lock<std::mutex> hold_publishing() = 0;
  // Requires the writer and `hold_publishing`: commit `txn_id` of this
  // process is about to be written (0 once it is published or given up).
  // A head read that sees it meanwhile leaves the state this process keeps
  // to `committed`: it must not take the commit for another process's.
  virtual void publishing(std::uint64_t txn_id) = 0;
  // With the writer held, before a commit writes its pages: CORRUPTED
  // unless the file still publishes commit `txn_id`, the one the
  // transaction began from. Another writer's commit beside this one means
  // the write lock did not hold; it is not written over. One read of the
  // selector byte and the slots; nothing for a file without a lock state.
  virtual Status check_still_published(std::uint64_t txn_id) = 0;

  // --- Snapshots. begin_snapshot takes the published commit with its reader
  // byte held (shared) and its reader registered; end_snapshot ends one
  // local reader, and the byte is let go 20 to 25 ms after the last. CLOSED
  // in a forked child, BUSY when the byte is not had in time.
  virtual Result<PublishedCommit> begin_snapshot() = 0;
  virtual void end_snapshot(std::uint64_t txn_id) = 0;
  // Requires the writer. The newest retained group a writer of transaction
  // `new_txn_id` may free: older than every snapshot in use here or in
  // another process, and than every record in the slots (recovery may still
  // fall back on them). `oldest_group` is the oldest group the retained tree
  // holds: when the slots, the newest durable commit and this process's
  // snapshots already keep it, no reader byte can change what is freed, and
  // the bound they give comes back without testing the bytes.
  virtual Result<std::uint64_t> reclaim_limit(std::uint64_t new_txn_id,
                                              std::uint64_t oldest_group = 0) = 0;

  // --- Commits.
  // Whether deferred commits have left so many pages that no sync has put
  // on disk yet that the next write transaction commits durably.
  virtual bool deferred_page_limit_reached() const = 0;
  // With the writer held: the slot the next commit record goes into. Never
  // the published slot, nor the newest durable one, nor one that a selector
  // byte not yet synced away may still name as durable; when a chain of
  // deferred commits leaves no other, the published commit is made durable
  // first.
  virtual Result<std::uint8_t> slot_for_next_commit() = 0;
  // With the writer held, before a deferred commit writes its pages. When
  // the published commit is durable but the selector byte naming it may
  // not have reached the disk (after an open, or after a durable commit,
  // which writes its selector after its sync), the record before it is
  // guarded, and the deferred commit after this one would find no slot
  // without a sync of this one's pages. Syncs the file now instead, while
  // it holds little more than that byte, and lets the guard go.
  virtual Status sync_guarded_selector() = 0;
  // Requires the writer (and `hold_publishing`): called once a commit is
  // published.
  virtual void committed(const PublishedCommit& published, std::uint64_t pages_written) = 0;
  // With the writer held. The free runs that the free tree of this
  // process's last commit holds, kept so that the next write transaction
  // need not read the whole free tree again; `take_free_runs` hands them
  // over only while that commit, with that free tree, is the published one.
  virtual void keep_free_runs(std::uint64_t txn_id, const ChildPointer& free_tree,
                              space::FreeRuns runs) = 0;
  virtual std::optional<space::FreeRuns> take_free_runs(std::uint64_t txn_id,
                                                        const ChildPointer& free_tree) = 0;

 protected:
  // For begin_write: a guard that ends this file's write when dropped.
  WriterGuard guard_writer() { return WriterGuard(this); }
  // For end_write: whether `guard` holds this file's writer; it holds
  // nothing afterwards.
  bool disarm(WriterGuard& guard) {
    if (guard.file_ != this) return false;
    guard.file_ = nullptr;
    return true;
  }
};

}  // namespace deziro
