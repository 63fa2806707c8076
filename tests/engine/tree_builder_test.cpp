// Trees laid out bottom-up: every checkpoint in the middle of a tree commits
// a sound tree of the entries so far, and going on after it gives up the
// right edge it wrote, so the finished file accounts for every page.
#include "tools/tree_builder.hpp"

#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "database.hpp"
#include "storage/fault_storage.hpp"
#include "support/commit_check.hpp"
#include "tools/check.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

ByteView b(const std::string& s) { return bytes_of(s); }

void expect_sound_tree(const std::shared_ptr<Instance>& db,
                       const std::map<std::string, std::string>& model) {
  auto report = tools::check_commit(db);
  ASSERT_TRUE(report) << report.error().to_string();
  for (auto& problem : report->problems) ADD_FAILURE() << problem.message;
  auto all = testing::read_all_trees(db->reader(), db->published().record);
  ASSERT_TRUE(all) << all.error().to_string();
  EXPECT_TRUE((*all)["t"] == model);
}

TEST(TreeBuilder, checkpoints_commit_sound_trees_and_resuming_leaks_nothing) {
  auto storage = std::make_unique<FaultStorage>("/mem/b.db", *Database::new_first_page({}));
  auto db = *Database::open_existing(std::move(storage), {});
  std::map<std::string, std::string> model;
  auto txn = *WriteTxn::begin(db);
  TreeEntry* entry = *txn->tree_entry(b("t"), true);
  std::optional<WriteContext> cx(txn->write_context(*entry));
  repack::TreeBuilder builder(*cx);
  auto set_root = [&](Result<ChildPointer> root) {
    ASSERT_TRUE(root) << root.error().to_string();
    entry->root = TreeRoot::on_disk(*root);
    entry->entry_count = builder.entries();
    entry->changed = true;
  };
  for (int i = 0; i < 6000; ++i) {
    // Long keys make a tree of three levels; some values need runs.
    std::string key = std::to_string(100000 + i) + std::string(std::size_t(i % 300), 'k');
    std::string value(i % 97 == 0 ? 5000 : 20, char('a' + i % 26));
    ASSERT_TRUE(builder.add(b(key), b(value)));
    model[key] = value;
    if (i % 1100 != 1099) continue;
    set_root(builder.checkpoint());
    ASSERT_TRUE(txn->commit());
    expect_sound_tree(db, model);
    txn = *WriteTxn::begin(db);
    entry = *txn->tree_entry(b("t"), false);
    cx.emplace(txn->write_context(*entry));
    builder.resume(*cx);
  }
  set_root(builder.finish());
  ASSERT_TRUE(txn->commit());
  expect_sound_tree(db, model);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
