#include "storage/aligned_buffer.hpp"

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

}  // namespace

std::uint8_t* AlignedBuffer::take_spare(std::size_t size) {
  return static_cast<std::uint8_t*>(t_spares.take({size}));
}

void AlignedBuffer::release(std::uint8_t* block, std::size_t size) {
  if (block == nullptr) return;
  if (!t_spares.keep(block, {size}, size)) std::free(block);
}

bool AlignedBuffer::keeps_spares() { return decltype(t_spares)::kKeeps; }

std::size_t AlignedBuffer::spare_blocks(std::size_t size) { return t_spares.count({size}); }

}  // namespace deziro
