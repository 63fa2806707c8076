// A real process killed with SIGKILL while it commits: every commit that
// returned before the kill is in the file when it is opened again.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "database.hpp"
#include "support/child_process.hpp"
#include "support/commit_check.hpp"
#include "support/temp_dir.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

ByteView b(const std::string& s) { return bytes_of(s); }

// The child: commits to args[0] forever, telling the parent through the
// descriptor args[1] each commit that returned.
DZ_CHILD(commit_forever) {
  int ack_fd = int(args.number(1));
  auto opened = Database::open(args[0], OpenOptions{});
  if (!opened) return 2;
  for (std::uint32_t i = 0;; ++i) {
    auto w = WriteTxn::begin(opened->instance);
    if (!w) return 3;
    std::string n = std::to_string(i);
    std::string filler(50 + i % 700, char('a' + i % 26));
    if (!(*w)->put(b("t"), b("k" + n), b(filler)) || !(*w)->put(b("t"), b("last"), b(n)) ||
        (i % 3 == 0 && !(*w)->del(b("t"), b("k" + std::to_string(i / 2)))))
      return 4;
    if (!(*w)->commit()) return 5;
    if (::write(ack_fd, &i, sizeof i) != sizeof i) return 6;
  }
}

// The same with transactions of hundreds of changes over a cache so small
// that each writes leaves into their pages before its commit, among them a
// sorted load past the tree's end, whose filled leaves go early too.
DZ_CHILD(commit_large_forever) {
  int ack_fd = int(args.number(1));
  OpenOptions options;
  options.cache_size = 64 * 1024;
  auto opened = Database::open(args[0], options);
  if (!opened) return 2;
  for (std::uint32_t i = 0;; ++i) {
    auto w = WriteTxn::begin(opened->instance);
    if (!w) return 3;
    std::string n = std::to_string(i);
    for (std::uint32_t j = 0; j < 400; ++j) {
      std::string filler(100 + (i + j) % 300, char('a' + (i + j) % 26));
      if (!(*w)->put(b("t"), b("k" + std::to_string((i * 7919 + j * 104729) % 20000)), b(filler)))
        return 4;
    }
    for (std::uint32_t j = 0; j < 60; ++j) {
      char key[16];
      std::snprintf(key, sizeof key, "z%010u", i * 60 + j);
      if (!(*w)->put(b("t"), b(key), b(std::string(120, 'z')))) return 4;
    }
    if (!(*w)->put(b("t"), b("k" + n), b(n)) || !(*w)->put(b("t"), b("last"), b(n))) return 4;
    if (!(*w)->commit()) return 5;
    if (::write(ack_fd, &i, sizeof i) != sizeof i) return 6;
  }
}

// Kills the child in each of four rounds as soon as it has acknowledged
// the round's number of commits, and checks the file each time. The child
// goes on committing while the parent wakes, so the kill lands somewhere in
// its next transactions: every point is checked, none is waited for.
void every_returned_commit_survives_sigkill(const char* child_name) {
  testing::TempDir dir;
  std::string path = dir.file("killed.db");
  std::int64_t last_acked = -1;
  for (int round = 0; round < 4; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    testing::Child child(child_name, {path, fds[1]});
    ::close(fds[1]);
    // Let it get going, then kill it at some moment inside its loop.
    std::uint32_t ack = 0;
    int wanted = 20 + round * 15;
    for (int got = 0; got < wanted; ++got)
      ASSERT_EQ(::read(fds[0], &ack, sizeof ack), ssize_t(sizeof ack));
    child.kill_now();
    int code = child.wait();
    ASSERT_EQ(code, 1000 + SIGKILL) << "the child ended on its own";
    // Acks already in the pipe were sent after their commits returned.
    while (::read(fds[0], &ack, sizeof ack) == ssize_t(sizeof ack)) {
    }
    ::close(fds[0]);
    last_acked = ack;

    auto opened = Database::open(path, OpenOptions{});
    ASSERT_TRUE(opened) << opened.error().to_string();
    auto problems =
        testing::check_commit(opened->instance->reader(), opened->instance->published().record);
    for (auto& p : problems) ADD_FAILURE() << p;
    auto r = ReadTxn::begin(opened->instance);
    ASSERT_TRUE(r);
    auto last = r->open_tree(b("t"), b("last"));
    ASSERT_TRUE(last && *last);
    // Each round starts counting from 0 again on the same file.
    std::int64_t stored = std::stoll(std::string((*last)->begin(), (*last)->end()));
    EXPECT_GE(stored, last_acked);
    EXPECT_LE(stored, last_acked + 1);
    auto key = r->open_tree(b("t"), b("k" + std::to_string(last_acked)));
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->has_value());
  }
}

TEST(KillDuringCommit, every_returned_commit_survives_sigkill) {
  every_returned_commit_survives_sigkill("commit_forever");
}

// A kill lands in a transaction that has written leaves early, mostly.
TEST(KillDuringCommit, a_transaction_killed_after_writing_leaves_early_loses_nothing_returned) {
  every_returned_commit_survives_sigkill("commit_large_forever");
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
