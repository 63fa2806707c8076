// Reading the sequences and fixed-size tuples that the binding's functions
// take (layout fields, schema descriptions, sort keys, paths). A failure is
// an error of the named argument: TypeError for a value of the wrong type,
// ValueError for a tuple of the wrong length, and an exception raised while
// iterating passes on (renamed for the argument when it is a TypeError).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "python.hpp"

namespace deziro::binding {

// Calls `visit` (returning false on failure, with the exception set) for
// each item of `sequence`: anything the interpreter takes for a sequence or
// an instance of collections.abc.Sequence, but not a str.
bool for_each_item(PyObject* sequence, const char* argument,
                   bool (*visit)(PyObject* item, void* context), void* context);

template <typename Visit>
bool for_each_in_sequence(PyObject* sequence, const char* argument, Visit&& visit) {
  return for_each_item(
      sequence, argument,
      [](PyObject* item, void* context) { return (*static_cast<Visit*>(context))(item); }, &visit);
}

// The items (borrowed from `object`) of a tuple (or subclass) of exactly
// `size` items.
std::optional<std::vector<PyObject*>> fixed_tuple(PyObject* object, Py_ssize_t size,
                                                  const char* argument);

// A path: a sequence (not a str) of str.
std::optional<std::vector<std::string>> path_from_python(PyObject* object, const char* argument);

}  // namespace deziro::binding
