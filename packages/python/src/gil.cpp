#include "gil.hpp"

#include <cxxabi.h>
#include <unistd.h>

namespace deziro::binding {

// A thread that takes the interpreter lock back once the interpreter has
// begun to finalize is ended there with pthread_exit (Python 3.11 to 3.13).
// Its forced unwinding would leave through ~AllowThreads, which may not
// throw, and abort the process in std::terminate. So the unwinding is caught
// here and the thread parked until the process ends, as newer interpreters
// do themselves. Until finalization begins (exit hooks included, which may
// wait for such a thread) the lock is taken back as at any other time, and
// the thread running the exit is never ended.

namespace {

[[noreturn]] void park_until_the_process_ends() noexcept {
  for (;;) ::pause();
}

}  // namespace

AllowThreads::AllowThreads() : state_(PyEval_SaveThread()) {}

AllowThreads::~AllowThreads() {
  try {
    PyEval_RestoreThread(state_);
  } catch (abi::__forced_unwind&) {
    // A handler of the forced unwinding must rethrow it if it ends; this one
    // never ends.
    park_until_the_process_ends();
  }
}

}  // namespace deziro::binding
