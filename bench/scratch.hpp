// The folder a benchmark keeps its files in, gone when the benchmark ends,
// however it ends: a normal return, a failed check (`exit(1)`), a crash, or
// SIGINT, SIGTERM or SIGHUP.
//
// `scratch_folder` makes a fresh folder under the temporary folder ($TMPDIR
// or /tmp) and then forks: the benchmark goes on in the child, while the
// parent only waits for it, passing those signals on (unless ignored), removes
// the folder and leaves as the child did (its exit status, or the same
// signal). Call it first in `main`, before any thread starts.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace bench {

inline volatile sig_atomic_t g_scratch_child = 0;

inline void pass_signal_on(int signal) {
  if (g_scratch_child > 0) ::kill(pid_t(g_scratch_child), signal);
}

inline std::string scratch_folder(const char* name) {
  std::string folder =
      (std::filesystem::temp_directory_path() / ("deziro-bench-" + std::string(name) + ".XXXXXX"))
          .string();
  if (::mkdtemp(folder.data()) == nullptr) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  std::fflush(nullptr);
  // Held back until the parent passes them on, so none is lost in between.
  sigset_t held, mask;
  sigemptyset(&held);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal);
  ::sigprocmask(SIG_BLOCK, &held, &mask);
  pid_t child = ::fork();
  if (child < 0) {
    std::perror("fork");
    std::filesystem::remove(folder);
    std::exit(1);
  }
  if (child == 0) {
    ::sigprocmask(SIG_SETMASK, &mask, nullptr);
    return folder;
  }
  g_scratch_child = child;
  struct sigaction action {};
  action.sa_handler = pass_signal_on;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal the caller ignores (a background job's SIGINT) stays ignored.
    struct sigaction before {};
    if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
      ::sigaction(signal, &action, nullptr);
  }
  ::sigprocmask(SIG_SETMASK, &mask, nullptr);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  if (WIFSIGNALED(status)) {
    ::signal(WTERMSIG(status), SIG_DFL);
    ::raise(WTERMSIG(status));
  }
  std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

}  // namespace bench
