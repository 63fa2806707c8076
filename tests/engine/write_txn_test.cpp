// Write transactions and snapshots over one file: what a commit publishes,
// what a snapshot keeps seeing, how the failed flag and a failed sync end
// writing, and that every commit leaves a file whose pages all add up.
#include "txn/write_txn.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "btree/pager/pager_source.hpp"
#include "btree/walk.hpp"
#include "database.hpp"
#include "format/bytes.hpp"
#include "sanitizers.hpp"
#include "storage/fault_storage.hpp"
#include "support/borrowed_storage.hpp"
#include "support/commit_check.hpp"
#include "support/temp_dir.hpp"
#include "txn/catalog.hpp"
#include "txn/read_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

ByteView b(std::string_view s) { return bytes_of(s); }

struct MemoryDb {
  FaultStorage* storage = nullptr;
  std::shared_ptr<Instance> instance;
};

MemoryDb open_memory(std::vector<std::uint8_t> image = {}, OpenOptions options = {}) {
  if (image.empty()) image = *Database::new_first_page(options);
  auto storage = std::make_unique<FaultStorage>("/mem/t.db", std::move(image));
  MemoryDb db;
  db.storage = storage.get();
  auto instance = Database::open_existing(std::move(storage), options);
  EXPECT_TRUE(instance) << instance.error().to_string();
  db.instance = *instance;
  return db;
}

std::unique_ptr<WriteTxn> begin_write(const MemoryDb& db) {
  auto w = WriteTxn::begin(db.instance);
  EXPECT_TRUE(w) << w.error().to_string();
  return std::move(*w);
}

std::optional<std::string> read(TreeAccess& access, std::string_view tree, std::string_view key) {
  auto v = access.open_tree(b(tree), b(key));
  EXPECT_TRUE(v) << v.error().to_string();
  if (!v || !*v) return std::nullopt;
  return std::string((*v)->begin(), (*v)->end());
}

void expect_sound(const MemoryDb& db) {
  auto problems = testing::check_commit(db.instance->reader(), db.instance->published().record);
  for (auto& p : problems) ADD_FAILURE() << p;
}

TEST(WriteTxn, committed_puts_are_seen_by_later_snapshots_and_after_reopening) {
  auto db = open_memory();
  auto w = begin_write(db);
  ASSERT_TRUE(w->put(b("people"), b("ann"), b("1")));
  ASSERT_TRUE(w->put(b("people"), b("bob"), b("2")));
  ASSERT_TRUE(w->put(b("other"), b("x"), b("y")));
  EXPECT_EQ(read(*w, "people", "ann"), "1");
  ASSERT_TRUE(w->commit());
  expect_sound(db);

  auto r = ReadTxn::begin(db.instance);
  ASSERT_TRUE(r);
  EXPECT_EQ(read(*r, "people", "bob"), "2");
  EXPECT_EQ(*r->tree_len(b("people")), 2u);
  EXPECT_EQ(*r->tree_len(b("absent")), 0u);
  EXPECT_EQ(read(*r, "absent", "bob"), std::nullopt);

  auto image = db.storage->current_image();
  r = ReadTxn::begin(open_memory(image).instance);
  EXPECT_EQ(read(*r, "other", "x"), "y");
}

// The block of a transaction its thread freed is the next one's, which
// holds nothing of the last: neither its changes nor its end.
TEST(WriteTxn, the_next_transaction_on_a_thread_takes_the_last_ones_block_and_none_of_its_state) {
  auto db = open_memory();
  std::thread([&] {
    auto w = begin_write(db);
    ASSERT_TRUE(w->put(b("people"), b("ann"), b("1")));
    ASSERT_TRUE(w->commit());
    const WriteTxn* block = w.get();
    w.reset();
    w = begin_write(db);
    ASSERT_TRUE(w->put(b("people"), b("bob"), b("2")));
    const WriteTxn* aborted = w.get();
    w.reset();  // aborted
    // The sanitizer sees every block freed: none is kept.
    if (!kAddressSanitizer) {
      EXPECT_EQ(aborted, block);
      EXPECT_EQ(WriteTxn::spare_blocks(), 1u);
    }
    auto again = begin_write(db);
    if (!kAddressSanitizer) {
      EXPECT_EQ(again.get(), block);
    }
    EXPECT_EQ(WriteTxn::spare_blocks(), 0u);
    EXPECT_EQ(read(*again, "people", "ann"), "1");
    EXPECT_EQ(read(*again, "people", "bob"), std::nullopt);
    ASSERT_TRUE(again->put(b("people"), b("cat"), b("3")));
    ASSERT_TRUE(again->commit());
  }).join();
  auto r = ReadTxn::begin(db.instance);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r->tree_len(b("people")), 2u);
  expect_sound(db);
}

TEST(WriteTxn, snapshot_keeps_its_commit_while_the_writer_changes_the_tree) {
  auto db = open_memory();
  auto w = begin_write(db);
  for (int i = 0; i < 500; ++i)
    ASSERT_TRUE(w->put(b("t"), b("key" + std::to_string(i)), b(std::string(100, 'a'))));
  ASSERT_TRUE(w->commit());
  auto old = ReadTxn::begin(db.instance);
  ASSERT_TRUE(old);
  // Enough commits that the pages the snapshot reads would be reused if it
  // did not hold them.
  for (int round = 0; round < 8; ++round) {
    w = begin_write(db);
    for (int i = 0; i < 500; ++i)
      ASSERT_TRUE(w->put(b("t"), b("key" + std::to_string(i)), b(std::string(100, 'b' + round))));
    ASSERT_TRUE(w->commit());
    expect_sound(db);
  }
  for (int i = 0; i < 500; i += 37)
    EXPECT_EQ(read(*old, "t", "key" + std::to_string(i)), std::string(100, 'a'));
}

TEST(WriteTxn, released_pages_are_reused_so_the_file_stops_growing) {
  auto db = open_memory();
  std::uint64_t pages_after_warmup = 0;
  for (int round = 0; round < 30; ++round) {
    auto w = begin_write(db);
    for (int i = 0; i < 200; ++i)
      ASSERT_TRUE(w->put(b("t"), b("key" + std::to_string(i)), b(std::to_string(round))));
    ASSERT_TRUE(w->commit());
    if (round == 10) pages_after_warmup = db.instance->published().record.page_count;
  }
  expect_sound(db);
  EXPECT_LE(db.instance->published().record.page_count, pages_after_warmup + 4);
}

// The pages every commit rewrites, the root of each tree it writes and the
// roots of the catalog and the free-space trees, are set aside as one run:
// they go out in one write, and since the next commit replaces them all,
// they come back free together, a run for a later commit, so a stream of
// small commits keeps them side by side without growing the file.
TEST(WriteTxn, the_roots_a_commit_writes_lie_in_one_run) {
  for (int trees : {1, 2}) {
    auto db = open_memory();
    auto w = begin_write(db);
    // Two levels, so that each small commit below also writes a leaf, which
    // takes a free page elsewhere.
    for (int i = 0; i < 20000; ++i)
      for (int t = 0; t < trees; ++t)
        ASSERT_TRUE(w->put(b("t" + std::to_string(t)), b("k" + std::to_string(i)), b("v")));
    ASSERT_TRUE(w->commit());
    // How many commits found their roots side by side, and the page count
    // the first half of them reached, which the second half stays within.
    int together = 0;
    std::uint64_t first_half_pages = 0;
    for (int round = 0; round < 40; ++round) {
      w = begin_write(db);
      for (int t = 0; t < trees; ++t)
        ASSERT_TRUE(w->put(b("t" + std::to_string(t)),
                           b("k" + std::to_string(round * 7919 % 20000)), b("new")));
      ASSERT_TRUE(w->commit());
      const CommitRecord record = db.instance->published().record;
      std::vector<std::uint64_t> roots{record.catalog.page, record.free_tree.page,
                                       record.retained_tree.page};
      for (int t = 0; t < trees; ++t) {
        auto d = catalog::find(db.instance->reader(), TreeRoot::on_disk(record.catalog),
                               b("t" + std::to_string(t)));
        ASSERT_TRUE(d && *d);
        roots.push_back((*d)->root.page);
      }
      std::ranges::sort(roots);
      if (roots.back() - roots.front() == roots.size() - 1) ++together;
      if (round < 20)
        first_half_pages = std::max(first_half_pages, record.page_count);
      else
        EXPECT_LE(record.page_count, first_half_pages) << trees << " trees, commit " << round;
    }
    expect_sound(db);
    // Not every one: a free-space tree that needs a page more than was set
    // aside takes it elsewhere, and the first commit finds no free tree.
    EXPECT_GE(together, 20) << trees << " trees";
  }
}

// In a durable commit, a node below the root that most commits rewrite
// (here the branch under a root of few children, which a commit putting one
// key rewrites every few commits) joins the run set aside for the roots, so
// that it goes out in the same write; one that commits seldom rewrite (the
// leaf, or a branch among many) takes the lowest free page, which keeps the
// file compact. A deferred commit looks further ahead, since the pages that
// the commits up to the next sync replace all come back free at that sync:
// a branch among many joins its run too.
TEST(WriteTxn, the_nodes_commits_rewrite_often_go_in_the_roots_run) {
  struct Case {
    int keys;
    bool deferred;
    bool branch_in_run;
  };
  // Three levels: 6 000 keys make a root of a few branches; 40 000 keys one
  // of more than 16, each rewritten by fewer than one commit in 16.
  for (Case c : {Case{6000, false, true}, Case{40000, false, false}, Case{6000, true, true},
                 Case{40000, true, true}}) {
    auto db = open_memory();
    auto w = begin_write(db);
    for (int i = 0; i < c.keys; ++i)
      ASSERT_TRUE(w->put(b("t"), b("k" + std::to_string(i)), b(std::string(200, 'v'))));
    ASSERT_TRUE(w->commit());
    int in_run = 0;
    std::uint64_t first_half_pages = 0;
    for (int round = 0; round < 60; ++round) {
      w = begin_write(db);
      ASSERT_TRUE(
          w->put(b("t"), b("k" + std::to_string(round * 7919 % c.keys)), b(std::string(200, 'n'))));
      ASSERT_TRUE(c.deferred ? w->commit_deferred() : w->commit());
      const CommitRecord record = db.instance->published().record;
      PageReader& reader = db.instance->reader();
      auto d = catalog::find(reader, TreeRoot::on_disk(record.catalog), b("t"));
      ASSERT_TRUE(d && *d);
      auto root = reader.fetch_node((*d)->root, (*d)->tree_id, std::nullopt);
      ASSERT_TRUE(root) << root.error().to_string();
      ASSERT_EQ(root->level(), 2) << c.keys;
      EXPECT_EQ(root->child_count() <= 8, c.keys == 6000) << root->child_count();
      // The branch this commit rewrote.
      std::uint64_t branch = 0;
      for (std::size_t i = 0; i < root->child_count(); ++i)
        if (root->child_at(i).commit_id == record.txn_id) branch = root->child_at(i).page;
      ASSERT_NE(branch, 0u);
      std::vector<std::uint64_t> run{(*d)->root.page, record.catalog.page, branch};
      // A free-space tree left empty has no root.
      for (std::uint64_t page : {record.free_tree.page, record.retained_tree.page})
        if (page != 0) run.push_back(page);
      std::ranges::sort(run);
      if (run.back() - run.front() == run.size() - 1) ++in_run;
      // The runs held up by a branch not yet rewritten stay few: the file
      // stops growing (a free-space tree may take a node more). Deferred
      // commits free no page until one is made durable.
      if (c.deferred) continue;
      if (round < 30)
        first_half_pages = std::max(first_half_pages, record.page_count);
      else
        EXPECT_LE(record.page_count, first_half_pages + 2) << c.keys << " keys, commit " << round;
    }
    expect_sound(db);
    if (c.branch_in_run)
      EXPECT_GE(in_run, 40) << c.keys << " keys" << (c.deferred ? ", deferred" : "");
    else
      EXPECT_LE(in_run, 6) << c.keys << " keys" << (c.deferred ? ", deferred" : "");
  }
}

TEST(WriteTxn, deleting_everything_shrinks_the_file_back) {
  auto db = open_memory();
  auto w = begin_write(db);
  for (int i = 0; i < 2000; ++i)
    ASSERT_TRUE(w->put(b("t"), b("k" + std::to_string(i)), b(std::string(50, 'v'))));
  ASSERT_TRUE(w->commit());
  std::uint64_t big = db.instance->published().record.page_count;
  w = begin_write(db);
  ASSERT_TRUE(w->drop_tree(b("t")));
  ASSERT_TRUE(w->commit());
  // The dropped pages wait three commits for any older commit to leave the
  // record slots, then the free-space trees' own old pages a few more.
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(begin_write(db)->commit());
  expect_sound(db);
  std::uint64_t small = db.instance->published().record.page_count;
  EXPECT_LT(small, big / 4);
  EXPECT_EQ(*db.storage->len_or_error(), small * db.instance->page_size());
}

// A durable commit cuts the file to its page count unless what lies past it
// is a short tail (at most 64 pages, and a sixteenth of the count): the
// commits that grow the file again write into that without lengthening the
// file. Bytes past the count are left by a commit cut short or aborted.
TEST(WriteTxn, a_durable_commit_cuts_a_long_tail_past_its_pages_and_keeps_a_short_one) {
  struct Case {
    int keys;
    std::uint64_t tail_pages;
    bool cut;
  };
  // 40 000 keys take about 1 650 pages, 40 about 3.
  for (Case c :
       {Case{40000, 10, false}, Case{40000, 64, false}, Case{40000, 65, true}, Case{40, 1, true}}) {
    auto db = open_memory();
    const std::uint64_t page_size = db.instance->page_size();
    auto w = begin_write(db);
    for (int i = 0; i < c.keys; ++i)
      ASSERT_TRUE(w->put(b("t"), b("k" + std::to_string(i)), b(std::string(100, 'v'))));
    ASSERT_TRUE(w->commit());
    const std::uint64_t pages = db.instance->published().record.page_count;
    const std::uint64_t longer = (pages + c.tail_pages) * page_size;
    ASSERT_TRUE(db.storage->set_len(longer));
    ASSERT_TRUE(begin_write(db)->commit());
    ASSERT_EQ(db.instance->published().record.page_count, pages) << c.keys << " " << c.tail_pages;
    EXPECT_EQ(*db.storage->len_or_error(), c.cut ? pages * page_size : longer)
        << c.keys << " keys, " << c.tail_pages << " pages past them";
    if (c.cut) continue;
    // Growing into the tail leaves the length as it is.
    w = begin_write(db);
    for (int i = 0; i < 200; ++i)
      ASSERT_TRUE(w->put(b("more"), b("k" + std::to_string(i)), b(std::string(100, 'v'))));
    ASSERT_TRUE(w->commit());
    EXPECT_GT(db.instance->published().record.page_count, pages);
    EXPECT_EQ(*db.storage->len_or_error(), longer);
    expect_sound(db);
    auto reopened = open_memory(db.storage->current_image());
    auto r = ReadTxn::begin(reopened.instance);
    ASSERT_TRUE(r);
    EXPECT_EQ(read(*r, "more", "k199"), std::string(100, 'v'));
  }
}

// A new file has no free page: a commit's pages all go at its end, one
// after another, and so reach the file in one write per MiB of them (a
// commit gathers that much at most), before its record, sync and selector.
TEST(WriteTxn, a_commit_writes_its_consecutive_pages_together) {
  struct Case {
    int keys;
    std::size_t value_size;
  };
  // Small values in leaves; long ones in overflow runs, past one batch.
  for (Case c : {Case{600, 100}, Case{80, 20000}}) {
    auto db = open_memory();
    auto w = begin_write(db);
    for (int i = 0; i < c.keys; ++i)
      ASSERT_TRUE(w->put(b("t"), b("k" + std::to_string(i)), b(std::string(c.value_size, 'v'))));
    std::uint64_t before = db.storage->operation_count();
    ASSERT_TRUE(w->commit());
    std::uint64_t operations = db.storage->operation_count() - before;
    std::uint64_t pages = db.instance->published().record.page_count;
    std::uint64_t batches = pages * db.instance->page_size() / (std::uint64_t(1) << 20) + 1;
    EXPECT_GT(pages, 15u) << c.keys;
    // The run set aside for the roots (written last) and the leaves under
    // them (each the first page of its batch) leads the file's new pages, so
    // past one batch it goes out in two writes of its own.
    EXPECT_LE(operations, batches + (batches > 1 ? 5 : 3))
        << c.keys << " keys, " << pages << " pages";
    expect_sound(db);
    auto reopened = open_memory(db.storage->current_image());
    auto r = ReadTxn::begin(reopened.instance);
    ASSERT_TRUE(r);
    EXPECT_EQ(read(*r, "t", "k" + std::to_string(c.keys - 1)), std::string(c.value_size, 'v'));
  }
}

TEST(WriteTxn, a_commit_writes_every_page_right_past_what_the_cache_holds) {
  // The batch writes node pages from their cache entries; a cache of a few
  // pages lets most entries go before the batch goes out, and a leaf each
  // value of which is its own shows any page written with another's bytes.
  OpenOptions options;
  options.cache_size = 16 * 4096;
  auto db = open_memory({}, options);
  auto value = [](int i) { return std::to_string(i) + std::string(900, 'v'); };
  auto w = begin_write(db);
  for (int i = 0; i < 60; ++i) ASSERT_TRUE(w->put(b("t"), b("k" + std::to_string(i)), b(value(i))));
  ASSERT_TRUE(w->commit());
  auto reopened = open_memory(db.storage->current_image());
  expect_sound(reopened);
  auto r = ReadTxn::begin(reopened.instance);
  ASSERT_TRUE(r);
  for (int i = 0; i < 60; ++i) ASSERT_EQ(read(*r, "t", "k" + std::to_string(i)), value(i)) << i;
}

// Every node of the published commit's trees, as (page, stamp).
std::vector<std::pair<std::uint64_t, PageStamp>> published_nodes(const MemoryDb& db) {
  struct Collect final : btree::NodeVisitor {
    std::vector<std::pair<std::uint64_t, PageStamp>> nodes;
    std::vector<std::pair<std::uint64_t, ChildPointer>> trees;
    bool enter(const btree::WalkFrame&) override { return true; }
    void unreadable(const btree::WalkFrame& frame, const Error& e) override {
      ADD_FAILURE() << "page " << frame.pointer.page << ": " << e.to_string();
    }
    void visit(const btree::WalkFrame& frame, const NodeView& node) override {
      nodes.emplace_back(frame.pointer.page, frame.pointer.stamp);
      if (node.tree_id() != kCatalogTreeId || !node.is_leaf()) return;
      // A catalog entry's value: the tree id, then its root.
      for (std::size_t i = 0; i < node.count(); ++i) {
        const std::uint8_t* at = node.cell_at(i).value.data();
        trees.emplace_back(load_u64_le(at), ChildPointer::load(at + 8));
      }
    }
  } collect;
  const CommitRecord& r = db.instance->published().record;
  collect.trees = {{kFreeTreeId, r.free_tree}, {kRetainedTreeId, r.retained_tree}};
  btree::walk_tree({db.instance->reader(), kCatalogTreeId}, r.catalog, collect);
  for (auto& [tree_id, root] : collect.trees)
    btree::walk_tree({db.instance->reader(), tree_id}, root, collect);
  return collect.nodes;
}

TEST(WriteTxn, a_commit_leaves_no_image_of_the_nodes_it_replaced_in_the_cache) {
  auto db = open_memory();
  auto value = [](int i, int round) {
    return std::to_string(i * 7 + round) + std::string(90, 'v');
  };
  auto w = begin_write(db);
  for (int i = 0; i < 3000; ++i)
    ASSERT_TRUE(w->put(b("t"), b("k" + std::to_string(i)), b(value(i, 0))));
  ASSERT_TRUE(w->commit());
  const PageCache& cache = db.instance->reader().pager().cache();
  auto cached = [&](const std::pair<std::uint64_t, PageStamp>& node) {
    return cache.get(node.first, node.second, &parse_node_page) != nullptr;
  };
  int round = 0;
  for (bool deferred : {false, true}) {
    auto before = published_nodes(db);
    // Every leaf is read, so that the cache holds every node.
    auto snapshot = ReadTxn::begin(db.instance);
    ASSERT_TRUE(snapshot);
    for (int i = 0; i < 3000; i += 13)
      ASSERT_EQ(read(*snapshot, "t", "k" + std::to_string(i)), value(i, i % 997 ? 0 : round));
    auto w2 = begin_write(db);
    for (int i = 0; i < 3000; i += 997)
      ASSERT_TRUE(w2->put(b("t"), b("k" + std::to_string(i)), b(value(i, round + 1))));
    ASSERT_TRUE(deferred ? w2->commit_deferred() : w2->commit());
    auto after = published_nodes(db);
    auto holds = [](const auto& nodes, const auto& node) {
      return std::ranges::find(nodes, node) != nodes.end();
    };
    std::size_t replaced = 0;
    for (const auto& node : before) {
      if (holds(after, node)) continue;
      ++replaced;
      EXPECT_FALSE(cached(node)) << "page " << node.first << (deferred ? ", deferred" : "");
    }
    for (const auto& node : after)
      if (!holds(before, node)) {
        EXPECT_TRUE(cached(node)) << "page " << node.first;
      }
    // Four leaves and the root, the catalog's and the free-space trees'.
    EXPECT_GE(replaced, 8u);
    // The snapshot taken before still reads what it saw, from the file.
    for (int i = 0; i < 3000; i += 13)
      ASSERT_EQ(read(*snapshot, "t", "k" + std::to_string(i)), value(i, i % 997 ? 0 : round)) << i;
    for (int i = 0; i < 3000; i += 997) {
      auto r = ReadTxn::begin(db.instance);
      ASSERT_TRUE(r);
      ASSERT_EQ(read(*r, "t", "k" + std::to_string(i)), value(i, round + 1));
    }
    ++round;
  }
  expect_sound(db);
}

TEST(WriteTxn, a_node_loaded_to_change_costs_no_other_page_its_place_in_the_cache) {
  // The page of a node loaded to change is released at once, and its image
  // with it: read past a full cache, it must not evict another page first.
  OpenOptions options;
  options.cache_size = 32 * 4096;
  auto db = open_memory({}, options);
  auto key = [](int i) { return "k" + std::to_string(i); };
  auto w = begin_write(db);
  for (int i = 0; i < 3000; ++i) ASSERT_TRUE(w->put(b("a"), b(key(i)), b(std::string(90, 'a'))));
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(w->put(b("b"), b(key(i)), b(std::string(90, 'b'))));
  ASSERT_TRUE(w->commit());
  auto nodes = published_nodes(db);
  // Reads of tree `a` alone, of many more pages than the cache holds, fill
  // it and leave none of tree `b`'s nodes there.
  auto r = ReadTxn::begin(db.instance);
  ASSERT_TRUE(r);
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(read(*r, "a", key(i)), std::string(90, 'a'));
  const PageCache& cache = db.instance->reader().pager().cache();
  w = begin_write(db);
  ASSERT_EQ(*w->tree_len(b("b")), 200u);
  std::vector<std::pair<std::uint64_t, PageStamp>> held;
  for (const auto& node : nodes)
    if (cache.get(node.first, node.second, &parse_node_page)) held.push_back(node);
  ASSERT_GT(held.size(), 16u);
  // A value of the same size: the leaf changes in place, no neighbour is read.
  ASSERT_TRUE(w->put(b("b"), b(key(100)), b(std::string(90, 'c'))));
  for (const auto& node : held)
    EXPECT_TRUE(cache.get(node.first, node.second, &parse_node_page)) << "page " << node.first;
}

// Whether reading `key` of tree "a" in a new snapshot needs the file, after
// a read of `warm` there brought the catalog and the root into the cache.
bool needs_the_file(const MemoryDb& db, const std::string& warm, const std::string& key) {
  auto r = ReadTxn::begin(db.instance);
  EXPECT_TRUE(r);
  EXPECT_TRUE(read(*r, "a", warm));
  db.storage->fail_nth_read(1);
  auto v = r->open_tree(b("a"), b(key));
  db.storage->fail_nth_read(0);
  return !v;
}

TEST(WriteTxn, a_changed_leaf_the_cache_did_not_hold_goes_there_only_while_the_cache_has_room) {
  // Over a file larger than the cache, a leaf changed that the cache had not
  // kept would push out a page more likely read again.
  OpenOptions options;
  options.cache_size = 32 * 4096;
  auto db = open_memory({}, options);
  // In key order, so that the reads below go through the leaves last to first.
  auto key = [](int i) { return "k" + std::to_string(10000 + i); };
  auto change = [&](int i) {
    auto w = begin_write(db);
    ASSERT_TRUE(w->put(b("a"), b(key(i)), b(std::string(90, 'c'))));
    ASSERT_TRUE(w->commit());
  };
  {
    auto w = begin_write(db);
    for (int i = 0; i < 3000; ++i) ASSERT_TRUE(w->put(b("a"), b(key(i)), b(std::string(90, 'a'))));
    ASSERT_TRUE(w->commit());
  }
  // An empty cache has room for it.
  db.instance->reader().pager().cache().clear();
  change(0);
  EXPECT_FALSE(needs_the_file(db, key(1500), key(0)));
  // Reads of every leaf fill the cache, the last key's leaf read first and
  // long gone when the others are in.
  {
    auto r = ReadTxn::begin(db.instance);
    ASSERT_TRUE(r);
    for (int i = 2999; i >= 0; --i) ASSERT_TRUE(read(*r, "a", key(i)));
  }
  change(2999);
  EXPECT_TRUE(needs_the_file(db, key(1500), key(2999)));
  auto r = ReadTxn::begin(db.instance);
  ASSERT_TRUE(r);
  EXPECT_EQ(read(*r, "a", key(2999)), std::string(90, 'c'));
  expect_sound(db);
}

// Walks the nodes below `pointer` through the cache alone, each of which
// must be there with the bytes the file holds; the roots a catalog leaf
// names go into `trees`.
void expect_cached_as_written(const MemoryDb& db, const std::vector<std::uint8_t>& image,
                              const ChildPointer& pointer,
                              std::vector<std::pair<std::uint64_t, ChildPointer>>& trees) {
  const PageCache& cache = db.instance->reader().pager().cache();
  auto page = cache.get(pointer.page, pointer.stamp, &parse_node_page);
  ASSERT_TRUE(page) << "page " << pointer.page << " is not cached";
  const std::size_t page_size = db.instance->page_size();
  ASSERT_LE((pointer.page + 1) * page_size, image.size());
  ASSERT_TRUE(std::ranges::equal(page->bytes(),
                                 std::span(image).subspan(pointer.page * page_size, page_size)))
      << "page " << pointer.page << " is cached with other bytes than the file's";
  const NodeView& node = static_cast<const CachedNode&>(*page).view();
  if (node.is_leaf()) {
    if (node.tree_id() != kCatalogTreeId) return;
    for (std::size_t i = 0; i < node.count(); ++i) {
      const std::uint8_t* at = node.cell_at(i).value.data();
      trees.emplace_back(load_u64_le(at), ChildPointer::load(at + 8));
    }
    return;
  }
  for (std::size_t i = 0; i < node.child_count(); ++i)
    expect_cached_as_written(db, image, node.child_at(i), trees);
}

TEST(WriteTxn, the_cache_holds_every_node_a_commit_writes_as_the_file_holds_it) {
  // Written nodes go into the cache as their pages go out, one buffer for
  // both; a first commit writes every node of the file, a later one those
  // on the paths to its changes.
  auto db = open_memory();
  int round = 0;
  for (int step : {1, 211}) {
    auto w = begin_write(db);
    for (int i = 0; i < 3000; i += step)
      ASSERT_TRUE(w->put(b("t"), b("k" + std::to_string(i)), b(std::to_string(round) + "v")));
    ASSERT_TRUE(step == 1 ? w->commit() : w->commit_deferred());
    ++round;
    const CommitRecord& r = db.instance->published().record;
    std::vector<std::pair<std::uint64_t, ChildPointer>> trees = {
        {kCatalogTreeId, r.catalog},
        {kFreeTreeId, r.free_tree},
        {kRetainedTreeId, r.retained_tree}};
    auto image = db.storage->current_image();
    for (std::size_t t = 0; t < trees.size(); ++t) {
      if (trees[t].second.page == 0) continue;
      SCOPED_TRACE("tree " + std::to_string(trees[t].first));
      expect_cached_as_written(db, image, trees[t].second, trees);
      if (HasFatalFailure()) return;
    }
    // The catalog's, the user tree's and at least one free-space tree's.
    EXPECT_GE(trees.size(), 4u);
  }
}

TEST(WriteTxn, abort_publishes_nothing) {
  auto db = open_memory();
  {
    auto w = begin_write(db);
    ASSERT_TRUE(w->put(b("t"), b("k"), b("v")));
  }
  auto r = ReadTxn::begin(db.instance);
  EXPECT_EQ(read(*r, "t", "k"), std::nullopt);
  EXPECT_EQ(db.instance->published().record.txn_id, 1u);
}

TEST(WriteTxn, failed_operation_leaves_only_abort) {
  auto db = open_memory();
  auto w = begin_write(db);
  std::string long_key(958, 'k');
  auto put = w->put(b("t"), b(long_key), b("v"));
  ASSERT_FALSE(put);
  EXPECT_EQ(put.error().to_string(),
            "a key is at most 957 bytes long with this page size, not 958");
  EXPECT_TRUE(w->failed());
  auto c = w->commit();
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error().to_string(),
            "an operation in this write transaction failed, so it can only be aborted");
  EXPECT_EQ(db.instance->published().record.txn_id, 1u);
}

TEST(WriteTxn, a_refused_write_fails_the_transaction_except_the_typed_writes) {
  // The typed writes refuse a key or tree name too long without changing
  // anything; every other write leaves the transaction only to be aborted.
  std::string long_key(958, 'k');
  struct Case {
    const char* name;
    std::function<bool(WriteTxn&)> call;
    bool fails_transaction;
  };
  const Case cases[] = {
      {"put", [&](WriteTxn& w) { return bool(w.put(b("t"), b(long_key), b("v"))); }, true},
      {"del", [&](WriteTxn& w) { return bool(w.del(b("t"), b(long_key))); }, true},
      {"buffer_put", [&](WriteTxn& w) { return bool(w.buffer_put(b("t"), b(long_key), b("v"))); },
       true},
      {"buffer_delete", [&](WriteTxn& w) { return bool(w.buffer_delete(b("t"), b(long_key))); },
       true},
      {"drop_tree", [&](WriteTxn& w) { return bool(w.drop_tree(b(long_key))); }, true},
      {"put_in_tree",
       [&](WriteTxn& w) { return bool(w.put_in_tree(b("t"), b(long_key), b("v"), true)); }, false},
      {"delete_in_tree", [&](WriteTxn& w) { return bool(w.delete_in_tree(b(long_key), b("k"))); },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto db = open_memory();
    auto w = begin_write(db);
    ASSERT_TRUE(w->put(b("t"), b("k"), b("v")));
    EXPECT_FALSE(c.call(*w));
    EXPECT_EQ(w->failed(), c.fails_transaction);
    EXPECT_EQ(bool(w->commit()), !c.fails_transaction);
  }
}

// A typed write refused for its key or value makes no tree: not a new one,
// and not one dropped earlier in the transaction, which the commit would
// otherwise have published empty.
TEST(WriteTxn, a_refused_typed_write_makes_no_tree) {
  const std::string long_key(958, 'k');
  const std::string v = "v";
  // Refused by its length alone, before a byte of it is read.
  const ByteView value_too_large(reinterpret_cast<const std::uint8_t*>(v.data()),
                                 std::size_t{1} << 32);
  struct Case {
    const char* name;
    ByteView key;
    ByteView value;
  };
  for (const Case& c :
       {Case{"long_key", b(long_key), b(v)}, Case{"value_too_large", b("k"), value_too_large}}) {
    SCOPED_TRACE(c.name);
    auto db = open_memory();
    {
      auto w = begin_write(db);
      ASSERT_TRUE(w->put(b("dropped"), b("k"), b("v")));
      ASSERT_TRUE(w->commit());
    }
    auto w = begin_write(db);
    ASSERT_TRUE(w->drop_tree(b("dropped")));
    for (const char* tree : {"fresh", "dropped"}) {
      auto refused = w->put_in_tree(b(tree), c.key, c.value, true);
      ASSERT_FALSE(refused);
      EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidArgument);
      EXPECT_EQ(w->tree_entry(b(tree), false).value(), nullptr) << tree;
    }
    ASSERT_TRUE(w->commit());
    auto after = begin_write(db);
    for (const char* tree : {"fresh", "dropped"})
      EXPECT_EQ(after->tree_entry(b(tree), false).value(), nullptr) << tree;
  }
}

TEST(WriteTxn, visitor_refusal_does_not_fail_the_transaction) {
  auto db = open_memory();
  auto w = begin_write(db);
  ASSERT_TRUE(w->put(b("t"), b("k"), b("v")));
  auto refuse_fn = [](ByteView) -> Status { return fail(Error::duplicate_key("taken")); };
  ValueVisitor refuse = refuse_fn;
  auto r = w->put_in_tree(b("t"), b("k"), b("w"), true, &refuse);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::DuplicateKey);
  auto d = w->delete_in_tree(b("t"), b("k"), &refuse);
  ASSERT_FALSE(d);
  EXPECT_FALSE(w->failed());
  EXPECT_EQ(read(*w, "t", "k"), "v");
  ASSERT_TRUE(w->commit());
}

TEST(WriteTxn, put_in_tree_without_replace_keeps_the_stored_value) {
  auto db = open_memory();
  auto w = begin_write(db);
  EXPECT_TRUE(*w->put_in_tree(b("t"), b("k"), b("1"), false));
  EXPECT_FALSE(*w->put_in_tree(b("t"), b("k"), b("2"), false));
  EXPECT_EQ(read(*w, "t", "k"), "1");
  std::string old;
  auto keep_fn = [&](ByteView v) -> Status {
    old.assign(v.begin(), v.end());
    return ok();
  };
  ValueVisitor keep = keep_fn;
  EXPECT_FALSE(*w->put_in_tree(b("t"), b("k"), b("3"), true, &keep));
  EXPECT_EQ(old, "1");
  EXPECT_EQ(*w->tree_len(b("t")), 1u);
  EXPECT_TRUE(*w->del(b("t"), b("k")));
  EXPECT_FALSE(*w->del(b("t"), b("k")));
  EXPECT_EQ(*w->tree_len(b("t")), 0u);
}

TEST(WriteTxn, buffered_writes_are_seen_first_and_applied_at_commit) {
  auto db = open_memory();
  auto w = begin_write(db);
  ASSERT_TRUE(w->put(b("t"), b("a"), b("tree")));
  ASSERT_TRUE(w->buffer_put(b("t"), b("a"), b("buffered")));
  ASSERT_TRUE(w->buffer_put(b("t"), b("b"), b("new")));
  EXPECT_EQ(read(*w, "t", "a"), "buffered");
  auto walked = w->range(b("t"), KeyBound::unbounded(), KeyBound::unbounded(), false);
  ASSERT_FALSE(walked);
  EXPECT_EQ(walked.error().to_string(),
            "internal error, which is a bug in DeziRO: tree t was walked with values waiting to "
            "be stored");
  EXPECT_EQ(*w->tree_len(b("t")), 2u);
  ASSERT_TRUE(w->buffer_delete(b("t"), b("a")));
  ASSERT_TRUE(w->buffer_meta_put(b("next/1"), b("5")));
  ASSERT_TRUE(w->commit());
  auto r = ReadTxn::begin(db.instance);
  EXPECT_EQ(read(*r, "t", "a"), std::nullopt);
  EXPECT_EQ(read(*r, "t", "b"), "new");
  EXPECT_EQ(read(*r, std::string_view("\0meta", 5), "next/1"), "5");
}

TEST(WriteTxn, put_drops_a_buffered_write_of_the_same_key) {
  auto db = open_memory();
  auto w = begin_write(db);
  ASSERT_TRUE(w->buffer_put(b("t"), b("a"), b("buffered")));
  ASSERT_TRUE(w->put(b("t"), b("a"), b("direct")));
  ASSERT_TRUE(w->commit());
  auto r = ReadTxn::begin(db.instance);
  EXPECT_EQ(read(*r, "t", "a"), "direct");
}

TEST(WriteTxn, tree_name_limits) {
  auto db = open_memory();
  auto w = begin_write(db);
  auto e = w->get(b(""), b("k"), [](ByteView) { return ok(); });
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().to_string(),
            "a tree name is 1 to 957 bytes long and does not start with a NUL character");
  auto r = ReadTxn::begin(db.instance);
  EXPECT_FALSE(r->open_tree(b(std::string(958, 'n')), b("k")));
  EXPECT_TRUE(w->put(b(std::string(957, 'n')), b("k"), b("v")));
  w.reset();
  // A put right after one into a good tree still checks its own name.
  for (const std::string& bad : {std::string(), std::string(958, 'n')}) {
    auto bad_put = begin_write(db);
    ASSERT_TRUE(bad_put->put(b("t"), b("k"), b("v")));
    EXPECT_FALSE(bad_put->put(b(bad), b("k"), b("v")));
  }
}

TEST(WriteTxn, dropped_tree_is_gone_and_a_new_one_of_its_name_starts_empty) {
  auto db = open_memory();
  auto w = begin_write(db);
  ASSERT_TRUE(w->put(b("t"), b("a"), b("1")));
  ASSERT_TRUE(w->commit());
  w = begin_write(db);
  ASSERT_TRUE(w->drop_tree(b("t")));
  EXPECT_EQ(read(*w, "t", "a"), std::nullopt);
  ASSERT_TRUE(w->put(b("t"), b("b"), b("2")));
  ASSERT_TRUE(w->commit());
  expect_sound(db);
  auto r = ReadTxn::begin(db.instance);
  EXPECT_EQ(read(*r, "t", "a"), std::nullopt);
  EXPECT_EQ(read(*r, "t", "b"), "2");
  EXPECT_EQ(*r->tree_len(b("t")), 1u);
}

TEST(WriteTxn, a_tree_dropped_right_after_a_put_into_it_comes_back_empty) {
  auto db = open_memory();
  auto w = begin_write(db);
  ASSERT_TRUE(w->put(b("t"), b("a"), b("1")));
  ASSERT_TRUE(w->put(b("u"), b("a"), b("1")));
  ASSERT_TRUE(w->put(b("t"), b("b"), b("2")));
  ASSERT_TRUE(w->drop_tree(b("t")));
  ASSERT_TRUE(w->put(b("t"), b("c"), b("3")));
  ASSERT_TRUE(w->commit());
  expect_sound(db);
  auto r = ReadTxn::begin(db.instance);
  EXPECT_EQ(read(*r, "t", "a"), std::nullopt);
  EXPECT_EQ(read(*r, "t", "c"), "3");
  EXPECT_EQ(*r->tree_len(b("t")), 1u);
  EXPECT_EQ(read(*r, "u", "a"), "1");
}

TEST(WriteTxn, failed_sync_fails_the_instance_for_good) {
  auto db = open_memory();
  auto w = begin_write(db);
  ASSERT_TRUE(w->put(b("t"), b("a"), b("1")));
  db.storage->fail_nth_sync(1);
  auto c = w->commit();
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error().kind(), ErrorKind::SyncFailed);
  EXPECT_TRUE(db.instance->failed());
  auto again = WriteTxn::begin(db.instance);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().to_string().rfind("a sync of `/mem/t.db` failed, so the last commit's "
                                            "outcome is unknown; open the database again",
                                            0),
            0u);
  // Snapshots still read the last published commit.
  auto r = ReadTxn::begin(db.instance);
  ASSERT_TRUE(r);
  EXPECT_EQ(read(*r, "t", "a"), std::nullopt);
}

TEST(WriteTxn, failed_page_write_leaves_the_published_commit_and_the_instance_usable) {
  auto db = open_memory();
  auto w = begin_write(db);
  ASSERT_TRUE(w->put(b("t"), b("a"), b("1")));
  db.storage->fail_nth_write(1);
  auto c = w->commit();
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error().kind(), ErrorKind::Io);
  EXPECT_FALSE(db.instance->failed());
  w = begin_write(db);
  ASSERT_TRUE(w->put(b("t"), b("a"), b("2")));
  ASSERT_TRUE(w->commit());
  expect_sound(db);
}

TEST(WriteTxn, second_writer_waits_then_is_busy) {
  OpenOptions options;
  options.busy_timeout = std::chrono::milliseconds(20);
  auto db = open_memory({}, options);
  auto w = begin_write(db);
  auto second = WriteTxn::begin(db.instance);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().kind(), ErrorKind::Busy);
  w->abort();
  EXPECT_TRUE(WriteTxn::begin(db.instance));
}

TEST(WriteTxn, long_values_round_trip_through_overflow_runs) {
  auto db = open_memory();
  auto w = begin_write(db);
  std::string big(100000, 'x');
  for (std::size_t i = 0; i < big.size(); i += 7) big[i] = char('a' + i % 26);
  ASSERT_TRUE(w->put(b("t"), b("big"), b(big)));
  ASSERT_TRUE(w->commit());
  expect_sound(db);
  auto r = ReadTxn::begin(db.instance);
  EXPECT_EQ(read(*r, "t", "big"), big);
  w = begin_write(db);
  ASSERT_TRUE(w->del(b("t"), b("big")));
  ASSERT_TRUE(w->commit());
  expect_sound(db);
}

TEST(Catalog, lists_tree_names_in_order_and_refuses_a_name_that_is_not_utf8) {
  auto db = open_memory();
  auto w = begin_write(db);
  for (std::string name :
       {std::string("b"), std::string("a"), std::string("\0meta", 5), std::string("c")})
    ASSERT_TRUE(w->put(b(name), b("k"), b("v")));
  ASSERT_TRUE(w->put(b("\xff\xfe"), b("k"), b("v")));
  ASSERT_TRUE(w->commit());
  auto r = ReadTxn::begin(db.instance);
  auto cursor = RangeCursor::open(ReadContext{r->source(), kCatalogTreeId}, r->catalog_root(),
                                  KeyBound::unbounded(), KeyBound::unbounded(), false);
  ASSERT_TRUE(cursor && *cursor);
  std::vector<std::string> names;
  for (;;) {
    auto name = catalog::list_tree_names(**cursor);
    if (!name) {
      EXPECT_EQ(name.error().to_string(),
                "`/mem/t.db` is damaged: the catalog: a tree name is not UTF-8");
      break;
    }
    if (!*name) break;
    names.push_back(**name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{std::string("\0meta", 5), "a", "b", "c"}));
}

TEST(Instance, release_handle_makes_a_deferred_commit_durable) {
  auto db = open_memory();
  auto w = begin_write(db);
  ASSERT_TRUE(w->put(b("t"), b("k"), b("v")));
  ASSERT_TRUE(w->commit_deferred());
  w.reset();
  FaultStorage* storage = db.storage;
  auto synced_before = storage->synced_image();
  auto keep_alive = db.instance;
  ASSERT_TRUE(Instance::release_handle(std::move(db.instance)));
  EXPECT_FALSE(keep_alive->published().deferred);
  EXPECT_NE(storage->synced_image(), synced_before);
  ASSERT_TRUE(keep_alive->read_commit_state());
  EXPECT_EQ(keep_alive->published().record.txn_id, 2u);
}

TEST(Instance, sync_makes_a_deferred_commit_durable_beside_this_process_writer) {
  OpenOptions options;
  options.busy_timeout = std::chrono::milliseconds(200);
  auto db = open_memory({}, options);
  auto w = begin_write(db);
  ASSERT_TRUE(w->put(b("t"), b("k"), b("v")));
  ASSERT_TRUE(w->commit_deferred());
  // The open writer neither holds the sync up nor is disturbed by it.
  w = begin_write(db);
  ASSERT_TRUE(w->put(b("t"), b("k2"), b("v2")));
  auto synced = db.instance->sync();
  ASSERT_TRUE(synced) << synced.error().to_string();
  EXPECT_FALSE(db.instance->published().deferred);
  auto disk = db.storage->synced_image();
  auto selector = header::decode_selector(disk[kSelectorOffset]);
  ASSERT_TRUE(selector);
  EXPECT_EQ(selector->slot, db.instance->published().slot);
  ASSERT_TRUE(w->commit());
  auto r = ReadTxn::begin(db.instance);
  EXPECT_EQ(read(*r, "t", "k"), "v");
  EXPECT_EQ(read(*r, "t", "k2"), "v2");
  expect_sound(db);
}

// Counts the questions about the file's length that reach a storage.
class LengthCounting final : public testing::BorrowedStorage {
 public:
  using BorrowedStorage::BorrowedStorage;
  Result<std::uint64_t> len_or_error() override {
    ++*asked_;
    return BorrowedStorage::len_or_error();
  }
  std::shared_ptr<int> asked() const { return asked_; }

 private:
  std::shared_ptr<int> asked_ = std::make_shared<int>(0);
};

// A writer and a snapshot of a file other processes can open read its
// head afresh; only its bytes matter there, never the file's length.
TEST(Instance, head_reads_of_writers_and_snapshots_leave_the_length_alone) {
  testing::TempDir dir;
  FaultStorage disk("/mem/t.db", *Database::new_first_page({}));
  auto counting = std::make_unique<LengthCounting>(disk);
  auto asked = counting->asked();
  auto instance = Database::open_existing(std::move(counting), {}, true);
  ASSERT_TRUE(instance);
  int fd = ::open(dir.file("locks").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  (*instance)->adopt_file_lock(std::make_unique<FileLock>(fd, dir.file("locks")));
  *asked = 0;
  auto w = WriteTxn::begin(*instance);
  ASSERT_TRUE(w);
  ASSERT_TRUE((*w)->put(b("t"), b("k"), b("v")));
  ASSERT_TRUE((*w)->commit_deferred());
  auto r = ReadTxn::begin(*instance);
  ASSERT_TRUE(r);
  EXPECT_EQ(read(*r, "t", "k"), "v");
  EXPECT_EQ(*asked, 0);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
