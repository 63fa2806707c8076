// Compaction in place: after most entries are deleted the file shrinks,
// every commit it leaves checks sound and holds exactly what it held; it
// never ends longer than it began, its own commits' pages counted; a
// snapshot beside it keeps reading its own commit; a process killed in the
// middle leaves a file that opens and checks; a tree whose pages are
// reachable twice is refused instead of freeing a page twice.
#include "tools/compact.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <thread>

#include "database.hpp"
#include "support/child_process.hpp"
#include "support/commit_check.hpp"
#include "support/temp_dir.hpp"
#include "tools/check.hpp"
#include "tools/repack.hpp"
#include "txn/read_txn.hpp"
#include "txn/relocate.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using Model = std::map<std::string, std::map<std::string, std::string>>;

ByteView b(const std::string& s) { return bytes_of(s); }

std::string value_for(int i) {
  // Every 40th value goes into an overflow run.
  return i % 40 == 0 ? std::string(std::size_t(5000 + i % 3000), char('a' + i % 26))
                     : "value " + std::to_string(i) + std::string(std::size_t(i % 90), 'v');
}

std::shared_ptr<Instance> open_file(const std::string& path, OpenOptions options = {}) {
  auto opened = Database::open(path, options);
  EXPECT_TRUE(opened) << opened.error().to_string();
  return opened ? opened->instance : nullptr;
}

// 20 000 entries in two trees, then 90 % of them deleted; returns the model.
// `key_pad` lengthens every key, so that branches hold few children.
Model fill_and_thin(const std::shared_ptr<Instance>& db, std::size_t key_pad = 0) {
  Model model;
  auto w = *WriteTxn::begin(db);
  for (int i = 0; i < 20000; ++i) {
    std::string tree = i % 4 == 0 ? "small" : "objects";
    std::string key = "k" + std::to_string(i * 7919 % 20000) + std::string(key_pad, 'p');
    EXPECT_TRUE(w->put(b(tree), b(key), b(value_for(i))));
    model[tree][key] = value_for(i);
  }
  EXPECT_TRUE(w->commit());
  std::mt19937 random(7);
  w = *WriteTxn::begin(db);
  for (auto& [tree, entries] : model) {
    for (auto it = entries.begin(); it != entries.end();) {
      if (random() % 10 == 0) {
        ++it;
        continue;
      }
      EXPECT_TRUE(*w->del(b(tree), b(it->first)));
      it = entries.erase(it);
    }
  }
  EXPECT_TRUE(w->commit());
  return model;
}

void expect_sound_and_equal(const std::shared_ptr<Instance>& db, const Model& model) {
  auto record = db->published().record;
  auto report = tools::check_commit(db);
  ASSERT_TRUE(report) << report.error().to_string();
  for (auto& problem : report->problems) ADD_FAILURE() << problem.message;
  auto all = testing::read_all_trees(db->reader(), record);
  ASSERT_TRUE(all) << all.error().to_string();
  EXPECT_TRUE(*all == model);
}

std::uint64_t file_size(const std::string& path) { return std::filesystem::file_size(path); }

struct FileKind {
  const char* name;
  std::uint32_t page_size;
  bool upgrade_format;  // false: format version 5, fixed-layout leaves
  std::size_t key_pad = 0;
};

class CompactFile : public ::testing::TestWithParam<FileKind> {};

TEST_P(CompactFile, mass_delete_then_compact_shrinks_the_file_and_keeps_every_entry) {
  testing::TempDir dir;
  OpenOptions options;
  options.page_size = GetParam().page_size;
  options.upgrade_format = GetParam().upgrade_format;
  auto db = open_file(dir.file("c.db"), options);
  Model model = fill_and_thin(db, GetParam().key_pad);
  std::uint32_t format = db->format_version();

  auto figures = repack::compact(db);
  ASSERT_TRUE(figures) << figures.error().to_string();
  EXPECT_EQ(figures->bytes_after, file_size(dir.file("c.db")));
  EXPECT_LT(figures->bytes_after * 3, figures->bytes_before);
  // No free tail is kept past the last page, however short.
  EXPECT_EQ(figures->bytes_after, db->published().record.page_count * db->page_size());
  EXPECT_EQ(db->format_version(), format);
  expect_sound_and_equal(db, model);

  // A compact file has nothing left to do: nothing is committed.
  const std::uint64_t commit = db->published().record.txn_id;
  auto again = repack::compact(db);
  ASSERT_TRUE(again) << again.error().to_string();
  EXPECT_EQ(again->pages_moved, 0u);
  EXPECT_EQ(again->bytes_after, figures->bytes_after);
  EXPECT_EQ(db->published().record.txn_id, commit);
  db.reset();
  expect_sound_and_equal(open_file(dir.file("c.db")), model);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CompactFile,
                         ::testing::Values(FileKind{"format6", 4096, true},
                                           FileKind{"format5", 4096, false},
                                           FileKind{"pages8k", 8192, true},
                                           // Keys near the longest: branches of
                                           // about four children, many groups.
                                           FileKind{"long_keys", 4096, true, 900}),
                         [](const auto& info) { return std::string(info.param.name); });

// One commit of records (a value in an overflow run each) and an index of
// random keys beside them: the file has no free page, and the index's
// half-filled leaves are worth rebuilding.
Model records_with_a_random_index(const std::shared_ptr<Instance>& db) {
  Model model;
  std::mt19937 random(34);
  auto w = *WriteTxn::begin(db);
  for (int i = 0; i < 2000; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "%08d", i);
    std::string value(6000, char('a' + i % 26));
    char index_key[32];
    std::snprintf(index_key, sizeof index_key, "%08u%08d", unsigned(random() % 100000000), i);
    EXPECT_TRUE(w->put(b("records"), b(key), b(value)));
    EXPECT_TRUE(w->put(b("index"), b(index_key), b(key)));
    model["records"][key] = value;
    model["index"][index_key] = key;
  }
  EXPECT_TRUE(w->commit());
  return model;
}

// 3000 short values, all but every 40th then deleted.
Model mostly_deleted(const std::shared_ptr<Instance>& db) {
  Model model;
  auto w = *WriteTxn::begin(db);
  for (int i = 0; i < 3000; ++i) {
    std::string key = "k" + std::to_string(100000 + i);
    EXPECT_TRUE(w->put(b("objects"), b(key), b(std::string(300, char('a' + i % 26)))));
    if (i % 40 == 0) model["objects"][key] = std::string(300, char('a' + i % 26));
  }
  EXPECT_TRUE(w->commit());
  w = *WriteTxn::begin(db);
  for (int i = 0; i < 3000; ++i)
    if (i % 40 != 0) {
      EXPECT_TRUE(*w->del(b("objects"), b("k" + std::to_string(100000 + i))));
    }
  EXPECT_TRUE(w->commit());
  return model;
}

struct Workload {
  const char* name;
  Model (*fill)(const std::shared_ptr<Instance>&);
};

class CompactLength : public ::testing::TestWithParam<Workload> {};

// Compaction never ends with a longer file than it began with, and a second
// compaction commits nothing: no page moves and the length stays.
TEST_P(CompactLength, never_grows_and_a_second_compaction_changes_nothing) {
  testing::TempDir dir;
  auto db = open_file(dir.file("c.db"));
  Model model = GetParam().fill(db);
  auto first = repack::compact(db);
  ASSERT_TRUE(first) << first.error().to_string();
  EXPECT_LE(first->bytes_after, first->bytes_before);
  EXPECT_EQ(first->bytes_after, file_size(dir.file("c.db")));
  expect_sound_and_equal(db, model);
  for (int round = 0; round < 3; ++round) {
    const std::uint64_t commit = db->published().record.txn_id;
    auto again = repack::compact(db);
    ASSERT_TRUE(again) << again.error().to_string();
    EXPECT_EQ(again->pages_moved, 0u) << round;
    EXPECT_EQ(again->bytes_after, first->bytes_after) << round;
    EXPECT_EQ(again->bytes_before, first->bytes_after) << round;
    EXPECT_EQ(db->published().record.txn_id, commit) << round;
  }
  expect_sound_and_equal(db, model);
}

INSTANTIATE_TEST_SUITE_P(Workloads, CompactLength,
                         ::testing::Values(Workload{"no_free_page", records_with_a_random_index},
                                           Workload{"mostly_deleted", mostly_deleted}),
                         [](const auto& info) { return std::string(info.param.name); });

// Empty commits that keep their pages low, as compaction's own are.
void empty_commits(const std::shared_ptr<Instance>& db, int count) {
  for (int i = 0; i < count; ++i) {
    auto w = *WriteTxn::begin(db);
    w->keep_pages_low();
    ASSERT_TRUE(w->commit());
  }
}

// Cuts the short free tail the last durable commit kept, as compaction's
// last step does: the file ends at its page count.
void cut_tail(const std::shared_ptr<Instance>& db) {
  auto w = WriteTxn::begin(db);
  ASSERT_TRUE(w) << w.error().to_string();
  (*w)->cut_free_tail();
}

std::string padded(int i) {
  char key[16];
  std::snprintf(key, sizeof key, "%08d", i);
  return key;
}

// A tree worth rebuilding (an index of random keys, its leaves half
// filled) beside a large tree, and free pages only just enough for the
// rebuilt tree's own pages: deleting one overflow value at a time until
// they are. Its commit needs more than those (the catalog, the free and
// retained trees), and took them past the end of the file.
Model rebuild_needs_every_free_page(const std::shared_ptr<Instance>& db) {
  Model model;
  std::mt19937 random(5);
  auto w = *WriteTxn::begin(db);
  for (int i = 0; i < 3000; ++i) {
    EXPECT_TRUE(w->put(b("bulk"), b(padded(i)), b(std::string(1000, 'b'))));
    model["bulk"][padded(i)] = std::string(1000, 'b');
  }
  for (int i = 0; i < 60; ++i) {
    EXPECT_TRUE(w->put(b("pad"), b(padded(i)), b(std::string(5000, 'p'))));
    model["pad"][padded(i)] = std::string(5000, 'p');
  }
  EXPECT_TRUE(w->commit());
  w = *WriteTxn::begin(db);
  for (int i = 0; i < 2000; ++i) {
    std::string key = padded(int(random() % 100000000));
    EXPECT_TRUE(w->put(b("index"), b(key), b(std::string(60, 'i'))));
    model["index"][key] = std::string(60, 'i');
  }
  EXPECT_TRUE(w->commit());
  for (int i = 0; i < 60; ++i) {
    w = *WriteTxn::begin(db);
    TreeEntry* index = *w->tree_entry(b("index"), false);
    auto measure =
        repack::measure_tree(w->source(), index->tree_id, index->root.disk(), w->leaf_layout());
    EXPECT_TRUE(measure && repack::worth_rebuilding(*measure));
    if (!measure || repack::free_pages(*w) >= repack::pages_needed(*measure)) break;
    EXPECT_TRUE(*w->del(b("pad"), b(padded(i))));
    model["pad"].erase(padded(i));
    EXPECT_TRUE(w->commit());
    empty_commits(db, 3);
  }
  w->abort();
  cut_tail(db);
  return model;
}

// Trees of a few leaves each at the end of the file and a dropped tree's
// free pages before them, so that the relocation pass uses every free page
// but one or two below its limit; a snapshot taken then keeps every page
// the pass moves away from. The pass's commit took a page past the end for
// the free and retained trees.
Model relocation_needs_every_free_page(const std::shared_ptr<Instance>& db) {
  Model model;
  auto w = *WriteTxn::begin(db);
  for (int i = 0; i < 29; ++i)
    EXPECT_TRUE(w->put(b("dropped"), b(padded(i)), b(std::string(1000, 'd'))));
  EXPECT_TRUE(w->commit());
  w = *WriteTxn::begin(db);
  for (int t = 0; t < 4; ++t) {
    const std::string tree = "t" + std::to_string(t);
    for (int i = 0; i < 75; ++i) {
      EXPECT_TRUE(w->put(b(tree), b(padded(i)), b(std::string(300, 'v'))));
      model[tree][padded(i)] = std::string(300, 'v');
    }
  }
  EXPECT_TRUE(w->commit());
  w = *WriteTxn::begin(db);
  EXPECT_TRUE(w->drop_tree(b("dropped")));
  EXPECT_TRUE(w->commit());
  empty_commits(db, 5);
  cut_tail(db);
  return model;
}

// The last commit deferred, not yet synced.
Model deferred_commit_pending(const std::shared_ptr<Instance>& db) {
  Model model = mostly_deleted(db);
  auto w = *WriteTxn::begin(db);
  EXPECT_TRUE(w->put(b("objects"), b("deferred"), b("v")));
  model["objects"]["deferred"] = "v";
  EXPECT_TRUE(w->commit_deferred());
  return model;
}

// Compacted already: nothing left to do.
Model compacted_already(const std::shared_ptr<Instance>& db) {
  Model model = mostly_deleted(db);
  EXPECT_TRUE(repack::compact(db));
  return model;
}

struct GrowthCase {
  const char* name;
  Model (*fill)(const std::shared_ptr<Instance>&);
  bool encrypted = false;
  // A snapshot of the commit compaction begins on is held throughout.
  bool snapshot = false;
};

void PrintTo(const GrowthCase& c, std::ostream* out) { *out << c.name; }

OpenOptions options_for(const GrowthCase& c) {
  OpenOptions options;
  if (c.encrypted) {
    std::array<std::uint8_t, 32> key;
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = std::uint8_t(11 * i + 1);
    options.credential = Credential::key(std::span<const std::uint8_t, 32>(key));
  }
  return options;
}

class CompactGrowth : public ::testing::TestWithParam<GrowthCase> {};

// Whatever the file holds and whoever reads it, compaction never ends with
// more pages or bytes than it began with, and its figures are the file's:
// the length before and after, and no page moved when nothing committed.
TEST_P(CompactGrowth, never_grows_the_file_and_reports_its_true_length) {
  const GrowthCase& c = GetParam();
  testing::TempDir dir;
  const std::string path = dir.file("c.db");
  auto db = open_file(path, options_for(c));
  Model model = c.fill(db);
  std::optional<ReadTxn> snapshot;
  if (c.snapshot) snapshot.emplace(*ReadTxn::begin(db));
  const std::uint64_t length = file_size(path);
  const std::uint64_t pages = db->published().record.page_count;
  const std::uint64_t commit = db->published().record.txn_id;

  auto figures = repack::compact(db);
  ASSERT_TRUE(figures) << figures.error().to_string();
  EXPECT_EQ(figures->bytes_before, length);
  EXPECT_EQ(figures->bytes_after, file_size(path));
  EXPECT_LE(figures->bytes_after, figures->bytes_before);
  EXPECT_LE(db->published().record.page_count, pages);
  if (db->published().record.txn_id == commit) {
    EXPECT_EQ(figures->pages_moved, 0u);
  }
  EXPECT_LT(figures->pages_moved, pages);
  if (snapshot) {
    auto all = testing::read_all_trees(db->reader(), snapshot->record());
    ASSERT_TRUE(all) << all.error().to_string();
    EXPECT_TRUE(*all == model);
  }
  expect_sound_and_equal(db, model);
  // A step dropped for its length leaves the file writable as before.
  auto w = *WriteTxn::begin(db);
  ASSERT_TRUE(w->put(b("after"), b("k"), b("v")));
  ASSERT_TRUE(w->commit());
  model["after"]["k"] = "v";
  snapshot.reset();
  db.reset();
  expect_sound_and_equal(open_file(path, options_for(c)), model);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompactGrowth,
    ::testing::Values(
        GrowthCase{"rebuild_needs_every_free_page", rebuild_needs_every_free_page},
        GrowthCase{"rebuild_beside_a_snapshot", rebuild_needs_every_free_page, false, true},
        GrowthCase{"relocation_beside_a_snapshot", relocation_needs_every_free_page, false, true},
        GrowthCase{"mostly_deleted_beside_a_snapshot", mostly_deleted, false, true},
        GrowthCase{"deferred_commit_pending", deferred_commit_pending},
        GrowthCase{"encrypted", mostly_deleted, true},
        GrowthCase{"encrypted_rebuild", rebuild_needs_every_free_page, true},
        GrowthCase{"compacted_already", compacted_already},
        GrowthCase{"large_overflow_values", records_with_a_random_index}),
    [](const auto& info) { return std::string(info.param.name); });

// A durable commit keeps a short free tail past its last page for later
// commits to grow into. Compaction cuts it, even from a file with nothing
// to move; past a deferred commit it stays, since that commit's page count
// may lie below pages the last durable one still needs.
TEST(Compact, cuts_the_free_tail_a_durable_commit_kept) {
  struct Case {
    bool deferred;
    bool cut;
  };
  for (Case c : {Case{false, true}, Case{true, false}}) {
    testing::TempDir dir;
    auto db = open_file(dir.file("c.db"));
    auto w = *WriteTxn::begin(db);
    Model model;
    for (int i = 0; i < 40000; ++i) {
      std::string key = "k" + std::to_string(i);
      ASSERT_TRUE(w->put(b("t"), b(key), b(std::string(100, 'v'))));
      model["t"][key] = std::string(100, 'v');
    }
    ASSERT_TRUE(w->commit());
    const std::uint64_t pages = db->published().record.page_count;
    const std::uint64_t longer = (pages + 10) * db->page_size();
    ASSERT_TRUE(db->storage().set_len(longer));
    w = *WriteTxn::begin(db);
    ASSERT_TRUE(c.deferred ? w->commit_deferred() : w->commit());
    ASSERT_EQ(db->published().record.page_count, pages);
    ASSERT_EQ(file_size(dir.file("c.db")), longer) << "a short tail is kept";

    auto figures = repack::compact(db);
    ASSERT_TRUE(figures) << figures.error().to_string();
    EXPECT_EQ(figures->pages_moved, 0u);
    EXPECT_EQ(figures->bytes_after, file_size(dir.file("c.db")));
    EXPECT_EQ(figures->bytes_after, c.cut ? pages * db->page_size() : longer)
        << (c.deferred ? "deferred" : "durable");
    expect_sound_and_equal(db, model);
  }
}

TEST(Compact, snapshot_in_another_thread_keeps_reading_its_commit) {
  testing::TempDir dir;
  auto db = open_file(dir.file("c.db"));
  Model model = fill_and_thin(db);
  auto snapshot = ReadTxn::begin(db);
  ASSERT_TRUE(snapshot);
  std::thread reader([&] {
    for (int round = 0; round < 5; ++round) {
      auto all = testing::read_all_trees(db->reader(), snapshot->record());
      ASSERT_TRUE(all) << all.error().to_string();
      EXPECT_TRUE(*all == model);
    }
  });
  auto figures = repack::compact(db);
  reader.join();
  ASSERT_TRUE(figures) << figures.error().to_string();
  expect_sound_and_equal(db, model);
  // With the snapshot gone the next compaction gives its pinned pages back.
  snapshot = std::unexpected(Error::closed());
  auto later = repack::compact(db);
  ASSERT_TRUE(later) << later.error().to_string();
  EXPECT_LE(later->bytes_after, figures->bytes_after);
  expect_sound_and_equal(db, model);
}

// Opens args[0], says so on signal args[1] and compacts it.
DZ_CHILD(compact_after_a_signal) {
  testing::Signal started = args.signal(1);
  auto opened = Database::open(args[0], OpenOptions{});
  if (!opened) return 2;
  started.send();
  return repack::compact(opened->instance) ? 0 : 3;
}

TEST(Compact, process_killed_mid_compaction_leaves_a_sound_file) {
  testing::TempDir dir;
  Model model = fill_and_thin(open_file(dir.file("base.db")));
  // Every delay at least once; on a loaded machine a child may finish before
  // its kill lands, so the rounds go on until two kills landed mid-way.
  const int delays_ms[] = {0, 3, 8, 15, 30};
  int killed = 0;
  for (int round = 0; round < 60 && (round < 5 || killed < 2); ++round) {
    const int delay_ms = delays_ms[round % 5];
    std::string path = dir.file("killed" + std::to_string(round) + ".db");
    std::filesystem::copy_file(dir.file("base.db"), path);
    testing::Signal started;
    testing::Child child("compact_after_a_signal", {path, started});
    ASSERT_EQ(started.receive(), 'x');
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    child.kill_now();
    int code = child.wait();
    EXPECT_TRUE(code == 0 || code == 1000 + SIGKILL) << code;
    killed += code == 1000 + SIGKILL;
    expect_sound_and_equal(open_file(path), model);
  }
  EXPECT_GE(killed, 1) << "every child finished before it was killed";
}

// A branch whose children all point at one leaf: its pages are reachable
// more than once.
void make_shared_child_tree(const std::shared_ptr<Instance>& db) {
  auto w = *WriteTxn::begin(db);
  ASSERT_TRUE(w->put(b("dag"), b("a"), b("1")));
  TreeEntry* entry = *w->tree_entry(b("dag"), false);
  auto cx = w->write_context(*entry);
  ChildPointer leaf = *btree::write_tree(cx, entry->root);
  MemNode branch;
  branch.level = 1;
  for (int i = 0; i < 12; ++i) {
    if (i > 0) branch.keys().push_back(std::string(1, char('b' + i)));
    branch.children.push_back(MemChild{leaf, nullptr});
  }
  entry->root = TreeRoot::on_disk(*btree::write_node(cx, branch));
  entry->changed = true;
  ASSERT_TRUE(w->commit());
}

TEST(Compact, tree_with_a_page_reachable_twice_is_refused_and_not_rebuilt) {
  testing::TempDir dir;
  auto db = open_file(dir.file("c.db"));
  make_shared_child_tree(db);
  EXPECT_FALSE(tools::check_commit(db)->ok()) << "the check sees the shared page too";
  auto root_before = ReadTxn::begin(db)->descriptor(b("dag"));

  auto figures = repack::compact(db);
  ASSERT_FALSE(figures);
  EXPECT_EQ(figures.error().kind(), ErrorKind::Corrupted) << figures.error().to_string();
  EXPECT_EQ(*ReadTxn::begin(db)->descriptor(b("dag")), *root_before);

  // Relocation walks the same way and refuses the tree before moving it.
  auto w = *WriteTxn::begin(db);
  auto moved = write::write_overflow(*w, (*w->tree_entry(b("dag"), false))->tree_id, 1);
  ASSERT_FALSE(moved);
  EXPECT_EQ(moved.error().kind(), ErrorKind::Corrupted) << moved.error().to_string();
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
