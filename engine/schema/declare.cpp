#include "schema/declare.hpp"

#include <bit>
#include <string>
#include <unordered_set>

#include "schema/refuse.hpp"
#include "text_format.hpp"

namespace deziro::declare {
namespace {

using schema_detail::refuse;

const DeclaredField* find_field(std::span<const DeclaredField> fields, std::string_view name) {
  for (const DeclaredField& field : fields)
    if (field.name == name) return &field;
  return nullptr;
}

bool is_key_kind(const DeclaredKind& kind) {
  auto tag = kind.tag();
  return tag == DeclaredKind::Tag::Int || tag == DeclaredKind::Tag::Str ||
         tag == DeclaredKind::Tag::Bytes;
}

// Objects, and lists of lists or objects, have no value an index could
// order by.
bool can_be_indexed(const DeclaredKind& kind) {
  if (kind.tag() == DeclaredKind::Tag::Object) return false;
  if (kind.tag() == DeclaredKind::Tag::List)
    return kind.element().tag() != DeclaredKind::Tag::List &&
           kind.element().tag() != DeclaredKind::Tag::Object;
  return true;
}

bool is_declared_collection(std::span<const DeclaredCollection> collections,
                            std::string_view name) {
  for (const DeclaredCollection& collection : collections)
    if (collection.name == name) return true;
  return false;
}

Status check_page_size(std::uint32_t page_size) {
  if (page_size < kMinPageSize || page_size > kMaxPageSize || !std::has_single_bit(page_size))
    return refuse("the page size must be a power of two from {} to {}, not {}", kMinPageSize,
                  kMaxPageSize, page_size);
  return ok();
}

Status check_collection(std::span<const DeclaredCollection> collections,
                        const DeclaredCollection& collection) {
  if (!collection.key) {
    if (find_field(collection.fields, kImplicitKeyName))
      return refuse(
          "`{}` has a field called `{}` but no primary key: name it with `primary_key`, since "
          "`{}` is the auto-increment's",
          collection.name, kImplicitKeyName, kImplicitKeyName);
  }
  std::vector<DeclaredField> fields = implicit_key_fields(collection);
  DZ_CHECK(check_fields(collections, collection.name, fields));

  std::string_view key_name = collection.key ? std::string_view(*collection.key) : kImplicitKeyName;
  const DeclaredField* key = find_field(fields, key_name);
  if (!key) return refuse("`{}` has no primary key field", collection.name);
  if (!is_key_kind(key->kind))
    return refuse("the primary key of `{}` is not an int, a string or bytes", collection.name);
  // The stored schema refuses an optional key when it is read back, so such
  // a declaration would leave a file that no longer opens.
  if (key->optional) return refuse("the primary key of `{}` cannot be optional", collection.name);

  std::unordered_set<std::string_view> indexed;
  for (const DeclaredIndex& index : collection.indexes) {
    const DeclaredField* field = find_field(fields, index.field);
    if (!field)
      return refuse("`{}` indexes `{}`, which it does not have", collection.name, index.field);
    if (!can_be_indexed(field->kind))
      return refuse("`{}.{}` cannot be indexed: it is an object or a list of them", collection.name,
                    index.field);
    if (!indexed.insert(index.field).second)
      return refuse("`{}` indexes `{}` twice", collection.name, index.field);
  }
  return ok();
}

Status check_schema(const DeclaredSchema& schema, std::span<const DeclaredMigration> migrations) {
  if (schema.version == 0) return refuse("a schema's version starts at 1");
  if (schema.version > kMaxSchemaVersion)
    return refuse("a schema's version is at most {}, not {}", kMaxSchemaVersion, schema.version);

  std::unordered_set<std::string_view> names;
  for (const DeclaredCollection& collection : schema.collections) {
    if (collection.name.empty()) return refuse("a collection's name is empty");
    if (!names.insert(collection.name).second)
      return refuse("the collection `{}` is declared twice", collection.name);
    DZ_CHECK(check_collection(schema.collections, collection));
  }

  // A migration version above the declared one is refused here too, so no
  // migration can carry a version the file could not store.
  for (const DeclaredMigration& migration : migrations) {
    if (migration.version < 2 || migration.version > schema.version)
      return refuse(
          "a migration to version {} does not lead from version 1 up to the declared version {}",
          migration.version, schema.version);
  }
  return ok();
}

Status check_password_hashing(const PasswordHashing& hashing) {
  if (hashing.parallelism == 0 || hashing.parallelism > 64)
    return refuse("the password hashing parallelism must be from 1 to 64");
  if (hashing.iterations == 0 || hashing.iterations > 1024)
    return refuse("the password hashing iterations must be from 1 to 1024");
  if (std::uint64_t{hashing.memory_kib} < 8 * std::uint64_t{hashing.parallelism} ||
      hashing.memory_kib > 1048576)
    return refuse("the password hashing memory must be from 8 KiB per lane to 1 GiB, in KiB");
  return ok();
}

}  // namespace

Status validate_options(const OpenOptions& options) {
  DZ_CHECK(check_page_size(options.page_size));
  if (options.credential.is_password() && options.credential.password_bytes().empty())
    return refuse("the password is empty");
  if (options.schema) {
    DZ_CHECK(check_schema(*options.schema, options.migrations));
  } else if (!options.migrations.empty()) {
    return refuse("migrations are declared without a schema to migrate to");
  }
  return check_password_hashing(options.password_hashing);
}

std::vector<DeclaredField> implicit_key_fields(const DeclaredCollection& collection) {
  std::vector<DeclaredField> fields;
  fields.reserve(collection.fields.size() + 1);
  if (!collection.key)
    fields.push_back(
        DeclaredField{DeclaredKind::integer(), std::string(kImplicitKeyName), std::nullopt, false});
  fields.insert(fields.end(), collection.fields.begin(), collection.fields.end());
  return fields;
}

Status check_fields(std::span<const DeclaredCollection> collections, std::string_view path,
                    std::span<const DeclaredField> fields, std::size_t depth) {
  std::unordered_set<std::string_view> names;
  for (const DeclaredField& field : fields) {
    if (field.name.empty()) return refuse("a field of `{}` has an empty name", path);
    if (!names.insert(field.name).second)
      return refuse("`{}` declares the field `{}` twice", path, field.name);

    const DeclaredKind* innermost = &field.kind;
    while (innermost->tag() == DeclaredKind::Tag::List) {
      const DeclaredKind& element = innermost->element();
      if (element.tag() == DeclaredKind::Tag::List || element.tag() == DeclaredKind::Tag::Object)
        return refuse("`{}.{}` is a list of lists or objects, which v1 does not have", path,
                      field.name);
      innermost = &element;
    }
    if (innermost->tag() == DeclaredKind::Tag::Link &&
        !is_declared_collection(collections, innermost->link_target()))
      return refuse("`{}.{}` links to `{}`, which is not a collection", path, field.name,
                    innermost->link_target());

    if (field.kind.tag() == DeclaredKind::Tag::Object) {
      if (depth + 1 > kMaxEmbeddedDepth)
        return refuse("`{}.{}` nests embedded objects more than {} levels deep", path, field.name,
                      kMaxEmbeddedDepth);
      std::string inner_path = format_text("{}.{}", path, field.name);
      DZ_CHECK(check_fields(collections, inner_path, field.kind.fields(), depth + 1));
    }

    if (field.default_value && !default_matches(field.kind, *field.default_value))
      return refuse("the default of `{}.{}` does not have the field's type", path, field.name);
  }
  return ok();
}

bool default_matches(const DeclaredKind& kind, const Value& value) {
  switch (kind.tag()) {
    case DeclaredKind::Tag::Bool:
      return value.kind() == ValueKind::Bool;
    case DeclaredKind::Tag::Int:
      return value.kind() == ValueKind::Int;
    case DeclaredKind::Tag::Float:
      return value.kind() == ValueKind::Float;
    case DeclaredKind::Tag::Str:
      return value.kind() == ValueKind::String;
    case DeclaredKind::Tag::Bytes:
      return value.kind() == ValueKind::Bytes;
    case DeclaredKind::Tag::List:
      if (value.kind() != ValueKind::List) return false;
      for (const Value& item : value.as_list())
        if (!default_matches(kind.element(), item)) return false;
      return true;
    case DeclaredKind::Tag::Link:
    case DeclaredKind::Tag::Object:
      return false;
  }
  return false;
}

}  // namespace deziro::declare
