// The engine's own trees and keys, and how their names are formed.
//
//   tree "\0meta"            key "schema"        the stored schema record
//   tree "\0meta"            key "next/{id}"     a collection's auto-increment
//                                                counter: 8 bytes, little-endian
//   tree "\0rec/{id}"        encoded primary key the object's record
//   tree "\0idx/{id}"        index entry key     the primary key (unique) or
//                                                nothing (plain)
//
// Ids are decimal without leading zeros. Names that begin with a NUL byte
// belong to the engine, so no name an application chooses can collide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "format/object/key.hpp"
#include "format/object/schema.hpp"
#include "format/object/value.hpp"
#include "function_ref.hpp"

namespace deziro::names {

inline constexpr std::string_view kMetaTree{"\0meta", 5};
inline constexpr std::string_view kSchemaKey = "schema";
inline constexpr std::string_view kRecordPrefix{"\0rec/", 5};
inline constexpr std::string_view kIndexPrefix{"\0idx/", 5};
inline constexpr std::string_view kCounterPrefix = "next/";

// An engine name held inline: a 5-byte prefix and 1 to 20 decimal digits.
class TreeName {
 public:
  static constexpr std::size_t kCapacity = 32;

  std::string_view text() const noexcept { return {buf_, size_}; }
  ByteView bytes() const noexcept { return {reinterpret_cast<const std::uint8_t*>(buf_), size_}; }
  std::size_t size() const noexcept { return size_; }
  std::string str() const { return std::string(text()); }

 private:
  friend TreeName tree_name(std::string_view prefix, std::uint64_t id) noexcept;
  char buf_[kCapacity];
  std::uint8_t size_ = 0;
};

// The prefix (5 bytes) followed by the decimal digits of id.
TreeName tree_name(std::string_view prefix, std::uint64_t id) noexcept;
inline TreeName record_tree_name(std::uint64_t collection_id) noexcept {
  return tree_name(kRecordPrefix, collection_id);
}
inline TreeName index_tree_name(std::uint64_t index_id) noexcept {
  return tree_name(kIndexPrefix, index_id);
}
inline TreeName counter_key(std::uint64_t collection_id) noexcept {
  return tree_name(kCounterPrefix, collection_id);
}

// The names one collection uses, computed once per schema.
struct CollectionTreeNames {
  std::string record_tree;
  std::string counter_key;
  // In the order of the collection's indexes.
  std::vector<std::string> index_trees;
};

CollectionTreeNames collection_tree_names(const Collection& collection);

// The primary-key check and encoding of key::primary_key_of, for the
// planner's point lookup.
inline Status encode_primary_key(const Collection& collection, const Value& value,
                                 std::vector<std::uint8_t>& out) {
  return key::primary_key_of(collection, value, out);
}

// For a lookup of one value through an index: the index tree's name and the
// value's key (on the stack when short), handed to `lookup`.
Result<bool> lookup_target(const Value& value, const Index& index,
                           FunctionRef<Result<bool>(ByteView tree, ByteView key)> lookup);

// INTERNAL holding a copy of the message.
inline Error internal_error(std::string_view message) {
  return Error::internal(std::string(message));
}

}  // namespace deziro::names
