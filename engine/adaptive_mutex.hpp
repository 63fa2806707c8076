// A mutex that spins briefly before it sleeps, for locks that many threads
// take for a few hundred nanoseconds at a time: the cache's shards and its
// succession marks, the retired images, a file's readers and commit state.
// With a plain mutex a thread that met the lock held went to sleep in the
// kernel and was woken by the holder's unlock, each a system call, several
// times the work the lock guards; eight reader threads beside a writer
// spent ~8 % of their time so. Uncontended, it costs what a plain mutex does.
#pragma once

#include <pthread.h>

#include "invariant.hpp"

namespace deziro {

class AdaptiveMutex {
 public:
  AdaptiveMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    // glibc spins a bounded number of times (its tunable
    // glibc.pthread.mutex_spin_count) before it waits in the kernel.
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~AdaptiveMutex() { pthread_mutex_destroy(&mutex_); }
  AdaptiveMutex(const AdaptiveMutex&) = delete;
  AdaptiveMutex& operator=(const AdaptiveMutex&) = delete;

  void lock() {
    [[maybe_unused]] const int failed = pthread_mutex_lock(&mutex_);
    DZ_ASSERT(failed == 0);
  }
  bool try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }
  void unlock() { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_;
};

}  // namespace deziro
