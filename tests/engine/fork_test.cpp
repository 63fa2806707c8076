// Forked processes and what they inherit: a write transaction begun before
// the fork, the inherited handle of a child that opened the file itself, and
// a descendant that is given the opener's process id again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "crypto/page_protection.hpp"
#include "database.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using namespace std::chrono_literals;
using testing::Child;
using testing::Signal;

ByteView b(const char* s) { return bytes_of(std::string_view(s)); }

OpenOptions options_with(std::chrono::milliseconds busy) {
  OpenOptions o;
  o.busy_timeout = busy;
  return o;
}

bool closed(const Error& e) {
  return e.kind() == ErrorKind::Closed && e.to_string() == "the database has been closed";
}

class Forks : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  std::string path_ = dir_.file("forks.db");
};

TEST_F(Forks, write_begun_before_a_fork_cannot_be_used_in_the_child) {
  auto opened = Database::open(path_, options_with(2000ms));
  ASSERT_TRUE(opened);
  auto r = ReadTxn::begin(opened->instance);
  ASSERT_TRUE(r);
  auto w = WriteTxn::begin(opened->instance);
  ASSERT_TRUE(w);
  ASSERT_TRUE((*w)->put(b("t"), b("parent"), b("1")));
  Child child = Child::forked([&] {
    auto put = (*w)->put(b("t"), b("child"), b("1"));
    if (put || !closed(put.error())) return 2;
    auto got = r->open_tree(b("t"), b("parent"));
    if (got || !closed(got.error())) return 3;
    auto committed = (*w)->commit();
    if (committed || !closed(committed.error())) return 4;
    return 0;
  });
  EXPECT_EQ(child.wait(), 0);
  // The parent's transaction is untouched and commits alone.
  ASSERT_TRUE((*w)->commit());
  auto after = ReadTxn::begin(opened->instance);
  ASSERT_TRUE(after);
  EXPECT_TRUE(after->open_tree(b("t"), b("parent")).value());
  EXPECT_FALSE(after->open_tree(b("t"), b("child")).value());
}

TEST_F(Forks, child_keeps_its_own_locks_when_the_inherited_handle_goes) {
  auto opened = Database::open(path_, options_with(200ms));
  ASSERT_TRUE(opened);
  Signal writing, done;
  Child child = Child::forked([&] {
    auto own = Database::open(path_, options_with(2000ms));
    if (!own || own->instance == opened->instance) return 2;
    auto w = WriteTxn::begin(own->instance);
    if (!w) return 3;
    // The inherited handle goes while the child's write runs.
    opened->instance.reset();
    writing.send();
    if (done.receive() == 0) return 4;
    return (*w)->commit() ? 0 : 5;
  });
  ASSERT_EQ(writing.receive(), 'x');
  auto second = WriteTxn::begin(opened->instance);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().kind(), ErrorKind::Busy);
  done.send();
  EXPECT_EQ(child.wait(), 0);
}

// Runs `before` in a process O of a private process-id namespace, forks a
// child D there, runs `after` in O, and once O has ended runs `descendant`
// in a child of D given O's process id again. The exit code of `descendant`
// comes back; 77 when this machine cannot make such a namespace.
int with_recycled_pid(const std::function<void()>& before, const std::function<void()>& after,
                      const std::function<int()>& descendant) {
  Child outer = Child::forked([&] {
    if (::unshare(CLONE_NEWPID) != 0) return 77;
    Child init = Child::forked([&] {
      // Process 1 of the namespace: reaps O, then D and its child.
      pid_t o = ::fork();
      if (o == 0) {
        before();
        pid_t opener = ::getpid();
        // No thread of the open may be inside the allocator at the fork.
        if (!testing::wait_single_threaded()) ::_exit(102);
        pid_t d = ::fork();
        if (d == 0) {
          for (int attempt = 0; attempt < 500; ++attempt) {
            std::this_thread::sleep_for(2ms);
            int f = ::open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
            if (f < 0) ::_exit(77);
            std::string last = std::to_string(opener - 1);
            bool set = ::write(f, last.data(), last.size()) == ssize_t(last.size());
            ::close(f);
            if (!set) ::_exit(77);
            pid_t e = ::fork();
            if (e == 0) ::_exit(::getpid() == opener ? descendant() : 100);
            int status = 0;
            ::waitpid(e, &status, 0);
            if (!WIFEXITED(status)) ::_exit(101);
            // 100: the id was still taken by O, not yet reaped.
            if (WEXITSTATUS(status) != 100) ::_exit(WEXITSTATUS(status));
          }
          ::_exit(77);
        }
        after();
        ::_exit(0);
      }
      int code = 0, status = 0;
      while (::wait(&status) > 0)
        if (WIFEXITED(status) && WEXITSTATUS(status) != 0) code = WEXITSTATUS(status);
      return code;
    });
    return init.wait();
  });
  return outer.wait();
}

TEST(RecycledPid, descendant_given_the_openers_pid_draws_fresh_nonces_and_is_closed_out) {
  testing::TempDir dir;
  std::string path = dir.file("recycled.db");
  std::array<std::uint8_t, PageProtection::kKeySize> key{};
  key.fill(3);
  auto protection =
      PageProtection::with_key(std::uint8_t(PageCipher::XChaCha20Poly1305), key).value();
  std::vector<std::uint8_t> page(4096, 1);
  int nonces[2];
  ASSERT_EQ(::pipe(nonces), 0);
  std::shared_ptr<Instance> inherited;
  auto send_nonce = [&] {
    if (!protection.seal_page(2, page)) ::_exit(110);
    if (::write(nonces[1], page.data(), kPageNonceSize) != ssize_t(kPageNonceSize)) ::_exit(111);
  };
  int code = with_recycled_pid(
      [&] {
        // The opener draws its batch of nonces and opens the file.
        if (!protection.seal_page(1, page)) ::_exit(112);
        auto opened = Database::open(path, options_with(500ms));
        if (!opened) ::_exit(113);
        inherited = opened->instance;
      },
      send_nonce,
      [&] {
        send_nonce();
        auto w = WriteTxn::begin(inherited);
        return !w && closed(w.error()) ? 0 : 2;
      });
  if (code == 77) GTEST_SKIP() << "no private process-id namespace here";
  EXPECT_EQ(code, 0);
  std::array<std::uint8_t, 2 * kPageNonceSize> got{};
  ASSERT_EQ(::read(nonces[0], got.data(), got.size()), ssize_t(got.size()));
  ::close(nonces[0]);
  ::close(nonces[1]);
  EXPECT_NE(std::memcmp(got.data(), got.data() + kPageNonceSize, kPageNonceSize), 0);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
