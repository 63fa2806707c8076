// The store step: an encoded object written into its collection's trees.
#include "schema/objects_store.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "format/object/codec.hpp"
#include "format/object/names.hpp"
#include "invariant.hpp"
#include "schema/record_trees.hpp"
#include "text_format.hpp"

namespace deziro::objects {

Error key_too_long(const Collection& collection, std::size_t limit) {
  return Error::invalid_argument(
      format_text("an object of `{}` has a key or an indexed value too long for the file's "
                  "keys, which are at most {} bytes",
                  collection.name, limit));
}

Error record_too_long(const Collection& collection) {
  return Error::invalid_argument(
      format_text("an object of `{}` is 4 GiB long or more", collection.name));
}

Error object_refused(const Collection& collection, std::string_view message) {
  return Error::invalid_argument(format_text("an object of `{}`: {}", collection.name, message));
}

Result<std::uint64_t> read_counter(WriteTxn& txn, const CollectionRef& target) {
  const Collection& collection = target.collection();
  const std::string& key = target.resolved().trees.counter_key;
  std::uint64_t counter = 1;
  auto visitor = [&](ByteView stored) -> Status {
    if (stored.size() != 8)
      return fail(txn.error_at(
          format_text("the auto-increment counter of `{}` is not 8 bytes long", collection.name)));
    counter = 0;
    for (int i = 7; i >= 0; --i) counter = (counter << 8) | stored[static_cast<std::size_t>(i)];
    return ok();
  };
  DZ_CHECK(txn.get(bytes_of(names::kMetaTree), bytes_of(key), visitor));
  return counter;
}

Result<Value> store_object(WriteTxn& txn, const CollectionRef& target, Prepared& prepared,
                           WriteScratch& scratch, WriteMode mode) {
  const Collection& collection = target.collection();
  const names::CollectionTreeNames& trees = target.resolved().trees;
  const ByteView key(scratch.key);
  const ByteView record_tree = bytes_of(trees.record_tree);
  const IndexKeys& fresh = scratch.new_keys;
  IndexKeys& old = scratch.old_keys;
  old.clear();

  // 0. In a migration, a replaced object keeps its values under the fields
  // the new schema replaced or deleted.
  if (mode == WriteMode::Put && !target.resolved().kept_field_ids.empty()) {
    auto keep = [&](ByteView stored) -> Status {
      return keep_fields(txn, target, stored, scratch.record);
    };
    DZ_CHECK(txn.get(record_tree, key, ValueVisitor(keep)));
  }

  // 1. Limits, before anything is written.
  const std::size_t limit = txn.max_key_len();
  if (key.size() > limit) return fail(key_too_long(collection, limit));
  if (scratch.record.size() > std::numeric_limits<std::uint32_t>::max())
    return fail(record_too_long(collection));
  for (std::size_t i = 0; i < fresh.size(); ++i)
    if (fresh.key_at(i).size() > limit) return fail(key_too_long(collection, limit));

  // 2. Put: replace the record; the old one gives the old entries. An old
  // record that does not read stops the replacement before it happens.
  enum class Before : std::uint8_t { Nothing, Copy, NoCopy } before = Before::Nothing;
  if (mode == WriteMode::Put) {
    std::optional<std::string> message;
    auto visitor = [&](ByteView stored) -> Status {
      auto entries = record_index_keys(collection, stored, key, old, message);
      if (!entries) {
        if (message) return fail(frame_record_error(txn.path(), collection.name, *message));
        return entries;
      }
      if (has_new_unique_key(fresh, old, collection.indexes)) {
        scratch.old_record.assign(stored.begin(), stored.end());
        before = Before::Copy;
      } else {
        before = Before::NoCopy;
      }
      return ok();
    };
    const ValueVisitor visit(visitor);
    DZ_CHECK(txn.put_in_tree(record_tree, key, scratch.record, true, &visit));
  }

  // 3. Counter decision.
  std::optional<std::uint64_t> new_counter;
  if (prepared.source == KeySource::Counter) {
    new_counter = static_cast<std::uint64_t>(prepared.number) + 1;
  } else if (prepared.source == KeySource::Explicit && before == Before::Nothing &&
             prepared.number >= 0) {
    const std::uint64_t counter = DZ_TRY(read_counter(txn, target));
    const auto k = static_cast<std::uint64_t>(prepared.number);
    if (k >= counter) new_counter = k + 1;
  }

  // 4. Unique checks of the entries that are new; a refused put is undone.
  auto undo = [&]() -> Status {
    if (mode != WriteMode::Put) return ok();
    const objects::RecordWrite restore = before == Before::Nothing ? objects::RecordWrite::remove()
                                         : before == Before::Copy
                                             ? objects::RecordWrite::put(scratch.old_record)
                                             : objects::RecordWrite::refused();
    DZ_CHECK(objects::write_record(txn, target.position, key, restore));
    return ok();
  };
  auto conflict = unique_conflict(txn, target, fresh, old, key);
  if (!conflict || *conflict) {
    Error error = conflict ? std::move(**conflict) : std::move(conflict).error();
    DZ_CHECK(undo());
    return fail(std::move(error));
  }

  // 5. Insert: the record goes in only when its key is free.
  if (mode == WriteMode::Insert) {
    DZ_CHECK(txn.flush_pending(record_tree));
    const bool added = DZ_TRY(txn.put_in_tree(record_tree, key, scratch.record, false));
    if (!added)
      return fail(
          Error::duplicate_key(format_text("`{}` already holds an object with the primary "
                                           "key {}",
                                           collection.name, prepared.key.debug_string())));
  }

  // 6 and 7. Old entries that the new object does not give go, new ones
  // that the old object did not give come.
  DZ_CHECK(apply_index_changes(txn, target, fresh, old, key));
  // 8. The counter, as a buffered write.
  if (new_counter) {
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(*new_counter >> (8 * i));
    DZ_CHECK(txn.buffer_meta_put(bytes_of(trees.counter_key), ByteView(bytes, 8)));
  }
  return std::move(prepared.key);
}

Status keep_fields(WriteTxn& txn, const CollectionRef& target, ByteView stored,
                   std::vector<std::uint8_t>& record) {
  const std::vector<std::uint64_t>& kept = target.resolved().kept_field_ids;
  auto frame = [&](codec::Message message) {
    return frame_record_error(txn.path(), target.collection().name, message);
  };
  std::vector<codec::RecordField> carried;
  codec::RecordFields old_fields = DZ_TRY(codec::record_fields_begin(stored, frame));
  while (true) {
    const std::optional<codec::RecordField> field = DZ_TRY(old_fields.next());
    if (!field) break;
    if (std::ranges::binary_search(kept, field->id)) carried.push_back(*field);
  }
  if (carried.empty()) return ok();

  auto append = [](std::vector<std::uint8_t>& out, const codec::RecordField& field) {
    codec::write_varint(out, field.id);
    out.insert(out.end(), field.value.begin(), field.value.end());
  };
  codec::RecordFields new_fields = DZ_TRY(codec::record_fields_begin(record, frame));
  std::vector<std::uint8_t> merged;
  merged.reserve(record.size() + stored.size());
  codec::write_varint(merged, new_fields.count_left() + carried.size());
  auto next_carried = carried.begin();
  while (true) {
    const std::optional<codec::RecordField> field = DZ_TRY(new_fields.next());
    if (!field) break;
    // A kept id is no field of the collection, so never one of the record's.
    DZ_ASSERT(next_carried == carried.end() || next_carried->id != field->id);
    while (next_carried != carried.end() && next_carried->id < field->id)
      append(merged, *next_carried++);
    append(merged, *field);
  }
  while (next_carried != carried.end()) append(merged, *next_carried++);
  record.swap(merged);
  return ok();
}

Result<std::optional<Error>> unique_conflict(WriteTxn& txn, const CollectionRef& target,
                                             const IndexKeys& fresh, const IndexKeys& old,
                                             ByteView key) {
  const Collection& collection = target.collection();
  for (std::size_t i = 0; i < fresh.size(); ++i) {
    const Index& index = collection.indexes[fresh.slot_at(i)];
    if (!index.unique || contains(old, fresh.slot_at(i), fresh.key_at(i))) continue;
    // An entry that holds this object's own key is no conflict.
    bool other = false;
    auto holder = [&](ByteView stored) -> Status {
      other = !std::ranges::equal(stored, key);
      return ok();
    };
    const bool held = DZ_TRY(txn.get(
        bytes_of(target.resolved().trees.index_trees[fresh.slot_at(i)]), fresh.key_at(i), holder));
    if (held && other) {
      const Field* field = collection.field_by_id(index.field_id);
      return std::optional<Error>(Error::duplicate_key(format_text(
          "another object of `{}` holds this value of its unique field `{}`", collection.name,
          field ? std::string_view(field->name) : std::string_view())));
    }
  }
  return std::optional<Error>();
}

Status apply_index_changes(WriteTxn& txn, const CollectionRef& target, const IndexKeys& fresh,
                           const IndexKeys& old, ByteView key) {
  const Collection& collection = target.collection();
  const std::vector<std::string>& trees = target.resolved().trees.index_trees;
  for (std::size_t i = 0; i < old.size(); ++i)
    if (!contains(fresh, old.slot_at(i), old.key_at(i)))
      DZ_CHECK(txn.del(bytes_of(trees[old.slot_at(i)]), old.key_at(i)));
  for (std::size_t i = 0; i < fresh.size(); ++i) {
    if (contains(old, fresh.slot_at(i), fresh.key_at(i))) continue;
    const bool unique = collection.indexes[fresh.slot_at(i)].unique;
    DZ_CHECK(
        txn.put(bytes_of(trees[fresh.slot_at(i)]), fresh.key_at(i), unique ? key : ByteView()));
  }
  return ok();
}

codec::Encoded<std::uint64_t> encode_fields(std::span<const Field> fields,
                                            std::span<const Value* const> slots,
                                            const Schema& schema, std::vector<std::uint8_t>& out) {
  std::uint64_t written = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const Field& field = fields[i];
    const Value* value = slots[i] != nullptr && !slots[i]->is_null() ? slots[i] : nullptr;
    if (value == nullptr) {
      if (field.optional) continue;
      if (!field.default_value) return std::unexpected(format_text("`{}` is required", field.name));
      value = &*field.default_value;
    }
    codec::write_varint(out, field.id);
    if (auto r = codec::encode_typed_value(*value, field.kind, schema, out); !r)
      return std::unexpected(format_text("`{}` holds {}", field.name, r.error()));
    ++written;
  }
  return written;
}

std::optional<std::string_view> fill_slots(const ObjectMap& object, std::span<const Field> fields,
                                           std::span<const std::uint32_t> fields_by_name,
                                           std::vector<const Value*>& slots) {
  slots.assign(fields.size(), nullptr);
  std::optional<std::string_view> unknown;
  std::size_t f = 0;
  for (const ObjectEntry& entry : object.entries()) {
    const std::string_view name = entry.name.view();
    while (f < fields_by_name.size() && compare_names(fields[fields_by_name[f]].name, name) < 0)
      ++f;
    if (f < fields_by_name.size() && fields[fields_by_name[f]].name == name) {
      slots[fields_by_name[f]] = &entry.value;
    } else if (!unknown) {
      unknown = name;
    }
  }
  return unknown;
}

}  // namespace deziro::objects
