// Forked children for tests across processes. fcntl locks belong to the
// process, so a second process is the only way to see them conflict. A child
// opens the file afresh (the registry of a forked child starts empty), does
// its part and ends with _exit: its code is 0 when every check held, another
// number naming the check that failed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

namespace deziro::testing {

class Child {
 public:
  // Forks and runs `body` in the child.
  explicit Child(const std::function<int()>& body);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Waits for the child: its exit code, or 1000 + the signal that ended it.
  int wait();
  void kill_now();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

// A one-way channel of single bytes between a parent and its children.
class Signal {
 public:
  Signal();
  ~Signal();
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;
  void send(char c = 'x');
  // The next byte, or 0 when none came within `timeout`.
  char receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace deziro::testing
