// DZ_ASSERT(condition): a cheap local invariant of the engine's own making
// (a node's keys in order, a cursor's path not empty), checked in debug and
// sanitizer builds and compiled out where NDEBUG is defined (release builds),
// where the condition is not evaluated.
//
// A failed check throws InvariantFailure, which stops the call: the binding
// turns it into its internal-failure exception, a test into a failure. What
// a damaged file or a caller's argument can make false is no invariant: that
// is an Error (CORRUPTED, INVALID_ARGUMENT), checked in every build.
#pragma once

#include <stdexcept>

namespace deziro {

class InvariantFailure : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Throws InvariantFailure naming the condition and where it is written.
[[noreturn]] void invariant_failed(const char* condition, const char* file, int line);

}  // namespace deziro

#ifdef NDEBUG
#define DZ_ASSERT(condition) static_cast<void>(sizeof(!(condition)))
#else
#define DZ_ASSERT(condition) \
  ((condition) ? static_cast<void>(0) : ::deziro::invariant_failed(#condition, __FILE__, __LINE__))
#endif
