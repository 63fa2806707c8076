// The conversions that open, set_key, set_password, backup and salvage
// share: a key, a password and a busy timeout. Each runs with the
// interpreter lock held and raises through VevaDuzor (or passes on what the
// interpreter raised). Secrets are held in owners that zero them, and every
// temporary copy is zeroed before it is released.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "crypto/credential.hpp"
#include "crypto/secret.hpp"
#include "python.hpp"

namespace deziro::binding::options {

// 32 bytes from bytes, a bytearray or a memoryview: INVALID_ARGUMENT "a key
// is 32 bytes" for another type, "a key is 32 bytes, not {}" for another
// length.
std::optional<Key32> extract_key(PyObject* object);

// The bytes of a password: the UTF-8 of a str, or the bytes of bytes, a
// bytearray or a memoryview; INVALID_ARGUMENT "a password is a str or bytes"
// otherwise. No length is tested here.
std::optional<SecretBytes> extract_password(PyObject* object);

// A str or a path-like object whose path is a str, in the file-system
// encoding; bytes paths are refused (TypeError naming `path`), and so is a
// path holding a NUL character (ValueError "embedded null byte", as the
// interpreter's own file functions say).
std::optional<std::string> file_path_from_python(PyObject* object);

// The Argon2id parameters from a tuple of three ints (memory in KiB,
// iterations, parallelism), each an unsigned 32-bit number; the binding's
// own TypeError, ValueError or OverflowError naming `password_hashing`
// otherwise. Their limits are checked later, with the other options.
std::optional<PasswordHashing> hashing_from_python(PyObject* object);

// The longest timeout kept: far beyond any wait, and short enough that a
// deadline of now plus it cannot overflow the clock.
inline constexpr std::chrono::nanoseconds kLongestTimeout{std::chrono::nanoseconds::max() / 4};

// Seconds into a duration, rounded to the nanosecond (ties to even) and
// capped at kLongestTimeout. A negative number, a NaN, an infinity or 2^64
// seconds or more is INVALID_ARGUMENT "a timeout is a number of seconds, not
// {}" with the number as its shortest decimal.
std::optional<std::chrono::nanoseconds> timeout_from_seconds(double seconds);

}  // namespace deziro::binding::options
