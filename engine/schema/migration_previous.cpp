// What a migration reads of the schema the file held before it: objects
// and keys of the previous collections, deleted ones included.
#include "format/object/key.hpp"
#include "format/object/names.hpp"
#include "schema/stage.hpp"
#include "schema/tree_keys.hpp"
#include "text_format.hpp"

namespace deziro::schema {
namespace {

Result<const Collection*> previous_collection(const Schema& previous, std::string_view name) {
  for (const Collection& collection : previous.collections)
    if (collection.name == name) return &collection;
  return fail(
      Error::invalid_argument(format_text("the schema has no collection called `{}`", name)));
}

}  // namespace

Result<std::optional<ObjectMap>> Migration::previous_object(std::string_view collection,
                                                            const Value& key) {
  if (!txn) return fail(Error::closed());
  // Read as the all-optional copy: an object the migration inserted may lack
  // fields the previous schema required.
  const Collection* found = DZ_TRY(previous_collection(working, collection));
  return objects::get_by_key(*found, names::record_tree_name(found->id).bytes(), key, *txn);
}

Result<std::vector<Value>> Migration::previous_keys(std::string_view collection) {
  if (!txn) return fail(Error::closed());
  const Collection* found = DZ_TRY(previous_collection(previous, collection));
  const names::TreeName tree = names::record_tree_name(found->id);
  // A range over a tree with buffered writes is refused.
  DZ_CHECK(txn->flush_pending(tree.bytes()));
  auto walk = DZ_TRY(objects::TreeKeyWalk::open(*txn, tree.bytes()));
  objects::PrimaryKeys keys = objects::decode_primary_keys(*found, *walk, *txn);
  std::vector<Value> out;
  while (std::optional<Value> next = keys.next()) out.push_back(std::move(*next));
  if (keys.error()) return fail(*keys.error());
  return out;
}

}  // namespace deziro::schema
