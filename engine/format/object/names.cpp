#include "format/object/names.hpp"

#include <cstring>

#include "text_format.hpp"

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

}  // namespace deziro::names
