// How failures reach Python. Engine errors and the binding's own errors
// become VevaDuzor(code, message) of deziro._errors; a broken invariant
// becomes the internal-failure exception. Each function sets the pending
// Python exception and returns null, so that a member can end with
// `return raise_engine_error(...)`.
#pragma once

#include <cstddef>
#include <string_view>

#include "error.hpp"
#include "python.hpp"

namespace deziro::binding {

// VevaDuzor(code of the kind, display text) for an engine error. Called with
// the interpreter lock held, after the engine work has returned.
std::nullptr_t raise_engine_error(const Error& error);

// VevaDuzor(code, message) for an error the binding detects itself (it uses
// INVALID_ARGUMENT, CLOSED and INVALID_QUERY).
std::nullptr_t new_dazi_error(ErrorKind code, std::string_view message);

// The class of internal failures: derived from BaseException so that a
// plain `except Exception` does not swallow a bug, made once per process and
// not added to the module. Borrowed; null with MemoryError set if it could
// not be made.
PyObject* internal_failure_type();

// Abandons the call with the internal-failure exception carrying `message`.
std::nullptr_t raise_internal_failure(std::string_view message) noexcept;

// A str from UTF-8 text; a byte sequence that is not UTF-8 (a path from the
// file system, say) becomes U+FFFD instead of replacing the error being
// raised with a UnicodeDecodeError. New reference, or null on MemoryError.
PyObject* text_to_str(std::string_view text) noexcept;

}  // namespace deziro::binding
