// A write transaction larger than its memory budget (the cache size)
// writes leaves into their pages before the commit. Whatever it wrote early
// must be read back and changed again as if it had stayed in memory, leave
// every page a snapshot sees alone, publish nothing until the commit, and
// leave a file whose pages all add up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "btree/cursor.hpp"
#include "database.hpp"
#include "storage/fault_storage.hpp"
#include "support/commit_check.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using Trees = std::map<std::string, std::map<std::string, std::string>>;

ByteView b(const std::string& s) { return bytes_of(s); }

constexpr std::uint64_t kCacheSize = 128 * 1024;  // the budget too

struct Db {
  FaultStorage* storage = nullptr;
  std::shared_ptr<Instance> instance;
};

Db open_with(const OpenOptions& options) {
  auto storage = std::make_unique<FaultStorage>("/mem/big.db", *Database::new_first_page(options));
  Db db;
  db.storage = storage.get();
  db.instance = Database::open_existing(std::move(storage), options).value();
  return db;
}

Db open_small_cache() {
  OpenOptions options;
  options.cache_size = kCacheSize;
  return open_with(options);
}

Trees published_trees(const Db& db) {
  auto content = testing::read_all_trees(db.instance->reader(), db.instance->published().record);
  EXPECT_TRUE(content) << content.error().to_string();
  return content.value_or(Trees{});
}

// Every entry of `trees` as the snapshot reads it.
void expect_snapshot_reads(ReadTxn& snapshot, const Trees& trees) {
  for (const auto& [tree, entries] : trees)
    for (const auto& [key, value] : entries) {
      auto got = snapshot.open_tree(b(tree), b(key));
      ASSERT_TRUE(got && *got) << tree << "/" << key;
      ASSERT_EQ(std::string((*got)->begin(), (*got)->end()), value) << tree << "/" << key;
    }
}

// Walks the tree inside the transaction in either direction, every entry
// read through the cursor's entry walk: leaves written early under branches
// still in memory are reached and read back like the rest.
void expect_walks(WriteTxn& w, const std::string& tree,
                  const std::map<std::string, std::string>& entries) {
  for (bool reverse : {false, true}) {
    auto opened = w.range(b(tree), KeyBound::unbounded(), KeyBound::unbounded(), reverse);
    ASSERT_TRUE(opened && *opened);
    std::vector<std::pair<std::string, std::string>> walked;
    ByteView key;
    ByteView value;
    while (true) {
      auto more = (*opened)->next(key, value);
      ASSERT_TRUE(more) << more.error().to_string();
      if (!*more) break;
      walked.emplace_back(to_string(key), to_string(value));
    }
    std::vector<std::pair<std::string, std::string>> expected(entries.begin(), entries.end());
    if (reverse) std::reverse(expected.begin(), expected.end());
    EXPECT_TRUE(walked == expected) << "reverse " << reverse;
  }
}

void expect_sound(const Db& db) {
  for (const auto& problem :
       testing::check_commit(db.instance->reader(), db.instance->published().record))
    ADD_FAILURE() << problem;
}

// Random puts (some values long enough for overflow runs), overwrites and
// deletes over two trees, mirrored in `model`; every 500th change reads
// back a key changed earlier.
void change(WriteTxn& w, Trees& model, std::mt19937_64& rng, int count) {
  const std::string trees[] = {"big", "small"};
  for (int i = 0; i < count; ++i) {
    const std::string& tree = trees[rng() % 8 == 0 ? 1 : 0];
    std::string key = "key" + std::to_string(rng() % 30000);
    if (rng() % 5 == 0) {
      ASSERT_TRUE(w.del(b(tree), b(key)));
      model[tree].erase(key);
    } else {
      std::size_t len = rng() % 40 == 0 ? 3000 + rng() % 6000 : 60 + rng() % 80;
      std::string value(len, char('a' + rng() % 26));
      ASSERT_TRUE(w.put(b(tree), b(key), b(value)));
      model[tree][key] = value;
    }
    if (i % 500 == 499) {
      auto& entries = model[tree];
      if (entries.empty()) continue;
      auto it = entries.lower_bound("key" + std::to_string(rng() % 30000));
      if (it == entries.end()) it = entries.begin();
      auto got = w.open_tree(b(tree), b(it->first));
      ASSERT_TRUE(got && *got) << it->first;
      EXPECT_EQ(std::string((*got)->begin(), (*got)->end()), it->second) << it->first;
    }
  }
}

// A commit of `count` changes.
void commit_changes(const Db& db, Trees& model, std::mt19937_64& rng, int count) {
  auto w = WriteTxn::begin(db.instance).value();
  change(*w, model, rng, count);
  ASSERT_TRUE(w->commit());
}

TEST(WriteMemory, a_transaction_past_its_budget_writes_leaves_early_and_commits_them_whole) {
  Db db = open_small_cache();
  std::mt19937_64 rng(7);
  Trees model;
  ASSERT_NO_FATAL_FAILURE(commit_changes(db, model, rng, 3000));
  const Trees first = model;
  ASSERT_EQ(published_trees(db), first);
  auto snapshot = ReadTxn::begin(db.instance).value();
  const std::uint64_t published_length = db.storage->len_or_error().value();

  auto w = WriteTxn::begin(db.instance).value();
  change(*w, model, rng, 40000);
  // Leaves went to their pages before the commit, and what the
  // transaction holds in memory stayed near its budget.
  EXPECT_GT(db.storage->len_or_error().value(), published_length);
  TreeEntry* big = w->tree_entry(b("big"), false).value();
  ASSERT_NE(big, nullptr);
  EXPECT_LT(btree::memory_estimate(big->root), 2 * kCacheSize);
  EXPECT_EQ(published_trees(db), first);  // nothing published yet
  ASSERT_NO_FATAL_FAILURE(expect_snapshot_reads(snapshot, first));
  ASSERT_NO_FATAL_FAILURE(expect_walks(*w, "big", model["big"]));
  ASSERT_TRUE(w->commit());
  w.reset();

  EXPECT_EQ(published_trees(db), model);
  expect_sound(db);
  // The snapshot taken before still reads its commit whole.
  expect_snapshot_reads(snapshot, first);
}

TEST(WriteMemory, an_aborted_transaction_that_wrote_leaves_early_publishes_nothing) {
  Db db = open_small_cache();
  std::mt19937_64 rng(11);
  Trees model;
  ASSERT_NO_FATAL_FAILURE(commit_changes(db, model, rng, 2000));
  const Trees committed = model;
  const std::uint64_t published_length = db.storage->len_or_error().value();
  {
    Trees discarded = model;
    auto w = WriteTxn::begin(db.instance).value();
    change(*w, discarded, rng, 30000);
    EXPECT_GT(db.storage->len_or_error().value(), published_length);
    w->abort();
  }
  EXPECT_EQ(published_trees(db), committed);
  expect_sound(db);

  // The file reopened from what was synced holds the commit, and takes the
  // next one soundly.
  auto reopened = Database::open_existing(
      std::make_unique<FaultStorage>("/mem/big.db", db.storage->synced_image()), OpenOptions{});
  ASSERT_TRUE(reopened) << reopened.error().to_string();
  db.instance = *reopened;
  EXPECT_EQ(published_trees(db), committed);
  ASSERT_NO_FATAL_FAILURE(commit_changes(db, model, rng, 2000));
  EXPECT_EQ(published_trees(db), model);
  expect_sound(db);
}

// Within its budget, a sorted load writes the leaves it filled in runs as
// it goes (no later append touches them); keys changed among them after are
// read back and written again. None of it is published, or survives a power
// loss, before the commit.
TEST(WriteMemory, a_sorted_load_writes_the_leaves_it_filled_before_the_commit) {
  Db db = open_with(OpenOptions{});
  std::mt19937_64 rng(5);
  Trees model;
  ASSERT_NO_FATAL_FAILURE(commit_changes(db, model, rng, 300));
  const Trees first = model;
  auto snapshot = ReadTxn::begin(db.instance).value();
  const std::uint64_t published_length = db.storage->len_or_error().value();

  auto w = WriteTxn::begin(db.instance).value();
  auto load = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      char key[16];
      std::snprintf(key, sizeof key, "load%08d", i);
      std::string value(100 + i % 7, char('a' + i % 26));
      ASSERT_TRUE(w->put(b("big"), b(key), b(value)));
      model["big"][key] = value;
    }
  };
  ASSERT_NO_FATAL_FAILURE(load(0, 12000));
  TreeEntry* big = w->tree_entry(b("big"), false).value();
  ASSERT_NE(big, nullptr);
  // The filled leaves went to their pages: what the tree holds in memory
  // is a small part of the 1.5 MB loaded.
  EXPECT_GT(db.storage->len_or_error().value(), published_length);
  EXPECT_LT(btree::memory_estimate(big->root), 1u << 20);
  // Keys among the leaves written are changed and gone again; the load
  // goes on past them.
  for (int i = 0; i < 300; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "load%08d", int(rng() % 12000));
    if (i % 3 == 0) {
      ASSERT_TRUE(w->del(b("big"), b(key)));
      model["big"].erase(key);
    } else {
      ASSERT_TRUE(w->put(b("big"), b(key), b("changed")));
      model["big"][key] = "changed";
    }
  }
  ASSERT_NO_FATAL_FAILURE(load(12000, 16000));
  EXPECT_EQ(published_trees(db), first);
  ASSERT_NO_FATAL_FAILURE(expect_snapshot_reads(snapshot, first));

  // A power loss now leaves the last commit whole.
  {
    auto lost = Database::open_existing(
        std::make_unique<FaultStorage>("/mem/big.db", db.storage->synced_image()), OpenOptions{});
    ASSERT_TRUE(lost) << lost.error().to_string();
    Db reopened{nullptr, *lost};
    EXPECT_EQ(published_trees(reopened), first);
    expect_sound(reopened);
  }

  ASSERT_TRUE(w->commit());
  w.reset();
  EXPECT_EQ(published_trees(db), model);
  expect_sound(db);
  expect_snapshot_reads(snapshot, first);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
