// A heap buffer for pages, aligned as the allocator aligns any block (16
// bytes), movable, not copyable. No read or write bypasses the system's page
// cache, so no buffer needs page alignment; asking the allocator for it
// would make it split and coalesce free chunks around every page buffer.
//
// Page buffers come and go by the thousand: every page read into the cache
// and every node a commit writes takes one, and the cache frees one for each
// it evicts, mostly long untouched. So each thread keeps a few blocks it
// freed, of the last page size it freed, for its next buffer of that size:
// an evicted page's block becomes the next page read or written without the
// allocator's bookkeeping on cold memory. Pages read into a cache take
// their blocks from the block arena (for_cache), kept apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>

namespace deziro {

class AlignedBuffer {
 public:
  static constexpr std::size_t kAlignment = alignof(std::max_align_t);

  AlignedBuffer() = default;
  explicit AlignedBuffer(std::size_t size) : size_(size) {
    if (size == 0) return;
    data_ = take_spare(size);
    if (data_ == nullptr) data_ = static_cast<std::uint8_t*>(std::malloc(size));
    if (data_ == nullptr) throw std::bad_alloc();
  }
  static AlignedBuffer zeroed(std::size_t size) {
    AlignedBuffer buffer(size);
    if (size != 0) std::memset(buffer.data_, 0, size);
    return buffer;
  }
  // A buffer for a page read into a page cache, whose lookups read pages
  // all over it: from the block arena (huge pages, storage/block_arena.hpp)
  // when it serves the size, else as any buffer. Not for memory a write
  // transaction comes and goes with: the arena's blocks serve no other
  // size, where the allocator's serve the transaction's other needs.
  static AlignedBuffer for_cache(std::size_t size);

  AlignedBuffer(AlignedBuffer&& other) noexcept
      : data_(other.data_), size_(other.size_), arena_(other.arena_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
    if (this != &other) {
      release(data_, size_, arena_);
      data_ = other.data_;
      size_ = other.size_;
      arena_ = other.arena_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  ~AlignedBuffer() { release(data_, size_, arena_); }

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::span<std::uint8_t> span() { return {data_, size_}; }
  std::span<const std::uint8_t> span() const { return {data_, size_}; }
  // Whether the block came from the block arena (for_cache).
  bool in_arena() const { return arena_; }

  // Whether threads keep freed blocks: not under the address sanitizer,
  // which must see every block freed to catch a use after it. And how many
  // of `size` bytes the calling thread keeps. For tests.
  static bool keeps_spares();
  static std::size_t spare_blocks(std::size_t size);

 private:
  // A block of `size` bytes the calling thread kept, or null.
  static std::uint8_t* take_spare(std::size_t size);
  // Keeps the block for the calling thread, or frees it; `arena`: it
  // came from the arena.
  static void release(std::uint8_t* block, std::size_t size, bool arena);

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  bool arena_ = false;  // in_arena
};

}  // namespace deziro
