// Reading single fields of stored records for query filters, without
// decoding whole objects: a field's value is found by its id and handed on
// as a borrowed view into the record bytes (plain kinds) or as a decoded
// value (lists, links, embedded objects, defaults).
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

}  // namespace deziro
