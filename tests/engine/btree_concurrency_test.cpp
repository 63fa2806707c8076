// Readers of one committed tree on many threads at once, through one pager
// whose cache is far too small for the tree, so that nodes are evicted while
// other threads still hold them.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "btree/cursor.hpp"
#include "btree/tree.hpp"
#include "storage/fault_storage.hpp"
#include "support/tree_file.hpp"
#include "text_format.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

constexpr std::uint64_t kTree = 33;
constexpr int kEntries = 3000;

std::string key_of(int i) { return format_text("key{}", 100000 + i); }
std::string value_of(int i) {
  return std::string(i % 97 == 0 ? 7000 : 40 + i % 60, static_cast<char>('a' + i % 26));
}

TEST(BtreeConcurrencyTest, readers_on_many_threads_see_every_entry_while_the_cache_evicts) {
  FaultStorage storage;
  testing::TreeFile pages(storage, 4096, PageProtection::checksum(), 16 * 4096);
  TreeRoot root;
  WriteContext w = pages.write_context(kTree, LeafLayout::Varint);
  for (int i = 0; i < kEntries; ++i)
    ASSERT_TRUE(btree::put(w, root, bytes_view(key_of(i)), bytes_view(value_of(i))).has_value());
  ASSERT_TRUE(btree::write_tree(w, root).has_value());
  pages.commit();

  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      ReadContext rx{pages.source(), kTree};
      std::mt19937 rng(t);
      for (int n = 0; n < 1500; ++n) {
        int i = static_cast<int>(rng() % kEntries);
        std::string got;
        auto found = btree::get(rx, root, bytes_view(key_of(i)), [&](ByteView v) {
          got = to_string(v);
          return ok();
        });
        if (!found || !*found || got != value_of(i)) ++wrong;
      }
      int expected = 500;
      auto visit = [&](ByteView k, ByteView v) -> Result<VisitAnswer> {
        if (to_string(k) != key_of(expected) || to_string(v) != value_of(expected)) ++wrong;
        ++expected;
        return VisitAnswer::Continue;
      };
      KeyBound lower = KeyBound::included(bytes_view(key_of(500)));
      KeyBound upper = KeyBound::excluded(bytes_view(key_of(2500)));
      if (!read::scan_forward(rx, root, lower, upper, visit) || expected != 2500) ++wrong;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
