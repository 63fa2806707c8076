// Matching a Layout against a collection, and turning the records of that
// collection into instances of the layout's class. Matching reads only plain
// data and runs without the interpreter lock; decoding runs with it held.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "layout.hpp"
#include "py_ref.hpp"
#include "schema/resolved_schema.hpp"
#include "schema/typed.hpp"

namespace deziro::binding {

// A class mapping with what messages about damaged records name.
struct BoundMapping {
  std::shared_ptr<const ClassMapping> mapping;
  std::string collection_name;
  // The database file's path.
  std::string path;
};

namespace layout {

// The layout as the engine's class check sees it.
LayoutShape engine_shape(const LayoutData& layout);

// The mapping of `layout` onto the collection at `collection`, cached in the
// resolved schema's ClassCache; INVALID_ARGUMENT "the class does not match
// the collection `{}` the database holds: {}" when it does not fit.
Result<BoundMapping> match_collection(const ResolvedSchema& resolved, std::size_t collection,
                                      const LayoutData& layout, std::string path);

}  // namespace layout

namespace values {

// One record into an instance of the layout's class, built by
// object.__new__ and filled through __dict__. `slots` is reused between
// records. New reference, or null with the exception set: a damaged record
// is CORRUPTED "an object of `{}`: {}" with the database's path.
PyObject* record_to_object(const LayoutData& layout, const BoundMapping& mapping,
                           std::span<const std::uint8_t> record, std::vector<PyRef>& slots);

}  // namespace values
}  // namespace deziro::binding
