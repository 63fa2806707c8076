// Reading single fields of stored records for query filters, without
// decoding whole objects: a field's value is found by its id and handed on
// as a borrowed view into the record bytes (plain kinds) or as a decoded
// value (lists, links, embedded objects, defaults). Also the walk of a
// query path through embedded objects, list elements and links.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error.hpp"
#include "format/object/codec.hpp"
#include "format/object/schema.hpp"
#include "format/object/value.hpp"
#include "function_ref.hpp"
#include "txn/tree_access.hpp"

namespace deziro {

// A slot hint: where a field's value tag sits in a record. 0 says the
// record lacks the field; this value says nothing is known.
inline constexpr std::uint16_t kNoHint = 65535;

namespace codec {

// A field value read from a record: plain kinds point into the record
// bytes; anything else refers to a Value held elsewhere.
struct FieldValue {
  enum class Kind : std::uint8_t { Null, Bool, Int, Float, Str, Bytes, Owned };

  Kind kind = Kind::Null;
  bool b = false;
  std::int64_t i = 0;
  double f = 0;
  ByteView bytes;
  const Value* owned = nullptr;

  // The borrowed form of a value: scalars by content, Null as Null, lists
  // and objects as Owned.
  static FieldValue of(const Value& value);
  bool is_null() const noexcept {
    return kind == Kind::Null || (kind == Kind::Owned && owned->is_null());
  }
  // An owned copy.
  Value to_value() const;
};

// The record being tested: its bytes, the collection's name for messages
// and how a message becomes an Error (CORRUPTED through the transaction).
struct RecordContext {
  ByteView record;
  std::string_view collection_name;
  FunctionRef<Error(std::string message)> corrupted;

  Error error(Message message) const { return corrupted(object_error(collection_name, message)); }
};

// The value of a top-level field of the record: found through `hint` when
// it is not kNoHint, else by walking the field ids. An absent field reads
// as its default, else Null when optional; a required field without a
// default is "a record lacks a required field". A stored value must be of
// the field's kind. `holder` receives decoded lists, links and objects.
Result<FieldValue> read_top_field(const RecordContext& cx, const Field& field, std::uint16_t hint,
                                  Value& holder);

// The offset of `field_id`'s value tag in the record, as a slot hint: 0
// when absent, kNoHint when the record does not read or the offset is too
// large for one.
std::uint16_t compute_slot_hint(ByteView record, std::uint64_t field_id) noexcept;

}  // namespace codec

namespace names {

// One step of a query path after its first field: into the field of an
// embedded object, into each element of a list, or through a link into the
// linked collection.
struct PathStep {
  enum class Kind : std::uint8_t { Field, Element, Link };
  Kind kind = Kind::Field;
  std::string name;                    // Field
  const Collection* target = nullptr;  // Link
};

// Linked objects read while one query runs, by (collection id, encoded
// key); a missing object is remembered as such. Emptied rather than
// evicted when it reaches its bound.
class LinkCache {
 public:
  static constexpr std::size_t kMaxEntries = 4096;

  // The cached object (an Object value) or a missing mark (nullopt inside);
  // null when not cached.
  const std::optional<Value>* find(std::uint64_t collection_id, ByteView key) const;
  const std::optional<Value>& insert(std::uint64_t collection_id, ByteView key,
                                     std::optional<Value> object);
  std::size_t size() const noexcept { return map_.size(); }
  std::uint64_t reads() const noexcept { return reads_; }
  void count_read() noexcept { ++reads_; }

 private:
  static std::string make_key(std::uint64_t collection_id, ByteView key);
  std::unordered_map<std::string, std::optional<Value>> map_;
  std::uint64_t reads_ = 0;
};

// What following a link needs: the transaction and the cache of the run.
struct LinkContext {
  TreeAccess& access;
  LinkCache& cache;
};

using PathTest = FunctionRef<Result<bool>(const Value& value)>;

// Continues a path through `value`: true as soon as the test answers true
// for some value reached (each element of a list in turn), false when none
// does; errors stop the walk. A link holding a key of another type than
// its target's primary key is CORRUPTED "a link to `{}` holds a key of
// another type".
Result<bool> resolve_link(LinkContext& cx, const Value& value, std::span<const PathStep> steps,
                          PathTest test);

}  // namespace names

}  // namespace deziro
