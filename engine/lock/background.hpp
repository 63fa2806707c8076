// The two kinds of background thread: one "deziro-keeper" per process, which
// lets go of a snapshot's reader byte a while after its last local reader
// ended, and one "deziro-sync" per open file, which makes deferred commits
// durable after their delay. Both come into being only when first needed and
// hold only weak references to the files they serve.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace deziro {

using SteadyTime = std::chrono::steady_clock::time_point;

// Names the calling thread as `ps` and debuggers show it (15 characters at
// most).
void name_this_thread(const char* name);

// What the keeper thread serves: a file's table of reader bytes.
class IdleReaderBytes {
 public:
  virtual ~IdleReaderBytes() = default;
  // Releases the reader byte of `txn_id` if no local reader used it since
  // its idle delay began; otherwise returns when to ask again.
  virtual std::optional<SteadyTime> release_if_idle(std::uint64_t txn_id, SteadyTime now) = 0;
};

namespace keeper {

// How long a reader byte outlives its last local reader, and how long the
// keeper thread waits with nothing to do before it ends.
inline constexpr std::chrono::milliseconds kReaderByteLinger{20};
inline constexpr std::chrono::seconds kKeeperIdleEnd{10};
// How late the keeper may let a byte go, so that it wakes once for the
// bytes of many commits.
inline constexpr std::chrono::milliseconds kKeeperSlack{5};

// Asks the keeper to call `bytes->release_if_idle(txn_id)` at `due`,
// starting the thread when none runs.
void schedule(std::weak_ptr<IdleReaderBytes> bytes, std::uint64_t txn_id, SteadyTime due);

// Whether the keeper thread of this process is running (for tests).
bool running();

// For tests only: how long the keeper thread waits with nothing to do before
// it ends, in place of kKeeperIdleEnd, until set again; a running thread
// that has waited that long already ends at once. Returns the one it
// replaces. A test that forks sets zero while it waits for the thread to go.
std::chrono::milliseconds set_idle_end_for_tests(std::chrono::milliseconds idle_end);

// How many times `schedule` woke the running keeper thread: only an item
// due before the one it sleeps until wakes it (for tests).
std::uint64_t wakeups();

}  // namespace keeper

// What a file's sync thread serves.
class DeferredSyncTarget {
 public:
  virtual ~DeferredSyncTarget() = default;
  // Makes the pending deferred commit durable; returns when to try again
  // (it could not have the writer), or none once nothing is pending.
  virtual std::optional<SteadyTime> sync_deferred() = 0;
};

// The "deziro-sync" thread of one open file. The owner (the file's shared
// state) starts it when a deferred commit is made or seen and stops it when
// the file closes; the thread ends by itself once nothing is pending.
class SyncThread {
 public:
  SyncThread();
  ~SyncThread();
  SyncThread(const SyncThread&) = delete;
  SyncThread& operator=(const SyncThread&) = delete;

  // Asks for a sync at `due` (an earlier request wins), starting the thread
  // if it is not running.
  void request(std::weak_ptr<DeferredSyncTarget> target, SteadyTime due);
  // Stops the thread and waits for it, unless called on the thread itself
  // (the file's last reference was dropped there), which then just ends.
  void stop();
  // In a forked child the thread does not exist: forget it without joining.
  void abandon();
  bool running() const;

 private:
  // Shared with the thread; every field under `mutex`.
  struct Control {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    bool running = false;
    std::optional<SteadyTime> due;
  };
  static void run(std::shared_ptr<Control> control, std::weak_ptr<DeferredSyncTarget> target);

  std::shared_ptr<Control> control_;
  // Set in a forked child: nothing of the parent's thread may be touched.
  bool abandoned_ = false;
  std::mutex thread_mutex_;
  // Under `thread_mutex_` (request and stop may run on different threads).
  std::unique_ptr<std::thread> thread_;
};

}  // namespace deziro
