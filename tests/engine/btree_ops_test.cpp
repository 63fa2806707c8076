// Changes of a tree: refused keys, values and modifiers leave it as it was
// (nothing copied on write), dropping releases every page, relocation moves
// pages below a limit.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "btree/check.hpp"
#include "btree/cursor.hpp"
#include "btree/tree.hpp"
#include "sanitizers.hpp"
#include "storage/fault_storage.hpp"
#include "support/spoilt_leaves.hpp"
#include "support/tree_file.hpp"
#include "text_format.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

constexpr std::uint64_t kTree = 40;

std::string key_of(int i) { return format_text("key{}", 100000 + i); }

class TreeOpsTest : public ::testing::Test {
 protected:
  TreeOpsTest() : pages_(storage_, 4096, PageProtection::checksum()) {}

  WriteContext cx() { return pages_.write_context(kTree, LeafLayout::Varint); }
  ReadContext rx() { return {pages_.source(), kTree}; }

  // Puts `n` keys with values of `value_size` bytes and commits.
  void fill(int n, std::size_t value_size) {
    WriteContext w = cx();
    for (int i = 0; i < n; ++i) {
      std::string v(value_size, static_cast<char>('a' + i % 26));
      ASSERT_TRUE(btree::put(w, root_, bytes_view(key_of(i)), bytes_view(v)).has_value());
    }
    commit();
  }

  void commit() {
    auto written = btree::write_tree(cx(), root_);
    ASSERT_TRUE(written.has_value()) << written.error().to_string();
    pages_.commit();
  }

  std::vector<std::string> keys() {
    std::vector<std::string> out;
    auto visit = [&](ByteView k, ByteView) -> Result<VisitAnswer> {
      out.push_back(to_string(k));
      return VisitAnswer::Continue;
    };
    EXPECT_TRUE(read::scan_forward(rx(), root_, {}, {}, visit).has_value());
    return out;
  }

  // Every key of `model` reads back its value through `r`.
  void expect_model(const ReadContext& r, const std::map<std::string, std::string>& model) {
    for (const auto& [key, value] : model) {
      std::string got;
      ASSERT_TRUE(btree::get(r, root_, bytes_view(key), [&](ByteView v) {
                    got = to_string(v);
                    return ok();
                  }).value());
      ASSERT_EQ(got, value) << key;
    }
  }

  void expect_sound(std::uint64_t entries) {
    TreeCheckReport report = btree::check_tree(rx(), root_.disk());
    ASSERT_TRUE(report.ok()) << report.problems.front();
    EXPECT_EQ(report.entries, entries);
    auto accounting = pages_.account(report);
    EXPECT_TRUE(accounting.empty()) << accounting.front();
  }

  // Writes the tree through `w`, whose source spoils the pages it lends:
  // once written, the tree holds none of them and wrote into none, and it
  // reads back `model` from the file.
  void expect_written_with_pages_untouched(const WriteContext& w,
                                           const testing::SpoiltLeaves& spoilt,
                                           const std::map<std::string, std::string>& model) {
    ASSERT_TRUE(btree::write_tree(w, root_).has_value());
    pages_.commit();
    EXPECT_EQ(spoilt.live(), 0);
    EXPECT_EQ(spoilt.written(), 0);
    expect_model(rx(), model);
    expect_sound(model.size());
  }

  FaultStorage storage_;
  testing::TreeFile pages_;
  TreeRoot root_;
};

// A leaf changed after the cache held its page is written for the cache to
// keep; one loaded from the file is not (over a file larger than the cache
// its new image would push out a page more likely read); a branch always is.
TEST_F(TreeOpsTest, a_written_leaf_is_for_the_cache_only_when_the_cache_held_its_old_image) {
  fill(400, 100);
  ASSERT_FALSE(root_.mem());
  // The first key's leaf, and the root above it, read into the cache.
  ASSERT_TRUE(
      btree::get(rx(), root_, bytes_view(key_of(0)), [](ByteView) { return ok(); }).value());
  const std::size_t before = pages_.node_writes().size();
  WriteContext w = cx();
  ASSERT_TRUE(btree::put(w, root_, bytes_view(key_of(0)), bytes_view("first")).has_value());
  ASSERT_TRUE(btree::put(w, root_, bytes_view(key_of(399)), bytes_view("last")).has_value());
  commit();
  std::vector<bool> leaves_kept;
  std::size_t branches = 0;
  for (std::size_t i = before; i < pages_.node_writes().size(); ++i) {
    const auto& written = pages_.node_writes()[i];
    if (written.level == 0) {
      leaves_kept.push_back(written.keep);
    } else {
      ++branches;
      EXPECT_TRUE(written.keep) << "branch page " << written.page;
    }
  }
  // The two leaves in key order: the first was cached, the last was not.
  EXPECT_EQ(leaves_kept, (std::vector<bool>{true, false}));
  EXPECT_EQ(branches, 1u);
  expect_model(rx(), {{key_of(0), "first"}, {key_of(399), "last"}});
}

TEST_F(TreeOpsTest, key_at_the_limit_is_stored_and_one_byte_more_is_refused) {
  fill(50, 10);
  std::string longest(957, 'q');
  std::string too_long(958, 'q');
  auto refused = btree::put(cx(), root_, bytes_view(too_long), bytes_view(std::string("v")));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(refused.error().to_string(),
            "a key is at most 957 bytes long with this page size, not 958");
  EXPECT_FALSE(root_.in_memory());
  auto removed = btree::remove(cx(), root_, bytes_view(too_long));
  ASSERT_FALSE(removed.has_value());
  EXPECT_EQ(removed.error().to_string(),
            "a key is at most 957 bytes long with this page size, not 958");
  ASSERT_TRUE(
      btree::put(cx(), root_, bytes_view(longest), bytes_view(std::string("v"))).has_value());
  commit();
  expect_sound(51);
}

TEST_F(TreeOpsTest, value_of_4_gib_is_refused_before_anything_changes) {
  fill(20, 10);
  const std::size_t size = std::size_t{1} << 32;
  void* huge = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(huge, MAP_FAILED);
  ByteView value(static_cast<const std::uint8_t*>(huge), size);
  auto refused = btree::put(cx(), root_, bytes_view(key_of(3)), value);
  munmap(huge, size);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().to_string(), "a value is less than 4 GiB long, not 4294967296 bytes");
  EXPECT_FALSE(root_.in_memory());
  EXPECT_EQ(keys().size(), 20u);
}

TEST_F(TreeOpsTest, refused_modifier_leaves_the_tree_unchanged) {
  fill(300, 40);
  auto outcome = btree::insert_entry(cx(), root_, bytes_view(key_of(7)),
                                     [](ByteView, std::string& out) -> Result<bool> {
                                       out = "partial";
                                       return fail(Error::duplicate_key("refused by the caller"));
                                     });
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error(), Error::duplicate_key("refused by the caller"));
  EXPECT_FALSE(root_.in_memory());
  std::string value;
  auto found = btree::get(rx(), root_, bytes_view(key_of(7)), [&](ByteView v) {
    value = to_string(v);
    return ok();
  });
  ASSERT_TRUE(found.value());
  EXPECT_EQ(value, std::string(40, 'h'));
}

TEST_F(TreeOpsTest, modifier_sees_a_whole_overflow_value_and_absent_keys_skip_it) {
  std::string big(100000, 'z');
  big[99999] = 'e';
  ASSERT_TRUE(btree::put(cx(), root_, bytes_view(std::string("big")), bytes_view(big)).has_value());
  commit();
  int calls = 0;
  auto modifier = [&](ByteView old, std::string& out) -> Result<bool> {
    ++calls;
    EXPECT_EQ(to_string(old), big);
    out = "small";
    return true;
  };
  EXPECT_EQ(btree::insert_entry(cx(), root_, bytes_view(std::string("absent")), modifier).value(),
            ModifyOutcome::NotFound);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(btree::insert_entry(cx(), root_, bytes_view(std::string("big")), modifier).value(),
            ModifyOutcome::Changed);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(pages_.retained().size(), 25u + 1);  // the run and the leaf that held it
  commit();
  expect_sound(1);
}

TEST_F(TreeOpsTest, put_value_rewrites_a_present_value_and_skips_an_absent_key) {
  fill(100, 10);
  auto append = [](ByteView old, std::string& out) -> Status {
    out = to_string(old) + "+";
    return ok();
  };
  EXPECT_TRUE(btree::put_value(cx(), root_, bytes_view(key_of(9)), append).value());
  EXPECT_FALSE(btree::put_value(cx(), root_, bytes_view(std::string("absent")), append).value());
  commit();
  std::string value;
  ASSERT_TRUE(btree::get(rx(), root_, bytes_view(key_of(9)), [&](ByteView v) {
                value = to_string(v);
                return ok();
              }).value());
  EXPECT_EQ(value, std::string(10, 'j') + "+");
  expect_sound(100);
}

TEST_F(TreeOpsTest, lookups_that_change_nothing_copy_no_page) {
  fill(400, 30);
  EXPECT_FALSE(btree::put(cx(), root_, bytes_view(key_of(5)), bytes_view(std::string("x")),
                          PutMode::InsertOnly)
                   .value());
  EXPECT_FALSE(btree::remove(cx(), root_, bytes_view(std::string("absent"))).value());
  auto failing = [](ByteView) -> Status { return fail(Error::invalid_argument("no")); };
  ValueVisitor visitor = failing;
  auto removed = btree::remove(cx(), root_, bytes_view(key_of(5)), &visitor);
  ASSERT_FALSE(removed.has_value());
  EXPECT_EQ(removed.error().to_string(), "no");
  EXPECT_EQ(btree::insert_entry(cx(), root_, bytes_view(key_of(6)),
                                [](ByteView, std::string&) -> Result<bool> { return false; })
                .value(),
            ModifyOutcome::Unchanged);
  EXPECT_FALSE(root_.in_memory());
  EXPECT_TRUE(pages_.retained().empty());
  EXPECT_EQ(keys().size(), 400u);
}

TEST_F(TreeOpsTest, changes_that_change_nothing_below_nodes_in_memory_copy_no_more_pages) {
  fill(400, 30);
  // The root and the first leaf are copied; the last leaf stays on disk.
  ASSERT_TRUE(
      btree::put(cx(), root_, bytes_view(key_of(0)), bytes_view(std::string("first"))).has_value());
  const std::set<std::uint64_t> copied = pages_.retained();
  ASSERT_EQ(copied.size(), 2u);
  const std::string last = key_of(399);
  const std::string held(30, static_cast<char>('a' + 399 % 26));
  std::string seen;
  auto record = [&](ByteView v) -> Status {
    seen = to_string(v);
    return ok();
  };
  ValueVisitor stored = record;
  EXPECT_FALSE(btree::set_entry(cx(), root_, bytes_view(last), bytes_view(held), &stored).value());
  EXPECT_EQ(seen, held);
  EXPECT_FALSE(btree::set_entry(cx(), root_, bytes_view(last + "~"), std::nullopt).value());
  EXPECT_FALSE(btree::remove(cx(), root_, bytes_view(last + "~")).value());
  EXPECT_EQ(btree::insert_entry(cx(), root_, bytes_view(last),
                                [](ByteView, std::string&) -> Result<bool> { return false; })
                .value(),
            ModifyOutcome::Unchanged);
  EXPECT_EQ(pages_.retained(), copied);
  // A refusal of the stored value changes nothing either.
  auto refuse = [](ByteView) -> Status { return fail(Error::invalid_argument("no")); };
  ValueVisitor refusing = refuse;
  auto refused =
      btree::set_entry(cx(), root_, bytes_view(last), bytes_view(std::string("x")), &refusing);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().to_string(), "no");
  EXPECT_EQ(pages_.retained(), copied);
  // Changes that do change: a new value, a new key, a removal, in leaves on
  // disk and in memory.
  seen.clear();
  EXPECT_TRUE(
      btree::set_entry(cx(), root_, bytes_view(last), bytes_view(std::string("new")), &stored)
          .value());
  EXPECT_EQ(seen, held);
  EXPECT_GT(pages_.retained().size(), copied.size());
  EXPECT_TRUE(
      btree::set_entry(cx(), root_, bytes_view(last + "~"), bytes_view(std::string("added")))
          .value());
  EXPECT_TRUE(btree::set_entry(cx(), root_, bytes_view(key_of(0)), std::nullopt).value());
  EXPECT_FALSE(btree::set_entry(cx(), root_, bytes_view(key_of(0)), std::nullopt).value());
  commit();
  expect_sound(400);
  std::map<std::string, std::string> changed{{last, "new"}, {last + "~", "added"}};
  expect_model(rx(), changed);
  EXPECT_FALSE(btree::contains(rx(), root_, bytes_view(key_of(0))).value());
}

TEST_F(TreeOpsTest, deleting_every_key_collapses_the_tree_to_nothing) {
  fill(2000, 20);
  for (int i = 0; i < 2000; i += 2)
    ASSERT_TRUE(btree::remove(cx(), root_, bytes_view(key_of(i))).value());
  commit();
  expect_sound(1000);
  for (int i = 1; i < 2000; i += 2)
    ASSERT_TRUE(btree::remove(cx(), root_, bytes_view(key_of(i))).value());
  EXPECT_TRUE(root_.empty());
  commit();
  EXPECT_EQ(root_.disk().page, 0u);
  expect_sound(0);
}

TEST_F(TreeOpsTest, dropping_a_tree_releases_its_nodes_and_runs) {
  fill(500, 3000);  // values in overflow runs
  TreeCheckReport before = btree::check_tree(rx(), root_.disk());
  ASSERT_TRUE(before.ok());
  ASSERT_TRUE(btree::drop_tree(cx(), root_).has_value());
  EXPECT_TRUE(root_.empty());
  std::uint64_t used = 0;
  for (const UsedRun& run : before.pages) used += run.count;
  EXPECT_EQ(pages_.retained().size(), used);
  commit();
  expect_sound(0);
}

TEST_F(TreeOpsTest, relocation_moves_every_page_at_or_above_the_limit) {
  // A first tree takes the low pages, a second one the pages above; once
  // the first is dropped and its pages are free, the second moves down.
  TreeRoot low;
  {
    WriteContext w = pages_.write_context(kTree + 1, LeafLayout::Varint);
    for (int i = 0; i < 300; ++i)
      ASSERT_TRUE(btree::put(w, low, bytes_view(key_of(i)), bytes_view(std::string(5000, 'l')))
                      .has_value());
    ASSERT_TRUE(btree::write_tree(w, low).has_value());
  }
  std::uint64_t limit = pages_.page_count();
  fill(200, 100);
  {
    WriteContext w = cx();
    for (int i = 0; i < 5; ++i)
      ASSERT_TRUE(
          btree::put(w, root_, bytes_view(key_of(i * 7)), bytes_view(std::string(20000, 'h')))
              .has_value());
  }
  commit();
  {
    WriteContext w = pages_.write_context(kTree + 1, LeafLayout::Varint);
    ASSERT_TRUE(btree::drop_tree(w, low).has_value());
  }
  commit();
  commit();  // the dropped pages are free now
  std::vector<std::string> before = keys();
  auto moved = btree::relocate(cx(), root_, limit);
  ASSERT_TRUE(moved.has_value()) << moved.error().to_string();
  EXPECT_GT(*moved, 0u);
  commit();
  TreeCheckReport report = btree::check_tree(rx(), root_.disk());
  ASSERT_TRUE(report.ok()) << report.problems.front();
  for (const UsedRun& run : report.pages) EXPECT_LT(run.first + run.count, limit + 1);
  EXPECT_EQ(keys(), before);
  EXPECT_EQ(btree::relocate(cx(), root_, limit).value(), 0u);
}

TEST_F(TreeOpsTest, tree_of_fixed_leaves_changes_in_the_varint_layout) {
  {
    WriteContext w = pages_.write_context(kTree, LeafLayout::Fixed);
    for (int i = 0; i < 600; ++i)
      ASSERT_TRUE(btree::put(w, root_, bytes_view(key_of(i)),
                             bytes_view(std::string(i % 40 == 0 ? 1010 : 30, 'f')))
                      .has_value());
    ASSERT_TRUE(btree::write_tree(w, root_).has_value());
    pages_.commit();
  }
  // An upgraded file: the next transactions write varint leaves beside the
  // fixed ones they do not touch.
  for (int i = 5; i < 8; ++i)
    ASSERT_TRUE(btree::put(cx(), root_, bytes_view(key_of(i)), bytes_view(std::string(31, 'g')))
                    .has_value());
  for (int i = 100; i < 220; ++i)
    ASSERT_TRUE(btree::remove(cx(), root_, bytes_view(key_of(i))).value());
  commit();
  expect_sound(480);
  std::set<NodeCode> codes;
  auto opened = RangeCursor::open(rx(), root_, {}, {}, false);
  do {
    codes.insert((*opened)->leaf_page()->code());
  } while ((*opened)->next_leaf().value());
  EXPECT_EQ(codes, (std::set<NodeCode>{NodeCode::FixedLeaf, NodeCode::VarintLeaf}));
}

// The nodes of a write transaction order keys by their first eight bytes
// before they compare the rest: keys shorter than eight bytes, keys that
// are prefixes of others (trailing zero bytes), bytes of 0x80 and more, and
// keys alike in their first eight bytes must still be found and ordered as
// `compare_keys` orders them, in leaves and in branch separators.
TEST_F(TreeOpsTest, keys_alike_in_their_leading_bytes_are_found_and_ordered_in_memory) {
  std::vector<std::string> tricky = {"",
                                     std::string(1, '\0'),
                                     std::string(2, '\0'),
                                     "a",
                                     std::string("a\0", 2),
                                     std::string("a\0\0\0\0\0\0\0\0", 9),
                                     "a\xff",
                                     "\x7f",
                                     "\x80",
                                     "\xff\xff\xff\xff\xff\xff\xff\xff",
                                     "\xff\xff\xff\xff\xff\xff\xff\xff\x01"};
  // Enough keys for branches whose separators share their first eight bytes.
  for (int i = 0; i < 1500; ++i) {
    tricky.push_back(format_text("samehead{}", i));
    tricky.push_back(format_text("samehea{}", i % 10));
    tricky.push_back(std::string("\x80\x80", 2) + static_cast<char>(i % 251));
  }
  std::sort(tricky.begin(), tricky.end());
  tricky.erase(std::unique(tricky.begin(), tricky.end()), tricky.end());
  std::vector<std::string> order = tricky;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  WriteContext w = cx();
  for (const std::string& k : order)
    ASSERT_TRUE(btree::put(w, root_, bytes_view(k), bytes_view("v" + k)).has_value());
  ASSERT_TRUE(root_.in_memory() && !root_.mem()->is_leaf());
  std::vector<std::string> expected = tricky;
  std::sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) {
    return compare_keys(bytes_view(a), bytes_view(b)) < 0;
  });
  EXPECT_EQ(keys(), expected);
  for (const std::string& k : tricky) {
    std::string got;
    auto found = btree::get(rx(), root_, bytes_view(k), [&](ByteView v) -> Status {
      got = to_string(v);
      return ok();
    });
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(*found && got == "v" + k) << "key of " << k.size() << " bytes";
    // A key one zero byte longer lies right after it and is absent.
    const std::string longer = k + std::string(1, '\0');
    if (!std::binary_search(tricky.begin(), tricky.end(), longer)) {
      EXPECT_FALSE(*btree::contains(rx(), root_, bytes_view(longer)));
    }
  }
  commit();
  expect_sound(tricky.size());
}

// A descent through branches in memory searches the lowest two levels
// asking for lines ahead and the levels above without: keys whose
// separators share their first eight bytes, long enough for three levels of
// branches, are put in random order (some twice) and must each be found by
// the puts' descents and the gets' alike, and be ordered as compare_keys
// orders them.
TEST_F(TreeOpsTest, descents_at_every_level_of_a_deep_tree_find_keys_alike_in_their_heads) {
  std::mt19937 rng(11);
  std::map<std::string, std::string> model;
  std::vector<std::string> order;
  for (int i = 0; i < 6000; ++i) {
    // Half share one head, the rest differ from the first byte on; the
    // long tail keeps branches narrow.
    std::string k = i % 2 ? format_text("sameheadx{}", rng() % 100000) : format_text("{}", rng());
    k += std::string(400, 'p');
    order.push_back(k);
  }
  // Some keys again, after the tree has grown: replaced in place.
  for (int i = 0; i < 600; ++i) order.push_back(order[rng() % order.size()]);
  WriteContext w = cx();
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::string value = format_text("v{}", i);
    auto added = btree::put(w, root_, bytes_view(order[i]), bytes_view(value));
    ASSERT_TRUE(added.has_value());
    EXPECT_EQ(*added, !model.contains(order[i])) << i;
    model[order[i]] = value;
  }
  ASSERT_TRUE(root_.in_memory());
  EXPECT_GE(root_.mem()->level, 3);
  expect_model(rx(), model);
  std::vector<std::string> expected;
  for (const auto& [k, v] : model) expected.push_back(k);
  EXPECT_EQ(keys(), expected);
  commit();
  expect_model(rx(), model);
  expect_sound(model.size());
}

// Separators of up to `MemKey::kInline` bytes are held in place, longer ones
// on the heap. Keys on both sides of that length, moved between nodes by
// splits, shares and merges, loaded again from their pages by a later
// transaction and written back, keep their bytes and their order.
TEST_F(TreeOpsTest, separators_held_in_place_or_on_the_heap_keep_their_bytes) {
  std::vector<std::string> all;
  for (int i = 0; i < 3000; ++i) {
    // Lengths from MemKey::kInline - 3 to kInline + 3, and a long one.
    const std::size_t len = i % 8 == 7 ? 300 : MemKey::kInline - 3 + i % 7;
    std::string k = format_text("{}", 1000000 + i * 7919 % 3000);
    k.resize(len, static_cast<char>('a' + i % 26));
    all.push_back(k);
  }
  std::vector<std::string> order = all;
  std::shuffle(order.begin(), order.end(), std::mt19937(11));
  std::set<std::string> model;
  auto put_all = [&](std::size_t from, std::size_t to) {
    WriteContext w = cx();
    for (std::size_t i = from; i < to; ++i) {
      ASSERT_TRUE(btree::put(w, root_, bytes_view(order[i]), bytes_view("v" + order[i])));
      model.insert(order[i]);
    }
  };
  put_all(0, 2000);
  ASSERT_TRUE(root_.in_memory() && !root_.mem()->is_leaf());
  commit();
  // Branches come back from their pages; removes merge leaves and move
  // separators up and down, inserts split them again.
  WriteContext w = cx();
  for (std::size_t i = 0; i < 2000; i += 2) {
    ASSERT_TRUE(btree::remove(w, root_, bytes_view(order[i])).value());
    model.erase(order[i]);
  }
  put_all(2000, order.size());
  EXPECT_EQ(keys(), std::vector<std::string>(model.begin(), model.end()));
  commit();
  EXPECT_EQ(keys(), std::vector<std::string>(model.begin(), model.end()));
  expect_sound(model.size());
}

// A tree's keys and values in memory are counted by its memory estimate,
// values too long for a leaf and the bytes of values since replaced
// included, until its leaves are written: then they go, and what was
// written reads back as it was put.
TEST_F(TreeOpsTest, memory_estimate_counts_the_entries_held_until_the_leaves_are_written) {
  WriteContext w = cx();
  std::map<std::string, std::string> model;
  std::size_t put_bytes = 0;
  auto put = [&](int i, std::size_t len) {
    const std::string value(len, static_cast<char>('a' + i % 26));
    ASSERT_TRUE(btree::put(w, root_, bytes_view(key_of(i)), bytes_view(value)).has_value());
    model[key_of(i)] = value;
    put_bytes += key_of(i).size() + len;
  };
  for (int i = 0; i < 400; ++i) put(i, i % 20 == 0 ? 5000 : 200);
  ASSERT_TRUE(root_.in_memory() && !root_.mem()->is_leaf());
  const std::size_t first = btree::memory_estimate(root_);
  EXPECT_GE(first, put_bytes);
  put_bytes = 0;
  for (int i = 0; i < 400; i += 2) put(i, 300);
  EXPECT_GE(btree::memory_estimate(root_), first + put_bytes);

  ASSERT_TRUE(btree::write_leaves(w, root_).has_value());
  // Only the branch above the leaves is left.
  EXPECT_LT(btree::memory_estimate(root_), 16u << 10);
  for (const auto& [key, value] : model) {
    std::string got;
    ASSERT_TRUE(btree::get(rx(), root_, bytes_view(key), [&](ByteView v) {
                  got = to_string(v);
                  return ok();
                }).value());
    EXPECT_EQ(got, value) << key;
  }
  commit();
  expect_sound(model.size());
}

// A commit loads a few leaves, whose pages its tree's arena holds, and
// changes an entry or two: the block those entries take is sized by the
// arena's blocks alone, not by the pages it holds.
TEST(EntryArenaTest, the_pages_held_leave_the_first_block_small) {
  EntryArena arena;
  constexpr std::size_t kPage = 4096, kPages = 12;
  for (std::size_t i = 0; i < kPages; ++i)
    arena.hold(std::shared_ptr<const std::uint8_t>(new std::uint8_t[kPage]{},
                                                   std::default_delete<std::uint8_t[]>()),
               kPage);
  ASSERT_EQ(arena.held(), kPages * kPage);
  ASSERT_NE(arena.allocate(130), nullptr);
  const std::size_t first = arena.held() - kPages * kPage;
  EXPECT_GE(first, 130u);
  EXPECT_LE(first, std::size_t{4} << 10);
  // Blocks still grow with the arena's own: a run of small requests ends
  // up in blocks larger than the first.
  for (int i = 0; i < 2000; ++i) ASSERT_NE(arena.allocate(130), nullptr);
  EXPECT_GE(arena.held() - kPages * kPage, std::size_t{2000} * 130);
  EXPECT_LT(arena.held() - kPages * kPage, std::size_t{3} * 2001 * 130);
}

// Leaves loaded for writing read their keys and values in the pages they
// were loaded from: the tree keeps those pages, counted by its memory
// estimate, through values replaced, entries moved between leaves and
// removed, and lets them go, never written to, once its leaves are written.
TEST_F(TreeOpsTest, loaded_leaves_read_their_entries_in_pages_the_tree_keeps) {
  std::map<std::string, std::string> model;
  {
    WriteContext w = cx();
    for (int i = 0; i < 600; ++i) {
      model[key_of(i)] = std::string(40 + i % 7, static_cast<char>('a' + i % 26));
      ASSERT_TRUE(
          btree::put(w, root_, bytes_view(key_of(i)), bytes_view(model[key_of(i)])).has_value());
    }
  }
  commit();
  testing::SpoiltLeaves spoilt(pages_.source());
  WriteContext w{spoilt, kTree, pages_.txn_id(), LeafLayout::Varint, pages_};
  for (int i = 0; i < 600; i += 3) {
    // Same length (the value's bytes would do), then longer, then removed.
    std::string value = i % 2 == 0 ? std::string(40 + i % 7, 'z') : std::string(90, 'y');
    if (i % 9 == 0) {
      ASSERT_TRUE(btree::remove(w, root_, bytes_view(key_of(i))).value());
      model.erase(key_of(i));
      continue;
    }
    ASSERT_TRUE(btree::put(w, root_, bytes_view(key_of(i)), bytes_view(value)).has_value());
    model[key_of(i)] = value;
  }
  ASSERT_TRUE(root_.in_memory() && !root_.mem()->is_leaf());
  EXPECT_GT(spoilt.live(), 0);
  EXPECT_GE(btree::memory_estimate(root_), std::size_t(spoilt.live()) * 4096);
  expect_model(ReadContext{spoilt, kTree}, model);
  expect_written_with_pages_untouched(w, spoilt, model);
}

// Branches loaded for writing read their separators in the pages they were
// loaded from until a change moves one: the tree keeps those pages through
// descents, gets and writes, takes the separators out when a split below
// adds one, and lets the pages go, never written to, once it is written.
TEST_F(TreeOpsTest, loaded_branches_read_their_separators_in_pages_the_tree_keeps) {
  std::map<std::string, std::string> model;
  auto put = [&](const WriteContext& w, const std::string& key, std::string value) {
    ASSERT_TRUE(btree::put(w, root_, bytes_view(key), bytes_view(value)).has_value());
    model[key] = std::move(value);
  };
  for (int i = 0; i < 20000; ++i) put(cx(), key_of(i), std::string(100, char('a' + i % 26)));
  commit();
  testing::SpoiltLeaves spoilt(pages_.source(), true);
  WriteContext w{spoilt, kTree, pages_.txn_id(), LeafLayout::Varint, pages_};
  // Values of the same length: no separator moves.
  for (int i = 0; i < 20000; i += 101) put(w, key_of(i), std::string(100, 'z'));
  ASSERT_TRUE(root_.in_memory() && root_.mem()->level == 2);
  EXPECT_NE(root_.mem()->image(), nullptr);
  EXPECT_GT(spoilt.live(), 0);
  expect_model(ReadContext{spoilt, kTree}, model);
  // Keys between the old ones split leaves: their parents and the root take
  // their separators out of their pages.
  for (int i = 0; i < 20000; i += 7) put(w, key_of(i) + "+", std::string(100, 'n'));
  EXPECT_EQ(root_.mem()->image(), nullptr);
  expect_model(ReadContext{spoilt, kTree}, model);
  expect_written_with_pages_untouched(w, spoilt, model);
}

// A value whose inline cell takes exactly the most room of a leaf entry is
// written in the leaf; one a byte longer goes to an overflow run.
TEST_F(TreeOpsTest, a_value_at_the_inline_limit_is_written_in_the_leaf_one_past_it_in_a_run) {
  std::size_t fits = 0;
  for (std::size_t v = 1; v < 4096; ++v)
    if (node::inline_cell_size(LeafLayout::Varint, 1, v) + node::kSlotSize ==
        node::max_entry_bytes(4096))
      fits = v;
  ASSERT_NE(fits, 0u);
  const std::map<std::string, std::string> model = {{"a", std::string(fits, 'x')},
                                                    {"b", std::string(fits + 1, 'y')}};
  WriteContext w = cx();
  for (const auto& [key, value] : model)
    ASSERT_TRUE(btree::put(w, root_, bytes_view(key), bytes_view(value)).has_value());
  commit();
  auto leaf = pages_.source().fetch_node(root_.disk(), kTree, 0);
  ASSERT_TRUE(leaf.has_value());
  ASSERT_EQ(leaf->count(), 2u);
  EXPECT_FALSE(leaf->cell_at(0).overflow);
  EXPECT_TRUE(leaf->cell_at(1).overflow);
  expect_model(rx(), model);
  expect_sound(2);
}

// A leaf loaded for writing tells which of its cells a write may copy as
// they lie: those laid out exactly as the layout written lays them out. A
// length not in its fewest bytes, a value the inline rule sends to a run
// and every cell of a leaf of the other layout are laid out anew. What the
// entries take is counted as the layout written counts it either way, and
// the leaf built from them is the one built from the same entries held
// apart.
TEST(LoadedLeafTest, cells_laid_out_as_the_write_lays_them_out_are_copied_and_others_not) {
  for (std::uint32_t page_size : {4096u, 65536u}) {
    for (LeafLayout stored : {LeafLayout::Varint, LeafLayout::Fixed}) {
      const std::size_t over = page_size / 4;  // inline in the page, past the rule
      struct Cell {
        std::string key;
        std::size_t value_len;
        int spoil;  // 1: key length in two bytes, 2: value tag in two bytes
      };
      const std::vector<Cell> cells = {{"a00", 0, 0},    {"a01", 5, 0},
                                       {"a02", 63, 0},   {"a03", 64, 0},
                                       {"a04", 30, 1},   {"a05", 50, 2},
                                       {"a06", 7, 2},    {std::string(130, 'b'), 9, 0},
                                       {"c00", over, 0}, {"c01", 40, 0},
                                       {"c02", 20, 1},   {"c03", 3, 0},
                                       {"c04", 0, 2},    {"d" + std::string(200, 'e'), 300, 0}};
      // Keys one byte longer are laid out first, then a spoilt cell takes
      // that byte for a length written in two bytes: the cell's size holds.
      std::vector<std::string> keys, values;
      for (const Cell& c : cells) {
        keys.push_back(c.spoil != 0 && stored == LeafLayout::Varint ? "x" + c.key : c.key);
        values.push_back(std::string(c.value_len, 'v'));
      }
      std::vector<LeafItem> items;
      for (std::size_t i = 0; i < cells.size(); ++i)
        items.push_back(LeafItem{bytes_view(keys[i]), bytes_view(values[i]), nullptr});
      auto page = std::make_shared<std::vector<std::uint8_t>>(page_size, 0);
      node::build_leaf(*page, stored, items, 3, kTree);
      for (std::size_t i = 0; i < cells.size(); ++i) {
        if (cells[i].spoil == 0 || stored != LeafLayout::Varint) continue;
        std::uint8_t* c = page->data() + node::leaf_cell_offset(page->data(), i);
        ASSERT_LT(c[0], 0x80);
        ASSERT_LT(c[1], 0x80);
        const std::uint8_t tag = c[1];
        if (cells[i].spoil == 1) {
          c[0] = static_cast<std::uint8_t>(0x80 | cells[i].key.size());
          c[1] = 0;
          c[2] = tag;
        } else {
          c[0] = static_cast<std::uint8_t>(cells[i].key.size());
          c[1] = static_cast<std::uint8_t>(0x80 | tag);
          c[2] = 0;
        }
      }
      auto view =
          NodeView::from_page(std::shared_ptr<const std::uint8_t>(page, page->data()), page_size);
      ASSERT_TRUE(view.has_value()) << view.error();
      for (LeafLayout written : {LeafLayout::Varint, LeafLayout::Fixed}) {
        EntryArena arena;
        std::size_t bytes = 0;
        std::vector<MemEntry> entries = node::collect_entries(*view, &arena, written, bytes);
        ASSERT_EQ(entries.size(), cells.size());
        std::size_t expected_bytes = 0;
        std::vector<LeafItem> copied, apart;
        std::vector<OverflowRef> refs;
        refs.reserve(cells.size());
        for (std::size_t i = 0; i < cells.size(); ++i) {
          const Cell& c = cells[i];
          const MemEntry& e = entries[i];
          EXPECT_EQ(to_string(e.key()), c.key) << i;
          EXPECT_EQ(to_string(e.value()), values[i]) << i;
          EXPECT_TRUE(e.in_page()) << i;
          const bool inline_value =
              node::value_fits_inline(written, page_size, c.key.size(), c.value_len);
          const bool spoilt = c.spoil != 0 && stored == LeafLayout::Varint;
          EXPECT_EQ(e.in_written_cell(), stored == written && inline_value && !spoilt)
              << i << " " << page_size;
          expected_bytes += node::leaf_entry_bytes(written, page_size, c.key.size(), c.value_len);
          const OverflowRef* ref = inline_value ? nullptr : &refs.emplace_back();
          const std::size_t size =
              e.in_written_cell() ? node::inline_cell_size(written, c.key.size(), c.value_len) : 0;
          copied.push_back(LeafItem{e.key(), e.value(), ref, static_cast<std::uint32_t>(size)});
          apart.push_back(LeafItem{bytes_view(c.key), bytes_view(values[i]), ref});
        }
        EXPECT_EQ(bytes, expected_bytes);
        std::vector<std::uint8_t> expected(page_size, 0xEE), built(page_size, 0x11);
        node::build_leaf(expected, written, apart, 4, kTree);
        node::build_leaf(built, written, copied, 4, kTree);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end() - kPageStampSize, built.begin()));
      }
    }
  }
}

// Commits that change a few entries of many leaves write each leaf's other
// cells as they lie in its old page: over many such commits, with values
// held apart, at the inline limit and in runs beside the cells copied, keys
// added and removed between them, the tree reads back its model and stays
// sound.
TEST_F(TreeOpsTest, leaves_written_from_cells_as_they_lie_read_back_their_model) {
  const std::size_t key_len = key_of(0).size();
  std::size_t at_limit = 0;
  for (std::size_t v = 1; v < 4096; ++v)
    if (node::inline_entry_bytes(LeafLayout::Varint, 4096, key_len, v) ==
        node::max_entry_bytes(4096))
      at_limit = v;
  ASSERT_NE(at_limit, 0u);
  std::mt19937 rng(5);
  auto value_of = [&](int i) {
    switch (rng() % 10) {
      case 0:
        return std::string();
      case 1:
        return std::string(at_limit, static_cast<char>('a' + i % 26));
      case 2:
        return std::string(at_limit + 1 + rng() % 3000, 'o');
      default:
        return std::string(rng() % 120, static_cast<char>('a' + i % 26));
    }
  };
  std::map<std::string, std::string> model;
  for (int i = 0; i < 3000; i += 2) model[key_of(i)] = value_of(i);
  {
    WriteContext w = cx();
    for (const auto& [key, value] : model)
      ASSERT_TRUE(btree::put(w, root_, bytes_view(key), bytes_view(value)).has_value());
    commit();
  }
  for (int round = 0; round < 40; ++round) {
    WriteContext w = cx();
    for (int op = 0; op < 25; ++op) {
      const int i = static_cast<int>(rng() % 3000);
      const std::string key = key_of(i);
      if (rng() % 5 == 0) {
        EXPECT_EQ(btree::remove(w, root_, bytes_view(key)).value(), model.erase(key) == 1);
        continue;
      }
      std::string value = value_of(i);
      // Some keep their length, so that their bytes would do.
      if (auto old = model.find(key); old != model.end() && rng() % 3 == 0)
        value = std::string(old->second.size(), 'z');
      ASSERT_TRUE(btree::put(w, root_, bytes_view(key), bytes_view(value)).has_value());
      model[key] = std::move(value);
    }
    commit();
    expect_model(rx(), model);
    expect_sound(model.size());
    EXPECT_EQ(keys().size(), model.size());
  }
}

// A branch loaded for writing searches the page it was loaded from without
// building the search index of the page's cache entry, which goes when the
// transaction releases the page; an index some search built already is
// used. Either way a search finds the child a plain search of the page does.
// A branch page of `keys` (children at pages 100 on), viewed.
NodeView branch_view(const std::vector<std::string>& keys) {
  std::vector<ByteView> views;
  for (const auto& k : keys) views.push_back(bytes_view(k));
  std::vector<ChildPointer> children;
  for (std::uint64_t i = 0; i <= keys.size(); ++i) children.push_back({100 + i, 8, {}});
  auto bytes = std::make_shared<std::vector<std::uint8_t>>(4096);
  node::build_branch(*bytes, 1, views, children, 8, kTree);
  return *NodeView::from_page(std::shared_ptr<const std::uint8_t>(bytes, bytes->data()), 4096);
}

TEST(LoadedBranchTest, a_kept_page_builds_no_search_index_but_uses_a_built_one) {
  std::vector<std::string> keys;
  for (int i = 0; i < 60; ++i) keys.push_back(key_of(1000 + 37 * i));
  NodeView plain = branch_view(keys);
  NodeSearchIndex index;
  NodeView indexed = plain;
  ASSERT_TRUE(indexed.attach_index(&index));
  std::vector<std::string> probes = {"", keys.front(), keys.back() + "~"};
  for (const auto& k : keys) {
    probes.push_back(k);
    probes.push_back(k + "+");
  }
  auto expect_plain_answers = [&](const MemNode& n) {
    for (const auto& p : probes)
      EXPECT_EQ(n.image()->child_index(bytes_view(p)), plain.child_index(bytes_view(p))) << p;
  };
  MemNode before;
  before.keep_image(indexed);
  expect_plain_answers(before);
  EXPECT_FALSE(index.built());
  EXPECT_EQ(before.image()->search_index(), nullptr);
  indexed.child_index(bytes_view(keys[7]));
  ASSERT_TRUE(index.built());
  MemNode after;
  after.keep_image(indexed);
  EXPECT_EQ(after.image()->search_index(), &index);
  expect_plain_answers(after);
}

// A commit loads a few dozen nodes and drops them as it ends: the blocks of
// a node and of its page image are kept by the thread that freed them and
// are the next ones it takes, holding the new node whole.
TEST(LoadedBranchTest, a_freed_node_and_its_image_are_the_blocks_of_the_next_on_its_thread) {
  auto branch = [](int first, int count) {
    std::vector<std::string> keys;
    for (int i = 0; i < count; ++i) keys.push_back(key_of(first + i));
    return branch_view(keys);
  };
  std::thread([&] {
    auto node = std::make_unique<MemNode>();
    node->keep_image(branch(0, 30));
    node->children.resize(31);
    const MemNode* node_block = node.get();
    const NodeView* image_block = node->image();
    node.reset();
    if (kAddressSanitizer) {
      // The sanitizer sees every block freed.
      EXPECT_EQ(spare_mem_node_blocks(), 0u);
      EXPECT_EQ(spare_node_image_blocks(), 0u);
      return;
    }
    EXPECT_EQ(spare_mem_node_blocks(), 1u);
    EXPECT_EQ(spare_node_image_blocks(), 1u);
    auto again = std::make_unique<MemNode>();
    EXPECT_EQ(again.get(), node_block);
    EXPECT_TRUE(again->children.empty());
    EXPECT_EQ(again->image(), nullptr);
    again->keep_image(branch(500, 12));
    EXPECT_EQ(again->image(), image_block);
    EXPECT_EQ(spare_mem_node_blocks(), 0u);
    EXPECT_EQ(spare_node_image_blocks(), 0u);
    ASSERT_EQ(again->key_count(), 12u);
    EXPECT_EQ(to_string(again->key(0)), key_of(500));
  }).join();
}

// A leaf page of `count` keys from `first` on, with values of 20 bytes.
NodeView leaf_view(int first, int count) {
  std::vector<std::string> keys;
  for (int i = 0; i < count; ++i) keys.push_back(key_of(first + i));
  const std::string value(20, 'v');
  std::vector<LeafItem> items;
  for (const auto& k : keys) items.push_back({bytes_view(k), bytes_view(value), nullptr});
  auto bytes = std::make_shared<std::vector<std::uint8_t>>(4096);
  node::build_leaf(*bytes, LeafLayout::Varint, items, 8, kTree);
  return *NodeView::from_page(std::shared_ptr<const std::uint8_t>(bytes, bytes->data()), 4096);
}

// The child and entry lists of the nodes a commit drops are the lists of
// the next nodes loaded on the thread: emptied, and with the room a new
// list of that size would have, so that the memory a transaction counts
// does not depend on what ran before it.
TEST(LoadedBranchTest, a_freed_nodes_lists_hold_only_the_next_nodes_children_and_entries) {
  auto branch = [](int first, int count) {
    std::vector<std::string> keys;
    for (int i = 0; i < count; ++i) keys.push_back(key_of(first + i));
    return branch_view(keys);
  };
  std::thread([&] {
    // Two nodes loaded in a fresh thread: what each list has room for.
    std::vector<MemChild> fresh_children;
    node::collect_children(branch(0, 40), fresh_children);
    std::size_t bytes = 0;
    std::vector<MemEntry> fresh_entries =
        node::collect_entries(leaf_view(0, 30), nullptr, LeafLayout::Varint, bytes);
    const std::size_t child_room = fresh_children.capacity();
    const std::size_t entry_room = fresh_entries.capacity();
    ASSERT_GE(child_room, 41u);
    ASSERT_GE(entry_room, 30u);

    auto node = std::make_unique<MemNode>();
    node->level = 1;
    node::collect_children(branch(0, 46), node->children);
    auto leaf = std::make_unique<MemNode>();
    leaf->entries = node::collect_entries(leaf_view(0, 31), nullptr, LeafLayout::Varint, bytes);
    node->children[3].node = std::move(leaf);
    const MemChild* child_block = node->children.data();
    node.reset();
    if (kAddressSanitizer) {
      EXPECT_EQ(spare_child_lists(), 0u);
      EXPECT_EQ(spare_entry_lists(), 0u);
      return;
    }
    EXPECT_EQ(spare_child_lists(), 1u);
    EXPECT_EQ(spare_entry_lists(), 1u);

    // Far fewer children: a list with the room a new one has, not the
    // freed one, which waits on.
    std::vector<MemChild> few;
    node::collect_children(branch(300, 10), few);
    EXPECT_NE(few.data(), child_block);
    EXPECT_LT(few.capacity(), child_room);
    EXPECT_EQ(spare_child_lists(), 1u);

    // Fewer children and entries than the freed nodes held, within the
    // same room: the freed lists, holding the new ones alone.
    auto again = std::make_unique<MemNode>();
    again->level = 1;
    node::collect_children(branch(500, 40), again->children);
    EXPECT_EQ(again->children.data(), child_block);
    EXPECT_EQ(again->children.capacity(), child_room);
    ASSERT_EQ(again->children.size(), 41u);
    for (std::size_t i = 0; i < 41; ++i) {
      EXPECT_EQ(again->children[i].pointer.page, 100 + i) << i;
      EXPECT_EQ(again->children[i].node, nullptr) << i;
      EXPECT_FALSE(again->children[i].rewritten) << i;
    }
    std::vector<MemEntry> entries =
        node::collect_entries(leaf_view(700, 30), nullptr, LeafLayout::Varint, bytes);
    EXPECT_EQ(entries.capacity(), entry_room);
    ASSERT_EQ(entries.size(), 30u);
    for (std::size_t i = 0; i < 30; ++i)
      EXPECT_EQ(to_string(entries[i].key()), key_of(700 + int(i)));
    EXPECT_EQ(spare_child_lists(), 0u);
    EXPECT_EQ(spare_entry_lists(), 0u);
  }).join();
}

// An over-full leaf shares its entries with its emptier neighbour, in two
// or, when two would be nearly full, in three: each part within one entry
// of its even share of the bytes, its byte count that of its entries, and
// the keys in order across the parts. A sorted load leaves two full leaves
// and a half-full last one; a long value put into the middle one shares it
// with the last in two, then one put into the first shares it with the
// middle one in three. Entries of many lengths make the cuts lie several
// entries away from where the two leaves met.
TEST_F(TreeOpsTest, over_full_leaf_shares_its_bytes_evenly_with_a_neighbour) {
  WriteContext w = cx();
  std::map<std::string, std::string> model;
  auto put = [&](const std::string& key, std::size_t len) {
    const std::string value(len, static_cast<char>('a' + len % 26));
    ASSERT_TRUE(btree::put(w, root_, bytes_view(key), bytes_view(value)).has_value());
    model[key] = value;
  };
  const std::size_t cap = node::capacity(4096);
  auto size = [](const MemEntry& e) {
    return node::leaf_entry_bytes(LeafLayout::Varint, 4096, e.key().size(), e.value().size());
  };
  auto leaves = [&] {
    std::vector<const MemNode*> out;
    if (!root_.mem()) return out;
    for (const MemChild& c : root_.mem()->children) out.push_back(c.node.get());
    return out;
  };
  for (int i = 0; leaves().size() < 3 || leaves().back()->bytes < cap / 2; ++i) {
    ASSERT_NO_FATAL_FAILURE(put(key_of(i), 20 + i * 37 % 180));
    ASSERT_FALSE(root_.mem()->is_leaf() && i > 200);
  }
  ASSERT_EQ(root_.mem()->level, 1);
  // Puts a long value between the keys of leaf `at` and checks the parts
  // it and its neighbour `with` make.
  auto share = [&](std::size_t at, std::size_t with) {
    const MemNode& leaf = *leaves()[at];
    const std::size_t total = leaf.bytes + leaves()[with]->bytes;
    const std::string key = to_string(leaf.entries[leaf.entries.size() / 2].key()) + "m";
    const std::size_t count = leaves().size();
    ASSERT_NO_FATAL_FAILURE(put(key, 900));
    const std::size_t grown =
        total + node::leaf_entry_bytes(LeafLayout::Varint, 4096, key.size(), 900);
    const std::size_t parts = 16 * grown <= 30 * cap ? 2 : 3;
    ASSERT_EQ(leaves().size(), count + parts - 2);
    std::size_t sum = 0;
    const std::size_t first = std::min(at, with);
    for (std::size_t p = first; p < first + parts; ++p) {
      const MemNode& part = *leaves()[p];
      std::size_t bytes = 0;
      for (const MemEntry& e : part.entries) bytes += size(e);
      EXPECT_EQ(part.bytes, bytes) << "part " << p - first;
      sum += bytes;
      if (p + 1 == first + parts) break;
      // Each cut is the nearer of the two around its share of the bytes:
      // within half an entry beside it.
      const std::size_t goal = grown * (p - first + 1) / parts;
      const std::size_t beside =
          std::max(size(part.entries.back()), size(leaves()[p + 1]->entries.front()));
      EXPECT_LE(std::max(sum, goal) - std::min(sum, goal), beside / 2)
          << "cut " << p - first << " of " << parts << ": " << sum << " bytes before it of "
          << grown;
    }
    EXPECT_EQ(sum, grown);
    std::vector<std::string> in_memory;
    for (const MemNode* l : leaves())
      for (const MemEntry& e : l->entries) in_memory.push_back(to_string(e.key()));
    std::vector<std::string> expected;
    for (const auto& [k, v] : model) expected.push_back(k);
    EXPECT_EQ(in_memory, expected);
  };
  ASSERT_NO_FATAL_FAILURE(share(1, 2));
  EXPECT_EQ(leaves().size(), 3u);
  ASSERT_NO_FATAL_FAILURE(share(0, 1));
  EXPECT_EQ(leaves().size(), 4u);
  expect_model(rx(), model);
  commit();
  expect_sound(model.size());
}

// A node that a fault above left over its page, whatever byte count it
// carries, is refused before it is laid out: the write counts its entries
// or separators again.
TEST_F(TreeOpsTest, node_over_its_page_is_refused_before_it_is_laid_out) {
  auto leaf = [] {
    MemNode n;
    for (int i = 0; i < 60; ++i)
      n.entries.emplace_back(bytes_view(key_of(i)), bytes_view(std::string(100, 'v')));
    return n;
  };
  auto branch = [] {
    MemNode n;
    n.level = 1;
    n.children.resize(401);
    for (int i = 0; i < 400; ++i) n.keys().emplace_back(key_of(i) + std::string(20, 's'));
    return n;
  };
  for (MemNode (*make)() : {+leaf, +branch}) {
    MemNode n = make();
    n.bytes = 0;
    auto written = btree::write_node(cx(), n);
    ASSERT_FALSE(written.has_value()) << int(n.level);
    EXPECT_EQ(written.error().kind(), ErrorKind::Internal);
    EXPECT_NE(written.error().to_string().find("does not fit its page"), std::string::npos)
        << written.error().to_string();
  }
}

TEST_F(TreeOpsTest, tree_built_bottom_up_from_laid_out_leaves_is_sound) {
  std::vector<MemEntry> entries;
  for (int i = 0; i < 500; ++i) {
    const std::string value(i % 100 == 0 ? 9000 : 90, 'r');
    entries.emplace_back(bytes_view(key_of(i)), bytes_view(value));
  }
  auto groups = write::build_nodes(std::move(entries), LeafLayout::Varint, 4096);
  ASSERT_GT(groups.size(), 4u);
  MemNode top;
  top.level = 1;
  for (auto& group : groups) {
    if (!top.children.empty()) top.keys().push_back(to_string(group.front().key()));
    auto leaf = std::make_unique<MemNode>();
    leaf->entries = std::move(group);
    top.children.push_back(MemChild{ChildPointer{}, std::move(leaf)});
  }
  auto pointer = btree::write_node(cx(), top);
  ASSERT_TRUE(pointer.has_value()) << pointer.error().to_string();
  pages_.commit();
  root_ = TreeRoot::on_disk(*pointer);
  expect_sound(500);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
