// The schema stage that ends every open: the declared schema against the
// one the file holds, and what follows from the comparison (nothing, a
// first schema stored, a migration begun, or a refusal).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "format/object/schema.hpp"
#include "format/object/value.hpp"
#include "instance.hpp"
#include "open_options.hpp"
#include "schema/declared.hpp"
#include "schema/migration.hpp"
#include "schema/resolve.hpp"
#include "schema/resolved_schema.hpp"
#include "txn/write_txn.hpp"

namespace deziro::schema {

// None when the file already holds exactly the declared schema; otherwise
// the resolution to store. SCHEMA_TOO_NEW for a file ahead of the
// declaration, SCHEMA_MISMATCH for a change without a new version.
Result<std::optional<SchemaResolution>> check_declared(
    const DeclaredSchema& declared, const std::optional<Schema>& stored,
    std::span<const DeclaredMigration> migrations);

// The migrations to versions after `stored_version` up to `declared_version`,
// in ascending version (stable); two to one version are INVALID_ARGUMENT
// "two migrations to version {}".
Result<std::vector<DeclaredMigration>> sort_migrations(
    std::span<const DeclaredMigration> migrations, std::uint64_t stored_version,
    std::uint64_t declared_version);

// A migration under way: its write transaction already holds the new schema
// and its index changes; nothing reaches the file before finish().
class Migration {
 public:
  std::unique_ptr<WriteTxn> txn;
  // The schema the file held, and its copy with every field optional.
  Schema previous;
  Schema working;
  // The versions still to take, from `next_version` up to `last_version`
  // unless `taken_all`, and the steps of the migrations to some of them, in
  // ascending version. Versions are counted rather than listed: a
  // declaration may jump far ahead of the file's version.
  std::uint64_t next_version = 1;
  std::uint64_t last_version = 0;
  bool taken_all = false;
  std::vector<VersionStep> steps;

  std::uint64_t versions_left() const {
    return taken_all || next_version > last_version ? 0 : last_version - next_version + 1;
  }
  // Collections of the previous schema that the migration deletes.
  std::vector<std::uint64_t> dropped_collections;
  // The schema the migration leads to.
  std::shared_ptr<const ResolvedSchema> target;

  // Runs the next version's step; none once every version has been taken.
  // The entry is consumed whether or not its step succeeds.
  Result<std::optional<std::uint64_t>> next_step();
  // Runs the steps left, removes the deleted collections' trees and
  // counters, and commits durably. The transaction is over either way.
  Status finish();

  // Reads as the previous schema stored them, through the migration's
  // transaction (so a deleted collection stays readable until finish). A
  // name the previous schema lacks is INVALID_ARGUMENT "the schema has no
  // collection called `{}`".
  // The object stored under `key`, by the previous schema's field names.
  Result<std::optional<ObjectMap>> previous_object(std::string_view collection, const Value& key);
  // Every primary key of the collection, in key order. The record tree's
  // buffered writes are stored first, so writes made earlier in the
  // migration never stop the walk.
  Result<std::vector<Value>> previous_keys(std::string_view collection);
};

struct SchemaStage {
  // The handle's schema: the declared one, else the stored one, else none.
  std::shared_ptr<const ResolvedSchema> resolved;
  // Set when the file holds an older schema version than the declared one.
  std::unique_ptr<Migration> migration;
};

// Runs the stage on the published commit of an open file and carries out
// what it requires: stores a first schema (committed), or begins a
// migration (left uncommitted), or refuses.
Result<SchemaStage> run_schema_stage(const std::shared_ptr<Instance>& instance,
                                     const OpenOptions& options);

}  // namespace deziro::schema
