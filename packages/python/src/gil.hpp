// Releasing the interpreter lock around engine work. No Python object may be
// touched, and no PyRef destroyed, while it is released.
#pragma once

#include <type_traits>
#include <utility>

#include "python.hpp"

namespace deziro::binding {

// Releases the interpreter lock for its lifetime and takes it back on every
// way out, an unwinding exception included. Made with the lock held.
//
// A thread that the interpreter would end as it takes the lock back (it has
// begun to finalize) is parked in the destructor until the process ends
// (gil.cpp says why).
class AllowThreads {
 public:
  AllowThreads();
  ~AllowThreads();
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `work` with the interpreter lock released and returns its result
// once the lock is held again.
template <typename Work>
auto without_gil(Work&& work) -> std::invoke_result_t<Work&&> {
  AllowThreads released;
  return std::forward<Work>(work)();
}

}  // namespace deziro::binding
