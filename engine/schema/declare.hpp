// Checks of the options of an open, the declared schema among them. They are
// pure: they read the options and nothing else, and answer nothing or the
// first problem found, as INVALID_ARGUMENT with the message alone.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "open_options.hpp"
#include "schema/declared.hpp"

namespace deziro::declare {

// The most embedded objects one inside the other that a declaration may
// nest. The stored schema spends three record levels on each, and a record
// nests at most 63 levels deep; a deeper declaration would be stored and
// then never read back.
inline constexpr std::size_t kMaxEmbeddedDepth = 19;

// Schema versions are stored as signed 64-bit ints, so a larger one could
// not be read back as it was declared.
inline constexpr std::uint64_t kMaxSchemaVersion = 9223372036854775807ULL;

Status validate_options(const OpenOptions& options);

// The field list a collection is checked and resolved with: the implicit
// auto-increment key "id" first when the collection names no key, then
// copies of the declared fields in their order.
std::vector<DeclaredField> implicit_key_fields(const DeclaredCollection& collection);

// Checks one field list (a collection's, or an embedded object's at
// `depth` embedded objects down); `path` names the list in messages.
Status check_fields(std::span<const DeclaredCollection> collections, std::string_view path,
                    std::span<const DeclaredField> fields, std::size_t depth = 0);

// Whether `value` is a default of the kind, exactly: no widening, no null.
bool default_matches(const DeclaredKind& kind, const Value& value);

}  // namespace deziro::declare
