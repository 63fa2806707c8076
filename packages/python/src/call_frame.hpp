// The frame of every entry from the interpreter into the binding: the body
// runs so that no C++ exception crosses into the interpreter. A C++
// exception becomes the internal-failure exception (MemoryError for an
// exhausted allocator), and a body that fails without setting a Python
// exception is itself an internal failure.
#pragma once

#include <utility>

#include "python.hpp"

namespace deziro::binding {

// Sets the Python exception for the C++ exception being handled; called
// only from inside a catch block.
void report_current_exception() noexcept;

// Sets the internal failure for a body that returned failure with no
// Python exception set.
void report_silent_failure() noexcept;

// For functions and methods: `body` returns a new reference, or null with
// a Python exception set.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    PyObject* result = std::forward<Body>(body)();
    if (result == nullptr && !PyErr_Occurred()) report_silent_failure();
    return result;
  } catch (...) {
    report_current_exception();
    return nullptr;
  }
}

// For slots that answer 0 or -1 (the module's exec step, __init__, setters):
// `body` returns true on success, false with a Python exception set.
template <typename Body>
int guarded_status(Body&& body) noexcept {
  try {
    if (std::forward<Body>(body)()) return 0;
    if (!PyErr_Occurred()) report_silent_failure();
    return -1;
  } catch (...) {
    report_current_exception();
    return -1;
  }
}

}  // namespace deziro::binding
