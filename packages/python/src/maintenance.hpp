// NativeDatabase's maintenance members, and the helpers that build the
// dicts they return.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "python.hpp"
#include "tools/check.hpp"

namespace deziro::binding::database {

// The group of maintenance methods of NativeDatabase.
const PyMethodDef* maintenance_methods();

// Set one item of a result dict, making the key string. False with the
// Python error set when the item cannot be made or set.
bool dict_set_int(PyObject* dict, const char* key, std::uint64_t value);
bool dict_set_optional_int(PyObject* dict, const char* key, std::optional<std::uint64_t> value);
// "problems": one dict per problem ("page", "tree", "message"), in order.
bool dict_set_problems(PyObject* dict, const std::vector<Problem>& problems);

}  // namespace deziro::binding::database
