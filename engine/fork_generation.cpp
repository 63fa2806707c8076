#include "fork_generation.hpp"

#include <pthread.h>

#include <atomic>

namespace deziro::fork_generation {
namespace {

std::atomic<std::uint64_t> g_generation{0};

// Runs in the child, where only the forking thread exists.
void bump_in_child() { g_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t current() {
  static const bool registered = [] {
    ::pthread_atfork(nullptr, nullptr, bump_in_child);
    return true;
  }();
  (void)registered;
  return g_generation.load(std::memory_order_relaxed);
}

}  // namespace deziro::fork_generation
