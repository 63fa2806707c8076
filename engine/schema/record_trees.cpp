#include "schema/record_trees.hpp"

#include "format/object/names.hpp"
#include "schema/resolved_schema.hpp"
#include "text_format.hpp"
#include "txn/write_txn.hpp"

namespace deziro::objects {

using names::internal_error;

Status resolve_index_entry(TreeAccess& access, ByteView record_tree,
                           std::string_view collection_name, ByteView primary_key,
                           ValueVisitor visitor) {
  const bool found = DZ_TRY(access.get(record_tree, primary_key, visitor));
  if (!found) {
    return fail(access.error_at(
        format_text("an index of `{}` names an object that is not there", collection_name)));
  }
  return ok();
}

Result<bool> write_record(WriteTxn& txn, std::size_t position, ByteView primary_key,
                          const RecordWrite& write) {
  const ResolvedSchema* schema = txn.schema().get();
  if (schema == nullptr || position >= schema->collections.size()) {
    return fail(internal_error("a record was written for a collection the schema does not have"));
  }
  const ByteView tree = bytes_of(schema->collections[position].trees.record_tree);
  switch (write.kind) {
    case RecordWrite::Kind::Put:
      DZ_CHECK(txn.put(tree, primary_key, write.record));
      return true;
    case RecordWrite::Kind::Delete:
      return txn.del(tree, primary_key);
    case RecordWrite::Kind::RefusedReplacement:
      break;
  }
  return fail(internal_error("a replacement was refused after nothing could refuse it"));
}

}  // namespace deziro::objects
