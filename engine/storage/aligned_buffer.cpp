#include "storage/aligned_buffer.hpp"

#include "storage/block_arena.hpp"
#include "storage/spare_blocks.hpp"

namespace deziro {
namespace {

// A page buffer's block is the allocator's plain one, known by its size.
struct BufferShape {
  std::size_t size = 0;
  void free(void* block) const { std::free(block); }
  bool operator==(const BufferShape&) const = default;
};

// At most 64 blocks and 256 KiB per thread.
thread_local SpareBlocks<BufferShape, 64, std::size_t(256) << 10> t_spares;

// A page cache's buffer's block, from the arena.
struct CacheBufferShape {
  std::size_t size = 0;
  void* allocate() const { return block_arena::allocate(size); }
  void free(void* block) const { block_arena::release(block, size); }
  bool operator==(const CacheBufferShape&) const = default;
};

// The same for blocks of the arena, kept apart from the others.
thread_local SpareBlocks<CacheBufferShape, 64, std::size_t(256) << 10> t_cache_spares;

}  // namespace

AlignedBuffer AlignedBuffer::for_cache(std::size_t size) {
  if (size == 0 || !block_arena::serves(size)) return AlignedBuffer(size);
  AlignedBuffer buffer;
  buffer.data_ = static_cast<std::uint8_t*>(t_cache_spares.take_or_allocate({size}));
  buffer.size_ = size;
  buffer.arena_ = true;
  return buffer;
}

std::uint8_t* AlignedBuffer::take_spare(std::size_t size) {
  return static_cast<std::uint8_t*>(t_spares.take({size}));
}

void AlignedBuffer::release(std::uint8_t* block, std::size_t size, bool arena) {
  if (block == nullptr) return;
  if (arena) {
    t_cache_spares.keep_or_free(block, {size}, size);
  } else {
    t_spares.keep_or_free(block, {size}, size);
  }
}

bool AlignedBuffer::keeps_spares() { return decltype(t_spares)::kKeeps; }

std::size_t AlignedBuffer::spare_blocks(std::size_t size) { return t_spares.count({size}); }

}  // namespace deziro
