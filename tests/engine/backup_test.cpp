// Backup into a new file: the copy holds exactly the snapshot it was taken
// from, under the protection asked for; nothing at the target is ever
// replaced, and no failure leaves a temporary or partial file behind.
#include "tools/backup.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "database.hpp"
#include "storage/fs.hpp"
#include "support/child_process.hpp"
#include "support/commit_check.hpp"
#include "support/credentials.hpp"
#include "support/temp_dir.hpp"
#include "text_format.hpp"
#include "tools/check.hpp"
#include "tools/salvage.hpp"
#include "tools/target_file.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using testing::password;

namespace stdfs = std::filesystem;
using Trees = std::map<std::string, std::map<std::string, std::string>>;

ByteView b(const std::string& s) { return bytes_of(s); }

Credential key_of(std::uint8_t seed) {
  std::array<std::uint8_t, 32> raw;
  raw.fill(seed);
  return Credential::key(std::span<const std::uint8_t, 32>(raw));
}

OpenOptions opening(Credential credential) {
  OpenOptions options;
  options.credential = std::move(credential);
  options.password_hashing = {64, 1, 1};
  return options;
}

backup::BackupOptions backing_up(Credential credential) {
  backup::BackupOptions options;
  options.credential = std::move(credential);
  options.password_hashing = {64, 1, 1};
  // Small, so that the copy commits (deferred) many times before the last.
  options.COMMIT_BYTES = 65536;
  return options;
}

// Trees with short and overflow values, an engine tree, and an empty tree.
Trees fill(const std::shared_ptr<Instance>& db, int count) {
  Trees model;
  auto w = *WriteTxn::begin(db);
  for (int i = 0; i < count; ++i) {
    std::string tree = i % 3 == 0 ? std::string("\0meta", 5) : "objects";
    std::string value(i % 50 == 0 ? 6000 : 40 + i % 100, char('a' + i % 26));
    EXPECT_TRUE(w->put(b(tree), b("k" + std::to_string(i)), b(value)));
    model[tree]["k" + std::to_string(i)] = value;
  }
  EXPECT_TRUE(w->put(b("empty"), b("x"), b("y")));
  EXPECT_TRUE(w->del(b("empty"), b("x")));
  model["empty"];
  EXPECT_TRUE(w->commit());
  return model;
}

Result<Trees> read_back(const std::string& path, Credential credential) {
  auto opened = DZ_TRY(Database::open(path, opening(std::move(credential))));
  auto& db = opened.instance;
  auto report = tools::check_commit(db);
  if (!report) return fail(std::move(report).error());
  for (auto& problem : report->problems) ADD_FAILURE() << problem.message;
  return testing::read_all_trees(db->reader(), db->published().record);
}

std::set<std::string> listing(const std::string& dir) {
  std::set<std::string> names;
  for (auto& e : stdfs::directory_iterator(dir)) names.insert(e.path().filename());
  return names;
}

struct Protection {
  const char* name;
  Credential source;
  Credential copy;
  Credential opens;
  Credential refused;  // none: nothing to refuse
  ErrorKind refusal;
};

class BackupProtection : public ::testing::TestWithParam<Protection> {};

TEST_P(BackupProtection, copy_holds_the_snapshot_and_opens_only_with_its_secret) {
  const Protection& p = GetParam();
  testing::TempDir dir;
  auto source = Database::open(dir.file("s.db"), opening(p.source));
  ASSERT_TRUE(source) << source.error().to_string();
  Trees model = fill(source->instance, 3000);

  auto figures = backup::backup(source->instance, dir.file("copy.db"), backing_up(p.copy));
  ASSERT_TRUE(figures) << figures.error().to_string();
  EXPECT_EQ(figures->commit_id, source->instance->published().record.txn_id);
  EXPECT_EQ(figures->trees, 3u);
  EXPECT_EQ(figures->entries, 3000u);
  EXPECT_EQ(figures->bytes, stdfs::file_size(dir.file("copy.db")));
  EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"s.db", "copy.db"}));

  auto copy = read_back(dir.file("copy.db"), p.opens);
  ASSERT_TRUE(copy) << copy.error().to_string();
  EXPECT_TRUE(*copy == model);
  if (!p.refused.is_none() || p.refusal == ErrorKind::KeyRequired) {
    auto refused = Database::open(dir.file("copy.db"), opening(p.refused));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), p.refusal);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Secrets, BackupProtection,
    ::testing::Values(
        Protection{"plain_stays_plain", {}, {}, {}, key_of(1), ErrorKind::InvalidArgument},
        Protection{"plain_under_a_key", {}, key_of(2), key_of(2), {}, ErrorKind::KeyRequired},
        Protection{
            "keeps_the_source_key", key_of(3), {}, key_of(3), key_of(4), ErrorKind::WrongKey},
        Protection{"new_password_not_the_old_key", key_of(5), password("new"), password("new"),
                   key_of(5), ErrorKind::WrongKey}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Backup, writer_committing_beside_it_does_not_reach_the_copy) {
  testing::TempDir dir;
  auto source = Database::open(dir.file("s.db"), OpenOptions{});
  ASSERT_TRUE(source);
  auto& db = source->instance;
  fill(db, 20000);
  std::atomic<bool> stop{false};
  std::atomic<int> commits{0};
  std::thread writer([&] {
    for (int i = 1; !stop; ++i) {
      auto w = *WriteTxn::begin(db);
      ASSERT_TRUE(w->put(b("grow"), b("e" + std::to_string(i)), b(std::string(1000, 'g'))));
      ASSERT_TRUE(w->put(b("grow"), b("n"), b(std::to_string(i))));
      ASSERT_TRUE(w->commit_deferred());
      commits = i;
    }
  });
  // The copy starts from a commit of the writer's, and the writer commits
  // again after the copy's commit before it stops.
  EXPECT_TRUE(testing::eventually([&] { return commits > 0; }));
  auto figures = backup::backup(db, dir.file("copy.db"), backing_up({}));
  if (figures) {
    EXPECT_TRUE(
        testing::eventually([&] { return db->published().record.txn_id > figures->commit_id; }));
  }
  stop = true;
  writer.join();
  ASSERT_TRUE(figures) << figures.error().to_string();
  auto copy = read_back(dir.file("copy.db"), {});
  ASSERT_TRUE(copy) << copy.error().to_string();
  auto& grow = (*copy)["grow"];
  ASSERT_TRUE(grow.contains("n"));
  std::size_t n = std::stoul(grow["n"]);
  EXPECT_EQ(grow.size(), n + 1) << "the copy mixes commits";
  EXPECT_TRUE(grow.contains("e" + std::to_string(n)));
  EXPECT_LT(figures->commit_id, db->published().record.txn_id);
}

// Backs args[0] up to args[1] under a file-size limit of args[2] bytes, a
// disk that fills up part way, committing every 4 KiB of entries: 0 when
// the backup fails and leaves nothing in the target's directory, 1 when it
// succeeds.
DZ_CHILD(backup_under_a_size_limit) {
  auto opened = Database::open(args[0], OpenOptions{});
  if (!opened) return 2;
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{args.number(2), args.number(2)};
  if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
  backup::BackupOptions options;
  options.COMMIT_BYTES = 4096;
  auto figures = backup::backup(opened->instance, args[1], options);
  if (figures) return 1;
  return stdfs::is_empty(stdfs::path(args[1]).parent_path()) ? 0 : 4;
}

// Under limits from 8 KiB up in steps of 4 KiB, the copy runs out of room
// at one write after another, a commit in the middle of the tree among
// them (16 KiB), until it fits: each backup fails and leaves nothing, or
// succeeds, and none crashes.
TEST(Backup, disk_filling_up_part_way_fails_the_backup_and_leaves_nothing) {
  testing::TempDir dir;
  {
    auto source = Database::open(dir.file("s.db"), OpenOptions{});
    ASSERT_TRUE(source);
    auto w = *WriteTxn::begin(source->instance);
    for (int i = 0; i < 300; ++i)
      ASSERT_TRUE(w->put(b("t"), b("k" + std::to_string(100000 + i)), b(std::string(100, 'v'))));
    ASSERT_TRUE(w->commit());
  }
  stdfs::create_directory(dir.file("out"));
  int failed = 0;
  bool fitted = false;
  for (std::uint64_t limit = 8192; !fitted && limit < (std::uint64_t(1) << 21); limit += 4096) {
    testing::Child child("backup_under_a_size_limit",
                         {dir.file("s.db"), dir.file("out/c.db"), limit});
    const int code = child.wait();
    ASSERT_TRUE(code == 0 || code == 1) << "limit " << limit << ": the child ended with " << code;
    fitted = code == 1;
    failed += code == 0;
  }
  EXPECT_TRUE(fitted);
  EXPECT_GT(failed, 0);
  auto copy = read_back(dir.file("out/c.db"), {});
  ASSERT_TRUE(copy) << copy.error().to_string();
  EXPECT_EQ((*copy)["t"].size(), 300u);
}

struct Refusal {
  const char* name;
  // Makes something at the target (or nothing), before the backup.
  void (*prepare)(const std::string& target);
  Credential secret;
  PasswordHashing hashing;
  std::string message;  // "{}" stands for the target path
};

class BackupRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(BackupRefusal, leaves_the_target_as_it_was_and_no_temporary_file) {
  const Refusal& r = GetParam();
  testing::TempDir dir;
  auto source = Database::open(dir.file("s.db"), OpenOptions{});
  ASSERT_TRUE(source);
  fill(source->instance, 10);
  std::string target = dir.file("t.db");
  r.prepare(target);
  auto before = listing(dir.path());
  auto kind = stdfs::symlink_status(target).type();

  backup::BackupOptions options;
  options.credential = r.secret;
  options.password_hashing = r.hashing;
  auto figures = backup::backup(source->instance, target, options);
  ASSERT_FALSE(figures);
  EXPECT_EQ(figures.error().kind(), ErrorKind::InvalidArgument);
  std::string message = r.message;
  if (auto at = message.find("{}"); at != std::string::npos) message.replace(at, 2, target);
  EXPECT_EQ(figures.error().to_string(), message);
  EXPECT_EQ(listing(dir.path()), before);
  EXPECT_EQ(stdfs::symlink_status(target).type(), kind);
  if (kind == stdfs::file_type::regular) {
    EXPECT_EQ(stdfs::file_size(target), 3u);
  }
}

const std::string kExists = "`{}` exists already, and a backup never replaces a file";

INSTANTIATE_TEST_SUITE_P(
    Targets, BackupRefusal,
    ::testing::Values(
        Refusal{"file", [](const std::string& t) { std::ofstream(t) << "old"; }, {}, {}, kExists},
        Refusal{
            "directory", [](const std::string& t) { stdfs::create_directory(t); }, {}, {}, kExists},
        Refusal{"dangling_symlink",
                [](const std::string& t) { stdfs::create_symlink(t + ".missing", t); },
                {},
                {},
                kExists},
        Refusal{
            "empty_password", [](const std::string&) {}, password(""), {}, "the password is empty"},
        Refusal{"hashing_out_of_limits",
                [](const std::string&) {},
                password("p"),
                {8, 1, 2},
                "the password hashing memory must be from 8 KiB per lane to 1 GiB, in KiB"}),
    [](const auto& info) { return std::string(info.param.name); });

NewFileSpec plain_spec() {
  NewFileSpec spec;
  spec.fields.file_id.fill(7);
  return spec;
}

TEST(TargetFile, failure_after_the_temporary_file_exists_removes_it) {
  testing::TempDir dir;
  NewFileSpec spec = plain_spec();
  spec.fields.format_version = 4;  // written, then refused by the open
  auto target = TargetFile::create(dir.file("t.db"), spec);
  ASSERT_FALSE(target);
  EXPECT_EQ(target.error().kind(), ErrorKind::UnsupportedFormatVersion);
  EXPECT_TRUE(listing(dir.path()).empty());
}

TEST(TargetFile, something_put_at_the_target_meanwhile_is_kept_and_the_copy_dropped) {
  testing::TempDir dir;
  auto target = TargetFile::create(dir.file("t.db"), plain_spec());
  ASSERT_TRUE(target) << target.error().to_string();
  ASSERT_TRUE(target->close());
  std::ofstream(dir.file("t.db")) << "theirs";
  auto placed = target->place("a backup");
  ASSERT_FALSE(placed);
  EXPECT_EQ(placed.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(listing(dir.path()), std::set<std::string>{"t.db"});
  EXPECT_EQ(stdfs::file_size(dir.file("t.db")), 6u);
}

// A target whose directory is missing: backup and salvage both name the
// target they were given, never a file of their own beside it.
TEST(TargetFile, errors_name_the_target_given) {
  testing::TempDir dir;
  auto source = Database::open(dir.file("s.db"), OpenOptions{});
  ASSERT_TRUE(source);
  fill(source->instance, 10);
  const std::string target = dir.file("nodir/c.db");
  const std::string expected =
      format_text("I/O error on `{}`: No such file or directory (os error 2)", target);
  auto backed_up = backup::backup(source->instance, target, {});
  ASSERT_FALSE(backed_up);
  EXPECT_EQ(backed_up.error().to_string(), expected);
  source->instance.reset();
  auto salvaged = salvage::salvage(dir.file("s.db"), target, OpenOptions{});
  ASSERT_FALSE(salvaged);
  EXPECT_EQ(salvaged.error().to_string(), expected);
  EXPECT_EQ(listing(dir.path()), std::set<std::string>{"s.db"});
}

// Copies args[0] to args[1] under a file-size limit: 0 when the copy fails
// and leaves nothing behind.
DZ_CHILD(copy_under_a_size_limit) {
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{20000, 20000};
  if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
  const int from = ::open(args[0].c_str(), O_RDONLY | O_CLOEXEC);
  auto copied = Database::copy_into_place(from, args[1], true);
  if (copied) return 3;
  if (copied.error().kind() != ErrorKind::Io) return 4;
  return stdfs::exists(args[1]) ? 5 : 0;
}

// The copy fallback, with the file-size limit standing in for a disk that
// fills up part way: the partial target is removed again.
TEST(TargetFile, copy_that_fails_part_way_leaves_no_partial_target) {
  testing::TempDir dir;
  std::ofstream(dir.file("from")) << std::string(100000, 'd');
  testing::Child child("copy_under_a_size_limit", {dir.file("from"), dir.file("to")});
  EXPECT_EQ(child.wait(), 0);
  auto copied = Database::copy_into_place(dir.file("from"), dir.file("to"));
  ASSERT_TRUE(copied);
  EXPECT_EQ(stdfs::file_size(dir.file("to")), 100000u);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
