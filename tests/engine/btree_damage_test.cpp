// Damage the trees must notice: changed overflow pages, stale child pages,
// and trees whose keys, separators, commit ids or pages are wrong.
#include <gtest/gtest.h>

#include <functional>

#include "btree/check.hpp"
#include "btree/cursor.hpp"
#include "btree/tree.hpp"
#include "format/bytes.hpp"
#include "storage/fault_storage.hpp"
#include "support/tree_file.hpp"
#include "text_format.hpp"
#include "txn/commit_verify.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

constexpr std::uint64_t kTree = 99;

class DamageTest : public ::testing::Test {
 protected:
  DamageTest() : pages_(storage_, 4096, PageProtection::checksum()) {}

  ReadContext rx() { return {pages_.source(), kTree}; }

  // One leaf with a 20000-byte value (a run of five pages) under "big".
  OverflowRef write_big_value() {
    WriteContext w = pages_.write_context(kTree, LeafLayout::Varint);
    std::string big(20000, 'b');
    EXPECT_TRUE(btree::put(w, root_, bytes_view(std::string("big")), bytes_view(big)).has_value());
    EXPECT_TRUE(btree::write_tree(w, root_).has_value());
    pages_.commit();
    auto leaf = pages_.source().fetch_node(root_.disk(), kTree, 0);
    return leaf->cell_at(0).ref;
  }

  Error get_error(const std::string& key) {
    auto found = btree::get(rx(), root_, bytes_view(key), [](ByteView) { return ok(); });
    EXPECT_FALSE(found.has_value());
    return found ? Error::internal("found") : found.error();
  }

  std::vector<std::string> problems(const ChildPointer& root) {
    return btree::check_tree(rx(), root).problems;
  }

  FaultStorage storage_;
  testing::TreeFile pages_;
  TreeRoot root_;
};

TEST_F(DamageTest, flipped_bit_in_an_overflow_page_fails_its_check) {
  OverflowRef ref = write_big_value();
  ASSERT_EQ(ref.page_count, 5u);
  std::uint8_t byte = 0;
  std::uint64_t offset = (ref.first_page + 2) * 4096 + 1000;
  ASSERT_TRUE(storage_.read_at(offset, std::span<std::uint8_t>(&byte, 1)).has_value());
  byte ^= 0x10;
  ASSERT_TRUE(storage_.write_at(offset, std::span<const std::uint8_t>(&byte, 1)).has_value());
  Error error = get_error("big");
  EXPECT_EQ(error.kind(), ErrorKind::Corrupted);
  EXPECT_EQ(error.to_string(),
            format_text("`memory.db` is damaged: page {} fails its check", ref.first_page + 2));
}

TEST_F(DamageTest, overflow_page_rewritten_with_other_bytes_fails_the_run_check) {
  OverflowRef ref = write_big_value();
  pages_.rewrite_page(ref.first_page + 4, [](std::span<std::uint8_t> page) { page[100] ^= 1; });
  EXPECT_EQ(get_error("big").to_string(),
            format_text("`memory.db` is damaged: page {}: the overflow run fails its check",
                        ref.first_page));
}

TEST_F(DamageTest, overflow_page_out_of_its_place_in_the_run_is_refused) {
  OverflowRef ref = write_big_value();
  pages_.rewrite_page(ref.first_page + 1,
                      [](std::span<std::uint8_t> page) { store_u32_le(page.data() + 48, 3); });
  EXPECT_EQ(get_error("big").to_string(),
            format_text("`memory.db` is damaged: page {}: it holds another part of an overflow run",
                        ref.first_page + 1));
}

TEST_F(DamageTest, overflow_page_of_another_tree_is_refused) {
  OverflowRef ref = write_big_value();
  pages_.rewrite_page(ref.first_page, [](std::span<std::uint8_t> page) {
    store_u64_le(page.data() + 40, kTree + 1);
  });
  EXPECT_EQ(
      get_error("big").to_string(),
      format_text("`memory.db` is damaged: page {}: it belongs to another tree", ref.first_page));
}

// Learning that a key is there reads nothing of its value: an insert-only
// put and a remove of a key whose overflow run is damaged succeed without
// touching the run, while a write that hands the old value on still meets
// the damage.
TEST_F(DamageTest, presence_of_a_key_does_not_read_its_overflow_run) {
  OverflowRef ref = write_big_value();
  pages_.rewrite_page(ref.first_page + 2, [](std::span<std::uint8_t> page) { page[100] ^= 1; });
  const std::string key = "big";
  const std::string value = "small";
  auto visit = [](ByteView) { return ok(); };
  const ValueVisitor visitor = visit;
  struct Case {
    const char* name;
    std::function<Result<bool>(const WriteContext&, TreeRoot&)> run;
    bool reads_the_value;
    bool answer;
  };
  const std::vector<Case> cases = {
      {"insert-only put",
       [&](const WriteContext& w, TreeRoot& root) {
         return btree::put(w, root, bytes_view(key), bytes_view(value), PutMode::InsertOnly);
       },
       false, false},
      {"remove",
       [&](const WriteContext& w, TreeRoot& root) {
         return btree::remove(w, root, bytes_view(key));
       },
       false, true},
      {"put handing on the old value",
       [&](const WriteContext& w, TreeRoot& root) {
         return btree::put(w, root, bytes_view(key), bytes_view(value), PutMode::Upsert, &visitor);
       },
       true, false},
      {"remove handing on the value",
       [&](const WriteContext& w, TreeRoot& root) {
         return btree::remove(w, root, bytes_view(key), &visitor);
       },
       true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TreeRoot root = TreeRoot::on_disk(root_.disk());
    WriteContext w = pages_.write_context(kTree, LeafLayout::Varint);
    auto answer = c.run(w, root);
    if (c.reads_the_value) {
      ASSERT_FALSE(answer.has_value());
      EXPECT_EQ(answer.error().kind(), ErrorKind::Corrupted);
    } else {
      ASSERT_TRUE(answer.has_value()) << answer.error().to_string();
      EXPECT_EQ(*answer, c.answer);
    }
  }
}

TEST_F(DamageTest, child_page_rewritten_after_its_parent_is_refused) {
  WriteContext w = pages_.write_context(kTree, LeafLayout::Varint);
  for (int i = 0; i < 200; ++i)
    ASSERT_TRUE(btree::put(w, root_, bytes_view(format_text("k{}", 1000 + i)),
                           bytes_view(std::string(60, 'v')))
                    .has_value());
  ASSERT_TRUE(btree::write_tree(w, root_).has_value());
  pages_.commit();
  auto top = pages_.source().fetch_node(root_.disk(), kTree, std::nullopt);
  ASSERT_FALSE(top->is_leaf());
  std::uint64_t child = top->child_at(1).page;
  pages_.rewrite_page(child, [](std::span<std::uint8_t> page) { page[4000] ^= 1; });
  pages_.pager().cache().clear();
  std::string key = to_string(top->key_at(0));
  EXPECT_EQ(
      get_error(key).to_string(),
      format_text("`memory.db` is damaged: page {}: its stamp differs from its parent's", child));
  auto found = problems(root_.disk());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], get_error(key).to_string());
}

// A tower of `height` branches above one leaf in which every child pointer
// of a branch names the same page: a walk that keeps no memory of the pages
// it met reads the leaf fan_out^height times.
ChildPointer shared_child_tower(testing::TreeFile& pages, std::uint64_t tree_id, int fan_out,
                                int height) {
  std::string key = "a", value = "1";
  std::vector<LeafItem> items{LeafItem{bytes_view(key), bytes_view(value), nullptr}};
  ChildPointer below = pages.write_leaf(LeafLayout::Varint, items, tree_id).value();
  std::vector<std::string> separators;
  for (int i = 1; i < fan_out; ++i) separators.push_back(std::string(1, char('a' + i)));
  std::vector<ByteView> keys;
  for (const std::string& s : separators) keys.push_back(bytes_view(s));
  for (int level = 1; level <= height; ++level) {
    std::vector<ChildPointer> children(fan_out, below);
    below = pages.write_branch(std::uint8_t(level), keys, children, tree_id).value();
  }
  return below;
}

TEST_F(DamageTest, scan_over_branches_sharing_one_child_stops_at_the_second_meeting) {
  ChildPointer root = shared_child_tower(pages_, kTree, 4, 5);
  int entries = 0;
  auto visit = [&](ByteView, ByteView) -> Result<VisitAnswer> {
    ++entries;
    return VisitAnswer::Continue;
  };
  for (bool forward : {true, false}) {
    entries = 0;
    auto scanned = forward ? read::scan_forward(rx(), TreeRoot::on_disk(root), {}, {}, visit)
                           : read::scan_backward(rx(), TreeRoot::on_disk(root), {}, {}, visit);
    ASSERT_FALSE(scanned) << forward;
    EXPECT_EQ(scanned.error().kind(), ErrorKind::Corrupted);
    EXPECT_EQ(entries, 1);
  }
}

TEST_F(DamageTest, dropping_or_relocating_branches_that_share_one_child_is_refused) {
  for (bool drop : {true, false}) {
    TreeRoot root = TreeRoot::on_disk(shared_child_tower(pages_, kTree, 4, 5));
    pages_.commit();
    WriteContext w = pages_.write_context(kTree, LeafLayout::Varint);
    Status done = ok();
    if (drop) {
      done = btree::drop_tree(w, root);
    } else if (auto moved = btree::relocate(w, root, 0); !moved) {
      done = fail(moved.error());
    }
    ASSERT_FALSE(done) << drop;
    EXPECT_EQ(done.error().kind(), ErrorKind::Corrupted);
    pages_.abort();
  }
}

TEST_F(DamageTest, commit_walk_takes_a_page_met_twice_for_damage) {
  CommitRecord record;
  record.txn_id = 2;
  record.page_count = pages_.page_count();
  record.free_tree = shared_child_tower(pages_, kFreeTreeId, 4, 5);
  auto verified = verify_commit_pages(pages_.source(), record, 0);
  ASSERT_TRUE(verified);
  EXPECT_FALSE(*verified);
}

class CheckerTest : public DamageTest {
 protected:
  ChildPointer leaf(std::initializer_list<const char*> keys) {
    std::vector<std::string> owned(keys.begin(), keys.end());
    std::vector<LeafItem> items;
    std::string value(500, 'v');  // enough to fill a quarter of the room with 3 entries
    for (const std::string& k : owned)
      items.push_back(LeafItem{bytes_view(k), bytes_view(value), nullptr});
    return pages_.write_leaf(LeafLayout::Varint, items, kTree).value();
  }

  // A leaf of one 6-byte entry, far under a quarter of its room.
  ChildPointer write_small_leaf(const std::string& key) {
    std::string value = "1";
    std::vector<LeafItem> items{LeafItem{bytes_view(key), bytes_view(value), nullptr}};
    return pages_.write_leaf(LeafLayout::Varint, items, kTree).value();
  }

  ChildPointer branch(std::vector<std::string> keys, std::vector<ChildPointer> children) {
    std::vector<ByteView> views;
    for (const std::string& k : keys) views.push_back(bytes_view(k));
    return pages_.write_branch(1, views, children, kTree).value();
  }
};

TEST_F(CheckerTest, sound_tree_has_no_problem) {
  ChildPointer root = branch({"m"}, {leaf({"a", "b", "c"}), leaf({"m", "n", "o"})});
  TreeCheckReport report = btree::check_tree(rx(), root);
  EXPECT_TRUE(report.ok()) << report.problems.front();
  EXPECT_EQ(report.entries, 6u);
  EXPECT_EQ(report.height, 2u);
}

TEST_F(CheckerTest, key_outside_the_separators_is_reported) {
  ChildPointer right = leaf({"l", "n", "o"});
  ChildPointer root = branch({"m"}, {leaf({"a", "b", "c"}), right});
  EXPECT_EQ(problems(root),
            std::vector<std::string>{format_text(
                "page {}: holds a key outside the separators on its path", right.page)});
}

TEST_F(CheckerTest, keys_out_of_order_are_reported) {
  ChildPointer bad = leaf({"b", "a", "c"});
  EXPECT_EQ(problems(bad), std::vector<std::string>{format_text(
                               "page {}: holds keys out of order at slot 1", bad.page)});
}

TEST_F(CheckerTest, child_shared_by_two_pointers_is_used_twice) {
  ChildPointer shared = leaf({"a", "b", "c"});
  ChildPointer root = branch({"m"}, {shared, shared});
  auto found = problems(root);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], format_text("page {}: is used twice", shared.page));
}

TEST_F(CheckerTest, child_newer_than_its_parent_is_reported) {
  ChildPointer left = leaf({"a", "b", "c"});
  pages_.commit();
  ChildPointer newer = leaf({"m", "n", "o"});
  // A parent written by commit 1 cannot point to a page of commit 2.
  std::vector<std::uint8_t> bytes(4096);
  std::string sep = "m";
  std::vector<ByteView> keys{bytes_view(sep)};
  std::vector<ChildPointer> children{left, newer};
  node::build_branch(bytes, 1, keys, children, 1, kTree);
  ChildPointer parent{pages_.allocate_page().value(), 1, {}};
  ASSERT_TRUE(
      pages_.write_pages(parent.page, bytes, std::span<PageStamp>(&parent.stamp, 1)).has_value());
  EXPECT_EQ(problems(parent),
            std::vector<std::string>{format_text(
                "page {}: is newer than its parent (commit 2 below commit 1)", newer.page)});
}

TEST_F(CheckerTest, underfull_node_between_two_others_is_reported) {
  ChildPointer small = write_small_leaf("p");
  ChildPointer root = branch({"m", "t"}, {leaf({"a", "b", "c"}), small, leaf({"t", "u", "v"})});
  EXPECT_EQ(problems(root), std::vector<std::string>{format_text(
                                "page {}: uses 6 bytes, under a quarter of its room", small.page)});
  TreeCheckOptions lenient;
  lenient.check_fill = false;
  EXPECT_TRUE(btree::check_tree(rx(), root, lenient).ok());
}

// Sorted and descending loads start the last and the first node of a level
// with one entry.
TEST_F(CheckerTest, underfull_first_or_last_node_is_sound) {
  ChildPointer last = branch({"m"}, {leaf({"a", "b", "c"}), write_small_leaf("z")});
  EXPECT_EQ(problems(last), std::vector<std::string>{});
  ChildPointer first = branch({"m"}, {write_small_leaf("a"), leaf({"m", "n", "o"})});
  EXPECT_EQ(problems(first), std::vector<std::string>{});
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
