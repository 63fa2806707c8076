#include "lock/lock_protocol.hpp"

#include <algorithm>
#include <thread>

namespace deziro {

namespace {

// Releases the long-waiting byte on every way out of the wait.
class LongWaitByte {
 public:
  explicit LongWaitByte(FileLock& lock) : lock_(lock) {}
  ~LongWaitByte() {
    if (held_) lock_.unlock(lock_bytes::kLongWaitingWriter);
  }
  Result<void> try_take() {
    auto taken = lock_.try_lock(lock_bytes::kLongWaitingWriter, LockMode::Exclusive);
    if (!taken) return fail(taken.error());
    held_ = *taken;
    return {};
  }
  bool held() const { return held_; }

 private:
  FileLock& lock_;
  bool held_ = false;
};

}  // namespace

Result<void> wait_write_lock(FileLock& lock, FileLock::Deadline deadline) {
  auto taken = wait_write_lock_unless(lock, deadline, [] { return false; });
  if (!taken) return fail(taken.error());
  return {};
}

Result<bool> wait_write_lock_unless(FileLock& lock, FileLock::Deadline deadline,
                                    FunctionRef<bool()> stop) {
  auto start = std::chrono::steady_clock::now();
  auto delay = kFirstLockBackoff;
  LongWaitByte long_wait(lock);
  while (true) {
    bool other_goes_first = false;
    if (!long_wait.held()) {
      auto waiting = lock.held_by_another(lock_bytes::kLongWaitingWriter, LockMode::Exclusive);
      if (!waiting) return fail(waiting.error());
      other_goes_first = *waiting;
    }
    if (!other_goes_first) {
      auto taken = lock.try_lock(lock_bytes::kWrite, LockMode::Exclusive);
      if (!taken) return fail(taken.error());
      if (*taken) return true;
    }
    if (stop()) return false;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return fail(Error::busy(lock.path()));
    if (!long_wait.held() && now - start >= kLongWaitThreshold) {
      auto took = long_wait.try_take();
      if (!took) return fail(took.error());
    }
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    std::this_thread::sleep_for(std::min(delay, left + std::chrono::microseconds(1)));
    delay = std::min(delay * 2, kLockBackoffCap);
  }
}

Result<bool> try_lock_file_exclusive(FileLock& lock, FileLock::Deadline deadline) {
  auto intent = lock.wait_lock(lock_bytes::kIntent, LockMode::Exclusive, deadline);
  if (!intent) return fail(intent.error());
  auto taken = lock.try_lock(lock_bytes::kFile, LockMode::Exclusive);
  lock.unlock(lock_bytes::kIntent);
  return taken;
}

}  // namespace deziro
