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

#include "crypto/credential.hpp"
#include "crypto/file_keys.hpp"
#include "error.hpp"
#include "format/header.hpp"
#include "format/node.hpp"
#include "format/record.hpp"
#include "storage/storage.hpp"
#include "txn/page_reader.hpp"

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

class Instance {
 public:
  // `keys` holds the data key of an encrypted file, none for a plain one.
  Instance(std::unique_ptr<Storage> storage, StaticFields fields, PageProtection protection,
           PublishedCommit published, InstanceSettings settings,
           std::unique_ptr<const FileKeys> keys = nullptr);
  ~Instance();
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
  pid_t opener_pid() const { return opener_pid_; }
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

  // CLOSED when called in a process forked from the opener.
  Status check_process() const;

  // Set for good by a failed sync or selector write.
  bool failed() const { return failed_.load(); }
  void mark_failed(std::optional<std::string> os_error);
  // SYNC_FAILED with the path and the error that failed the instance.
  Error sync_failed_error() const;

  PublishedCommit published() const;
  void set_published(const PublishedCommit& published);
  // The newest commit known to be on disk: a deferred commit's pages may not
  // be, so until it is synced this one stays protected like a snapshot.
  std::uint64_t durable_txn_id() const;
  std::uint8_t durable_slot() const;

  // Takes the published commit as a snapshot and registers its reader in
  // one step, so no writer can miss the reader.
  PublishedCommit begin_snapshot();

  // The in-process writer slot: one write transaction at a time, waited for
  // up to the busy timeout. (The file's write lock byte joins it when other
  // processes are locked out as well.)
  Status acquire_writer();
  void release_writer();

  // Snapshots in use by this process, by transaction id.
  void register_reader(std::uint64_t txn_id);
  void unregister_reader(std::uint64_t txn_id);
  // The oldest snapshot in use, or none.
  std::optional<std::uint64_t> oldest_reader() const;

  // Makes a published deferred commit durable: a full sync, then the
  // selector byte without its deferred bit.
  Status sync();

  // Re-reads the head and takes the published commit the selector names
  // (the record must be usable): for a process that does not recover.
  Status read_commit_state();

  // Drops a database handle's share of the Instance after a sync; the sync's
  // error, if any, is returned after the drop.
  static Status release_handle(std::shared_ptr<Instance> handle);

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
  pid_t opener_pid_;
  std::unique_ptr<const FileKeys> keys_;

  std::atomic<bool> failed_{false};
  mutable std::mutex state_mutex_;
  std::optional<std::string> failure_os_error_;
  PublishedCommit published_;
  std::uint64_t durable_txn_id_ = 0;
  std::uint8_t durable_slot_ = 0;
  std::map<std::uint64_t, std::uint32_t> readers_;

  std::mutex writer_mutex_;
  std::condition_variable writer_cv_;
  bool writer_busy_ = false;
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
  std::size_t live_count();

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace registry
}  // namespace deziro
