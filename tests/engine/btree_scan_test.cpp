// Range scans and cursors: every kind of bound in both directions, on keys
// present and absent, over trees on disk and in memory; the visitor's stop
// and pause answers; leaf-by-leaf movement and parent pointers.
#include <gtest/gtest.h>

#include <algorithm>

#include "btree/cursor.hpp"
#include "btree/tree.hpp"
#include "storage/fault_storage.hpp"
#include "support/tree_file.hpp"
#include "text_format.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

constexpr std::uint64_t kTree = 17;

// Keys "k0010", "k0020", ... so that every key between two of them is absent.
std::string key_of(int i) { return format_text("k{}", 10000 + 10 * i); }
int index_of(const std::string& key) { return (std::stoi(key.substr(1)) - 10000) / 10; }
// Every 50th value lives in an overflow run.
std::string value_of(int i) {
  return std::string(i % 50 == 0 ? 6000 : 100, static_cast<char>('a' + i % 26));
}

class ScanTest : public ::testing::Test {
 protected:
  static constexpr int kCount = 300;

  ScanTest() : pages_(storage_, 4096, PageProtection::checksum()) {
    WriteContext w = pages_.write_context(kTree, LeafLayout::Fixed);
    for (int i = 0; i < kCount; ++i) {
      EXPECT_TRUE(btree::put(w, root_, bytes_view(key_of(i)), bytes_view(value_of(i))).has_value());
    }
    EXPECT_TRUE(btree::write_tree(w, root_).has_value());
    pages_.commit();
  }

  ReadContext rx() { return {pages_.source(), kTree}; }

  std::vector<std::string> scan(const TreeRoot& root, const KeyBound& lower, const KeyBound& upper,
                                bool reverse) {
    std::vector<std::string> out;
    auto visit = [&](ByteView k, ByteView v) -> Result<VisitAnswer> {
      out.push_back(to_string(k));
      EXPECT_EQ(to_string(v), value_of(index_of(out.back())));
      return VisitAnswer::Continue;
    };
    Status s = reverse ? read::scan_backward(rx(), root, lower, upper, visit)
                       : read::scan_forward(rx(), root, lower, upper, visit);
    EXPECT_TRUE(s.has_value());
    return out;
  }

  std::vector<std::string> expected(const KeyBound& lower, const KeyBound& upper, bool reverse) {
    std::vector<std::string> out;
    for (int i = 0; i < kCount; ++i) {
      std::string k = key_of(i);
      if (read::above_lower(bytes_view(k), lower) && read::below_upper(bytes_view(k), upper))
        out.push_back(k);
    }
    if (reverse) std::reverse(out.begin(), out.end());
    return out;
  }

  FaultStorage storage_;
  testing::TreeFile pages_;
  TreeRoot root_;
};

std::vector<KeyBound> bounds_around(const std::string& key) {
  std::string before = key.substr(0, key.size() - 1) + "5";  // absent, just above `key`
  return {KeyBound::unbounded(), KeyBound::included(bytes_view(key)),
          KeyBound::excluded(bytes_view(key)), KeyBound::included(bytes_view(before)),
          KeyBound::excluded(bytes_view(before))};
}

TEST_F(ScanTest, every_bound_kind_in_both_directions_on_present_and_absent_keys) {
  for (int lo : {0, 7, 123, 299}) {
    for (int hi : {0, 8, 123, 250, 299}) {
      for (const KeyBound& lower : bounds_around(key_of(lo))) {
        for (const KeyBound& upper : bounds_around(key_of(hi))) {
          for (bool reverse : {false, true}) {
            ASSERT_EQ(scan(root_, lower, upper, reverse), expected(lower, upper, reverse))
                << "lower " << lo << "/" << static_cast<int>(lower.kind) << " upper " << hi << "/"
                << static_cast<int>(upper.kind) << (reverse ? " backward" : " forward");
          }
        }
      }
    }
  }
}

TEST_F(ScanTest, bounds_hold_in_a_tree_changed_in_memory) {
  WriteContext w = pages_.write_context(kTree, LeafLayout::Fixed);
  // Touch a few leaves so that the walk crosses memory and disk nodes.
  for (int i : {3, 150, 290})
    ASSERT_TRUE(btree::put(w, root_, bytes_view(key_of(i)), bytes_view(value_of(i))).has_value());
  ASSERT_TRUE(root_.in_memory());
  for (bool reverse : {false, true}) {
    KeyBound lower = KeyBound::excluded(bytes_view(key_of(2)));
    KeyBound upper = KeyBound::included(bytes_view(key_of(291)));
    EXPECT_EQ(scan(root_, lower, upper, reverse), expected(lower, upper, reverse));
  }
}

TEST_F(ScanTest, stop_ends_the_scan_at_once_and_skips_the_final_call) {
  int seen = 0;
  int finals = 0;
  auto visit = [&](ByteView, ByteView) -> Result<VisitAnswer> {
    return ++seen == 5 ? VisitAnswer::Stop : VisitAnswer::Continue;
  };
  auto at_end = [&]() -> Status {
    ++finals;
    return ok();
  };
  ScanEnd end = at_end;
  ASSERT_TRUE(read::scan_backward(rx(), root_, {}, {}, visit, &end).has_value());
  EXPECT_EQ(seen, 5);
  EXPECT_EQ(finals, 0);
}

TEST_F(ScanTest, pause_reopens_below_the_last_key_and_visits_each_entry_once) {
  std::vector<std::string> seen;
  int finals = 0;
  auto visit = [&](ByteView k, ByteView) -> Result<VisitAnswer> {
    seen.push_back(to_string(k));
    return seen.size() % 16 == 0 ? VisitAnswer::Pause : VisitAnswer::Continue;
  };
  auto at_end = [&]() -> Status {
    ++finals;
    EXPECT_EQ(seen.size(), 241u);
    return ok();
  };
  ScanEnd end = at_end;
  KeyBound lower = KeyBound::included(bytes_view(key_of(10)));
  KeyBound upper = KeyBound::excluded(bytes_view(key_of(251)));
  ASSERT_TRUE(read::scan_backward(rx(), root_, lower, upper, visit, &end).has_value());
  EXPECT_EQ(seen, expected(lower, upper, true));
  EXPECT_EQ(finals, 1);
}

TEST_F(ScanTest, visitor_error_is_returned_unchanged) {
  auto visit = [&](ByteView, ByteView) -> Result<VisitAnswer> {
    return fail(Error::invalid_query("stop here"));
  };
  auto s = read::scan_forward(rx(), root_, {}, {}, visit);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error(), Error::invalid_query("stop here"));
}

TEST_F(ScanTest, cursor_walks_leaves_both_ways_with_their_parent_pointers) {
  auto opened = RangeCursor::open(rx(), root_, {}, {}, false);
  ASSERT_TRUE(opened.has_value() && opened->has_value());
  RangeCursor& cursor = **opened;
  std::vector<std::string> firsts;
  std::vector<std::uint64_t> leaf_pages;
  do {
    ASSERT_TRUE(cursor.leaf_page() != nullptr);
    std::optional<ChildPointer> parent = cursor.parent_pointer();
    ASSERT_TRUE(parent.has_value());
    // The pointer names the leaf the cursor stands on, stamp and all.
    auto again = pages_.source().fetch_node(*parent, kTree, 0);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->page(), cursor.leaf_page()->page());
    firsts.push_back(to_string(cursor.key_at(0)));
    leaf_pages.push_back(parent->page);
  } while (cursor.next_leaf().value());
  EXPECT_GT(firsts.size(), 5u);
  EXPECT_TRUE(std::is_sorted(firsts.begin(), firsts.end()));

  auto backward = RangeCursor::open(rx(), root_, {}, {}, true);
  RangeCursor& back = **backward;
  std::vector<std::uint64_t> reversed;
  do {
    reversed.push_back(back.parent_pointer()->page);
  } while (back.prev_leaf().value());
  std::reverse(reversed.begin(), reversed.end());
  EXPECT_EQ(reversed, leaf_pages);
}

TEST_F(ScanTest, a_cursor_loading_whole_leaves_walks_the_same_entries) {
  // Loading every line of each leaf reached (the walk of a full scan) reads
  // only inside the page and leaves the walk as it was, over leaves on disk
  // and, after a few changes, in memory, in both directions.
  auto walk = [&](bool load, const KeyBound& lower, const KeyBound& upper, bool reverse) {
    std::vector<std::string> out;
    auto opened = RangeCursor::open(rx(), root_, lower, upper, reverse);
    EXPECT_TRUE(opened.has_value() && opened->has_value());
    RangeCursor& cursor = **opened;
    if (load) cursor.load_whole_leaves();
    ByteView key;
    ByteView value;
    while (cursor.next(key, value).value()) {
      out.push_back(to_string(key));
      EXPECT_EQ(to_string(value), value_of(index_of(out.back())));
    }
    return out;
  };
  const KeyBound lower = KeyBound::excluded(bytes_view(key_of(2)));
  const KeyBound upper = KeyBound::included(bytes_view(key_of(291)));
  for (bool changed : {false, true}) {
    if (changed) {
      WriteContext w = pages_.write_context(kTree, LeafLayout::Fixed);
      for (int i : {3, 150, 290})
        ASSERT_TRUE(
            btree::put(w, root_, bytes_view(key_of(i)), bytes_view(value_of(i))).has_value());
    }
    for (bool reverse : {false, true}) {
      EXPECT_EQ(walk(true, {}, {}, reverse), expected({}, {}, reverse));
      EXPECT_EQ(walk(true, lower, upper, reverse), walk(false, lower, upper, reverse));
    }
  }
}

TEST_F(ScanTest, a_leaf_step_after_entries_were_read_lands_beside_the_current_leaf) {
  // Reading entries fetches the leaf after the current one in the walk's
  // direction ahead of time; a step by leaves in either direction then
  // lands on the current leaf's neighbour on that side, over leaves on disk
  // and, after a few changes, under a branch in memory.
  struct Case {
    bool reverse;  // the walk's direction
    bool forward;  // the step's
  };
  const Case cases[] = {{false, true}, {false, false}, {true, true}, {true, false}};
  for (bool changed : {false, true}) {
    if (changed) {
      WriteContext w = pages_.write_context(kTree, LeafLayout::Fixed);
      for (int i : {3, 290})
        ASSERT_TRUE(
            btree::put(w, root_, bytes_view(key_of(i)), bytes_view(value_of(i))).has_value());
    }
    // The first key of every leaf, in order.
    std::vector<std::string> firsts;
    auto all = RangeCursor::open(rx(), root_, {}, {}, false);
    ASSERT_TRUE(all.has_value() && all->has_value());
    do {
      firsts.push_back(to_string((*all)->key_at(0)));
    } while ((*all)->next_leaf().value());
    ASSERT_GT(firsts.size(), 5u);
    const KeyBound middle = KeyBound::included(bytes_view(key_of(kCount / 2)));
    for (const Case& c : cases) {
      SCOPED_TRACE(format_text("changed {} reverse {} forward {}", int(changed), int(c.reverse),
                               int(c.forward)));
      auto opened = RangeCursor::open(rx(), root_, c.reverse ? KeyBound::unbounded() : middle,
                                      c.reverse ? middle : KeyBound::unbounded(), c.reverse);
      ASSERT_TRUE(opened.has_value() && opened->has_value());
      RangeCursor& cursor = **opened;
      ByteView key;
      ByteView value;
      ASSERT_TRUE(cursor.next(key, value).value());
      EXPECT_EQ(to_string(key), key_of(kCount / 2));
      const auto at = std::find(firsts.begin(), firsts.end(), to_string(cursor.key_at(0)));
      ASSERT_NE(at, firsts.end());
      auto stepped = c.forward ? cursor.next_leaf() : cursor.prev_leaf();
      ASSERT_TRUE(stepped.has_value()) << stepped.error().to_string();
      ASSERT_TRUE(*stepped);
      EXPECT_EQ(to_string(cursor.key_at(0)), c.forward ? at[1] : at[-1]);
    }
  }
}

TEST_F(ScanTest, leaf_range_end_finds_the_first_slot_beyond_a_bound) {
  KeyBound lower = KeyBound::included(bytes_view(key_of(0)));
  auto opened = RangeCursor::open(rx(), root_, lower, {}, false);
  RangeCursor& cursor = **opened;
  std::size_t count = cursor.leaf_count();
  ASSERT_GT(count, 4u);
  std::string third = to_string(cursor.key_at(2));
  EXPECT_EQ(cursor.leaf_range_end(KeyBound::included(bytes_view(third))).value(), 3u);
  EXPECT_EQ(cursor.leaf_range_end(KeyBound::excluded(bytes_view(third))).value(), 2u);
  EXPECT_EQ(cursor.leaf_range_end(KeyBound::unbounded()).value(), count);
  EXPECT_EQ(cursor.leaf_range_end(KeyBound::excluded(bytes_view(std::string("a")))).value(), 0u);
  EXPECT_FALSE(cursor.range_ends_in_leaf());
  auto bounded =
      RangeCursor::open(rx(), root_, lower, KeyBound::included(bytes_view(third)), false);
  EXPECT_TRUE((*bounded)->range_ends_in_leaf());
  EXPECT_EQ((*bounded)->leaf_slots(), (std::pair<std::size_t, std::size_t>(0, 3)));
}

TEST_F(ScanTest, root_leaf_and_leaves_in_memory_have_no_parent_pointer) {
  FaultStorage storage;
  testing::TreeFile pages(storage, 4096, PageProtection::checksum());
  TreeRoot root;
  WriteContext w = pages.write_context(kTree, LeafLayout::Varint);
  ASSERT_TRUE(
      btree::put(w, root, bytes_view(std::string("a")), bytes_view(std::string("1"))).has_value());
  ReadContext r{pages.source(), kTree};
  auto in_memory = RangeCursor::open(r, root, {}, {}, false);
  EXPECT_FALSE((*in_memory)->parent_pointer().has_value());
  EXPECT_EQ((*in_memory)->leaf_page(), nullptr);
  ASSERT_TRUE(btree::write_tree(w, root).has_value());
  auto on_disk = RangeCursor::open(r, root, {}, {}, false);
  EXPECT_FALSE((*on_disk)->parent_pointer().has_value());
  EXPECT_NE((*on_disk)->leaf_page(), nullptr);
  EXPECT_FALSE(RangeCursor::open(r, TreeRoot(), {}, {}, false).value().has_value());
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
