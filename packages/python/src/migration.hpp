// The migration members of NativeTransaction: the work of previous,
// previous_keys and next_step split, like every member, into conversion
// with the interpreter lock held, engine work without it, and the result
// built once it is back.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "format/object/value.hpp"
#include "python.hpp"
#include "schema/stage.hpp"

namespace deziro::binding::migrating {

struct PreviousRequest {
  // Borrows the call's argument.
  std::string_view collection;
  // previous: the key looked up.
  std::optional<Value> key;
};

// Nothing with the exception set.
std::optional<PreviousRequest> prepare_previous(PyObject* args, PyObject* kwargs);
std::optional<PreviousRequest> prepare_previous_keys(PyObject* args, PyObject* kwargs);

// The results: a dict or None, and a list of keys. New references, or null
// with the exception set.
PyObject* build_previous(const std::optional<ObjectMap>& object);
PyObject* build_keys(const std::vector<Value>& keys);
// next_step: the version taken, or None once every version was.
PyObject* build_step(const std::optional<std::uint64_t>& version);

}  // namespace deziro::binding::migrating
