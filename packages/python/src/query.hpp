// Queries from Python: the class Param, the class NativeQuery around a
// compiled query, the functions compile_query (filter tuples written into
// the intermediate form and read back by the engine) and parse_query (query
// text), and the conversion of a call's parameters.
#pragma once

#include <optional>
#include <vector>

#include "format/object/value.hpp"
#include "python.hpp"
#include "query/params.hpp"

namespace deziro::binding::query {

// The classes (borrowed), made on first use.
PyObject* param_type();
PyObject* native_query_type();

// The module functions, for the module's exec step.
PyMethodDef& compile_query_definition();
PyMethodDef& parse_query_definition();

// The compiled query of a NativeQuery; null with TypeError set for anything
// else.
const CompiledQuery* compiled_query_of(PyObject* object);

// A new NativeQuery holding `compiled`; null with the exception set.
PyObject* new_native_query(CompiledQuery compiled);

// The parameters of a call (a tuple) as values, in order. An item that does
// not convert gives INVALID_QUERY "a query compares with single values, not
// {}" with str() of the item.
std::optional<std::vector<Value>> params_from_python(PyObject* parameters);

// Param's hash of an index: SipHash-1-3 under a zero key over its 4 bytes,
// little-endian, with -1 made -2.
Py_hash_t param_hash(std::uint32_t index);

}  // namespace deziro::binding::query
