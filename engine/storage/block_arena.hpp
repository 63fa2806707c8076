// Equal blocks carved from 2 MiB chunks of memory that the system is asked
// to back with huge pages, for the memory a page cache is made of: page
// buffers and cached nodes.
//
// A cache of a large file holds tens of thousands of pages, and a lookup
// reads a few lines of one at every level: with 4 KiB pages of memory
// each of those is a miss of the processor's address translation as well
// (a walk of the page tables, dearer still in a virtual machine), and a
// page read into the cache writes a page of memory long untouched. One
// translation covers a whole chunk.
//
// Each block size has its own chunks; a chunk that no longer holds a block
// goes back to the system (one empty chunk a size is kept for the next
// block), so a closed file's cache does not stay with the process. Safe
// from many threads at once, and across fork() (the arena's locks are held
// over it). Under the address sanitizer nothing is served here, so that it
// sees every block freed.
#pragma once

#include <cstddef>
#include <type_traits>

namespace deziro::block_arena {

// The chunks' size and alignment.
inline constexpr std::size_t kChunkBytes = std::size_t{2} << 20;
// How many block sizes the arena serves at most; blocks of other sizes go
// to the allocator.
inline constexpr std::size_t kMaxSizes = 8;

// Whether blocks of `size` bytes come from the arena: a multiple of 64 from
// 64 up to 64 KiB, while the arena serves fewer than kMaxSizes sizes or
// already serves this one. The answer for a size never changes once given
// true; allocate() and release() of one block must agree on it, which they
// do when both ask with the same size.
bool serves(std::size_t size);

// A block of `size` bytes (serves(size) must hold), aligned to 64; throws
// std::bad_alloc when the system has no memory for a new chunk.
void* allocate(std::size_t size);
// Gives back a block that allocate(size) returned.
void release(void* block, std::size_t size) noexcept;

// Zeroed memory of `bytes` for a large table read all over (one a cache
// looks in at every level of every lookup), mapped on its own and asked to
// be backed by huge pages; throws std::bad_alloc when the system has none.
void* map_table(std::size_t bytes);
// Gives back what map_table(bytes) returned.
void unmap_table(void* table, std::size_t bytes) noexcept;
// The deleter of a table of `count` elements of plain type T in memory from
// map_table: unmapped without destructors run.
template <class T>
struct UnmapTable {
  static_assert(std::is_trivially_destructible_v<T>);
  std::size_t count = 0;
  void operator()(T* table) const noexcept { unmap_table(table, count * sizeof(T)); }
};

// Gives the memory the allocator holds freed back to the system. The arena
// reuses none of it, so a process that freed much of it (a large write
// transaction ended, a cache of the pages a writer wrote let go) would keep
// it on top of what its caches take from the arena. It walks what the
// allocator holds: for the end of something large, never a small step.
void give_back_freed_memory();
// What a transaction or cache that ends must have held for
// give_back_freed_memory() to be worth its walk.
inline constexpr std::size_t kGiveBackAfter = std::size_t{32} << 20;

// Chunks held, empty ones kept included. For tests.
std::size_t chunks_held();

}  // namespace deziro::block_arena
