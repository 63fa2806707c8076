#include "tools/salvage_objects.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "format/bytes.hpp"
#include "format/object/codec.hpp"
#include "format/object/key.hpp"
#include "format/object/names.hpp"
#include "format/object/schema_codec.hpp"
#include "schema/objects.hpp"
#include "tools/tree_list.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro::salvage {
namespace {

// Records read per write transaction.
constexpr std::size_t kBatchRecords = 1024;

ByteView meta_tree() { return bytes_of(names::kMetaTree); }

bool same_bytes(ByteView a, ByteView b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

// The stored schema of the target; none when absent or unreadable.
Result<std::optional<Schema>> read_schema(const std::shared_ptr<Instance>& target) {
  ReadTxn snapshot = DZ_TRY(Instance::begin_read(target));
  auto stored = DZ_TRY(snapshot.open_tree(meta_tree(), bytes_of(names::kSchemaKey)));
  if (!stored) return std::nullopt;
  auto schema = schema_codec::decode_schema(*stored);
  if (!schema) return std::nullopt;
  return std::optional<Schema>(std::move(*schema));
}

// Drops the copied record trees no collection of `schema` owns, and with no
// schema the metadata tree too.
Status drop_unnamed_trees(const std::shared_ptr<Instance>& target,
                          const std::vector<std::string>& copied,
                          const std::optional<Schema>& schema, SalvageReport& report) {
  std::set<std::string> owned;
  if (schema)
    for (const Collection& collection : schema->collections)
      owned.insert(names::record_tree_name(collection.id).str());
  auto txn = DZ_TRY(WriteTxn::begin(target));
  for (const std::string& name : copied) {
    const bool unowned_records = name.starts_with(names::kRecordPrefix) && !owned.contains(name);
    if (!unowned_records && (schema || name != names::kMetaTree)) continue;
    if (unowned_records) report.objects_dropped += DZ_TRY(txn->tree_len(bytes_of(name)));
    DZ_CHECK(txn->drop_tree(bytes_of(name)));
  }
  return txn->commit_deferred();
}

struct Record {
  std::string key;
  std::string value;
};

// Checks one collection's records in batches, each its own write
// transaction: the records a batch keeps give their index entries, so a
// later record repeating a unique value finds it taken.
class CollectionPass {
 public:
  CollectionPass(const std::shared_ptr<Instance>& target, const Collection& collection,
                 SalvageReport& report)
      : target_(target),
        collection_(collection),
        report_(report),
        record_tree_(names::record_tree_name(collection.id).str()),
        name_order_(codec::field_order_by_name(collection.fields)),
        max_key_len_(target->max_key_len()) {
    for (const Index& index : collection.indexes)
      index_trees_.push_back(names::index_tree_name(index.id).str());
  }

  Status run() {
    while (true) {
      auto txn = DZ_TRY(WriteTxn::begin(target_));
      auto batch = DZ_TRY(next_batch(*txn));
      if (batch.empty()) return ok();  // the transaction wrote nothing: dropped
      for (const Record& record : batch) DZ_CHECK(handle(*txn, record));
      last_key_ = batch.back().key;
      DZ_CHECK(txn->commit_deferred());
    }
  }

  Status raise_counter() {
    if (!collection_.auto_increment) return ok();
    const std::uint64_t needed =
        largest_key_ ? static_cast<std::uint64_t>(*largest_key_) + 1 : std::uint64_t{1};
    const names::TreeName key = names::counter_key(collection_.id);
    auto txn = DZ_TRY(WriteTxn::begin(target_));
    auto stored = DZ_TRY(txn->open_tree(meta_tree(), key.bytes()));
    // An absent counter hands out 1; one of another length counts as none.
    std::optional<std::uint64_t> counter;
    if (!stored)
      counter = 1;
    else if (stored->size() == 8)
      counter = load_u64_le(stored->data());
    if (counter && *counter >= needed) return ok();
    std::uint8_t bytes[8];
    store_u64_le(bytes, needed);
    DZ_CHECK(txn->put(meta_tree(), key.bytes(), ByteView(bytes, 8)));
    return txn->commit_deferred();
  }

 private:
  Result<std::vector<Record>> next_batch(WriteTxn& txn) {
    std::vector<Record> batch;
    const KeyBound lower =
        last_key_ ? KeyBound::excluded(bytes_of(*last_key_)) : KeyBound::unbounded();
    auto cursor = DZ_TRY(txn.range(bytes_of(record_tree_), lower, KeyBound::unbounded(), false));
    if (!cursor) return batch;
    ByteView key, value;
    while (batch.size() < kBatchRecords && DZ_TRY(cursor->next(key, value)))
      batch.push_back(Record{to_string(key), to_string(value)});
    return batch;
  }

  Status handle(WriteTxn& txn, const Record& record) {
    auto entries = DZ_TRY(kept_entries(txn, record));
    if (!entries) {
      ++report_.objects_dropped;
      DZ_TRY(txn.del(bytes_of(record_tree_), bytes_of(record.key)));
      return ok();
    }
    for (const auto& [index, key, value] : *entries)
      DZ_CHECK(txn.put(bytes_of(index_trees_[index]), key, value));
    const Value* primary = object_.get(collection_.primary_key_field()->name);
    if (collection_.auto_increment && primary->kind() == ValueKind::Int && primary->as_int() >= 0)
      largest_key_ = std::max(largest_key_.value_or(0), primary->as_int());
    return ok();
  }

  struct IndexEntry {
    std::size_t index;
    ByteString key;
    ByteString value;
  };

  // The index entries of a record that stays; none when it is dropped.
  Result<std::optional<std::vector<IndexEntry>>> kept_entries(WriteTxn& txn, const Record& record) {
    const ByteView stored_key = bytes_of(record.key);
    if (!codec::decode_object_fields_into(bytes_of(record.value), collection_.fields, object_,
                                          name_order_))
      return std::nullopt;
    const Field* key_field = collection_.primary_key_field();
    const Value* primary = key_field ? object_.get(key_field->name) : nullptr;
    if (!primary) return std::nullopt;
    encoded_.clear();
    if (!key::encode_value(*primary, encoded_) || !same_bytes(encoded_, stored_key))
      return std::nullopt;
    std::vector<IndexEntry> entries;
    for (std::size_t i = 0; i < collection_.indexes.size(); ++i) {
      const Index& index = collection_.indexes[i];
      auto given = objects::index_entries(index.field_id, index.unique, collection_.fields, object_,
                                          stored_key);
      if (!given) return std::nullopt;
      for (auto& [key, value] : *given) {
        if (key.size() > max_key_len_) return std::nullopt;
        // A record of a lower key holds this unique value already.
        if (index.unique && DZ_TRY(txn.get(bytes_of(index_trees_[i]), key,
                                           [](ByteView) -> Status { return ok(); })))
          return std::nullopt;
        entries.push_back(IndexEntry{i, std::move(key), std::move(value)});
      }
    }
    return std::optional(std::move(entries));
  }

  std::shared_ptr<Instance> target_;
  const Collection& collection_;
  SalvageReport& report_;
  std::string record_tree_;
  std::vector<std::string> index_trees_;
  std::vector<std::uint32_t> name_order_;
  std::size_t max_key_len_;
  std::optional<std::string> last_key_;
  std::optional<std::int64_t> largest_key_;
  ObjectMap object_;
  std::vector<std::uint8_t> encoded_;
};

// Trees and entries of the finished file, from a new snapshot.
Status count_trees(const std::shared_ptr<Instance>& target, SalvageReport& report) {
  ReadTxn snapshot = DZ_TRY(Instance::begin_read(target));
  auto names = DZ_TRY(repack::list_trees(snapshot.source(), snapshot.catalog_root()));
  report.trees = names.size();
  report.entries = 0;
  for (const std::string& name : names) report.entries += DZ_TRY(snapshot.tree_len(bytes_of(name)));
  return ok();
}

}  // namespace

Status object_pass(const std::shared_ptr<Instance>& target, const std::vector<std::string>& copied,
                   SalvageReport& report) {
  const std::optional<Schema> schema = DZ_TRY(read_schema(target));
  DZ_CHECK(drop_unnamed_trees(target, copied, schema, report));
  if (schema) {
    for (const Collection& collection : schema->collections) {
      CollectionPass pass(target, collection, report);
      DZ_CHECK(pass.run());
      DZ_CHECK(pass.raise_counter());
    }
  }
  return count_trees(target, report);
}

}  // namespace deziro::salvage
