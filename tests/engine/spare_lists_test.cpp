#include <gtest/gtest.h>

#include <vector>

#include "storage/spare_blocks.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using Lists = SpareLists<int, 8, 4, 256 * sizeof(int)>;

// A list given back is emptied, and is what the next request of its room
// gets; a request of other room gets a new list with the room a new one
// always has.
TEST(SpareLists, a_kept_list_is_taken_empty_by_a_request_of_its_room_only) {
  if (!Lists::kKeeps) GTEST_SKIP() << "nothing is kept under the address sanitizer";
  Lists lists;
  std::vector<int> list = lists.take(5);
  EXPECT_EQ(list.capacity(), 8u);
  list.assign({1, 2, 3, 4, 5, 6, 7});
  const int* block = list.data();
  lists.keep(list);
  EXPECT_EQ(lists.count(), 1u);

  std::vector<int> other = lists.take(9);
  EXPECT_EQ(other.capacity(), 16u);
  EXPECT_NE(other.data(), block);
  EXPECT_EQ(lists.count(), 1u);

  std::vector<int> again = lists.take(8);
  EXPECT_EQ(again.data(), block);
  EXPECT_TRUE(again.empty());
  EXPECT_EQ(lists.count(), 0u);
}

// Once every place holds a list, a list given back takes the place of one
// kept before, so that the lists of a size asked for again are kept even
// after many of another size; a list over the byte bound is not kept.
TEST(SpareLists, a_list_given_back_when_all_places_are_held_takes_one_of_them) {
  if (!Lists::kKeeps) GTEST_SKIP() << "nothing is kept under the address sanitizer";
  Lists lists;
  std::vector<std::vector<int>> eights;
  for (int i = 0; i < 4; ++i) eights.push_back(lists.take(8));
  for (auto& l : eights) lists.keep(l);
  ASSERT_EQ(lists.count(), 4u);

  std::vector<int> wide = lists.take(20);
  const int* block = wide.data();
  lists.keep(wide);
  EXPECT_EQ(lists.count(), 4u);
  std::vector<int> again = lists.take(24);
  EXPECT_EQ(again.data(), block);
  EXPECT_EQ(lists.count(), 3u);

  std::vector<int> huge = lists.take(300);
  lists.keep(huge);
  EXPECT_EQ(lists.count(), 3u);
  EXPECT_EQ(lists.take(304).capacity(), 304u);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
