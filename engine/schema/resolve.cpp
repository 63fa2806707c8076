#include "schema/resolve.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "schema/declare.hpp"
#include "schema/refuse.hpp"
#include "text_format.hpp"

namespace deziro::resolve {
namespace {

using schema_detail::refuse;

// Counters are stored as signed 64-bit ints; a counter the file could not
// hold would hand its last id out again after the next open.
constexpr std::uint64_t kLargestStoredCounter = 9223372036854775807ULL;

Result<std::uint64_t> take_id(std::uint64_t& counter, std::string_view what) {
  if (counter >= kLargestStoredCounter)
    return refuse("the schema has handed out every {} id", what);
  return counter++;
}

Collection* find_collection(std::vector<Collection>& collections, std::string_view name) {
  for (Collection& collection : collections)
    if (collection.name == name) return &collection;
  return nullptr;
}

Field* find_field(std::vector<Field>& fields, std::string_view name) {
  for (Field& field : fields)
    if (field.name == name) return &field;
  return nullptr;
}

const Field* find_field(std::span<const Field> fields, std::string_view name) {
  for (const Field& field : fields)
    if (field.name == name) return &field;
  return nullptr;
}

const Field* find_field_by_id(std::span<const Field> fields, std::uint64_t id) {
  for (const Field& field : fields)
    if (field.id == id) return &field;
  return nullptr;
}

// Stored defaults are compared byte for byte when a schema is compared with
// the file's, so every NaN is written as one NaN and -0.0 as +0.0.
Value canonical_default(const Value& value) {
  switch (value.kind()) {
    case ValueKind::Float: {
      double x = value.as_float();
      if (std::isnan(x)) return Value::floating(std::bit_cast<double>(0x7FF8000000000000ULL));
      if (x == 0.0) return Value::floating(0.0);
      return value;
    }
    case ValueKind::List: {
      ValueList items;
      items.reserve(value.as_list().size());
      for (const Value& item : value.as_list()) items.push_back(canonical_default(item));
      return Value::list(std::move(items));
    }
    default:
      return value;
  }
}

// Whether values stored under the previous kind still read as the new one.
// Embedded objects pass here: their fields were checked field by field.
bool same_kind(const FieldKind& previous, const FieldKind& declared) {
  if (previous.code() == KindCode::List && declared.code() == KindCode::List)
    return same_kind(previous.element(), declared.element());
  if (previous.code() == KindCode::Object && declared.code() == KindCode::Object) return true;
  return previous == declared;
}

Result<FieldKind> resolve_declared_kind(std::string_view path, const DeclaredKind& kind,
                                        std::optional<PreviousFields> previous_embedded,
                                        const NameMap& names) {
  switch (kind.tag()) {
    case DeclaredKind::Tag::Bool:
      return FieldKind::boolean();
    case DeclaredKind::Tag::Int:
      return FieldKind::integer();
    case DeclaredKind::Tag::Float:
      return FieldKind::floating();
    case DeclaredKind::Tag::Str:
      return FieldKind::str();
    case DeclaredKind::Tag::Bytes:
      return FieldKind::bytes();
    case DeclaredKind::Tag::Link: {
      auto it = names.find(kind.link_target());
      if (it == names.end())
        return refuse("`{}` links to `{}`, which is not a collection", path, kind.link_target());
      return FieldKind::link(it->second);
    }
    case DeclaredKind::Tag::List: {
      FieldKind element = DZ_TRY(resolve_declared_kind(path, kind.element(), std::nullopt, names));
      return FieldKind::list(std::move(element));
    }
    case DeclaredKind::Tag::Object: {
      ResolvedFields inner =
          DZ_TRY(check_field_change(path, kind.fields(), previous_embedded, {}, names));
      return FieldKind::object(std::move(inner.fields), inner.next_field_id);
    }
  }
  return fail(Error::internal("a declared kind has no tag"));
}

// The working list of collections as the migrations leave it.
struct Working {
  std::vector<Collection> collections;
  std::uint64_t next_collection_id = 1;
  std::uint64_t next_index_id = 1;
  // Replaced field ids per collection id.
  std::unordered_map<std::uint64_t, std::vector<std::uint64_t>> replaced;
  std::vector<std::uint64_t> dropped_collections;
};

Result<Collection*> migrated_collection(Working& working, const DeclaredMigration& migration,
                                        std::string_view name) {
  Collection* collection = find_collection(working.collections, name);
  if (!collection)
    return refuse(
        "the migration to version {} names `{}`, which the schema before it does not have",
        migration.version, name);
  return collection;
}

// Field renames, replacements, collection deletions, then collection renames:
// a deletion frees its name for a rename in the same migration.
Status apply_migration(Working& working, const DeclaredMigration& migration) {
  for (const FieldRename& rename : migration.field_renames) {
    Collection* collection = DZ_TRY(migrated_collection(working, migration, rename.collection));
    if (find_field(collection->fields, rename.new_name))
      return refuse("the migration to version {} renames `{}.{}` to `{}`, which exists",
                    migration.version, rename.collection, rename.old_name, rename.new_name);
    Field* field = find_field(collection->fields, rename.old_name);
    if (!field)
      return refuse("the migration to version {} renames `{}.{}`, which does not exist",
                    migration.version, rename.collection, rename.old_name);
    field->name = rename.new_name;
  }
  for (const FieldReplacement& replacement : migration.field_replacements) {
    Collection* collection =
        DZ_TRY(migrated_collection(working, migration, replacement.collection));
    Field* field = find_field(collection->fields, replacement.field);
    if (!field)
      return refuse("the migration to version {} replaces `{}.{}`, which does not exist",
                    migration.version, replacement.collection, replacement.field);
    if (field->id == collection->primary_key_field_id)
      return refuse(
          "the migration to version {} replaces the primary key of `{}`, which cannot change",
          migration.version, replacement.collection);
    working.replaced[collection->id].push_back(field->id);
  }
  for (const std::string& name : migration.collection_deletions) {
    Collection* collection = DZ_TRY(migrated_collection(working, migration, name));
    working.dropped_collections.push_back(collection->id);
    working.collections.erase(working.collections.begin() +
                              (collection - working.collections.data()));
  }
  for (const CollectionRename& rename : migration.collection_renames) {
    Collection* collection = DZ_TRY(migrated_collection(working, migration, rename.old_name));
    if (find_collection(working.collections, rename.new_name))
      return refuse("the migration to version {} renames `{}` to `{}`, which exists",
                    migration.version, rename.old_name, rename.new_name);
    collection->name = rename.new_name;
  }
  return ok();
}

bool same_default(const Field& previous, const Field& declared) {
  if (previous.default_value.has_value() != declared.default_value.has_value()) return false;
  return !previous.default_value || *previous.default_value == *declared.default_value;
}

// Builds one declared collection against the working one of the same name
// (none when it is new), recording index builds and drops.
Result<Collection> resolve_collection(const DeclaredCollection& declared, std::uint64_t id,
                                      const Collection* previous, Working& working,
                                      const NameMap& names, SchemaResolution& out) {
  std::vector<DeclaredField> declared_fields = declare::implicit_key_fields(declared);
  std::optional<PreviousFields> previous_fields;
  std::span<const std::uint64_t> replaced;
  if (previous) {
    previous_fields = PreviousFields{previous->fields, previous->next_field_id};
    auto it = working.replaced.find(previous->id);
    if (it != working.replaced.end()) replaced = it->second;
  }
  ResolvedFields fields =
      DZ_TRY(check_field_change(declared.name, declared_fields, previous_fields, replaced, names));

  std::string_view key_name = declared.key ? std::string_view(*declared.key) : kImplicitKeyName;
  const Field* key = find_field(std::span<const Field>(fields.fields), key_name);
  if (!key) return refuse("`{}` has no primary key field", declared.name);
  bool auto_increment = !declared.key;
  if (previous &&
      (key->id != previous->primary_key_field_id || auto_increment != previous->auto_increment))
    return refuse("the primary key of `{}` changed, which a migration cannot do", declared.name);

  Collection collection;
  collection.id = id;
  collection.name = declared.name;
  collection.primary_key_field_id = key->id;
  collection.auto_increment = auto_increment;

  std::vector<std::uint64_t> kept;
  for (const DeclaredIndex& declared_index : declared.indexes) {
    const Field* field = find_field(std::span<const Field>(fields.fields), declared_index.field);
    if (!field)
      return refuse("`{}` indexes `{}`, which it does not have", declared.name,
                    declared_index.field);
    const Index* keep = nullptr;
    if (previous) {
      for (const Index& index : previous->indexes) {
        if (index.field_id != field->id || index.unique != declared_index.unique) continue;
        if (std::find(kept.begin(), kept.end(), index.id) != kept.end()) continue;
        const Field* previous_field = find_field_by_id(previous->fields, index.field_id);
        if (previous_field && same_default(*previous_field, *field)) keep = &index;
        break;
      }
    }
    if (keep) {
      kept.push_back(keep->id);
      collection.indexes.push_back(*keep);
      continue;
    }
    std::uint64_t index_id = DZ_TRY(take_id(working.next_index_id, "index"));
    collection.indexes.push_back(Index{index_id, field->id, declared_index.unique});
    out.builds.push_back(IndexBuild{id, index_id, field->id, declared_index.unique});
  }
  std::stable_sort(collection.indexes.begin(), collection.indexes.end(),
                   [](const Index& a, const Index& b) { return a.id < b.id; });
  if (previous) {
    for (const Index& index : previous->indexes)
      if (std::find(kept.begin(), kept.end(), index.id) == kept.end())
        out.dropped_indexes.push_back(index.id);
  }

  collection.fields = std::move(fields.fields);
  collection.next_field_id = fields.next_field_id;
  return collection;
}

}  // namespace

Schema empty_schema() { return Schema{}; }

Result<SchemaResolution> resolve_schema(const DeclaredSchema& declared, const Schema& previous,
                                        std::span<const DeclaredMigration> migrations) {
  Working working;
  working.collections = previous.collections;
  working.next_collection_id = previous.next_collection_id;
  working.next_index_id = previous.next_index_id;
  for (const DeclaredMigration& migration : migrations)
    DZ_CHECK(apply_migration(working, migration));

  NameMap names;
  std::vector<std::uint64_t> ids;
  ids.reserve(declared.collections.size());
  for (const DeclaredCollection& collection : declared.collections) {
    const Collection* existing = find_collection(working.collections, collection.name);
    std::uint64_t id =
        existing ? existing->id : DZ_TRY(take_id(working.next_collection_id, "collection"));
    ids.push_back(id);
    names.emplace(collection.name, id);
  }
  for (const Collection& collection : working.collections)
    if (!names.contains(collection.name))
      return refuse("the collection `{}` is gone from the schema; a migration has to delete it",
                    collection.name);

  SchemaResolution out;
  out.schema.version = declared.version;
  out.schema.collections.reserve(declared.collections.size());
  for (std::size_t i = 0; i < declared.collections.size(); ++i) {
    const DeclaredCollection& collection = declared.collections[i];
    const Collection* existing = find_collection(working.collections, collection.name);
    out.schema.collections.push_back(
        DZ_TRY(resolve_collection(collection, ids[i], existing, working, names, out)));
  }
  sort_collections(out.schema.collections);
  out.schema.next_collection_id = working.next_collection_id;
  out.schema.next_index_id = working.next_index_id;
  out.dropped_collections = std::move(working.dropped_collections);
  for (const DeclaredMigration& migration : migrations)
    if (migration.step) out.steps.push_back(VersionStep{migration.version, migration.step});
  out.previous = previous;
  return out;
}

Result<ResolvedFields> check_field_change(std::string_view path,
                                          std::span<const DeclaredField> declared,
                                          std::optional<PreviousFields> previous,
                                          std::span<const std::uint64_t> replaced_ids,
                                          const NameMap& names) {
  ResolvedFields out;
  out.next_field_id = previous ? previous->next_field_id : 1;
  out.fields.reserve(declared.size());
  for (const DeclaredField& field : declared) {
    std::string field_path = format_text("{}.{}", path, field.name);
    const Field* existing = previous ? find_field(previous->fields, field.name) : nullptr;
    if (existing &&
        std::find(replaced_ids.begin(), replaced_ids.end(), existing->id) != replaced_ids.end())
      existing = nullptr;
    bool required_without_default = !field.optional && !field.default_value;

    Field resolved;
    if (existing) {
      std::optional<PreviousFields> previous_embedded;
      if (existing->kind.code() == KindCode::Object)
        previous_embedded = PreviousFields{existing->kind.fields(), existing->kind.next_field_id()};
      resolved.kind = DZ_TRY(resolve_kind(field_path, field, previous_embedded, names));
      if (!same_kind(existing->kind, resolved.kind))
        return refuse("the type of `{}` changed; a migration has to replace the field", field_path);
      if (existing->optional && required_without_default)
        return refuse(
            "`{}` became required without a default; objects without it would have no value",
            field_path);
      if (existing->default_value && required_without_default)
        return refuse(
            "`{}` lost its default; objects written before it existed read the default, so it has "
            "to keep one",
            field_path);
      resolved.id = existing->id;
    } else {
      if (previous && required_without_default)
        return refuse(
            "the new field `{}` is required without a default; the objects already there would "
            "have no value",
            field_path);
      resolved.kind = DZ_TRY(resolve_kind(field_path, field, std::nullopt, names));
      resolved.id = DZ_TRY(take_id(out.next_field_id, "field"));
    }
    resolved.name = field.name;
    resolved.optional = field.optional;
    if (field.default_value) resolved.default_value = canonical_default(*field.default_value);
    out.fields.push_back(std::move(resolved));
  }
  sort_fields(out.fields);
  return out;
}

Result<FieldKind> resolve_kind(std::string_view path, const DeclaredField& field,
                               std::optional<PreviousFields> previous_embedded,
                               const NameMap& names) {
  return resolve_declared_kind(path, field.kind, previous_embedded, names);
}

void sort_collections(std::vector<Collection>& collections) {
  std::stable_sort(collections.begin(), collections.end(),
                   [](const Collection& a, const Collection& b) { return a.id < b.id; });
}

void sort_fields(std::vector<Field>& fields) {
  std::stable_sort(fields.begin(), fields.end(),
                   [](const Field& a, const Field& b) { return a.id < b.id; });
}

}  // namespace deziro::resolve
