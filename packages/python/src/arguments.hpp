// Argument parsing. Shapes (counts, keyword names) are parsed by the
// interpreter's own PyArg_ParseTupleAndKeywords; the converters below turn
// one parsed object into a C++ value. A value of the wrong type or out of
// range gives a TypeError or OverflowError (whose message names the
// argument, but for the fixed text of an unsigned 32-bit one), never
// VevaDuzor; any other exception raised while reading the object (a
// failing __index__, the UnicodeEncodeError of a lone surrogate) passes
// through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

#include "python.hpp"

namespace deziro::binding {

// Parses `args` and `kwargs` into borrowed objects, one "O" per argument in
// `format`, with "|" before the optional ones, "$" before the keyword-only
// ones and ":name" at the end for the messages. `names` is null-terminated.
// Optional arguments not given are left as they were (initialise them to
// null). False with TypeError set when the shape is wrong.
template <typename... Objects>
bool parse_arguments(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
                     Objects**... out) {
  static_assert((std::is_same_v<Objects, PyObject> && ...), "arguments are parsed as objects");
  // The keyword list is declared without const before Python 3.13.
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), out...) != 0;
}

// A function taking keywords as PyMethodDef holds it: the interpreter calls
// it with its real type when the flags say METH_VARARGS | METH_KEYWORDS.
inline PyCFunction keywords_function(PyCFunctionWithKeywords function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// True for an optional argument that was left out or given as None.
inline bool is_absent(PyObject* value) { return value == nullptr || value == Py_None; }

// An int (anything with __index__) from 0 to 2^64 - 1.
std::optional<std::uint64_t> to_u64(PyObject* value, const char* argument);
// An int from 0 to 2^32 - 1. Another int of the signed 64-bit range gives
// OverflowError "out of range integral type conversion attempted", one
// beyond it the interpreter's own OverflowError.
std::optional<std::uint32_t> to_u32(PyObject* value, const char* argument);
// An int from -2^63 to 2^63 - 1.
std::optional<std::int64_t> to_i64(PyObject* value, const char* argument);
// A float, or anything the interpreter turns into one (an int).
std::optional<double> to_f64(PyObject* value, const char* argument);
// True or False exactly: an int is not taken for a bool.
std::optional<bool> to_bool(PyObject* value, const char* argument);
// The UTF-8 text of a str; valid while `value` lives. A lone surrogate gives
// the interpreter's UnicodeEncodeError.
std::optional<std::string_view> to_str(PyObject* value, const char* argument);

// Raises OverflowError "out of range integral type conversion attempted":
// an int that converts to a machine integer but lies outside the narrower
// range an argument allows.
std::nullptr_t raise_out_of_range();

// Rewrites a pending TypeError or OverflowError (of exactly those types) so
// that its message starts with "argument 'NAME': "; any other pending
// exception is left as it is.
void name_argument_in_error(const char* argument) noexcept;

}  // namespace deziro::binding
