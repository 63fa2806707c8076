#include "storage/block_arena.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "btree/pager/page_cache.hpp"
#include "sanitizers.hpp"
#include "storage/aligned_buffer.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

// Sizes no other test of this program asks the arena for, so that the
// chunks counted are this test's own.
constexpr std::size_t kOddSize = 8000;
constexpr std::size_t kOtherOddSize = 4032;

TEST(BlockArena, blocks_are_aligned_apart_and_each_keeps_what_is_written_to_it) {
  if (!block_arena::serves(kOddSize)) GTEST_SKIP() << "the sanitizers see every block freed";
  // Several chunks' worth, each block filled with its own number.
  const std::size_t count = 3 * block_arena::kChunkBytes / kOddSize;
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < count; ++i) {
    void* block = block_arena::allocate(kOddSize);
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(block) % 64, 0u);
    std::memset(block, static_cast<int>(i % 251), kOddSize);
    blocks.push_back(block);
  }
  for (std::size_t i = 0; i < count; ++i) {
    const auto* bytes = static_cast<const std::uint8_t*>(blocks[i]);
    ASSERT_EQ(bytes[0], i % 251) << i;
    ASSERT_EQ(bytes[kOddSize - 1], i % 251) << i;
  }
  // A freed block is handed out again before new memory.
  block_arena::release(blocks[7], kOddSize);
  EXPECT_EQ(block_arena::allocate(kOddSize), blocks[7]);
  for (void* block : blocks) block_arena::release(block, kOddSize);
}

TEST(BlockArena, a_chunk_goes_back_to_the_system_once_its_last_block_is_freed) {
  if (!block_arena::serves(kOtherOddSize)) GTEST_SKIP() << "the sanitizers see every block freed";
  const std::size_t before = block_arena::chunks_held();
  const std::size_t count = 4 * block_arena::kChunkBytes / kOtherOddSize;
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < count; ++i) blocks.push_back(block_arena::allocate(kOtherOddSize));
  EXPECT_GE(block_arena::chunks_held(), before + 4);
  // Freed in an order that empties no chunk until the end.
  for (std::size_t i = 0; i < count; i += 2) block_arena::release(blocks[i], kOtherOddSize);
  EXPECT_GE(block_arena::chunks_held(), before + 4);
  for (std::size_t i = 1; i < count; i += 2) block_arena::release(blocks[i], kOtherOddSize);
  // One empty chunk is kept for the next block of the size.
  EXPECT_EQ(block_arena::chunks_held(), before + 1);
}

// Puts page number `page` with `bytes` into `cache`, unparsed.
void insert_page(PageCache& cache, std::uint64_t page, AlignedBuffer bytes) {
  OpenedPage opened;
  opened.page_number = page;
  opened.bytes = std::move(bytes);
  cache.insert(std::make_shared<const CachedPage>(std::move(opened)), nullptr);
}

TEST(BlockArena, a_cache_that_ends_gives_its_pages_memory_back) {
  // Pages read into a cache take their memory from the arena.
  if (!block_arena::serves(4096)) GTEST_SKIP() << "the sanitizers see every block freed";
  // On a thread of its own, whose kept blocks go back when it ends.
  std::size_t before = 0, full = 0;
  std::thread([&] {
    before = block_arena::chunks_held();
    {
      PageCache cache(std::size_t{16} << 20, 4096);
      for (std::uint64_t page = 1; page <= 3000; ++page)
        insert_page(cache, page, AlignedBuffer::for_cache(4096));
      full = block_arena::chunks_held();
    }
  }).join();
  EXPECT_GE(full, before + 5);
  // At most the one empty chunk kept for the size.
  EXPECT_LE(block_arena::chunks_held(), before + 1);
}

TEST(BlockArena, only_buffers_for_a_cache_come_from_the_arena_and_go_back_there) {
  if (!block_arena::serves(4096)) GTEST_SKIP() << "the sanitizers see every block freed";
  std::thread([] {
    const std::size_t before = block_arena::chunks_held();
    std::vector<AlignedBuffer> plain;
    for (int i = 0; i < 1000; ++i) plain.emplace_back(4096);
    EXPECT_FALSE(plain.front().in_arena());
    EXPECT_LE(block_arena::chunks_held(), before + 1);
    // A cache's buffers and plain ones, freed on one thread, are kept apart
    // for their next buffers: a cache buffer is never handed out plain.
    std::vector<AlignedBuffer> cached;
    for (int i = 0; i < 1000; ++i) cached.push_back(AlignedBuffer::for_cache(4096));
    EXPECT_TRUE(cached.front().in_arena());
    cached.clear();
    plain.clear();
    for (int i = 0; i < 100; ++i) {
      EXPECT_FALSE(AlignedBuffer(4096).in_arena());
      EXPECT_TRUE(AlignedBuffer::for_cache(4096).in_arena());
    }
  }).join();
}

std::size_t resident_bytes() {
  std::size_t size = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> size >> resident;
  return resident * 4096;
}

TEST(BlockArena, a_cache_that_held_much_gives_the_allocators_freed_memory_back_as_it_ends) {
  // A writer's pages come from the allocator, whose freed memory the arena
  // never reuses.
  if (kAddressSanitizer) GTEST_SKIP() << "the sanitizers' allocator keeps its own memory";
  // Small blocks allocated between runs of pages and kept: the allocator's
  // heap cannot shrink from its end by itself.
  std::vector<std::unique_ptr<std::uint64_t>> kept;
  const std::size_t before = resident_bytes();
  {
    PageCache cache(std::size_t{64} << 20, 4096);
    for (std::uint64_t page = 1; page <= 12000; ++page) {
      insert_page(cache, page, AlignedBuffer::zeroed(4096));
      if (page % 16 == 0) kept.push_back(std::make_unique<std::uint64_t>(page));
    }
    ASSERT_GE(resident_bytes(), before + (std::size_t{40} << 20));
  }
  EXPECT_LT(resident_bytes(), before + (std::size_t{16} << 20));
}

TEST(BlockArena, serves_only_line_multiples_up_to_sixty_four_kibibytes) {
  EXPECT_FALSE(block_arena::serves(0));
  EXPECT_FALSE(block_arena::serves(100));
  EXPECT_FALSE(block_arena::serves((std::size_t{64} << 10) + 64));
  // Asked again, a size gets the same answer.
  const bool page = block_arena::serves(4096);
  EXPECT_EQ(block_arena::serves(4096), page);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
