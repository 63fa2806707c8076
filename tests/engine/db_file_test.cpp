#include "storage/db_file.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <vector>

#include "storage/positioned_io.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dzfileXXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const char* name) const {
    return (std::filesystem::path(path_) / name).string();
  }

 private:
  std::string path_;
};

std::vector<std::uint8_t> pattern_bytes(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

TEST(DbFile, missing_file_is_not_found_with_its_path) {
  TempDir dir;
  auto file = DbFile::open(dir.file("absent.db"), DbFileMode::ReadWrite);
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().kind(), ErrorKind::NotFound);
  EXPECT_EQ(file.error().path(), dir.file("absent.db"));
}

TEST(DbFile, create_new_refuses_an_existing_name) {
  TempDir dir;
  ASSERT_TRUE(DbFile::open(dir.file("a.db"), DbFileMode::CreateNew));
  auto again = DbFile::open_or_errno(dir.file("a.db"), DbFileMode::CreateNew);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error(), EEXIST);
  auto as_error = DbFile::open(dir.file("a.db"), DbFileMode::CreateNew);
  ASSERT_FALSE(as_error);
  EXPECT_EQ(as_error.error().kind(), ErrorKind::Io);
  EXPECT_TRUE(
      as_error.error().to_string().starts_with("I/O error on `" + dir.file("a.db") + "`: "));
}

TEST(DbFile, writes_read_back_and_length_follows) {
  TempDir dir;
  auto file = DbFile::open(dir.file("a.db"), DbFileMode::CreateNew).value();
  auto data = pattern_bytes(10000, 3);
  ASSERT_TRUE(file.write_at(100, data));
  EXPECT_EQ(file.len_or_error().value(), 10100u);
  std::vector<std::uint8_t> back(10000);
  ASSERT_TRUE(file.read_exact_at(100, back));
  EXPECT_EQ(back, data);
  ASSERT_TRUE(file.sync());
}

TEST(DbFile, read_past_the_end_returns_only_what_exists) {
  TempDir dir;
  auto file = DbFile::open(dir.file("a.db"), DbFileMode::CreateNew).value();
  ASSERT_TRUE(file.write_at(0, pattern_bytes(100, 1)));
  std::vector<std::uint8_t> back(300);
  EXPECT_EQ(file.read_at(50, back).value(), 50u);
  auto exact = file.read_exact_at(50, back);
  ASSERT_FALSE(exact);
  EXPECT_EQ(exact.error().kind(), ErrorKind::Corrupted);
  EXPECT_EQ(exact.error().message(),
            "a read of 300 bytes at byte 50 runs past the end of the file");
}

TEST(DbFile, vectored_write_places_buffers_back_to_back) {
  TempDir dir;
  auto file = DbFile::open(dir.file("a.db"), DbFileMode::CreateNew).value();
  auto a = pattern_bytes(4096, 1), b = pattern_bytes(0, 0), c = pattern_bytes(8192, 9);
  ConstByteSpan parts[] = {a, b, c};
  ASSERT_TRUE(file.write_vectored_at(4096, parts));
  std::vector<std::uint8_t> back(4096 + 8192);
  ASSERT_TRUE(file.read_exact_at(4096, back));
  EXPECT_TRUE(std::equal(a.begin(), a.end(), back.begin()));
  EXPECT_TRUE(std::equal(c.begin(), c.end(), back.begin() + 4096));
}

TEST(DbFile, vectored_write_of_more_buffers_than_iov_max) {
  TempDir dir;
  auto file = DbFile::open(dir.file("a.db"), DbFileMode::CreateNew).value();
  std::vector<std::vector<std::uint8_t>> pages;
  std::vector<ConstByteSpan> parts;
  for (int i = 0; i < IOV_MAX + 37; ++i)
    pages.push_back(pattern_bytes(16, static_cast<std::uint8_t>(i)));
  for (auto& p : pages) parts.push_back(p);
  ASSERT_TRUE(file.write_vectored_at(0, parts));
  std::vector<std::uint8_t> back(16 * pages.size());
  ASSERT_TRUE(file.read_exact_at(0, back));
  for (std::size_t i = 0; i < pages.size(); ++i)
    ASSERT_TRUE(std::equal(pages[i].begin(), pages[i].end(), back.begin() + 16 * i)) << i;
}

TEST(DbFile, set_len_cuts_and_extends_with_zeros) {
  TempDir dir;
  auto file = DbFile::open(dir.file("a.db"), DbFileMode::CreateNew).value();
  ASSERT_TRUE(file.write_at(0, pattern_bytes(8192, 5)));
  ASSERT_TRUE(file.set_len(4096));
  EXPECT_EQ(file.len_or_error().value(), 4096u);
  ASSERT_TRUE(file.set_len(12288));
  std::vector<std::uint8_t> tail(8192);
  ASSERT_TRUE(file.read_exact_at(4096, tail));
  EXPECT_TRUE(std::all_of(tail.begin(), tail.end(), [](auto b) { return b == 0; }));
}

TEST(DbFile, write_to_a_read_only_file_fails_as_io_naming_the_path) {
  TempDir dir;
  { ASSERT_TRUE(DbFile::open(dir.file("a.db"), DbFileMode::CreateNew)); }
  auto file = DbFile::open(dir.file("a.db"), DbFileMode::ReadOnly).value();
  auto written = file.write_at(0, pattern_bytes(10, 0));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().kind(), ErrorKind::Io);
  EXPECT_EQ(written.error().to_string(),
            "I/O error on `" + dir.file("a.db") + "`: Bad file descriptor (os error 9)");
}

TEST(DbFile, moved_from_file_does_not_close_the_descriptor_twice) {
  TempDir dir;
  auto file = DbFile::open(dir.file("a.db"), DbFileMode::CreateNew).value();
  int fd = file.descriptor();
  DbFile moved = std::move(file);
  EXPECT_EQ(moved.descriptor(), fd);
  EXPECT_EQ(file.descriptor(), -1);
  ASSERT_TRUE(moved.write_at(0, pattern_bytes(10, 0)));
}

// The retry loops, driven by system calls that misbehave on purpose.

TEST(PositionedIo, short_and_interrupted_writes_are_resumed) {
  std::vector<std::uint8_t> disk(1000, 0);
  auto data = pattern_bytes(1000, 11);
  int calls = 0;
  auto flaky = [&](const void* buf, std::size_t n, off_t at) -> ssize_t {
    ++calls;
    if (calls % 3 == 1) {
      errno = EINTR;
      return -1;
    }
    std::size_t take = std::min<std::size_t>(n, 97);  // always short
    std::memcpy(disk.data() + at, buf, take);
    return static_cast<ssize_t>(take);
  };
  EXPECT_EQ(positioned_io::write_fully(flaky, data.data(), data.size(), 0), 0);
  EXPECT_EQ(disk, data);
}

TEST(PositionedIo, short_and_interrupted_reads_are_resumed_until_end_of_file) {
  auto disk = pattern_bytes(700, 2);
  int calls = 0;
  auto flaky = [&](void* buf, std::size_t n, off_t at) -> ssize_t {
    if (++calls % 2 == 0) {
      errno = EINTR;
      return -1;
    }
    if (static_cast<std::size_t>(at) >= disk.size()) return 0;
    std::size_t take = std::min<std::size_t>({n, 61, disk.size() - static_cast<std::size_t>(at)});
    std::memcpy(buf, disk.data() + at, take);
    return static_cast<ssize_t>(take);
  };
  std::vector<std::uint8_t> out(1000, 0xFF);
  EXPECT_EQ(positioned_io::read_fully(flaky, out.data(), out.size(), 0), 700);
  EXPECT_TRUE(std::equal(disk.begin(), disk.end(), out.begin()));
}

TEST(PositionedIo, vectored_write_resumes_inside_a_buffer) {
  std::vector<std::uint8_t> disk(3000, 0);
  auto a = pattern_bytes(1000, 1), b = pattern_bytes(1500, 2), c = pattern_bytes(500, 3);
  ConstByteSpan parts[] = {a, b, c};
  int calls = 0;
  auto flaky = [&](const iovec* iov, int count, off_t at) -> ssize_t {
    if (++calls == 2) {
      errno = EINTR;
      return -1;
    }
    // Take at most 700 bytes per call, across buffer boundaries.
    std::size_t budget = 700, written = 0;
    for (int i = 0; i < count && budget > 0; ++i) {
      std::size_t take = std::min(budget, iov[i].iov_len);
      std::memcpy(disk.data() + at + written, iov[i].iov_base, take);
      written += take;
      budget -= take;
    }
    return static_cast<ssize_t>(written);
  };
  EXPECT_EQ(positioned_io::write_vectored_fully(flaky, parts, 0), 0);
  std::vector<std::uint8_t> expected;
  for (auto p : parts) expected.insert(expected.end(), p.begin(), p.end());
  EXPECT_EQ(disk, expected);
}

TEST(PositionedIo, write_that_makes_no_progress_fails_instead_of_spinning) {
  auto data = pattern_bytes(10, 0);
  auto stuck = [](const void*, std::size_t, off_t) -> ssize_t { return 0; };
  EXPECT_EQ(positioned_io::write_fully(stuck, data.data(), data.size(), 0), EIO);
}

TEST(PositionedIo, failure_other_than_eintr_is_returned) {
  auto data = pattern_bytes(10, 0);
  auto full = [](const void*, std::size_t, off_t) -> ssize_t {
    errno = ENOSPC;
    return -1;
  };
  EXPECT_EQ(positioned_io::write_fully(full, data.data(), data.size(), 0), ENOSPC);
}

TEST(PositionedIo, offsets_beyond_the_signed_range_are_refused) {
  auto data = pattern_bytes(10, 0);
  auto never = [](const void*, std::size_t, off_t) -> ssize_t {
    ADD_FAILURE() << "no call expected";
    return -1;
  };
  EXPECT_EQ(
      positioned_io::write_fully(never, data.data(), data.size(), positioned_io::kMaxOffset - 4),
      EINVAL);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
