#include "schema/stage.hpp"

#include <algorithm>

#include "format/object/names.hpp"
#include "format/object/schema_codec.hpp"
#include "schema/objects.hpp"
#include "schema/open.hpp"
#include "text_format.hpp"
#include "txn/read_txn.hpp"

namespace deziro::schema {
namespace {

Error mismatch(std::uint64_t version, std::string_view why) {
  return Error::schema_mismatch(format_text(
      "the schema declared at version {} does not match: {}; raise the version to change it",
      version, why));
}

struct Stored {
  std::optional<Schema> schema;
  std::vector<std::uint8_t> bytes;
};

Result<Stored> load(TreeAccess& access) {
  Stored stored;
  auto bytes = DZ_TRY(access.open_tree(bytes_of(names::kMetaTree), bytes_of(names::kSchemaKey)));
  if (!bytes) return stored;
  stored.schema = DZ_TRY(load_stored(access, *bytes));
  stored.bytes = std::move(*bytes);
  return stored;
}

// The handle's schema made of what the file holds; its declared view must
// derive, which is the test that a stored schema is usable.
Result<std::shared_ptr<const ResolvedSchema>> adopt(TreeAccess& access, Stored stored) {
  if (!stored.schema) return std::shared_ptr<const ResolvedSchema>();
  auto view = resolve::resolve_collections(*stored.schema);
  if (!view)
    return fail(access.error_at(format_text("the stored schema: {}", view.error().message())));
  return ResolvedSchema::make(std::move(*stored.schema), std::move(stored.bytes));
}

}  // namespace

Result<std::vector<DeclaredMigration>> sort_migrations(
    std::span<const DeclaredMigration> migrations, std::uint64_t stored_version,
    std::uint64_t declared_version) {
  std::vector<DeclaredMigration> chosen;
  for (const DeclaredMigration& m : migrations)
    if (m.version > stored_version && m.version <= declared_version) chosen.push_back(m);
  std::stable_sort(chosen.begin(), chosen.end(),
                   [](const auto& a, const auto& b) { return a.version < b.version; });
  for (std::size_t i = 1; i < chosen.size(); ++i)
    if (chosen[i].version == chosen[i - 1].version)
      return fail(
          Error::invalid_argument(format_text("two migrations to version {}", chosen[i].version)));
  return chosen;
}

Result<std::optional<SchemaResolution>> check_declared(
    const DeclaredSchema& declared, const std::optional<Schema>& stored,
    std::span<const DeclaredMigration> migrations) {
  if (!stored) {
    SchemaResolution first = DZ_TRY(resolve::resolve_schema(declared, resolve::empty_schema(), {}));
    first.previous.reset();
    first.builds.clear();
    return std::optional<SchemaResolution>(std::move(first));
  }
  if (stored->version > declared.version)
    return fail(Error::schema_too_new(stored->version, declared.version));
  if (stored->version == declared.version) {
    auto same = resolve::resolve_schema(declared, *stored, {});
    if (!same) return fail(mismatch(declared.version, same.error().message()));
    if (schema_codec::encode_schema(same->schema) != schema_codec::encode_schema(*stored))
      return fail(
          mismatch(declared.version, "it differs from the schema the file holds at that version"));
    return std::optional<SchemaResolution>();
  }
  auto chosen = DZ_TRY(sort_migrations(migrations, stored->version, declared.version));
  SchemaResolution next = DZ_TRY(resolve::resolve_schema(declared, *stored, chosen));
  next.previous = *stored;
  return std::optional<SchemaResolution>(std::move(next));
}

Result<std::optional<std::uint64_t>> Migration::next_step() {
  if (versions_left() == 0) return std::optional<std::uint64_t>();
  const std::uint64_t version = next_version;
  // Taken whatever its step answers.
  if (version == last_version) {
    taken_all = true;
  } else {
    ++next_version;
  }
  for (const VersionStep& entry : steps)
    if (entry.version == version && entry.step) DZ_CHECK((*entry.step)(*txn, working));
  return std::optional<std::uint64_t>(version);
}

Status Migration::finish() {
  auto result = [&]() -> Status {
    // The versions left without a step need no work: only the steps run.
    for (const VersionStep& entry : steps) {
      if (versions_left() == 0 || entry.version < next_version || entry.version > last_version ||
          !entry.step)
        continue;
      next_version = entry.version;
      DZ_CHECK(next_step());
    }
    taken_all = true;
    for (std::uint64_t id : dropped_collections) {
      DZ_CHECK(txn->drop_tree(names::record_tree_name(id).bytes()));
      if (const Collection* gone = previous.collection_by_id(id))
        for (const Index& index : gone->indexes)
          DZ_CHECK(txn->drop_tree(names::index_tree_name(index.id).bytes()));
      DZ_CHECK(txn->del(bytes_of(names::kMetaTree), names::counter_key(id).bytes()));
    }
    return txn->commit();
  }();
  // Whatever happened, the migration is over; dropping an uncommitted
  // transaction aborts it.
  txn.reset();
  return result;
}

Result<SchemaStage> run_schema_stage(const std::shared_ptr<Instance>& instance,
                                     const OpenOptions& options) {
  SchemaStage stage;
  {
    // First on the published commit: most opens end here.
    ReadTxn snapshot = DZ_TRY(ReadTxn::begin(instance));
    Stored stored = DZ_TRY(load(snapshot));
    if (!options.schema) {
      stage.resolved = DZ_TRY(adopt(snapshot, std::move(stored)));
      return stage;
    }
    auto first = DZ_TRY(check_declared(*options.schema, stored.schema, options.migrations));
    if (!first) {
      stage.resolved = DZ_TRY(adopt(snapshot, std::move(stored)));
      return stage;
    }
  }
  // Something to write: again under the writer, as the file may have
  // changed in between.
  std::unique_ptr<WriteTxn> txn = DZ_TRY(WriteTxn::begin(instance));
  Stored stored = DZ_TRY(load(*txn));
  auto second = DZ_TRY(check_declared(*options.schema, stored.schema, options.migrations));
  if (!second) {
    if (!stored.schema) return fail(Error::internal("an unchanged schema that is not stored"));
    stage.resolved = DZ_TRY(adopt(*txn, std::move(stored)));
    return stage;
  }
  SchemaResolution& resolution = *second;
  std::vector<std::uint8_t> bytes = schema_codec::encode_schema(resolution.schema);
  DZ_CHECK(txn->put(bytes_of(names::kMetaTree), bytes_of(names::kSchemaKey), bytes));
  for (std::uint64_t index_id : resolution.dropped_indexes)
    DZ_CHECK(txn->drop_tree(names::index_tree_name(index_id).bytes()));
  for (const IndexBuild& build : resolution.builds)
    DZ_CHECK(objects::build_index(*txn, resolution.schema, build));
  const std::uint64_t declared_version = resolution.schema.version;
  stage.resolved = ResolvedSchema::make(std::move(resolution.schema), std::move(bytes));
  if (!resolution.previous) {
    DZ_CHECK(txn->commit());
    return stage;
  }
  auto migration = std::make_unique<Migration>();
  migration->previous = std::move(*resolution.previous);
  txn->adopt_schema(ResolvedSchema::for_migration(*stage.resolved, migration->previous));
  migration->working = resolve::all_optional(migration->previous);
  migration->next_version = migration->previous.version + 1;
  migration->last_version = declared_version;
  migration->steps = std::move(resolution.steps);
  std::stable_sort(
      migration->steps.begin(), migration->steps.end(),
      [](const VersionStep& a, const VersionStep& b) { return a.version < b.version; });
  migration->dropped_collections = std::move(resolution.dropped_collections);
  migration->target = stage.resolved;
  migration->txn = std::move(txn);
  stage.migration = std::move(migration);
  return stage;
}

}  // namespace deziro::schema
