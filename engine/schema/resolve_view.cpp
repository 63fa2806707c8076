// The declared view of a schema and its all-optional copy.
#include "schema/refuse.hpp"
#include "schema/resolve.hpp"
#include "text_format.hpp"

namespace deziro::resolve {
namespace {

using schema_detail::refuse;

Result<DeclaredKind> declared_kind(const Schema& schema, const FieldKind& kind);

Result<DeclaredField> declared_field(const Schema& schema, const Field& field) {
  DeclaredKind kind = DZ_TRY(declared_kind(schema, field.kind));
  return DeclaredField{std::move(kind), field.name, field.default_value, field.optional};
}

Result<std::vector<DeclaredField>> declared_fields(const Schema& schema,
                                                   std::span<const Field> fields,
                                                   std::uint64_t skipped_id, bool skip) {
  std::vector<DeclaredField> out;
  out.reserve(fields.size());
  for (const Field& field : fields) {
    if (skip && field.id == skipped_id) continue;
    out.push_back(DZ_TRY(declared_field(schema, field)));
  }
  return out;
}

Result<DeclaredKind> declared_kind(const Schema& schema, const FieldKind& kind) {
  switch (kind.code()) {
    case KindCode::Bool:
      return DeclaredKind::boolean();
    case KindCode::Int:
      return DeclaredKind::integer();
    case KindCode::Float:
      return DeclaredKind::floating();
    case KindCode::Str:
      return DeclaredKind::str();
    case KindCode::Bytes:
      return DeclaredKind::bytes();
    case KindCode::Link: {
      const Collection* target = schema.collection_by_id(kind.link_target());
      if (!target) return refuse("a declared link names no collection");
      return DeclaredKind::link(target->name);
    }
    case KindCode::List:
      return DeclaredKind::list(DZ_TRY(declared_kind(schema, kind.element())));
    case KindCode::Object:
      return DeclaredKind::object(DZ_TRY(declared_fields(schema, kind.fields(), 0, false)));
  }
  return fail(Error::internal("a field kind has an unknown code"));
}

}  // namespace

Result<DeclaredSchema> resolve_collections(const Schema& schema) {
  DeclaredSchema out;
  out.version = schema.version;
  out.collections.reserve(schema.collections.size());
  for (const Collection& collection : schema.collections) {
    const Field* key = collection.primary_key_field();
    if (!key) return refuse("`{}` has no primary key field", collection.name);
    if (collection.auto_increment &&
        (key->name != kImplicitKeyName || key->kind.code() != KindCode::Int))
      return refuse("`{}` has an auto-increment key, which is an int called `{}`", collection.name,
                    kImplicitKeyName);

    DeclaredCollection declared;
    declared.name = collection.name;
    declared.fields =
        DZ_TRY(declared_fields(schema, collection.fields, key->id, collection.auto_increment));
    declared.indexes.reserve(collection.indexes.size());
    for (const Index& index : collection.indexes) {
      const Field* field = collection.field_by_id(index.field_id);
      if (!field) return refuse("`{}` indexes a field it lacks", collection.name);
      declared.indexes.push_back(DeclaredIndex{field->name, index.unique});
    }
    if (!collection.auto_increment) declared.key = key->name;
    out.collections.push_back(std::move(declared));
  }
  return out;
}

Schema all_optional(const Schema& schema) {
  Schema copy = schema;
  for (Collection& collection : copy.collections) mark_optional(collection.fields);
  return copy;
}

void mark_optional(std::vector<Field>& fields) {
  for (Field& field : fields) {
    field.optional = true;
    if (field.kind.code() == KindCode::Object) mark_optional(field.kind.fields());
  }
}

}  // namespace deziro::resolve
