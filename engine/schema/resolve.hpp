// The resolver: the one place where collection, field and index ids are
// handed out and kept. It turns a declared schema into a Schema against the
// schema a file holds, through the migrations declared for the versions in
// between, and says which indexes to build and what is gone. It is pure: it
// reads no file and writes nothing.
//
// Beside it, the two derivations of a Schema: its declared view (the same
// schema told by names, as the application would declare it) and its
// all-optional copy, which a migration works with.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error.hpp"
#include "format/object/schema.hpp"
#include "schema/declared.hpp"
#include "schema/migration.hpp"

namespace deziro {

// An index whose tree must be built over the objects already stored.
struct IndexBuild {
  std::uint64_t collection_id = 0;
  std::uint64_t index_id = 0;
  std::uint64_t field_id = 0;
  bool unique = false;

  bool operator==(const IndexBuild&) const = default;
};

struct SchemaResolution {
  // The declared version, the collections in ascending id, the counters
  // after every id handed out.
  Schema schema;
  // New indexes and indexes to rebuild, in the order they were met.
  std::vector<IndexBuild> builds;
  // Indexes of the previous schema that the new one does not keep.
  std::vector<std::uint64_t> dropped_indexes;
  // Collections that the migrations deleted.
  std::vector<std::uint64_t> dropped_collections;
  // The steps of the applied migrations that carry one, in the order given.
  std::vector<VersionStep> steps;
  // The schema the resolution started from, unchanged.
  std::optional<Schema> previous;
};

namespace resolve {

// The schema of a file that has none yet: no collections, version 0, both
// counters at 1.
Schema empty_schema();

// Resolves `declared` against `previous` through `migrations`, which the
// caller has sorted by ascending version. Every failure is INVALID_ARGUMENT
// and keeps nothing.
Result<SchemaResolution> resolve_schema(const DeclaredSchema& declared, const Schema& previous,
                                        std::span<const DeclaredMigration> migrations);

// Declared collection name to collection id, for links.
using NameMap = std::unordered_map<std::string_view, std::uint64_t>;

// A field list of the previous schema with the counter of its scope.
struct PreviousFields {
  std::span<const Field> fields;
  std::uint64_t next_field_id = 1;
};

struct ResolvedFields {
  // In ascending field id.
  std::vector<Field> fields;
  std::uint64_t next_field_id = 1;
};

// Resolves one declared field list against the previous one (none for a new
// collection or object), keeping the ids of fields that stay and checking
// that their changes are ones stored objects survive. `path` names the list
// in messages. Recursive through embedded objects.
Result<ResolvedFields> check_field_change(std::string_view path,
                                          std::span<const DeclaredField> declared,
                                          std::optional<PreviousFields> previous,
                                          std::span<const std::uint64_t> replaced_ids,
                                          const NameMap& names);

// The kind of one declared field, whose path is `path`; `previous_embedded`
// is the previous field's object fields when it was an embedded object.
Result<FieldKind> resolve_kind(std::string_view path, const DeclaredField& field,
                               std::optional<PreviousFields> previous_embedded,
                               const NameMap& names);

// Stable sorts by ascending id.
void sort_collections(std::vector<Collection>& collections);
void sort_fields(std::vector<Field>& fields);

// The declared view of a schema: per collection its fields by name (without
// the key of an auto-increment collection), links by target name, indexes by
// field name, and the key's name. Fails (INVALID_ARGUMENT) on a schema that
// cannot be told this way, which is also the test that a stored schema is
// usable.
Result<DeclaredSchema> resolve_collections(const Schema& schema);

// A copy in which every field, at every depth of embedded objects, is
// optional; ids, kinds, defaults and counters unchanged.
Schema all_optional(const Schema& schema);
void mark_optional(std::vector<Field>& fields);

}  // namespace resolve
}  // namespace deziro
