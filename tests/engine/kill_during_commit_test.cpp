// A real process killed with SIGKILL while it commits: every commit that
// returned before the kill is in the file when it is opened again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "database.hpp"
#include "support/commit_check.hpp"
#include "support/temp_dir.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace {

ByteView b(const std::string& s) { return bytes_of(s); }

// The child: commits forever, telling the parent each commit that returned.
[[noreturn]] void commit_forever(const std::string& path, int ack_fd) {
  auto opened = Database::open(path, OpenOptions{});
  if (!opened) _exit(2);
  for (std::uint32_t i = 0;; ++i) {
    auto w = WriteTxn::begin(opened->instance);
    if (!w) _exit(3);
    std::string n = std::to_string(i);
    std::string filler(50 + i % 700, char('a' + i % 26));
    if (!(*w)->put(b("t"), b("k" + n), b(filler)) || !(*w)->put(b("t"), b("last"), b(n)) ||
        (i % 3 == 0 && !(*w)->del(b("t"), b("k" + std::to_string(i / 2)))))
      _exit(4);
    if (!(*w)->commit()) _exit(5);
    if (::write(ack_fd, &i, sizeof i) != sizeof i) _exit(6);
  }
}

TEST(KillDuringCommit, every_returned_commit_survives_sigkill) {
  testing::TempDir dir;
  std::string path = dir.file("killed.db");
  std::int64_t last_acked = -1;
  for (int round = 0; round < 4; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(fds[0]);
      commit_forever(path, fds[1]);
    }
    ::close(fds[1]);
    // Let it get going, then kill it at some moment inside its loop.
    std::uint32_t ack = 0;
    int wanted = 20 + round * 15;
    for (int got = 0; got < wanted; ++got)
      ASSERT_EQ(::read(fds[0], &ack, sizeof ack), ssize_t(sizeof ack));
    std::this_thread::sleep_for(std::chrono::microseconds(300 * round));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended on its own: " << status;
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

}  // namespace
}  // namespace deziro
