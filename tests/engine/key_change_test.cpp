// Changing the secret of an encrypted file when the power goes at any of its
// writes and syncs, when another process has the file open, and what a
// wrong secret does to a file a change was cut short in.
#include "key_change.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "database.hpp"
#include "storage/fault_storage.hpp"
#include "support/borrowed_storage.hpp"
#include "support/child_process.hpp"
#include "support/commit_check.hpp"
#include "support/credentials.hpp"
#include "support/process_double.hpp"
#include "support/temp_dir.hpp"
#include "tools/check.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using testing::key_credential;
using testing::password;

using namespace std::chrono_literals;
using testing::Child;
using testing::Signal;
using Trees = std::map<std::string, std::map<std::string, std::string>>;

ByteView b(std::string_view s) { return bytes_of(s); }

OpenOptions options_with(Credential credential) {
  OpenOptions options;
  options.credential = std::move(credential);
  options.password_hashing = {64, 1, 1};
  options.new_file_cipher = NewFileCipher::XChaCha20Poly1305;
  // No sync thread: a deferred commit stays pending until a commit syncs.
  options.SYNC_DELAY = std::chrono::hours(1);
  return options;
}

Status put_all(const std::shared_ptr<Instance>& instance, const Trees& trees, bool deferred) {
  auto w = DZ_TRY(WriteTxn::begin(instance));
  for (const auto& [tree, entries] : trees)
    for (const auto& [key, value] : entries) DZ_CHECK(w->put(b(tree), b(key), b(value)));
  return deferred ? w->commit_deferred() : w->commit();
}

Trees durable_rows() {
  Trees trees;
  for (int i = 0; i < 40; ++i)
    trees["bulk"]["row-" + std::to_string(i)] = "payload-" + std::string(60, char('a' + i % 26));
  trees["small"]["one"] = "1";
  return trees;
}

Trees deferred_rows() {
  Trees trees;
  for (int i = 0; i < 30; ++i) trees["deferred"]["k" + std::to_string(i)] = std::string(100, 'q');
  return trees;
}

Trees merged(Trees a, const Trees& more) {
  for (const auto& [tree, entries] : more)
    for (const auto& [key, value] : entries) a[tree][key] = value;
  return a;
}

Result<Trees> read_all(const std::shared_ptr<Instance>& instance) {
  return testing::read_all_trees(instance->reader(), instance->published().record);
}

// A file of three durable commits (every slot holds a record) under `secret`.
std::vector<std::uint8_t> populated_image(const Credential& secret) {
  OpenOptions options = options_with(secret);
  auto page = Database::new_first_page(options, "/mem/k.db");
  EXPECT_TRUE(page);
  FaultStorage disk("/mem/k.db", *page);
  {
    auto db = Database::open_existing(std::make_unique<testing::BorrowedStorage>(disk), options);
    EXPECT_TRUE(db) << db.error().to_string();
    Trees rows = durable_rows();
    EXPECT_TRUE(put_all(*db, {{"bulk", rows["bulk"]}}, false));
    EXPECT_TRUE(put_all(*db, {{"small", rows["small"]}}, false));
    EXPECT_TRUE(put_all(*db, {{"small", rows["small"]}}, false));
  }
  return disk.synced_image();
}

// What an open of `image` with `secret` did: the error when it failed, and
// whether it changed the disk.
struct Attempt {
  Result<std::shared_ptr<Instance>> opened;
  bool wrote = false;
};

Attempt open_on(FaultStorage& disk, const Credential& secret) {
  std::uint64_t before = disk.operation_count();
  auto opened = Database::open_existing(std::make_unique<testing::BorrowedStorage>(disk),
                                        options_with(secret));
  return {std::move(opened), disk.operation_count() != before};
}

struct ChangeCase {
  const char* name;
  Credential from;
  Credential to;
  bool deferred_pending;
};

std::vector<ChangeCase> change_cases() {
  std::vector<ChangeCase> cases;
  for (bool deferred : {false, true}) {
    cases.push_back({"key to key", key_credential(1), key_credential(9), deferred});
    cases.push_back({"key to password", key_credential(1), password("new password"), deferred});
    cases.push_back({"password to key", password("old password"), key_credential(9), deferred});
  }
  return cases;
}

// Every crash plan worth trying for the changes pending at a cut: none kept,
// all kept, and random subsets with and without a torn write.
std::vector<CrashPlan> plans_for(const FaultStorage& disk) {
  std::vector<CrashPlan> plans{CrashPlan::keep_none(disk.pending_count()),
                               CrashPlan::keep_all(disk.pending_count())};
  for (std::uint64_t seed = 0; seed < 8; ++seed) plans.push_back(disk.random_crash_plan(seed));
  return plans;
}

// ---- Power loss --------------------------------------------------------

// The power goes after each write and sync of a key change in turn, on a
// file with a deferred commit pending and without one. Whatever the disk
// keeps, the old secret or the new one opens the file (the old one until
// the first commit of the change is synced, the new one from then on, both
// until the last commit has pushed the old block out of every slot), finds
// the last durable commit's entries (the deferred commit's too when the
// crash kept it, and always under the new secret, whose commit follows it),
// and the file checks sound. A wrong key or password is WRONG_KEY and
// writes nothing, and the change made again from the secret that opened
// leaves the new secret the only one.
TEST(KeyChangeCrash, power_loss_at_each_step_leaves_a_file_the_old_or_new_secret_opens_whole) {
  for (const ChangeCase& c : change_cases()) {
    SCOPED_TRACE(std::string(c.name) + (c.deferred_pending ? ", deferred commit pending" : ""));
    const auto initial = populated_image(c.from);
    const Trees durable = durable_rows();
    const Trees with_deferred = merged(durable, deferred_rows());
    bool finished = false;
    std::uint64_t cut = 0;
    for (; !finished; ++cut) {
      FaultStorage disk("/mem/k.db", initial);
      {
        auto db = Database::open_existing(std::make_unique<testing::BorrowedStorage>(disk),
                                          options_with(c.from));
        ASSERT_TRUE(db) << db.error().to_string();
        if (c.deferred_pending) {
          ASSERT_TRUE(put_all(*db, deferred_rows(), true));
        }
        disk.power_off_after(cut);
        finished = bool(keys::set_secret(*db, nullptr, c.to));
      }
      std::size_t plan_number = 0;
      for (const CrashPlan& plan : plans_for(disk)) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " operations, plan " +
                     std::to_string(plan_number++));
        const auto crashed = disk.crash_image(plan);
        for (const Credential& wrong : {key_credential(50), password("wrong password")}) {
          FaultStorage copy("/mem/k.db", crashed);
          Attempt attempt = open_on(copy, wrong);
          ASSERT_FALSE(attempt.opened);
          EXPECT_EQ(attempt.opened.error().kind(), ErrorKind::WrongKey)
              << attempt.opened.error().to_string();
          EXPECT_FALSE(attempt.wrote);
          EXPECT_TRUE(copy.current_image() == crashed);
        }
        int opened = 0;
        for (bool with_new : {false, true}) {
          const Credential& secret = with_new ? c.to : c.from;
          FaultStorage copy("/mem/k.db", crashed);
          Attempt attempt = open_on(copy, secret);
          if (!attempt.opened) {
            EXPECT_EQ(attempt.opened.error().kind(), ErrorKind::WrongKey)
                << attempt.opened.error().to_string();
            EXPECT_FALSE(attempt.wrote);
            EXPECT_TRUE(copy.current_image() == crashed);
            continue;
          }
          ++opened;
          auto& db = *attempt.opened;
          auto rows = read_all(db);
          ASSERT_TRUE(rows) << rows.error().to_string();
          const bool exact = with_new || !c.deferred_pending;
          EXPECT_TRUE(exact ? *rows == (c.deferred_pending ? with_deferred : durable)
                            : *rows == durable || *rows == with_deferred)
              << (with_new ? "new" : "old") << " secret";
          auto report = tools::check_commit(db);
          ASSERT_TRUE(report) << report.error().to_string();
          EXPECT_TRUE(report->ok()) << report->problems.front().message;
          // A change cut short is made again, from whichever secret opened.
          auto again = keys::set_secret(db, nullptr, c.to);
          ASSERT_TRUE(again) << again.error().to_string();
          db.reset();
          FaultStorage after("/mem/k.db", copy.current_image());
          EXPECT_TRUE(open_on(after, c.to).opened);
          auto old = open_on(after, c.from);
          ASSERT_FALSE(old.opened);
          EXPECT_EQ(old.opened.error().kind(), ErrorKind::WrongKey);
        }
        EXPECT_GT(opened, 0) << "neither the old nor the new secret opens the file";
      }
    }
    EXPECT_GT(cut, 8u);
  }
}

// ---- Beside another process ------------------------------------------

// Opens args[0] with the old key and reads it under a snapshot; signals
// args[1] and waits for args[2], while the parent changes the key; then reads
// the same snapshot again, takes a new one, and commits a row of its own.
DZ_CHILD(read_a_snapshot_across_a_key_change) {
  Signal holding = args.signal(1), changed = args.signal(2);
  auto opened = Database::open(args[0], options_with(key_credential(1)));
  if (!opened) return 2;
  auto& instance = opened->instance;
  auto snapshot = ReadTxn::begin(instance);
  if (!snapshot) return 3;
  auto before = testing::read_all_trees(instance->reader(), snapshot->record());
  if (!before || *before != durable_rows()) return 4;
  holding.send();
  if (changed.receive() != 'x') return 5;
  auto after = testing::read_all_trees(instance->reader(), snapshot->record());
  if (!after || *after != durable_rows()) return 6;
  auto fresh = ReadTxn::begin(instance);
  if (!fresh) return 7;
  auto now = testing::read_all_trees(instance->reader(), fresh->record());
  if (!now || *now != durable_rows()) return 8;
  if (!put_all(instance, {{"child", {{"row", "written after the change"}}}}, false)) return 9;
  return 0;
}

// A process that has the file open under the old key keeps reading its
// snapshot while another changes the key, reads the new commits, and writes
// commits that carry the new key block: afterwards only the new key opens
// the file, and it finds that process's row.
TEST(KeyChangeBeside, another_process_keeps_its_snapshot_and_writes_under_the_new_key) {
  testing::TempDir dir;
  const std::string path = dir.file("k.db");
  {
    auto db = Database::open(path, options_with(key_credential(1)));
    ASSERT_TRUE(db) << db.error().to_string();
    Trees rows = durable_rows();
    ASSERT_TRUE(put_all(db->instance, {{"bulk", rows["bulk"]}}, false));
    ASSERT_TRUE(put_all(db->instance, {{"small", rows["small"]}}, false));
    Signal holding, changed;
    Child reader("read_a_snapshot_across_a_key_change", {path, holding, changed});
    ASSERT_EQ(holding.receive(), 'x');
    auto change = keys::set_secret(db->instance, nullptr, key_credential(9));
    ASSERT_TRUE(change) << change.error().to_string();
    changed.send();
    ASSERT_EQ(reader.wait(), 0);
  }
  auto old = Database::open(path, options_with(key_credential(1)));
  ASSERT_FALSE(old);
  EXPECT_EQ(old.error().kind(), ErrorKind::WrongKey);
  auto reopened = Database::open(path, options_with(key_credential(9)));
  ASSERT_TRUE(reopened) << reopened.error().to_string();
  auto rows = read_all(reopened->instance);
  ASSERT_TRUE(rows);
  EXPECT_TRUE(*rows == merged(durable_rows(), {{"child", {{"row", "written after the change"}}}}));
  auto report = tools::check_commit(reopened->instance);
  ASSERT_TRUE(report);
  EXPECT_TRUE(report->ok());
}

// Probe: another process's deferred commit pending while the key changes,
// then that process commits again; the power goes at the end.
TEST(KeyChangeBeside, other_process_deferred_commit_pending) {
  testing::TempDir dir;
  for (bool other_commits_after : {false, true}) {
    FaultStorage disk("/mem/k.db", populated_image(key_credential(1)));
    {
      auto one =
          testing::open_as_process(disk, dir.file("one"), options_with(key_credential(1)), true);
      ASSERT_TRUE(one);
      auto two =
          testing::open_as_process(disk, dir.file("two"), options_with(key_credential(1)), false);
      ASSERT_TRUE(two);
      ASSERT_TRUE(put_all(*two, deferred_rows(), true));
      auto change = keys::set_secret(*one, nullptr, key_credential(9));
      ASSERT_TRUE(change) << change.error().to_string();
      if (other_commits_after) {
        ASSERT_TRUE(put_all(*two, {{"two", {{"a", "b"}}}}, true));
      }
      disk.power_off_after(0);
    }
    for (std::uint64_t seed = 0; seed < 8; ++seed) {
      auto crashed = disk.crash_image(disk.random_crash_plan(seed));
      FaultStorage copy("/mem/k.db", crashed);
      auto attempt = open_on(copy, key_credential(9));
      ASSERT_TRUE(attempt.opened) << attempt.opened.error().to_string();
      auto rows = read_all(*attempt.opened);
      ASSERT_TRUE(rows);
      Trees base = merged(durable_rows(), deferred_rows());
      EXPECT_TRUE(*rows == base || *rows == merged(base, {{"two", {{"a", "b"}}}}));
      FaultStorage copy2("/mem/k.db", crashed);
      auto old = open_on(copy2, key_credential(1));
      EXPECT_FALSE(old.opened);
    }
  }
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
