// Typed operations on the objects of a collection inside a transaction:
// insert and put (from Layout rows or object maps), get, update, delete,
// the index entries they keep in step, and the build of a new index.
//
// Every refusal that is made before a tree changes (a wrong value, a key
// too long, a duplicate key) leaves the write transaction usable; failures
// of the trees themselves mark it failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "format/object/schema.hpp"
#include "format/object/value.hpp"
#include "schema/open.hpp"
#include "schema/resolve.hpp"
#include "schema/typed.hpp"
#include "schema/write_scratch.hpp"
#include "txn/tree_access.hpp"

namespace deziro {

class WriteTxn;
using schema::CollectionRef;

// Insert refuses a stored primary key; put replaces the stored object.
enum class WriteMode : std::uint8_t { Insert = 0, Put = 1 };

// One attribute of a Layout row as the binding converted it. Str and bytes
// borrow their bytes.
struct LayoutValue {
  enum class Kind : std::uint8_t { Absent, Bool, Int, Float, Str, Bytes };
  Kind kind = Kind::Absent;
  std::int64_t integer = 0;  // also the bool
  double floating = 0;
  ByteView bytes;

  static LayoutValue absent() { return {}; }
  static LayoutValue boolean(bool b) { return {Kind::Bool, b ? 1 : 0, 0, {}}; }
  static LayoutValue int64(std::int64_t x) { return {Kind::Int, x, 0, {}}; }
  static LayoutValue float64(double x) { return {Kind::Float, 0, x, {}}; }
  static LayoutValue str(std::string_view s) { return {Kind::Str, 0, 0, bytes_of(s)}; }
  static LayoutValue raw(ByteView b) { return {Kind::Bytes, 0, 0, b}; }
};

namespace objects {

// --------------------------------------------------------- index entries

// Whether `keys` holds this key for this index (same slot, same bytes).
bool contains(const IndexKeys& keys, std::uint32_t slot, ByteView key);

// The entries of one indexed value: one for a scalar or Null, one per
// distinct element of a list (in key order). A unique index's entry for a
// value other than Null is the value's key alone; every other entry has the
// primary key appended.
Status append_index_keys(IndexKeys& out, std::uint32_t index, bool unique, const Value& value,
                         ByteView primary_key);

// The entries a stored record gives in every index of its collection. A
// field the record lacks counts as its default when it has one, else Null
// (the same rule as index_entries). A record that does not read is INTERNAL
// with the reader's message, which also goes to `message`.
Status record_index_keys(const Collection& collection, ByteView record, ByteView primary_key,
                         IndexKeys& out, std::optional<std::string>& message);

// The (entry key, entry value) pairs an object gives to one index; an absent
// or Null field counts as its default when it has one, else Null.
Result<std::vector<std::pair<ByteString, ByteString>>> index_entries(std::uint64_t field_id,
                                                                     bool unique,
                                                                     std::span<const Field> fields,
                                                                     const ObjectMap& object,
                                                                     ByteView primary_key);

// ----------------------------------------------------------------- writes

// The collection's auto-increment counter (1 when it has none).
Result<std::uint64_t> read_counter(WriteTxn& txn, const CollectionRef& target);

// Writes one object map; returns its primary key.
Result<Value> write_object_map(WriteTxn& txn, const CollectionRef& target, const ObjectMap& object,
                               WriteMode mode);

// A run of Layout rows: `field_count` values per object, in object order.
struct LayoutRun {
  const LayoutShape& layout;
  std::span<const LayoutValue> values;
  std::size_t field_count = 0;
  std::size_t next = 0;  // the next object to write
};

// Writes the next object of the run and yields its key; none at the end of
// the run or on a failure, which then stands in `error` (the objects written
// before it stay written).
std::optional<Value> write_typed_object(WriteTxn& txn, const CollectionRef& target, LayoutRun& run,
                                        WriteMode mode, std::optional<Error>& error);

// The same over object maps; `next` is the position of the next map.
std::optional<Value> write_batch_next(WriteTxn& txn, const CollectionRef& target,
                                      std::span<const ObjectMap> objects, std::size_t& next,
                                      WriteMode mode, std::optional<Error>& error);

// ------------------------------------------------------------------- reads

// Hands the record stored under `key` to `sink`; false when there is none.
// A key of another kind than the collection's key field is INVALID_ARGUMENT
// "{} is not a primary key of `{}`".
Result<bool> get_typed(TreeAccess& access, const Collection& collection, ByteView record_tree,
                       const Value& key, ValueVisitor sink);

// CORRUPTED naming the file: "an object of `{}`: {}".
Error frame_record_error(std::string_view path, std::string_view collection,
                         std::string_view message);

// ------------------------------------------------------- update and delete

// Changes the named fields of the object stored under `key`; false when
// there is none (the changes are then not looked at).
Result<bool> update(WriteTxn& txn, const CollectionRef& target, const Value& key,
                    const ObjectMap& changes);

// Removes the object and its index entries; false when there is none.
Result<bool> remove(WriteTxn& txn, const CollectionRef& target, const Value& key);

// ------------------------------------------------------------- index build

// Fills a new index's tree from the collection's stored objects, 1024
// records at a time.
Status build_index(WriteTxn& txn, const Schema& schema, const IndexBuild& build);

}  // namespace objects
}  // namespace deziro

namespace deziro::btree {

// Read-modify-write of one entry of a write transaction's tree, in one
// descent: an absent key (or tree) answers NotFound without calling the
// modifier; a present one hands its value to the modifier, whose changed
// value replaces it. A key too long for the file is in no tree: NotFound.
// The modifier's own refusals and a value of 4 GiB or more are refused
// without marking the transaction; other failures mark it failed.
Result<ModifyOutcome> put_value(WriteTxn& txn, ByteView tree_name, ByteView key,
                                ValueModifier modifier);

}  // namespace deziro::btree
