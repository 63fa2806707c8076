// Creating and opening files: nothing is ever replaced, a missing file is
// NOT_FOUND when creation is off, foreign files are refused, and opens of
// one file in a process share its Instance.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "database.hpp"
#include "storage/fs.hpp"
#include "support/temp_dir.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using testing::TempDir;

std::size_t files_in(const std::string& dir) {
  std::size_t n = 0;
  for (auto& e : std::filesystem::directory_iterator(dir)) (void)e, ++n;
  return n;
}

TEST(DatabaseOpen, missing_file_without_create_is_not_found) {
  TempDir dir;
  OpenOptions options;
  options.create = false;
  auto r = Database::open(dir.file("a.db"), options);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "no database exists at `" + dir.file("a.db") + "`");
  EXPECT_EQ(files_in(dir.path()), 0u);
}

TEST(DatabaseOpen, creates_one_page_file_and_leaves_no_temporary_behind) {
  TempDir dir;
  OpenOptions options;
  options.page_size = 16384;
  auto r = Database::open(dir.file("a.db"), options);
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_EQ(std::filesystem::file_size(dir.file("a.db")), 16384u);
  EXPECT_EQ(files_in(dir.path()), 1u);
  EXPECT_EQ(r->instance->page_size(), 16384u);
  EXPECT_EQ(r->instance->format_version(), 6u);
  EXPECT_EQ(r->instance->published().record.txn_id, 1u);
}

TEST(DatabaseOpen, existing_file_keeps_its_own_page_size) {
  TempDir dir;
  OpenOptions options;
  options.page_size = 8192;
  { ASSERT_TRUE(Database::open(dir.file("a.db"), options)); }
  options.page_size = 4096;
  auto r = Database::open(dir.file("a.db"), options);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->instance->page_size(), 8192u);
}

TEST(DatabaseOpen, second_open_shares_the_instance_until_the_last_handle_goes) {
  TempDir dir;
  auto a = Database::open(dir.file("a.db"), {});
  auto b = Database::open(dir.file("a.db"), {});
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->instance.get(), b->instance.get());
  std::weak_ptr<Instance> weak = a->instance;
  a->instance.reset();
  b->instance.reset();
  EXPECT_TRUE(weak.expired());
  auto c = Database::open(dir.file("a.db"), {});
  ASSERT_TRUE(c);
}

TEST(DatabaseOpen, foreign_file_is_not_a_database_and_stays_untouched) {
  TempDir dir;
  std::ofstream(dir.file("notes.txt")) << "hello, this is not a database\n";
  auto r = Database::open(dir.file("notes.txt"), {});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::NotADatabase);
  EXPECT_EQ(std::filesystem::file_size(dir.file("notes.txt")), 30u);
}

std::size_t open_descriptors() { return files_in("/proc/self/fd"); }

TEST(DatabaseOpen, repeated_opens_of_an_open_file_take_no_descriptors) {
  TempDir dir;
  auto first = Database::open(dir.file("a.db"), {});
  ASSERT_TRUE(first);
  std::size_t before = open_descriptors();
  std::vector<OpenedDatabase> handles;
  for (int i = 0; i < 300; ++i) {
    auto again = Database::open(dir.file("a.db"), {});
    ASSERT_TRUE(again) << again.error().to_string();
    handles.push_back(std::move(*again));
  }
  EXPECT_EQ(open_descriptors(), before);
}

TEST(DatabaseOpen, plain_file_opened_with_a_key_is_refused) {
  TempDir dir;
  { ASSERT_TRUE(Database::open(dir.file("a.db"), {})); }
  OpenOptions options;
  std::array<std::uint8_t, 32> key{};
  options.credential = Credential::key(key);
  auto r = Database::open(dir.file("a.db"), options);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(),
            "`" + dir.file("a.db") + "` is not encrypted, so it cannot be opened with a key");
}

TEST(CreateFile, never_replaces_a_file_that_took_the_name_first) {
  TempDir dir;
  std::ofstream(dir.file("a.db")) << "precious";
  std::vector<std::uint8_t> page(4096, 7);
  auto r = Database::create_file(dir.file("a.db"), page);
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  EXPECT_EQ(std::filesystem::file_size(dir.file("a.db")), 8u);
  EXPECT_EQ(files_in(dir.path()), 1u);
}

TEST(CreateFile, copy_fallback_refuses_an_existing_target) {
  TempDir dir;
  std::ofstream(dir.file("src")) << "new";
  std::ofstream(dir.file("dst")) << "old!";
  auto r = Database::copy_into_place(dir.file("src"), dir.file("dst"));
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, fs::LinkOutcome::AlreadyExists);
  EXPECT_EQ(std::filesystem::file_size(dir.file("dst")), 4u);
  ASSERT_TRUE(Database::copy_into_place(dir.file("src"), dir.file("dst2")));
  EXPECT_EQ(std::filesystem::file_size(dir.file("dst2")), 3u);
}

TEST(TempPath, path_without_a_file_name_is_refused) {
  auto r = fs::temp_path_beside("some/dir/");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "I/O error on `some/dir/`: the path names no file");
  auto t = fs::temp_path_beside("some/dir/x.db");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->dir, "some/dir");
  EXPECT_EQ(t->path.rfind("some/dir/.x.db.", 0), 0u);
  EXPECT_EQ(t->path.size(), std::string("some/dir/.x.db.").size() + 16 + 4);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
