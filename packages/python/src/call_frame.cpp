#include "call_frame.hpp"

#include <exception>
#include <new>

#include "errors.hpp"

namespace deziro::binding {

void report_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_internal_failure(failure.what());
  } catch (...) {
    raise_internal_failure("an exception that is not a std::exception");
  }
}

void report_silent_failure() noexcept {
  raise_internal_failure("a call failed without setting an exception");
}

}  // namespace deziro::binding
