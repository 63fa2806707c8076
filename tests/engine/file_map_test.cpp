// Reads copied from a mapping of the file answer exactly as pread would,
// however the file changes under the mapping, and a SIGBUS that is not one
// of theirs still ends where it would have without them.
#include "storage/file_map.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "storage/db_file.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "support/temp_file.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

constexpr std::size_t kPage = 4096;

std::vector<std::uint8_t> page_of(std::uint8_t seed, std::size_t size = kPage) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::uint8_t>(seed * 31 + i * 7);
  return v;
}

// Another descriptor of the file: changes the file as another process would.
class Other {
 public:
  explicit Other(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT, 0600)) {}
  ~Other() { ::close(fd_); }
  void write(std::uint64_t at, const std::vector<std::uint8_t>& bytes) const {
    ASSERT_EQ(::pwrite(fd_, bytes.data(), bytes.size(), off_t(at)), ssize_t(bytes.size()));
  }
  void cut(std::uint64_t length) const { ASSERT_EQ(::ftruncate(fd_, off_t(length)), 0); }
  std::vector<std::uint8_t> read(std::uint64_t at, std::size_t size) const {
    std::vector<std::uint8_t> out(size);
    EXPECT_EQ(::pread(fd_, out.data(), size, off_t(at)), ssize_t(size));
    return out;
  }

 private:
  int fd_;
};

std::vector<std::uint8_t> read(DbFile& file, std::uint64_t at, std::size_t size) {
  std::vector<std::uint8_t> out(size, 0xEE);
  auto got = file.read_at(at, out);
  EXPECT_TRUE(got) << got.error().to_string();
  out.resize(got ? *got : 0);
  return out;
}

TEST(FileMap, reads_follow_the_file_as_another_descriptor_cuts_rewrites_and_grows_it) {
  testing_support::TempFile temp;
  Other other(temp.path());
  for (int p = 0; p < 4; ++p) other.write(p * kPage, page_of(std::uint8_t(p)));
  auto file = DbFile::open(temp.path(), DbFileMode::ReadOnly);
  ASSERT_TRUE(file);
  // The first read maps the file.
  EXPECT_EQ(read(*file, 3 * kPage, kPage), page_of(3));

  // Each step changes the file, then reads answer as pread answers now.
  struct Step {
    const char* what;
    std::uint64_t cut_to;  // the file's new length, or 0 to keep it
    int rewrite;           // the page written afresh (seed 9), or -1
    std::uint64_t at;
    std::size_t size;
    std::size_t expected;  // bytes the read returns
  } steps[] = {
      {"cut to one page: a page past the end", kPage, -1, 2 * kPage, kPage, 0},
      {"cut to one page: a read across the end", kPage, -1, 0, 2 * kPage, kPage},
      {"grown again by a write", 0, 3, 3 * kPage, kPage, kPage},
      {"rewritten in place", 0, 0, 0, kPage, kPage},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.cut_to != 0) other.cut(step.cut_to);
    if (step.rewrite >= 0) other.write(std::uint64_t(step.rewrite) * kPage, page_of(9));
    EXPECT_EQ(read(*file, step.at, step.size), other.read(step.at, step.expected));
  }
}

TEST(FileMap, a_file_ending_inside_a_page_of_memory_reads_short_as_pread_does) {
  testing_support::TempFile temp;
  Other other(temp.path());
  other.write(0, page_of(1, kPage + 100));
  auto file = DbFile::open(temp.path(), DbFileMode::ReadOnly);
  ASSERT_TRUE(file);
  // Past the end within the page the file ends in: no zeros for bytes that
  // are not there.
  EXPECT_EQ(read(*file, kPage, kPage).size(), 100u);
  EXPECT_EQ(read(*file, 0, kPage), page_of(1));
}

TEST(FileMap, a_read_across_two_mapped_chunks_is_whole) {
  testing_support::TempFile temp;
  Other other(temp.path());
  const std::uint64_t edge = FileMap::kChunkBytes;
  // Sparse: the two pages around the edge of the first chunk.
  other.write(edge - kPage, page_of(5));
  other.write(edge, page_of(6));
  auto file = DbFile::open(temp.path(), DbFileMode::ReadOnly);
  ASSERT_TRUE(file);
  std::vector<std::uint8_t> both = page_of(5);
  auto second = page_of(6);
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(read(*file, edge - kPage, 2 * kPage), both);
  EXPECT_EQ(read(*file, edge - 100, 200),
            std::vector<std::uint8_t>(both.begin() + kPage - 100, both.begin() + kPage + 100));
  EXPECT_EQ(read(*file, edge, kPage), page_of(6));
}

TEST(FileMap, threads_reading_while_the_file_is_cut_and_grown_see_whole_pages_or_the_end) {
  testing_support::TempFile temp;
  Other other(temp.path());
  constexpr int kPages = 64;
  for (int p = 0; p < kPages; ++p) other.write(p * kPage, page_of(std::uint8_t(p)));
  auto file = DbFile::open(temp.path(), DbFileMode::ReadOnly);
  ASSERT_TRUE(file);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&, t] {
      std::vector<std::uint8_t> out(kPage);
      for (unsigned i = t; !stop.load(); i += 7) {
        const int p = int(i % kPages);
        auto got = file->read_at(std::uint64_t(p) * kPage, out);
        // The file is cut at page boundaries only: a page is there or not.
        if (!got || (*got != 0 && *got != kPage) || (*got == kPage && out != page_of(p)))
          bad.fetch_add(1);
      }
    });
  for (int round = 0; round < 200; ++round) {
    other.cut(std::uint64_t(round % kPages) * kPage);
    for (int p = round % kPages; p < kPages; ++p) other.write(p * kPage, page_of(std::uint8_t(p)));
  }
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(bad.load(), 0);
}

// A mapping of a file cut to nothing, touched: SIGBUS outside any copy.
void touch_a_cut_mapping(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
  auto page = page_of(1);
  if (::pwrite(fd, page.data(), kPage, 0) != ssize_t(kPage)) ::_exit(3);
  auto* m =
      static_cast<volatile std::uint8_t*>(::mmap(nullptr, kPage, PROT_READ, MAP_SHARED, fd, 0));
  if (::ftruncate(fd, 0) != 0) ::_exit(4);
  (void)m[10];
}

void leave_with_42(int) { ::_exit(42); }

// Arguments: the database, another file, "handler" to install a handler that
// leaves with 42 first, "guard" to copy from the database's mapping then
// (which installs the guard's handler over any other), "kill" to send SIGBUS
// rather than fault.
DZ_CHILD(sigbus_outside_a_copy) {
  if (args[2] == "handler") {
    struct sigaction before {};
    before.sa_handler = leave_with_42;
    sigemptyset(&before.sa_mask);
    if (::sigaction(SIGBUS, &before, nullptr) != 0) return 2;
  }
  std::optional<DbFile> file;
  if (args[3] == "guard") {
    auto opened = DbFile::open(args[0], DbFileMode::ReadOnly);
    if (!opened) return 5;
    file.emplace(std::move(*opened));
    std::vector<std::uint8_t> out(kPage);
    if (!file->read_at(0, out) || out != page_of(1)) return 6;
  }
  if (args[4] == "kill")
    ::kill(::getpid(), SIGBUS);
  else
    touch_a_cut_mapping(args[1]);
  return 7;
}

TEST(FileMap, a_sigbus_that_is_not_a_copys_goes_where_it_went_before) {
  testing::TempDir dir;
  const std::string db = dir.file("db");
  Other(db).write(0, page_of(1));
  auto child = [&](const char* handler, const char* guard, const char* how) {
    return testing::Child("sigbus_outside_a_copy",
                          {db, dir.file(std::string(handler) + guard + how), handler, guard, how})
        .wait();
  };
  // Without the guard: how this build's process ends on such a fault (the
  // default action, or a sanitizer's report).
  const int unguarded = child("none", "bare", "fault");
  EXPECT_NE(unguarded, 7);
  struct Case {
    const char* handler;
    const char* how;
    int code;  // the child's exit code, or 1000 + the signal that ended it
  } cases[] = {
      {"handler", "fault", 42},
      {"none", "fault", unguarded},
      {"handler", "kill", 42},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.handler) + " " + c.how);
    EXPECT_EQ(child(c.handler, "guard", c.how), c.code);
  }
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
