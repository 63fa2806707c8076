// Creating a file: a creation cut short by a crash (the state the copy
// fallback leaves) becomes a new database when the open creates and is
// refused otherwise, finishing it in place survives a crash at every point,
// files holding anything more are never touched, and a network file system
// is refused before anything is created there.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "database.hpp"
#include "format/creation.hpp"
#include "lock/file_lock.hpp"
#include "storage/fault_storage.hpp"
#include "support/crash_points.hpp"
#include "support/temp_dir.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kSlot0 = 512;
constexpr std::size_t kSlot1 = 1024;

Bytes first_page(const OpenOptions& options) { return Database::new_first_page(options).value(); }

// `page` with the bytes in [from, to) set to zero.
Bytes zeroed(Bytes page, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to && i < page.size(); ++i) page[i] = 0;
  return page;
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

OpenOptions creating(bool create) {
  OpenOptions o;
  o.create = create;
  o.page_size = 8192;
  return o;
}

TEST(FileCreation, creation_cut_short_is_created_anew_only_by_a_creating_open) {
  Bytes page = first_page({});
  struct Case {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"empty", {}},
      {"all zero", Bytes(4096, 0)},
      {"static header only", zeroed(page, kSlot0, kSlot1)},
      {"first record only", zeroed(page, 0, kSlot0)},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    std::string path = dir.file("a.db");
    write_file(path, c.bytes);
    auto refused = Database::open(path, creating(false));
    ASSERT_FALSE(refused) << c.name;
    EXPECT_EQ(refused.error().kind(), ErrorKind::NotADatabase) << c.name;
    EXPECT_EQ(read_file(path), c.bytes) << c.name;
    {
      auto created = Database::open(path, creating(true));
      ASSERT_TRUE(created) << c.name << ": " << created.error().to_string();
      EXPECT_EQ(created->instance->page_size(), 8192u) << c.name;
      EXPECT_EQ(created->instance->published().record.txn_id, 1u) << c.name;
    }
    EXPECT_EQ(std::filesystem::file_size(path), 8192u) << c.name;
    EXPECT_TRUE(Database::open(path, creating(false))) << c.name;
  }
}

TEST(FileCreation, files_holding_more_than_a_creation_cut_short_are_left_alone) {
  Bytes page = first_page({});
  Bytes damaged_slot = page;
  damaged_slot[kSlot0 + 100] ^= 1;
  Bytes zero_head_with_a_page = Bytes(3 * 4096, 0);
  zero_head_with_a_page[5000] = 1;
  struct Case {
    const char* name;
    Bytes bytes;
    ErrorKind kind;
  } cases[] = {
      {"foreign", Bytes{'h', 'e', 'l', 'l', 'o'}, ErrorKind::NotADatabase},
      {"zero head, data past it", zero_head_with_a_page, ErrorKind::NotADatabase},
      {"damaged first record", damaged_slot, ErrorKind::Corrupted},
      {"zero file longer than any page", Bytes(kMaxPageSize + 4096, 0), ErrorKind::NotADatabase},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    std::string path = dir.file("a.db");
    write_file(path, c.bytes);
    auto r = Database::open(path, creating(true));
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().kind(), c.kind) << c.name << ": " << r.error().to_string();
    EXPECT_EQ(read_file(path), c.bytes) << c.name;
  }
}

TEST(FileCreation, finishing_a_creation_in_place_survives_a_crash_at_every_point) {
  // What another creator, encrypted and with another page size, left behind.
  OpenOptions theirs;
  theirs.page_size = 16384;
  std::array<std::uint8_t, 32> key{};
  key[0] = 9;
  theirs.credential = Credential::key(key);
  Bytes their_page = first_page(theirs);
  Bytes ours = first_page({});
  for (const Bytes& start : {zeroed(their_page, kSlot0, kSlot1), zeroed(their_page, 0, kSlot0)}) {
    testing_support::for_each_crash_image(
        start, [&](FaultStorage& s) { (void)creation::write_first_page(s, ours); },
        [&](const Bytes& image, std::uint64_t point, std::uint64_t seed) {
          FaultStorage disk("crash.db", image);
          if (creation::cut_short(disk).value()) return;
          ASSERT_GE(image.size(), kHeadSize) << point << "/" << seed;
          EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + kHeadSize, image.begin()))
              << "a crash at " << point << " (seed " << seed << ") mixed two creators' heads";
        },
        16);
  }
}

TEST(FileCreation, network_file_system_is_refused_before_anything_is_created) {
  testing::TempDir dir;
  set_file_system_type_probe(
      [](int, const std::string&) -> Result<std::uint64_t> { return 0x6969; });
  auto r = Database::open(dir.file("a.db"), creating(true));
  set_file_system_type_probe(nullptr);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::UnsupportedFileSystem);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// A dangling symbolic link takes the name, so a new file cannot be put there;
// a new database is not made through the link either. The creating open
// says so, naming the link, instead of NOT_FOUND, the answer to an open that
// was not asked to create; the link stays, and nothing is made beside it or
// where it points.
TEST(FileCreation, creating_open_on_a_dangling_symbolic_link_is_refused_as_such) {
  testing::TempDir dir;
  const std::string path = dir.file("a.db");
  std::filesystem::create_symlink(dir.file("missing.db"), path);
  auto created = Database::open(path, creating(true));
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().kind(), ErrorKind::Io) << created.error().to_string();
  EXPECT_NE(created.error().to_string().find("symbolic link"), std::string::npos)
      << created.error().to_string();
  EXPECT_NE(created.error().to_string().find(path), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_symlink(path));
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing.db")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  auto opened = Database::open(path, creating(false));
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().kind(), ErrorKind::NotFound);
}

// Names up to the longest the file system takes (255 bytes) are created,
// and nothing else is left beside them: the temporary name made on the way,
// 22 bytes longer, is cut to fit.
TEST(FileCreation, longest_names_are_created_and_leave_nothing_beside_them) {
  for (std::size_t length : {233u, 234u, 240u, 255u}) {
    SCOPED_TRACE(length);
    testing::TempDir dir;
    const std::string path = dir.file(std::string(length, 'n'));
    auto opened = Database::open(path, creating(true));
    ASSERT_TRUE(opened) << opened.error().to_string();
    opened->instance.reset();
    EXPECT_TRUE(Database::open(path, creating(false)));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  }
}

TEST(FileCreation, copy_fallback_places_the_bytes_and_never_replaces) {
  testing::TempDir dir;
  write_file(dir.file("src"), Bytes(10000, 7));
  write_file(dir.file("taken"), Bytes{1});
  auto placed = Database::copy_into_place(dir.file("src"), dir.file("dst"));
  ASSERT_TRUE(placed) << placed.error().to_string();
  EXPECT_EQ(*placed, fs::LinkOutcome::Linked);
  EXPECT_EQ(read_file(dir.file("dst")), Bytes(10000, 7));
  auto refused = Database::copy_into_place(dir.file("src"), dir.file("taken"));
  ASSERT_TRUE(refused);
  EXPECT_EQ(*refused, fs::LinkOutcome::AlreadyExists);
  EXPECT_EQ(read_file(dir.file("taken")), Bytes{1});
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
