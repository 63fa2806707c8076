// The schema view: how every transaction reaches a collection. It makes sure,
// once per transaction, that the file still holds the schema its handle
// opened with; a schema another process stored since is never adopted
// silently.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "error.hpp"
#include "format/object/schema.hpp"
#include "schema/resolved_schema.hpp"
#include "txn/tree_access.hpp"

namespace deziro {
class ReadTxn;
class WriteTxn;
}  // namespace deziro

namespace deziro::schema {

// Decodes the stored schema read through `access`: CORRUPTED "the stored
// schema: {}" for bytes that do not decode, UNSUPPORTED_FORMAT_VERSION for a
// stored-schema format other than 1.
Result<Schema> load_stored(const TreeAccess& access, ByteView stored);

// The handle's resolved schema (null for a handle without one) once the file
// is known to still hold it. `confirmed` is the transaction's
// `schema_confirmed` flag: the stored bytes are compared only while it is
// clear, and it is set by the first successful view.
Result<std::shared_ptr<const ResolvedSchema>> schema_view(
    TreeAccess& access, const std::shared_ptr<const ResolvedSchema>& resolved, bool& confirmed);

// A collection of the view, by its position in the schema's list.
struct CollectionRef {
  std::shared_ptr<const ResolvedSchema> schema;
  std::size_t position = 0;

  const Collection& collection() const { return schema->schema.collections[position]; }
  const ResolvedCollection& resolved() const { return schema->collections[position]; }
};

// Takes the schema view, then finds the collection whose name equals `name`
// byte for byte: INVALID_ARGUMENT "the schema has no collection called `{}`"
// when none does.
Result<CollectionRef> collection_by_name(TreeAccess& access,
                                         const std::shared_ptr<const ResolvedSchema>& resolved,
                                         bool& confirmed, std::string_view name);

// The same through a write transaction's tree access.
Result<CollectionRef> collection_by_name_write(
    TreeAccess& access, const std::shared_ptr<const ResolvedSchema>& resolved, bool& confirmed,
    std::string_view name);

// The lookups of a transaction, with the handle's schema and the
// `schema_confirmed` flag it carries.
Result<CollectionRef> collection_by_name(ReadTxn& txn, std::string_view name);
Result<CollectionRef> collection_by_name_write(WriteTxn& txn, std::string_view name);

}  // namespace deziro::schema
