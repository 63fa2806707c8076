#include "storage/block_arena.hpp"

#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>

#include "adaptive_mutex.hpp"
#include "invariant.hpp"
#include "sanitizers.hpp"

namespace deziro::block_arena {

namespace {

constexpr std::size_t kMaxBlock = std::size_t{64} << 10;

struct SizeClass;

// The bookkeeping of a chunk, in its last bytes: a block's chunk is its
// address rounded down to the chunk size.
struct Chunk {
  SizeClass* owner = nullptr;
  // Freed blocks, linked through their first bytes.
  void* free = nullptr;
  // Blocks handed out and not given back; blocks ever handed out (those
  // past it were never touched).
  std::size_t used = 0;
  std::size_t carved = 0;
  // In the owner's list of chunks with a free block.
  Chunk* prev = nullptr;
  Chunk* next = nullptr;
  bool listed = false;
};

struct SizeClass {
  AdaptiveMutex mutex;
  std::size_t size = 0;
  std::size_t capacity = 0;  // blocks a chunk holds
  // Chunks with a free block, the last one that gained one first; an empty
  // chunk kept for the next block, outside the list.
  Chunk* open = nullptr;
  Chunk* spare = nullptr;
};

// The classes in the order their sizes were first asked for; a class's
// size is written once, under `g_register`, before it is published in
// `g_sizes`.
std::array<SizeClass, kMaxSizes> g_classes;
std::array<std::atomic<std::size_t>, kMaxSizes> g_sizes{};
std::mutex g_register;
std::atomic<std::size_t> g_chunks{0};

Chunk* chunk_of(void* block) {
  const auto base = reinterpret_cast<std::uintptr_t>(block) & ~(kChunkBytes - 1);
  return reinterpret_cast<Chunk*>(base + kChunkBytes - sizeof(Chunk));
}

std::uint8_t* base_of(Chunk* chunk) {
  return reinterpret_cast<std::uint8_t*>(chunk) + sizeof(Chunk) - kChunkBytes;
}

// A fork() while another thread holds a class's lock would leave the child
// a lock no thread of it ever releases: every lock is taken over the fork.
void lock_all() {
  g_register.lock();
  for (SizeClass& c : g_classes) c.mutex.lock();
}
void unlock_all() {
  for (SizeClass& c : g_classes) c.mutex.unlock();
  g_register.unlock();
}

SizeClass* class_of(std::size_t size) {
  for (std::size_t i = 0; i < kMaxSizes; ++i) {
    const std::size_t s = g_sizes[i].load(std::memory_order_acquire);
    if (s == size) return &g_classes[i];
    if (s == 0) return nullptr;
  }
  return nullptr;
}

SizeClass* class_for(std::size_t size) {
  if (SizeClass* found = class_of(size)) return found;
  std::lock_guard lock(g_register);
  static const bool registered = pthread_atfork(lock_all, unlock_all, unlock_all) == 0;
  if (!registered) return nullptr;
  for (std::size_t i = 0; i < kMaxSizes; ++i) {
    const std::size_t s = g_sizes[i].load(std::memory_order_relaxed);
    if (s == size) return &g_classes[i];
    if (s != 0) continue;
    g_classes[i].size = size;
    g_classes[i].capacity = (kChunkBytes - sizeof(Chunk)) / size;
    g_sizes[i].store(size, std::memory_order_release);
    return &g_classes[i];
  }
  return nullptr;
}

// A fresh chunk, aligned to its size; null when the system has no memory.
Chunk* map_chunk(SizeClass& owner) {
  // Twice the size, so that an aligned chunk lies within; the rest goes
  // back at once.
  void* m =
      ::mmap(nullptr, 2 * kChunkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(m);
  const std::uintptr_t base = (start + kChunkBytes - 1) & ~(kChunkBytes - 1);
  if (base > start) ::munmap(m, base - start);
  if (base + kChunkBytes < start + 2 * kChunkBytes)
    ::munmap(reinterpret_cast<void*>(base + kChunkBytes), start + kChunkBytes - base);
  // A hint: without huge pages the chunk is plain memory.
  ::madvise(reinterpret_cast<void*>(base), kChunkBytes, MADV_HUGEPAGE);
  auto* chunk = new (reinterpret_cast<void*>(base + kChunkBytes - sizeof(Chunk))) Chunk;
  chunk->owner = &owner;
  g_chunks.fetch_add(1, std::memory_order_relaxed);
  return chunk;
}

void unmap_chunk(Chunk* chunk) {
  g_chunks.fetch_sub(1, std::memory_order_relaxed);
  ::munmap(base_of(chunk), kChunkBytes);
}

// The list of chunks with a free block, under the class's lock.
void link(SizeClass& c, Chunk* chunk) {
  chunk->prev = nullptr;
  chunk->next = c.open;
  if (c.open != nullptr) c.open->prev = chunk;
  c.open = chunk;
  chunk->listed = true;
}

void unlink(SizeClass& c, Chunk* chunk) {
  if (chunk->prev != nullptr) chunk->prev->next = chunk->next;
  if (chunk->next != nullptr) chunk->next->prev = chunk->prev;
  if (c.open == chunk) c.open = chunk->next;
  chunk->prev = chunk->next = nullptr;
  chunk->listed = false;
}

}  // namespace

bool serves(std::size_t size) {
  if (kAddressSanitizer || size == 0 || size % 64 != 0 || size > kMaxBlock) return false;
  return class_for(size) != nullptr;
}

void* allocate(std::size_t size) {
  SizeClass* c = class_of(size);
  DZ_ASSERT(c != nullptr);
  std::lock_guard lock(c->mutex);
  Chunk* chunk = c->open;
  if (chunk == nullptr) {
    chunk = c->spare != nullptr ? c->spare : map_chunk(*c);
    if (chunk == nullptr) throw std::bad_alloc();
    c->spare = nullptr;
    link(*c, chunk);
  }
  void* block;
  if (chunk->free != nullptr) {
    block = chunk->free;
    chunk->free = *static_cast<void**>(block);
  } else {
    block = base_of(chunk) + chunk->carved * c->size;
    ++chunk->carved;
  }
  if (++chunk->used == c->capacity) unlink(*c, chunk);
  return block;
}

void release(void* block, std::size_t size) noexcept {
  if (block == nullptr) return;
  Chunk* chunk = chunk_of(block);
  SizeClass& c = *chunk->owner;
  DZ_ASSERT(c.size == size);
  Chunk* gone = nullptr;
  {
    std::lock_guard lock(c.mutex);
    *static_cast<void**>(block) = chunk->free;
    chunk->free = block;
    if (!chunk->listed) link(c, chunk);
    if (--chunk->used == 0) {
      unlink(c, chunk);
      // One empty chunk waits for the next block; another goes back.
      if (c.spare == nullptr) {
        c.spare = chunk;
      } else {
        gone = chunk;
      }
    }
  }
  if (gone != nullptr) unmap_chunk(gone);
}

void* map_table(std::size_t bytes) {
  void* m = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) throw std::bad_alloc();
  if (bytes >= kChunkBytes) ::madvise(m, bytes, MADV_HUGEPAGE);
  return m;
}

void unmap_table(void* table, std::size_t bytes) noexcept {
  if (table != nullptr) ::munmap(table, bytes);
}

void give_back_freed_memory() {
#if defined(__GLIBC__)
  // The sanitizers' allocator keeps its own memory.
  if (!kAddressSanitizer) ::malloc_trim(0);
#endif
}

std::size_t chunks_held() { return g_chunks.load(std::memory_order_relaxed); }

}  // namespace deziro::block_arena
