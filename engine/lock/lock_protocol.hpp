// The multi-byte lock protocols built on FileLock: how a writer waits for
// the write lock without being starved, and how work that needs the file
// alone announces itself.
#pragma once

#include <chrono>

#include "function_ref.hpp"
#include "lock/file_lock.hpp"

namespace deziro {

// A writer that has waited this long for the write lock takes the
// long-waiting writer's byte, so that it goes next.
inline constexpr std::chrono::milliseconds kLongWaitThreshold{20};

// Takes the write lock (2^62 + 1) exclusively before `deadline`. While
// another process's writer holds the long-waiting byte (2^62 + 3), this one
// does not even try, so the long waiter goes first; after waiting 20 ms it
// takes that byte itself and releases it as soon as the wait ends either
// way. Sleeps back off from 20 µs, doubling, up to 10 ms. Only one thread of
// a process may wait at a time (the in-process writer slot sees to that):
// the bytes are the process's, not the thread's.
Result<void> wait_write_lock(FileLock& lock, FileLock::Deadline deadline);
// The same, asking `stop` between attempts whether the lock is still
// needed: false when it answered true before the lock was had.
Result<bool> wait_write_lock_unless(FileLock& lock, FileLock::Deadline deadline,
                                    FunctionRef<bool()> stop);

// Takes the intent byte (2^62 + 2), waiting until `deadline`, tries byte
// 2^62 exclusively once, and releases the intent byte. True when 2^62 is now
// held exclusively. A process that already holds 2^62 shared keeps it shared
// when the try fails.
Result<bool> try_lock_file_exclusive(FileLock& lock, FileLock::Deadline deadline);

}  // namespace deziro
