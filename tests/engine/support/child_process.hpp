// Child processes for tests across processes. fcntl locks belong to the
// process, so a second process is the only way to see them conflict.
//
// A child that keeps running after fork() in a process with threads may find
// the allocator locked for good (a thread of the parent held its lock at the
// fork; the sanitizers' allocators are not made safe across fork). So a
// child execs the test program again, which starts it single-threaded with a
// fresh runtime, and runs a body registered by name. Its code is 0 when
// every check held, another number naming the check that failed.
//
// Writing one:
//
//   // At namespace scope: the body gets its arguments as text.
//   DZ_CHILD(hold_the_write_lock) {
//     auto opened = Database::open(args[0], {});   // a path
//     if (!opened) return 2;
//     ...
//     Signal holding = args.signal(1), done = args.signal(2);
//     holding.send();
//     done.receive();
//     return 0;
//   }
//
//   // In the test: strings, numbers and signals pass as arguments.
//   Signal holding, done;
//   Child holder("hold_the_write_lock", {path_, holding, done});
//   ASSERT_EQ(holding.receive(), 'x');
//
// The body shares no memory with the test: what it needs goes through the
// arguments, and it opens files afresh (the registry of a new process is
// empty). To convert a `Child([&] { ... })` of old: move the lambda's body
// into a DZ_CHILD, turn each capture into an argument (`path_` into
// `args[0]`, a Signal into `args.signal(i)`, a number into
// `args.number(i)`), and name the body where the lambda was. A child that
// slept until killed waits on a Signal that nobody sends instead
// (`receive(std::chrono::milliseconds(-1))`).
//
// Only a test of what a forked process inherits keeps the child in the
// forked image: `Child::forked(body)` runs `body` after fork() once the
// parent has no other thread (an open file's idle threads end within
// seconds). A bare fork() is fine only in a test that opens no database and
// starts no thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace deziro::testing {

// A one-way channel of single bytes between a parent and its children. The
// descriptors stay open across exec, so a child gets it as an argument.
class Signal {
 public:
  Signal();
  // The channel whose descriptors a parent passed (`ChildArgs::signal`).
  Signal(int read_fd, int write_fd) : fds_{read_fd, write_fd} {}
  ~Signal();
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;
  void send(char c = 'x');
  // The next byte, or 0 when none came within `timeout` (a negative one
  // waits for ever: for a child that its parent ends).
  char receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(60000));
  // "READ,WRITE": the form a child reads back.
  std::string as_argument() const;

 private:
  int fds_[2] = {-1, -1};
};

// One argument of a child, as text.
struct ChildArg {
  ChildArg(std::string s) : text(std::move(s)) {}
  ChildArg(const char* s) : text(s) {}
  template <std::integral T>
  ChildArg(T n) : text(std::to_string(n)) {}
  ChildArg(const Signal& s) : text(s.as_argument()) {}
  std::string text;
};

// The arguments a child body gets.
class ChildArgs {
 public:
  explicit ChildArgs(std::vector<std::string> args) : args_(std::move(args)) {}
  const std::string& operator[](std::size_t i) const { return args_.at(i); }
  std::size_t size() const { return args_.size(); }
  std::uint64_t number(std::size_t i) const { return std::stoull(args_.at(i)); }
  Signal signal(std::size_t i) const;

 private:
  std::vector<std::string> args_;
};

using ChildBody = int (*)(const ChildArgs&);

// Registers `body` under `name`; DZ_CHILD calls it.
bool register_child(const char* name, ChildBody body);

// The test programs' main calls this first: when the program was started
// as a child, it runs the body named on the command line and exits.
void run_child_if_asked(int argc, char** argv);

class Child {
 public:
  // Starts the test program again as a child running the body registered
  // as `body`, with `args`.
  Child(const std::string& body, std::initializer_list<ChildArg> args = {});
  // Forks and runs `body` in the forked image, for tests of what a child
  // inherits. The parent must have no other thread: it waits for the
  // others to end (the engine's idle threads end by themselves).
  static Child forked(const std::function<int()>& body);
  ~Child();
  Child(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Waits for the child: its exit code, or 1000 + the signal that ended it.
  int wait();
  void kill_now();

 private:
  Child() = default;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

// Whether this process runs no thread but the calling one.
bool single_threaded();

// Polls `condition` until it holds, for at most `limit` (generous: it only
// ends a run that would otherwise hang). Whether it came to hold.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(120000));

// Waits until this process runs no thread but the calling one, as a fork
// needs: the engine's idle threads end by themselves, and the keeper thread
// is told to end as soon as it has nothing to do instead of after its idle
// time. Whether it came to that.
bool wait_single_threaded();

}  // namespace deziro::testing

// Defines and registers a child body named `name`; the body sees `args`.
#define DZ_CHILD(name)                                            \
  int dz_child_##name(const ::deziro::testing::ChildArgs& args);  \
  [[maybe_unused]] const bool dz_child_registered_##name =        \
      ::deziro::testing::register_child(#name, &dz_child_##name); \
  int dz_child_##name([[maybe_unused]] const ::deziro::testing::ChildArgs& args)
