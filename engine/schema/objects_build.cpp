// The build of a new index over the objects a collection already holds.
#include "format/object/codec.hpp"
#include "format/object/names.hpp"
#include "schema/objects.hpp"
#include "text_format.hpp"
#include "txn/write_txn.hpp"

namespace deziro::objects {
namespace {

constexpr std::size_t kBatch = 1024;

}  // namespace

Status build_index(WriteTxn& txn, const Schema& schema, const IndexBuild& build) {
  const Collection* collection = schema.collection_by_id(build.collection_id);
  if (collection == nullptr)
    return fail(Error::internal("an index to build on a collection the schema lacks"));
  const Field* field = collection->field_by_id(build.field_id);
  const std::string_view field_name = field ? std::string_view(field->name) : std::string_view();
  const names::TreeName record_tree = names::record_tree_name(build.collection_id);
  const names::TreeName index_tree = names::index_tree_name(build.index_id);
  const std::size_t limit = txn.max_key_len();

  std::optional<std::vector<std::uint8_t>> resume;
  std::vector<std::pair<ByteString, ByteString>> pending;
  while (true) {
    pending.clear();
    std::size_t records = 0;
    {
      // The walk is closed before any entry is written, so it never sees
      // the index tree change under it.
      const KeyBound lower = resume ? KeyBound::excluded(*resume) : KeyBound::unbounded();
      auto cursor = DZ_TRY(txn.range(record_tree.bytes(), lower, KeyBound::unbounded(), false));
      if (cursor) {
        ByteView key;
        ByteView record;
        while (records < kBatch && DZ_TRY(cursor->next(key, record))) {
          auto object = codec::decode_object_fields(record, collection->fields);
          if (!object)
            return fail(txn.error_at(codec::object_error(collection->name, object.error())));
          auto entries =
              DZ_TRY(index_entries(build.field_id, build.unique, collection->fields, *object, key));
          for (auto& entry : entries) pending.push_back(std::move(entry));
          resume.emplace(key.begin(), key.end());
          ++records;
        }
      }
    }
    for (const auto& [entry_key, entry_value] : pending) {
      if (entry_key.size() > limit)
        return fail(Error::invalid_argument(
            format_text("an object of `{}` has an indexed value too long for the file's keys, "
                        "which are at most {} bytes",
                        collection->name, limit)));
      if (build.unique) {
        const bool held =
            DZ_TRY(txn.get(index_tree.bytes(), entry_key, [](ByteView) -> Status { return ok(); }));
        if (held)
          return fail(Error::duplicate_key(
              format_text("two objects of `{}` hold the same value of `{}`, which the new unique "
                          "index does not allow",
                          collection->name, field_name)));
      }
      DZ_CHECK(txn.put(index_tree.bytes(), entry_key, entry_value));
    }
    if (records < kBatch) return ok();
  }
}

}  // namespace deziro::objects
