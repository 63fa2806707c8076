// Reading the keys stored in a transaction's trees: an index entry split
// into its value and the primary key it names, a forward walk over a tree's
// keys, the primary keys of a collection's record tree, and one object
// fetched by its key.
#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "error.hpp"
#include "format/object/key.hpp"
#include "format/object/schema.hpp"
#include "format/object/value.hpp"
#include "txn/tree_access.hpp"

namespace deziro::objects {

// An index entry split into the indexed value's component and the primary
// key of the object it names; both are views of the entry.
struct IndexEntryParts {
  ByteView value;
  ByteView primary_key;
};

// The primary key is the entry's value for a unique index and the rest of
// the key for a plain one. A malformed key is CORRUPTED "an entry of index
// {}: {}" through the tree access.
Result<IndexEntryParts> split_first(ByteView entry_key, ByteView entry_value, const Index& index,
                                    const TreeAccess& access);

// A forward walk over the keys of one tree, as a transaction's range gives
// them; the key is borrowed until the next call.
class KeyWalk {
 public:
  virtual ~KeyWalk() = default;
  virtual Result<std::optional<ByteView>> next_key() = 0;
};

// Every key of one tree, forward, through a transaction's range cursor.
class TreeKeyWalk final : public KeyWalk {
 public:
  static Result<std::unique_ptr<TreeKeyWalk>> open(TreeAccess& access, ByteView tree_name);
  ~TreeKeyWalk() override;
  Result<std::optional<ByteView>> next_key() override;

 private:
  explicit TreeKeyWalk(std::unique_ptr<RangeCursor> cursor) : cursor_(std::move(cursor)) {}
  // Null for an absent or empty tree.
  std::unique_ptr<RangeCursor> cursor_;
};

// The keys of a collection's record tree decoded into primary-key values, in
// key order. A read error or a key that does not decode ("a primary key of
// `{}` does not decode", CORRUPTED) ends the walk and stays in error().
class PrimaryKeys {
 public:
  PrimaryKeys(const Collection& collection, KeyWalk& walk, const TreeAccess& access)
      : collection_(collection), walk_(walk), access_(access) {}

  std::optional<Value> next();
  const std::optional<Error>& error() const noexcept { return error_; }

 private:
  const Collection& collection_;
  KeyWalk& walk_;
  const TreeAccess& access_;
  bool done_ = false;
  std::optional<Error> error_;
};

inline PrimaryKeys decode_primary_keys(const Collection& collection, KeyWalk& walk,
                                       const TreeAccess& access) {
  return PrimaryKeys(collection, walk, access);
}

// The object stored under `value` in the collection's record tree, decoded
// by the collection's fields into a map by field name; none when absent.
// The key is checked as by key::primary_key_of; a record that does not
// decode is CORRUPTED "an object of `{}`: {}".
Result<std::optional<ObjectMap>> get_by_key(const Collection& collection, ByteView record_tree,
                                            const Value& value, TreeAccess& access);

}  // namespace deziro::objects
