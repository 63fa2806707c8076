#include "support/memory_tree_access.hpp"

#include <algorithm>

namespace deziro::test {
namespace {

std::string text_of(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

void MemoryTreeAccess::put(std::string_view tree, std::string_view key, Bytes value) {
  (*trees_)[std::string(tree)][std::string(key)] = std::move(value);
}

void MemoryTreeAccess::erase(std::string_view tree, std::string_view key) {
  auto it = trees_->find(std::string(tree));
  if (it != trees_->end()) it->second.erase(std::string(key));
}

const Bytes* MemoryTreeAccess::find(ByteView tree_name, ByteView key) const {
  auto tree = trees_->find(text_of(tree_name));
  if (tree == trees_->end()) return nullptr;
  auto entry = tree->second.find(text_of(key));
  return entry == tree->second.end() ? nullptr : &entry->second;
}

Result<std::optional<Bytes>> MemoryTreeAccess::open_tree(ByteView tree_name, ByteView key) {
  if (read_error_) return fail(*read_error_);
  ++reads_;
  const Bytes* value = find(tree_name, key);
  if (!value) return std::nullopt;
  return *value;
}

Result<bool> MemoryTreeAccess::get(ByteView tree_name, ByteView key, ValueVisitor visitor) {
  if (read_error_) return fail(*read_error_);
  ++reads_;
  const Bytes* value = find(tree_name, key);
  if (!value) return false;
  DZ_CHECK(visitor(*value));
  return true;
}

Result<std::uint64_t> MemoryTreeAccess::tree_len(ByteView tree_name) {
  auto tree = trees_->find(text_of(tree_name));
  return tree == trees_->end() ? 0 : tree->second.size();
}

Result<bool> MemoryTreeAccess::stored_schema_equals(ByteView stored) {
  if (read_error_) return fail(*read_error_);
  ++reads_;
  const Bytes* value = find(bytes_of(std::string_view("\0meta", 5)), bytes_of("schema"));
  return value && std::equal(value->begin(), value->end(), stored.begin(), stored.end());
}

}  // namespace deziro::test
