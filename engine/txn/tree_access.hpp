// The one interface through which the object, query and maintenance layers
// reach the named trees of a transaction. ReadTxn and WriteTxn implement it;
// tests may supply a fake.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "btree/cursor.hpp"
#include "btree/key_bound.hpp"
#include "btree/tree.hpp"
#include "error.hpp"
#include "function_ref.hpp"

namespace deziro {

// A stored value goes to a ValueVisitor (btree/tree.hpp), borrowed for the
// duration of the call; an error it returns is passed back unchanged by the
// lookup that called it.

// Looks keys up in one tree whose root was loaded once, without going
// through the catalog again.
class TreeReader {
 public:
  virtual ~TreeReader() = default;
  // True when the key is present (the visitor then ran), false when absent.
  virtual Result<bool> get(ByteView key, ValueVisitor visitor) = 0;
};

class TreeAccess {
 public:
  virtual ~TreeAccess() = default;

  // Point lookup: a copy of the value stored under `key` in the named tree,
  // or none when the tree or the key is absent.
  virtual Result<std::optional<std::vector<std::uint8_t>>> open_tree(ByteView tree_name,
                                                                     ByteView key) = 0;

  // Hands the stored value to `visitor`; true when the key was found (and
  // the visitor succeeded), false when the tree or the key is absent.
  virtual Result<bool> get(ByteView tree_name, ByteView key, ValueVisitor visitor) = 0;

  // A cursor over the entries between the bounds, positioned on the first
  // leaf in the read's direction; none when the tree is absent or empty.
  virtual Result<std::optional<RangeCursor>> range(ByteView tree_name, const KeyBound& lower,
                                                   const KeyBound& upper, bool reverse) = 0;

  // The entry count from the catalog, 0 for an absent tree; the tree itself
  // is not read.
  virtual Result<std::uint64_t> tree_len(ByteView tree_name) = 0;

  // A reader over the tree's current root, or none when the tree is absent.
  virtual Result<std::unique_ptr<TreeReader>> tree_reader(ByteView tree_name) = 0;

  // CORRUPTED naming this transaction's file: how damaged data found through
  // a transaction is reported.
  virtual Error error_at(std::string message) const = 0;

  // The file's path as the caller gave it.
  virtual const std::string& path() const = 0;

  // Whether the bytes stored under "\0meta"/"schema" equal `stored`; an
  // absent schema counts as unequal.
  virtual Result<bool> stored_schema_equals(ByteView stored) = 0;

  // The longest key or tree name this file takes: (page size - 268) / 4.
  virtual std::size_t max_key_len() const = 0;

  // Convenience over get(): the visitor's own answer, or none when absent.
  template <typename T, typename F>
  Result<std::optional<T>> get_as(ByteView tree_name, ByteView key, F&& visit) {
    std::optional<T> answer;
    auto visitor = [&](ByteView value) -> Status {
      Result<T> r = visit(value);
      if (!r) return fail(std::move(r).error());
      answer.emplace(std::move(r).value());
      return ok();
    };
    DZ_CHECK(get(tree_name, key, visitor));
    return answer;
  }
};

// Byte view of text, for tree names and keys written as literals.
inline ByteView bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace deziro
