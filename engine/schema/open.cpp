#include "schema/open.hpp"

#include <cstdint>
#include <string>

#include "format/object/names.hpp"
#include "format/object/schema_codec.hpp"
#include "schema/resolve.hpp"
#include "text_format.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro::schema {
namespace {

Error another_process_migrated() {
  return Error::schema_mismatch(
      "another process migrated the database's schema since this handle opened it; open it again "
      "with the new schema");
}

// A handle without a schema never reaches a collection; the error says
// whether the file has gained one since the handle opened.
Error no_schema_error(TreeAccess& access) {
  auto stored = access.open_tree(bytes_of(names::kMetaTree), bytes_of(names::kSchemaKey));
  if (!stored) return std::move(stored).error();
  if (!stored->has_value())
    return Error::invalid_argument(
        "the database was opened without a schema, and the file holds none, so it has no "
        "collections; declare one with `OpenOptions::schema`");
  auto schema = load_stored(access, **stored);
  if (!schema) return std::move(schema).error();
  auto view = resolve::resolve_collections(*schema);
  if (!view) return access.error_at(format_text("the stored schema: {}", view.error().message()));
  return Error::invalid_argument(
      "the file held no schema when this handle opened it; open it again to use the schema it "
      "holds now");
}

}  // namespace

Result<Schema> load_stored(const TreeAccess& access, ByteView stored) {
  auto decoded = schema_codec::decode_schema(stored);
  if (!decoded) return fail(schema_codec::decode_failure_error(access.path(), decoded.error()));
  return std::move(decoded).value();
}

Result<std::shared_ptr<const ResolvedSchema>> schema_view(
    TreeAccess& access, const std::shared_ptr<const ResolvedSchema>& resolved, bool& confirmed) {
  if (!resolved) return fail(no_schema_error(access));
  if (confirmed) return resolved;
  bool same = DZ_TRY(access.stored_schema_equals(resolved->stored_bytes));
  if (!same) return fail(another_process_migrated());
  confirmed = true;
  return resolved;
}

Result<CollectionRef> collection_by_name(TreeAccess& access,
                                         const std::shared_ptr<const ResolvedSchema>& resolved,
                                         bool& confirmed, std::string_view name) {
  std::shared_ptr<const ResolvedSchema> view = DZ_TRY(schema_view(access, resolved, confirmed));
  const std::vector<Collection>& collections = view->schema.collections;
  for (std::size_t i = 0; i < collections.size(); ++i)
    if (collections[i].name == name) return CollectionRef{std::move(view), i};
  return fail(
      Error::invalid_argument(format_text("the schema has no collection called `{}`", name)));
}

Result<CollectionRef> collection_by_name_write(
    TreeAccess& access, const std::shared_ptr<const ResolvedSchema>& resolved, bool& confirmed,
    std::string_view name) {
  return collection_by_name(access, resolved, confirmed, name);
}

Result<CollectionRef> collection_by_name(ReadTxn& txn, std::string_view name) {
  return collection_by_name(txn, txn.schema(), txn.schema_confirmed, name);
}

Result<CollectionRef> collection_by_name_write(WriteTxn& txn, std::string_view name) {
  return collection_by_name(txn, txn.schema(), txn.schema_confirmed, name);
}

}  // namespace deziro::schema
