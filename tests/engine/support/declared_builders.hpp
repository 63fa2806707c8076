// Short builders for declared schemas in tests.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "schema/declared.hpp"
#include "schema/migration.hpp"

namespace deziro::test {

inline DeclaredField required(std::string name, DeclaredKind kind) {
  return DeclaredField{std::move(kind), std::move(name), std::nullopt, false};
}

inline DeclaredField optional(std::string name, DeclaredKind kind) {
  return DeclaredField{std::move(kind), std::move(name), std::nullopt, true};
}

inline DeclaredField defaulted(std::string name, DeclaredKind kind, Value value) {
  return DeclaredField{std::move(kind), std::move(name), std::move(value), false};
}

inline DeclaredCollection auto_collection(std::string name, std::vector<DeclaredField> fields,
                                          std::vector<DeclaredIndex> indexes = {}) {
  return DeclaredCollection{std::move(name), std::move(fields), std::move(indexes), std::nullopt};
}

inline DeclaredCollection keyed_collection(std::string name, std::string key,
                                           std::vector<DeclaredField> fields,
                                           std::vector<DeclaredIndex> indexes = {}) {
  return DeclaredCollection{std::move(name), std::move(fields), std::move(indexes), std::move(key)};
}

inline DeclaredSchema declared(std::uint64_t version, std::vector<DeclaredCollection> collections) {
  return DeclaredSchema{version, std::move(collections)};
}

inline DeclaredMigration migration_to(std::uint64_t version) {
  DeclaredMigration m;
  m.version = version;
  return m;
}

// An embedded object `depth` levels deep: field "e" holds an object whose
// field "e" holds an object ..., the innermost holding `innermost`.
inline DeclaredField nested_objects(std::size_t depth,
                                    DeclaredField innermost = required("x",
                                                                       DeclaredKind::integer())) {
  DeclaredField inner = std::move(innermost);
  for (std::size_t level = 0; level < depth; ++level)
    inner = required("e", DeclaredKind::object({std::move(inner)}));
  return inner;
}

}  // namespace deziro::test
