// Counts of the calls a test program intercepts on their way to the kernel
// (it defines the libc function itself and forwards it as a system call),
// by kind, from any thread: the engine's own calls are counted too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace deziro::testing {

template <std::size_t Kinds>
class CallTally {
 public:
  using Counts = std::array<std::uint64_t, Kinds>;

  void count(std::size_t kind) {
    std::lock_guard lock(mutex_);
    ++counts_[kind];
  }
  Counts counts() {
    std::lock_guard lock(mutex_);
    return counts_;
  }

 private:
  std::mutex mutex_;
  Counts counts_{};
};

// The program's one tally of `Kinds` kinds: its interceptors may run before
// main, so it is made on first use.
template <std::size_t Kinds>
CallTally<Kinds>& program_tally() {
  static CallTally<Kinds> tally;
  return tally;
}

}  // namespace deziro::testing
