#include "support/child_process.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "lock/background.hpp"

namespace deziro::testing {
namespace {

constexpr const char* kChildFlag = "--deziro-child";

std::map<std::string, ChildBody>& bodies() {
  static std::map<std::string, ChildBody> registered;
  return registered;
}

}  // namespace

bool register_child(const char* name, ChildBody body) {
  if (!bodies().emplace(name, body).second) {
    std::fprintf(stderr, "child body `%s` registered twice\n", name);
    std::abort();
  }
  return true;
}

void run_child_if_asked(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[1], kChildFlag) != 0) return;
  auto found = bodies().find(argv[2]);
  if (found == bodies().end()) {
    std::fprintf(stderr, "no child body `%s`\n", argv[2]);
    ::_exit(127);
  }
  int code = found->second(ChildArgs(std::vector<std::string>(argv + 3, argv + argc)));
  std::fflush(nullptr);
  // As a forked child would: no static destructors, no exit-time checks.
  ::_exit(code);
}

Child::Child(const std::string& body, std::initializer_list<ChildArg> args) {
  if (!bodies().contains(body)) {
    ADD_FAILURE() << "no child body `" << body << "`";
    std::abort();
  }
  // Everything the child needs is made before the fork: between fork and
  // exec it may only call what is safe after a fork in a threaded process.
  std::vector<std::string> words{"/proc/self/exe", kChildFlag, body};
  for (const ChildArg& a : args) words.push_back(a.text);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::execv("/proc/self/exe", argv.data());
    ::_exit(126);
  }
  if (pid_ < 0) std::abort();
}

Child Child::forked(const std::function<int()>& body) {
  // A thread of this process may hold a lock of the allocator at the fork,
  // and the child would then wait for it for ever.
  if (!wait_single_threaded()) {
    ADD_FAILURE() << "a forked child needs a parent with no other thread";
    std::abort();
  }
  Child child;
  child.pid_ = ::fork();
  if (child.pid_ == 0) ::_exit(body());
  if (child.pid_ < 0) std::abort();
  return child;
}

Child::Child(Child&& other) noexcept
    : pid_(other.pid_), reaped_(other.reaped_), status_(other.status_) {
  other.reaped_ = true;
}

Child::~Child() {
  if (!reaped_) {
    kill_now();
    wait();
  }
}

int Child::wait() {
  if (!reaped_) {
    while (::waitpid(pid_, &status_, 0) < 0) {
    }
    reaped_ = true;
  }
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  return 1000 + (WIFSIGNALED(status_) ? WTERMSIG(status_) : 0);
}

void Child::kill_now() {
  if (!reaped_) ::kill(pid_, SIGKILL);
}

Signal::Signal() {
  if (::pipe(fds_) != 0) std::abort();
}

Signal::~Signal() {
  ::close(fds_[0]);
  ::close(fds_[1]);
}

void Signal::send(char c) {
  if (::write(fds_[1], &c, 1) != 1) std::abort();
}

char Signal::receive(std::chrono::milliseconds timeout) {
  pollfd p{fds_[0], POLLIN, 0};
  if (::poll(&p, 1, int(timeout.count())) != 1) return 0;
  char c = 0;
  if (::read(fds_[0], &c, 1) != 1) return 0;
  return c;
}

std::string Signal::as_argument() const {
  return std::to_string(fds_[0]) + "," + std::to_string(fds_[1]);
}

Signal ChildArgs::signal(std::size_t i) const {
  const std::string& s = args_.at(i);
  std::size_t comma = s.find(',');
  return Signal(std::stoi(s.substr(0, comma)), std::stoi(s.substr(comma + 1)));
}

bool single_threaded() {
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return false;
  int threads = 0;
  while (dirent* e = ::readdir(dir))
    if (e->d_name[0] != '.') ++threads;
  ::closedir(dir);
  return threads == 1;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  auto give_up = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool wait_single_threaded() {
  auto idle_end = keeper::set_idle_end_for_tests(std::chrono::milliseconds(0));
  bool alone = eventually(single_threaded);
  keeper::set_idle_end_for_tests(idle_end);
  return alone;
}

}  // namespace deziro::testing
