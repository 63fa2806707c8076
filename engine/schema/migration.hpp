// A declared migration: how the schema of one version is reached from the
// one before it. The resolver reads the renames, replacements and deletions;
// the step is the application's own code, which the resolver only carries.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "error.hpp"

namespace deziro {

class WriteTxn;
struct Schema;

// The application's work for one version: it runs on the migration's write
// transaction with the working schema (the previous one, every field
// optional).
using MigrationStepFn = std::function<Status(WriteTxn& txn, const Schema& working)>;
using MigrationStep = std::shared_ptr<const MigrationStepFn>;

struct FieldRename {
  std::string collection;
  std::string old_name;
  std::string new_name;

  bool operator==(const FieldRename&) const = default;
};

struct FieldReplacement {
  std::string collection;
  std::string field;

  bool operator==(const FieldReplacement&) const = default;
};

struct CollectionRename {
  std::string old_name;
  std::string new_name;

  bool operator==(const CollectionRename&) const = default;
};

struct DeclaredMigration {
  // The version this migration leads to, from 2 up to the declared version.
  std::uint64_t version = 0;
  std::vector<CollectionRename> collection_renames;
  // Top-level fields only.
  std::vector<FieldRename> field_renames;
  std::vector<std::string> collection_deletions;
  // A replaced field keeps its name and gets a new id, so the values stored
  // under the old id are no longer read.
  std::vector<FieldReplacement> field_replacements;
  // None when the application has no code for this version.
  MigrationStep step;
};

// A version on a migration's way up, with the application's step for it
// when the migration to that version carries one.
struct VersionStep {
  std::uint64_t version = 0;
  MigrationStep step;
};

}  // namespace deziro
