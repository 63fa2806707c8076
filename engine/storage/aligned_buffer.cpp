#include "storage/aligned_buffer.hpp"

#include <array>

#include "sanitizers.hpp"

namespace deziro {
namespace {

constexpr bool kKeepSpares = !kAddressSanitizer;

// At most this many bytes, in at most kMaxSpares blocks, per thread.
constexpr std::size_t kSpareBytes = std::size_t(256) << 10;
constexpr std::size_t kMaxSpares = 64;

struct Spares {
  std::size_t size = 0;
  std::size_t count = 0;
  std::array<std::uint8_t*, kMaxSpares> blocks{};
  // Set when the thread ends: a buffer freed later (by a destructor that
  // runs after this one) goes straight back to the allocator.
  bool gone = false;
  ~Spares() {
    for (std::size_t i = 0; i < count; ++i) std::free(blocks[i]);
    count = 0;
    gone = true;
  }
};

thread_local Spares t_spares;

}  // namespace

std::uint8_t* AlignedBuffer::take_spare(std::size_t size) {
  if (!kKeepSpares) return nullptr;
  Spares& s = t_spares;
  if (s.count == 0 || s.size != size) return nullptr;
  return s.blocks[--s.count];
}

void AlignedBuffer::release(std::uint8_t* block, std::size_t size) {
  if (block == nullptr) return;
  if (kKeepSpares) {
    Spares& s = t_spares;
    if (!s.gone) {
      if (s.count == 0) s.size = size;
      if (s.size == size && s.count < kMaxSpares && (s.count + 1) * size <= kSpareBytes) {
        s.blocks[s.count++] = block;
        return;
      }
    }
  }
  std::free(block);
}

bool AlignedBuffer::keeps_spares() { return kKeepSpares; }

std::size_t AlignedBuffer::spare_blocks(std::size_t size) {
  if (!kKeepSpares) return 0;
  const Spares& s = t_spares;
  return s.size == size ? s.count : 0;
}

}  // namespace deziro
