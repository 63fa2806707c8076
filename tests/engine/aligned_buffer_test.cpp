#include "storage/aligned_buffer.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace deziro {
namespace DZ_FILE_LOCAL {

// Frees `count` buffers of `size` bytes at once.
void churn(std::size_t size, std::size_t count) {
  std::vector<AlignedBuffer> buffers;
  for (std::size_t i = 0; i < count; ++i) buffers.emplace_back(size);
}

TEST(PageBuffers, a_freed_block_is_the_next_buffer_of_its_size_on_its_thread) {
  if (!AlignedBuffer::keeps_spares()) {
    // The sanitizers see every block freed.
    churn(4096, 8);
    EXPECT_EQ(AlignedBuffer::spare_blocks(4096), 0u);
    return;
  }
  churn(4096, 1000);
  churn(4096, 1);
  const std::uint8_t* freed;
  {
    AlignedBuffer first(4096);
    freed = first.data();
  }
  AlignedBuffer again(4096);
  EXPECT_EQ(again.data(), freed);
  // Another size takes nothing kept and another thread has its own.
  std::size_t kept = AlignedBuffer::spare_blocks(4096);
  { AlignedBuffer other(8192); }
  std::thread([] { AlignedBuffer elsewhere(4096); }).join();
  EXPECT_EQ(AlignedBuffer::spare_blocks(4096), kept);
}

TEST(PageBuffers, a_thread_keeps_at_most_a_quarter_mebibyte_of_the_last_size_it_freed) {
  if (!AlignedBuffer::keeps_spares()) GTEST_SKIP() << "the sanitizers see every block freed";
  struct Case {
    std::size_t size;
    std::size_t kept;
  };
  for (Case c : {Case{4096, 64}, Case{16384, 16}, Case{65536, 4}, Case{512, 64}}) {
    std::thread([c] {
      churn(c.size, 1000);
      EXPECT_EQ(AlignedBuffer::spare_blocks(c.size), c.kept) << c.size;
      // Blocks of a new size wait until the kept ones are used.
      churn(c.size * 2, 1000);
      EXPECT_EQ(AlignedBuffer::spare_blocks(c.size), c.kept) << c.size;
      churn(c.size, c.kept);
      EXPECT_EQ(AlignedBuffer::spare_blocks(c.size), c.kept) << c.size;
    }).join();
  }
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
