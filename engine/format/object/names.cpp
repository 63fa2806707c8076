#include "format/object/names.hpp"

#include <cstring>

#include "schema/resolved_schema.hpp"
#include "text_format.hpp"
#include "txn/write_txn.hpp"

namespace deziro::names {

TreeName tree_name(std::string_view prefix, std::uint64_t id) noexcept {
  // Digits from the least significant end into a 20-byte area.
  char digits[20];
  std::size_t n = 0;
  do {
    digits[sizeof digits - 1 - n++] = static_cast<char>('0' + id % 10);
    id /= 10;
  } while (id != 0);
  TreeName name;
  const std::size_t p = std::min(prefix.size(), TreeName::kCapacity - sizeof digits);
  std::memcpy(name.buf_, prefix.data(), p);
  std::memcpy(name.buf_ + p, digits + sizeof digits - n, n);
  name.size_ = static_cast<std::uint8_t>(p + n);
  return name;
}

CollectionTreeNames collection_tree_names(const Collection& collection) {
  CollectionTreeNames names;
  names.record_tree = record_tree_name(collection.id).str();
  names.counter_key = counter_key(collection.id).str();
  names.index_trees.reserve(collection.indexes.size());
  for (const Index& index : collection.indexes)
    names.index_trees.push_back(index_tree_name(index.id).str());
  return names;
}

Result<bool> lookup_target(const Value& value, const Index& index,
                           FunctionRef<Result<bool>(ByteView tree, ByteView key)> lookup) {
  const TreeName tree = index_tree_name(index.id);
  key::KeyBuffer encoded;
  if (const auto r = encoded.encode(value); !r) return fail(internal_error(r.error()));
  return lookup(tree.bytes(), encoded.view());
}

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

}  // namespace deziro::names
