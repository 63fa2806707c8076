#include "support/child_process.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace deziro::testing {

Child::Child(const std::function<int()>& body) {
  pid_ = ::fork();
  if (pid_ == 0) ::_exit(body());
  if (pid_ < 0) std::abort();
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

}  // namespace deziro::testing
