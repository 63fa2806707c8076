// Get, update and delete of one object by its primary key, and the
// read-modify-write of one tree entry that update is built on.
#include <algorithm>
#include <limits>

#include "format/object/codec.hpp"
#include "format/object/key.hpp"
#include "format/object/names.hpp"
#include "schema/objects_store.hpp"
#include "schema/record_trees.hpp"
#include "text_format.hpp"

namespace deziro {

namespace btree {

Result<ModifyOutcome> put_value(WriteTxn& txn, ByteView tree_name, ByteView key,
                                ValueModifier modifier) {
  if (txn.file().failed()) return fail(txn.file().sync_failed_error());
  // No tree holds a key longer than the file allows, so no entry has one.
  if (key.size() > txn.max_key_len()) return ModifyOutcome::NotFound;
  auto entry = txn.tree_entry(tree_name, false);
  if (!entry) {
    if (entry.error().kind() != ErrorKind::InvalidArgument) txn.mark_failed();
    return fail(std::move(entry).error());
  }
  TreeEntry* e = *entry;
  if (e == nullptr || e->root.empty()) return ModifyOutcome::NotFound;
  bool modifier_failed = false;
  std::size_t value_size = 0;
  auto tracked = [&](ByteView old_value, std::string& out) -> Result<bool> {
    auto r = modifier(old_value, out);
    if (!r) modifier_failed = true;
    value_size = out.size();
    return r;
  };
  auto outcome = btree::insert_entry(txn.write_context(*e), e->root, key, tracked);
  if (!outcome) {
    // The modifier's refusals and the value limit leave the tree unchanged.
    if (!modifier_failed && outcome.error().kind() != ErrorKind::InvalidArgument) txn.mark_failed();
    return outcome;
  }
  if (*outcome == ModifyOutcome::Changed) {
    e->changed = true;
    if (auto bounded = txn.bound_memory(*e, key.size(), value_size); !bounded) {
      txn.mark_failed();
      return fail(std::move(bounded).error());
    }
  }
  return outcome;
}

}  // namespace btree

namespace objects {
namespace {

// What the update's modifier leaves for the index half.
struct UpdateOutcome {
  bool copy_kept = false;
  std::optional<std::string> message;
};

// The index half of an update whose record was rewritten: unique checks
// first (undoing the rewrite on a refusal), then removals, then insertions.
Status update_indexes(WriteTxn& txn, const CollectionRef& target, WriteScratch& scratch,
                      const UpdateOutcome& outcome) {
  const ByteView key(scratch.key);
  auto conflict = unique_conflict(txn, target, scratch.new_keys, scratch.old_keys, key);
  if (!conflict || *conflict) {
    Error error = conflict ? std::move(**conflict) : std::move(conflict).error();
    DZ_CHECK(objects::write_record(txn, target.position, key,
                                   outcome.copy_kept ? objects::RecordWrite::put(scratch.old_record)
                                                     : objects::RecordWrite::refused()));
    return fail(std::move(error));
  }
  return apply_index_changes(txn, target, scratch.new_keys, scratch.old_keys, key);
}

}  // namespace

Error frame_record_error(std::string_view path, std::string_view collection,
                         std::string_view message) {
  return Error::corrupted(std::string(path),
                          format_text("an object of `{}`: {}", collection, message));
}

Result<bool> get_typed(TreeAccess& access, const Collection& collection, ByteView record_tree,
                       const Value& key, ValueVisitor sink) {
  key::KeyBuffer encoded;
  DZ_CHECK(key::encode_primary_key(collection, key, encoded));
  return access.get(record_tree, encoded.view(), sink);
}

Result<bool> update(WriteTxn& txn, const CollectionRef& target, const Value& key,
                    const ObjectMap& changes) {
  const Collection& collection = target.collection();
  const Field* key_field = collection.primary_key_field();
  if (key_field == nullptr) return fail(Error::internal("a collection has no key field"));
  if (const Value* changed_key = changes.get(key_field->name);
      changed_key != nullptr && !(*changed_key == key))
    return fail(Error::invalid_argument(
        format_text("an update of an object of `{}` cannot change its primary key; delete the "
                    "object and insert it again",
                    collection.name)));
  ScratchLease scratch(txn);
  DZ_CHECK(key::primary_key_of(collection, key, scratch->key));
  const std::size_t limit = txn.max_key_len();
  const Schema& schema = target.schema->schema;
  const std::vector<std::uint32_t>& by_name = target.resolved().fields_by_name;
  UpdateOutcome outcome;

  auto modifier = [&](ByteView stored, std::string& out) -> Result<bool> {
    auto decoded = codec::decode_record(stored, collection.fields, by_name);
    if (!decoded) {
      outcome.message = std::string(decoded.error());
      return fail(Error::internal(std::string(decoded.error())));
    }
    ObjectMap merged = std::move(*decoded);
    for (const ObjectEntry& change : changes.entries())
      merged.insert(change.name.view(), change.value);
    const auto unknown = fill_slots(merged, collection.fields, by_name, scratch->slots);
    std::vector<std::uint8_t>& record = scratch->record;
    record.clear();
    codec::write_varint(record, collection.fields.size());
    auto written = encode_fields(collection.fields, scratch->slots, schema, record);
    if (unknown)
      return fail(object_refused(collection, format_text("`{}` is not a field", *unknown)));
    if (!written) return fail(object_refused(collection, written.error()));
    codec::patch_count(record, 0, *written, collection.fields.size());
    if (!target.resolved().kept_field_ids.empty())
      DZ_CHECK(keep_fields(txn, target, stored, record));
    if (std::ranges::equal(record, stored)) return false;
    if (record.size() > std::numeric_limits<std::uint32_t>::max())
      return fail(record_too_long(collection));
    std::optional<std::string> ignored;
    DZ_CHECK(record_index_keys(collection, record, scratch->key, scratch->new_keys, ignored));
    for (std::size_t i = 0; i < scratch->new_keys.size(); ++i)
      if (scratch->new_keys.key_at(i).size() > limit) return fail(key_too_long(collection, limit));
    auto old =
        record_index_keys(collection, stored, scratch->key, scratch->old_keys, outcome.message);
    if (!old) return fail(std::move(old).error());
    if (has_new_unique_key(scratch->new_keys, scratch->old_keys, collection.indexes)) {
      scratch->old_record.assign(stored.begin(), stored.end());
      outcome.copy_kept = true;
    }
    out.assign(record.begin(), record.end());
    return true;
  };

  auto rewritten =
      btree::put_value(txn, bytes_of(target.resolved().trees.record_tree), scratch->key, modifier);
  if (!rewritten) {
    if (outcome.message)
      return fail(frame_record_error(txn.path(), collection.name, *outcome.message));
    return fail(std::move(rewritten).error());
  }
  if (*rewritten == ModifyOutcome::NotFound) return false;
  if (*rewritten == ModifyOutcome::Unchanged) return true;
  DZ_CHECK(update_indexes(txn, target, *scratch, outcome));
  return true;
}

Result<bool> remove(WriteTxn& txn, const CollectionRef& target, const Value& key) {
  const Collection& collection = target.collection();
  const names::CollectionTreeNames& trees = target.resolved().trees;
  ScratchLease scratch(txn);
  DZ_CHECK(key::primary_key_of(collection, key, scratch->key));
  const ByteView record_tree = bytes_of(trees.record_tree);
  // Buffered writes go in first, so a buffered deletion reads as absent.
  DZ_CHECK(txn.flush_pending(record_tree));
  std::optional<std::string> message;
  auto visitor = [&](ByteView stored) -> Status {
    return record_index_keys(collection, stored, scratch->key, scratch->old_keys, message);
  };
  const ValueVisitor visit(visitor);
  auto removed = txn.delete_in_tree(record_tree, scratch->key, &visit);
  if (!removed) {
    if (message) return fail(frame_record_error(txn.path(), collection.name, *message));
    return fail(std::move(removed).error());
  }
  if (!*removed) return false;
  const IndexKeys& old = scratch->old_keys;
  for (std::size_t i = 0; i < old.size(); ++i)
    DZ_CHECK(txn.del(bytes_of(trees.index_trees[old.slot_at(i)]), old.key_at(i)));
  return true;
}

}  // namespace objects
}  // namespace deziro
