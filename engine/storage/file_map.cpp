#include "storage/file_map.hpp"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace deziro {

namespace {

// What a copy in progress on this thread covers, and where a fault in it
// returns to.
struct Guard {
  sigjmp_buf exit;
  const std::uint8_t* from;
  std::size_t size;
};

// Read by the handler only for a fault inside one of the chunks below, which
// only a guarded copy touches: the thread has set it, so the look finds its
// storage in place (a thread's first look at a dynamic module's
// thread-local may allocate, which a handler must not).
thread_local Guard* t_guard = nullptr;

// Every chunk mapped, by its first byte (0: a free slot), so that the
// handler tells the faults of copies from all others without a lock. A
// chunk that finds no slot is not mapped.
constexpr std::size_t kMappedSlots = 1024;
std::atomic<std::uintptr_t> g_mapped[kMappedSlots];

bool note_mapped(const void* chunk) {
  for (auto& slot : g_mapped) {
    std::uintptr_t free = 0;
    if (slot.compare_exchange_strong(free, reinterpret_cast<std::uintptr_t>(chunk))) return true;
  }
  return false;
}

void forget_mapped(const void* chunk) {
  for (auto& slot : g_mapped) {
    std::uintptr_t mine = reinterpret_cast<std::uintptr_t>(chunk);
    if (slot.compare_exchange_strong(mine, 0)) return;
  }
}

bool in_a_mapped_chunk(const void* at) {
  const auto address = reinterpret_cast<std::uintptr_t>(at);
  for (const auto& slot : g_mapped) {
    const std::uintptr_t first = slot.load(std::memory_order_acquire);
    if (first != 0 && address >= first && address - first < FileMap::kChunkBytes) return true;
  }
  return false;
}

// The action in place before ours; written once, before ours is installed.
struct sigaction g_previous;

void pass_on(int signal, siginfo_t* info, void* context) {
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction != nullptr) g_previous.sa_sigaction(signal, info, context);
    return;
  }
  const bool sent = info == nullptr || info->si_code <= 0;
  if (g_previous.sa_handler == SIG_IGN && sent) return;
  if (g_previous.sa_handler == SIG_DFL || g_previous.sa_handler == SIG_IGN) {
    // The default action: a fault strikes again as its instruction reruns;
    // a signal that was sent is raised again.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    ::sigaction(SIGBUS, &default_action, nullptr);
    if (sent) ::raise(SIGBUS);
    return;
  }
  g_previous.sa_handler(signal);
}

void on_sigbus(int signal, siginfo_t* info, void* context) {
  if (info != nullptr && info->si_code > 0 && in_a_mapped_chunk(info->si_addr)) {
    Guard* guard = t_guard;
    const auto* at = static_cast<const std::uint8_t*>(info->si_addr);
    if (guard != nullptr && at >= guard->from && at < guard->from + guard->size) {
      t_guard = nullptr;
      // Reached through another handler that blocked the signal, the jump
      // would leave it blocked, and the next fault would end the process.
      sigset_t bus;
      sigemptyset(&bus);
      sigaddset(&bus, SIGBUS);
      ::pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
      ::siglongjmp(guard->exit, 1);
    }
  }
  pass_on(signal, info, context);
}

bool install_guard() {
  if (::sigaction(SIGBUS, nullptr, &g_previous) != 0) return false;
  struct sigaction ours {};
  ours.sa_sigaction = on_sigbus;
  // Not deferred: the jump out of the handler leaves the mask as it was.
  ours.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&ours.sa_mask);
  return ::sigaction(SIGBUS, &ours, nullptr) == 0;
}

// Copies `n` bytes from `from`, which lies in one mapped chunk, to `to`:
// false if a byte of `from` lay past the file's end (the copy stopped
// part-way).
bool copy_from_mapping(void* to, const void* from, std::size_t n) {
  static const bool guarded = install_guard();
  if (!guarded) return false;
  Guard guard;
  guard.from = static_cast<const std::uint8_t*>(from);
  guard.size = n;
  // Without the signal mask: saving it would cost a system call a copy.
  if (sigsetjmp(guard.exit, 0) != 0) return false;
  t_guard = &guard;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(to, from, n);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t_guard = nullptr;
  return true;
}

}  // namespace

FileMap::~FileMap() {
  for (auto& chunk : chunks_)
    if (const std::uint8_t* mapped = chunk.load(std::memory_order_relaxed)) {
      forget_mapped(mapped);
      ::munmap(const_cast<std::uint8_t*>(mapped), kChunkBytes);
    }
}

const std::uint8_t* FileMap::chunk(std::size_t index) {
  const std::uint8_t* mapped = chunks_[index].load(std::memory_order_acquire);
  if (mapped != nullptr || refused_.load(std::memory_order_relaxed)) return mapped;
  // A file whose end cuts a page of memory reads zeros past its end within
  // that page, where a read would come up short: such a file is read with
  // system calls while it is so (a file being created), and for good once
  // it stays so (damaged, or not a database at all).
  struct statx st;
  if (::statx(fd_, "", AT_EMPTY_PATH, STATX_SIZE, &st) != 0) {
    refused_.store(true, std::memory_order_relaxed);
    return nullptr;
  }
  if (st.stx_size % static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) != 0) {
    if (uneven_looks_.fetch_add(1, std::memory_order_relaxed) >= kUnevenLooks)
      refused_.store(true, std::memory_order_relaxed);
    return nullptr;
  }
  void* m = ::mmap(nullptr, kChunkBytes, PROT_READ, MAP_SHARED, fd_,
                   static_cast<off_t>(index * kChunkBytes));
  if (m == MAP_FAILED) {
    refused_.store(true, std::memory_order_relaxed);
    return nullptr;
  }
  if (!note_mapped(m)) {
    ::munmap(m, kChunkBytes);
    refused_.store(true, std::memory_order_relaxed);
    return nullptr;
  }
  const std::uint8_t* expected = nullptr;
  if (!chunks_[index].compare_exchange_strong(expected, static_cast<const std::uint8_t*>(m),
                                              std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
    forget_mapped(m);
    ::munmap(m, kChunkBytes);
    return expected;
  }
  return static_cast<const std::uint8_t*>(m);
}

bool FileMap::copy(std::uint64_t offset, ByteSpan out) {
  const std::uint64_t index = offset / kChunkBytes;
  const std::uint64_t within = offset % kChunkBytes;
  if (out.empty() || index >= kChunks || out.size() > kChunkBytes - within) return false;
  const std::uint8_t* base = chunk(static_cast<std::size_t>(index));
  return base != nullptr && copy_from_mapping(out.data(), base + within, out.size());
}

}  // namespace deziro
