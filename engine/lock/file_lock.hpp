// Byte-range locks between processes on one database file.
//
// Where the system has them, the locks are open-file-description locks: they
// belong to the lock state's own descriptor (and to the DbFile's, when the
// state holds a dup() of it), so closing any other descriptor of the file in
// the process leaves them in place, and they conflict with the locks of every
// other open of the file, classic fcntl locks of other processes included.
// Threads of one process share the one description and never conflict with
// each other (the Instance orders them with its own mutexes); the registry
// keeps one lock state per file and process.
//
// Where such locks are refused, the state falls back to classic fcntl locks,
// which belong to the process: closing ANY descriptor of the file drops every
// lock the process holds on it. So a lock state owns every descriptor the
// process opens on its file and keeps them open until it is dropped, with
// either kind.
//
// A forked child inherits the parent's descriptors, and with them the
// parent's open-file-description locks: any request through the inherited
// state would act on the parent's bytes. So in a forked process the state
// takes, changes and releases nothing, and the child abandons its copy
// rather than drop it.
//
// The lock bytes lie at 2^62 and above, past any page of the file.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "adaptive_mutex.hpp"
#include "error.hpp"

struct flock;

namespace deziro {

namespace lock_bytes {
inline constexpr std::uint64_t kBase = 1ull << 62;
// Shared by every open handle; exclusive for work that needs the file alone.
inline constexpr std::uint64_t kFile = kBase;
// The write lock.
inline constexpr std::uint64_t kWrite = kBase + 1;
// Held by whoever is trying for kFile exclusively (an opener, an upgrade).
inline constexpr std::uint64_t kIntent = kBase + 2;
// Held by a writer that has waited 20 ms for the write lock.
inline constexpr std::uint64_t kLongWaitingWriter = kBase + 3;
// Held shared while a snapshot of transaction `txn_id` is in use. The
// largest transaction id puts this at 2^63 - 1, still a valid offset.
constexpr std::uint64_t reader(std::uint64_t txn_id) { return kBase + 64 + txn_id; }
}  // namespace lock_bytes

enum class LockMode { Shared, Exclusive };

// Backoff of lock waits: from 20 µs, doubling, up to the cap.
inline constexpr std::chrono::microseconds kFirstLockBackoff{20};
inline constexpr std::chrono::microseconds kLockBackoffCap{10000};

class FileLock {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  // A lock state owning the file's first descriptor. When a DbFile reads and
  // writes the same file, give the state a dup() of its descriptor (made
  // close-on-exec, so that no program the process runs keeps the locks
  // alive) and drop the DbFile no earlier than the state: with classic
  // locks, closing the DbFile's descriptor also drops the process's locks.
  // `path` names the file in the errors of its requests: BUSY (a wait timed
  // out), UNSUPPORTED_FILE_SYSTEM (locks do not work there) or IO.
  FileLock(int fd, std::string path);
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // Releases the bytes it holds and closes its descriptors.
  ~FileLock();

  // Takes one more descriptor of the same file, kept open until the state
  // is dropped, so that closing it cannot release the state's locks.
  void add_file(int fd);
  // Leaves its bytes and descriptors as they are when dropped, neither
  // unlocked nor closed: for a forked process, where unlocking would release
  // the parent's bytes and closing could drop the locks it took on the file
  // through an open of its own. The descriptors stay open until the process
  // ends. Nothing else may be called after it.
  void abandon();
  int descriptor() const { return fds_.front(); }
  const std::string& path() const { return path_; }
  // Whether the state takes open-file-description locks (false: classic
  // locks, which closing any descriptor of the file drops).
  bool description_locks() const { return description_locks_; }

  // One attempt: true when the byte is now held in `mode`, false when
  // another process (or another open of the file) holds it in a conflicting
  // mode. In a forked process: an IO failure, touching nothing. Holding a byte
  // exclusively and asking for it shared turns the lock shared at once.
  Result<bool> try_lock(std::uint64_t byte, LockMode mode);
  // Tries until `deadline`, sleeping from 20 µs, doubling, up to `cap`.
  Result<void> wait_lock(std::uint64_t byte, LockMode mode, Deadline deadline,
                         std::chrono::microseconds cap = kLockBackoffCap);
  // Byte 2^62 exclusively, until `deadline`.
  Result<void> wait_lock_file(Deadline deadline) {
    return wait_lock(lock_bytes::kFile, LockMode::Exclusive, deadline);
  }
  // Does nothing in a forked process: the byte is the parent's.
  void unlock(std::uint64_t byte);
  bool holds(std::uint64_t byte) const;

  // Whether another process holds `byte` in a mode that conflicts with
  // `mode`. This state's own locks never count; with open-file-description
  // locks, another open of the file in this process would, but the registry
  // keeps one lock state per file, and its other descriptors take no locks.
  Result<bool> held_by_another(std::uint64_t byte, LockMode mode) const;
  // The lowest byte in [first, end) that another process holds in any mode,
  // if there is one: how a writer learns the oldest snapshot still in use
  // elsewhere.
  Result<std::optional<std::uint64_t>> lowest_held_by_another(std::uint64_t first,
                                                              std::uint64_t end) const;

 private:
  Result<bool> set_lock(std::uint64_t byte, short type);
  // One fcntl request of the state's kind (F_*SETLK or F_*GETLK).
  int request(bool query, struct flock& range) const;
  // UNSUPPORTED_FILE_SYSTEM or IO for a request's `errnum`.
  Error request_error(int errnum) const;

  // Under `mutex_` once the state is shared (add_file); the first one is
  // set at construction and never changes.
  std::vector<int> fds_;
  std::string path_;
  bool description_locks_ = true;
  // The fork generation of the process that made the state.
  std::uint64_t generation_;
  mutable AdaptiveMutex mutex_;
  // Under `mutex_`: the bytes this state holds.
  std::map<std::uint64_t, LockMode> held_;
  // Set in a forked process: its bytes and descriptors are left alone.
  bool abandoned_ = false;
};

// UNSUPPORTED_FILE_SYSTEM when the descriptor's file lies on a network file
// system, whose locks and syncs cannot be trusted; IO when fstatfs fails.
Status check_local_file_system(int fd, const std::string& path);
// The same for the directory that holds (or would hold) `path`: checked
// before a file is created there, so that a refusal leaves nothing behind.
Status check_local_directory(const std::string& path);
// The fstatfs magic numbers refused.
bool is_network_file_system(std::uint64_t magic);

// How the file system type (the fstatfs magic) of an open descriptor is
// learnt. Tests put a probe in place of fstatfs to pose as a network file
// system; null puts fstatfs back.
using FileSystemTypeProbe = Result<std::uint64_t> (*)(int fd, const std::string& path);
void set_file_system_type_probe(FileSystemTypeProbe probe);

// Tests turn open-file-description locks off to run the classic fallback;
// lock states made afterwards use classic locks while it is off.
void set_description_locks_allowed(bool allowed);

}  // namespace deziro
