// Relocating a tree below a page number: every node page and overflow run at
// or above it moves into free pages below it, nothing is lost, the count is
// exact, and too little room fails without touching the published commit.
#include "txn/relocate.hpp"

#include <gtest/gtest.h>

#include "btree/check.hpp"
#include "database.hpp"
#include "storage/fault_storage.hpp"
#include "support/commit_check.hpp"
#include "txn/catalog.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

ByteView b(std::string_view s) { return bytes_of(s); }

struct MemoryDb {
  FaultStorage* storage = nullptr;
  std::shared_ptr<Instance> instance;
};

MemoryDb open_memory(std::vector<std::uint8_t> image = {}) {
  if (image.empty()) image = *Database::new_first_page({});
  auto storage = std::make_unique<FaultStorage>("/mem/r.db", std::move(image));
  MemoryDb db;
  db.storage = storage.get();
  auto instance = Database::open_existing(std::move(storage), {});
  EXPECT_TRUE(instance) << instance.error().to_string();
  db.instance = *instance;
  return db;
}

std::unique_ptr<WriteTxn> begin_write(const MemoryDb& db) {
  auto w = WriteTxn::begin(db.instance);
  EXPECT_TRUE(w) << w.error().to_string();
  return std::move(*w);
}

// Overflow values of a few lengths, one of them several pages long.
std::string value_for(int i) {
  if (i % 10 == 0) return std::string(std::size_t(9000 + i), char('a' + i % 26));
  return "v" + std::to_string(i);
}

// The pages of tree `name` in the published commit, as the checker finds
// them; fails the test when the tree is not sound.
std::vector<UsedRun> tree_pages(const MemoryDb& db, std::string_view name) {
  NodeSource& source = db.instance->reader();
  auto d =
      catalog::find(source, TreeRoot::on_disk(db.instance->published().record.catalog), b(name));
  EXPECT_TRUE(d && *d);
  if (!d || !*d) return {};
  auto report = btree::check_tree(ReadContext{source, (*d)->tree_id}, (*d)->root);
  for (auto& p : report.problems) ADD_FAILURE() << p;
  return report.pages;
}

std::uint64_t pages_at_or_above(const std::vector<UsedRun>& runs, std::uint64_t limit) {
  std::uint64_t n = 0;
  for (auto r : runs)
    for (std::uint64_t p = r.first; p < r.first + r.count; ++p) n += p >= limit;
  return n;
}

void commit_empty(const MemoryDb& db) {
  auto w = begin_write(db);
  ASSERT_TRUE(w->commit());
}

// A file whose low pages were freed (a dropped tree) while tree "t", with
// nodes and overflow runs, lies above them. Returns the first page of "t".
std::uint64_t build_spread_file(const MemoryDb& db) {
  auto w = begin_write(db);
  for (int i = 0; i < 6000; ++i)
    EXPECT_TRUE(w->put(b("pad"), b("p" + std::to_string(i)), b(std::string(120, 'p'))));
  EXPECT_TRUE(w->commit());
  for (int k = 0; k < 2; ++k) commit_empty(db);
  std::uint64_t limit = begin_write(db)->page_count();
  w = begin_write(db);
  for (int i = 0; i < 400; ++i)
    EXPECT_TRUE(w->put(b("t"), b("k" + std::to_string(i)), b(value_for(i))));
  EXPECT_TRUE(w->commit());
  w = begin_write(db);
  EXPECT_TRUE(w->drop_tree(b("pad")));
  EXPECT_TRUE(w->commit());
  for (int k = 0; k < 2; ++k) commit_empty(db);
  return limit;
}

void expect_all_entries(const MemoryDb& db) {
  auto all = testing::read_all_trees(db.instance->reader(), db.instance->published().record);
  ASSERT_TRUE(all) << all.error().to_string();
  auto& t = (*all)["t"];
  ASSERT_EQ(t.size(), 400u);
  for (int i = 0; i < 400; ++i) EXPECT_EQ(t["k" + std::to_string(i)], value_for(i)) << i;
}

TEST(Relocate, tree_above_the_limit_moves_below_it_with_every_entry_intact) {
  auto db = open_memory();
  std::uint64_t limit = build_spread_file(db);
  auto before = tree_pages(db, "t");
  std::uint64_t expected = pages_at_or_above(before, limit);
  ASSERT_GT(expected, 20u);

  auto w = begin_write(db);
  ASSERT_TRUE(w->tree_entry(b("t"), false));
  std::uint64_t count_before = w->page_count();
  auto moved = write::write_overflow(*w, (*w->tree_entry(b("t"), false))->tree_id, limit);
  ASSERT_TRUE(moved) << moved.error().to_string();
  EXPECT_EQ(*moved, expected);
  EXPECT_EQ(w->page_count(), count_before) << "relocation grew the file";
  ASSERT_TRUE(w->commit());

  EXPECT_EQ(pages_at_or_above(tree_pages(db, "t"), limit), 0u);
  for (auto& p : testing::check_commit(db.instance->reader(), db.instance->published().record))
    ADD_FAILURE() << p;
  expect_all_entries(db);

  auto reopened = open_memory(db.storage->current_image());
  EXPECT_EQ(pages_at_or_above(tree_pages(reopened, "t"), limit), 0u);
  expect_all_entries(reopened);

  // Nothing is left to move a second time.
  w = begin_write(db);
  auto again = write::write_overflow(*w, (*w->tree_entry(b("t"), false))->tree_id, limit);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, 0u);
  w->abort();
}

TEST(Relocate, system_trees_move_below_the_limit_too) {
  auto db = open_memory();
  std::uint64_t limit = build_spread_file(db);
  auto w = begin_write(db);
  // Every commit rewrites the catalog, last of all at the end of the file.
  ASSERT_GE(db.instance->published().record.catalog.page, limit);
  std::uint64_t total = 0;
  for (std::uint64_t id : {kCatalogTreeId, kFreeTreeId, kRetainedTreeId}) {
    auto moved = write::write_overflow(*w, id, limit);
    ASSERT_TRUE(moved) << moved.error().to_string();
    total += *moved;
  }
  EXPECT_GE(total, 1u);
  ASSERT_TRUE(w->commit());
  EXPECT_LT(db.instance->published().record.catalog.page, limit);
  for (auto& p : testing::check_commit(db.instance->reader(), db.instance->published().record))
    ADD_FAILURE() << p;
  expect_all_entries(db);
}

TEST(Relocate, too_little_room_below_the_limit_fails_and_leaves_the_commit_intact) {
  auto db = open_memory();
  build_spread_file(db);
  auto image = db.storage->current_image();
  auto published = db.instance->published().record;

  auto w = begin_write(db);
  std::uint64_t id = (*w->tree_entry(b("t"), false))->tree_id;
  std::uint64_t count = w->page_count();
  // Below page 3 there is no run of three pages for the long values.
  auto moved = write::write_overflow(*w, id, 3);
  ASSERT_FALSE(moved);
  EXPECT_EQ(moved.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(moved.error().to_string(), "an overflow run too long");
  EXPECT_TRUE(w->failed());
  EXPECT_EQ(w->page_count(), count);
  EXPECT_FALSE(w->commit());

  EXPECT_EQ(db.instance->published().record.catalog.page, published.catalog.page);
  for (auto& p : testing::check_commit(db.instance->reader(), db.instance->published().record))
    ADD_FAILURE() << p;
  expect_all_entries(db);
  expect_all_entries(open_memory(image));
  // The writer is free again.
  auto next = begin_write(db);
  EXPECT_TRUE(next->put(b("t"), b("after"), b("x")));
  EXPECT_TRUE(next->commit());
}

TEST(Relocate, node_with_no_free_page_below_the_limit_fails) {
  auto db = open_memory();
  build_spread_file(db);
  auto w = begin_write(db);
  ASSERT_TRUE(w->put(b("small"), b("a"), b("1")));
  std::uint64_t count = w->page_count();
  auto moved = write::write_overflow(*w, (*w->tree_entry(b("small"), false))->tree_id, 1);
  ASSERT_FALSE(moved);
  EXPECT_EQ(moved.error().to_string(), "no free page below page 1");
  EXPECT_EQ(w->page_count(), count);
  EXPECT_TRUE(w->failed());
  w->abort();
  expect_all_entries(db);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
