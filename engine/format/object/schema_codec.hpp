// The stored schema: one record of the record format under "\0meta" /
// "schema". The encoding is deterministic, so two schemas are compared by
// comparing their bytes. Field tables (every id, counter and version is an
// int, saturated at 2^63 - 1):
//
//   schema:     1 format (always 1), 2 version, 3 collections (records),
//               4 next collection id, 5 next index id
//   collection: 1 id, 2 name, 3 fields (records), 4 next field id,
//               5 primary-key field id, 6 auto-increment, 7 indexes (records)
//   field:      1 id, 2 name, 3 kind (record), 4 optional, 5 default (only
//               when storable: bool, int, float, str, bytes or lists of them)
//   index:      1 id, 2 field id, 3 unique
//   kind:       1 code (1 bool .. 8 embedded object), 2 link target (6),
//               3 element kind (7), 4 fields and 5 next field id (8)
//
// Field ids these tables do not list are ignored when reading.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "format/object/codec.hpp"
#include "format/object/schema.hpp"
#include "format/object/value.hpp"

namespace deziro::schema_codec {

inline constexpr std::int64_t kStoredSchemaFormat = 1;

// Why a stored schema did not decode: a message, or a format number this
// build does not read (then `message` is empty).
struct DecodeFailure {
  std::string_view message;
  std::optional<std::int64_t> unreadable_format;

  bool operator==(const DecodeFailure&) const = default;
};

std::vector<std::uint8_t> encode_schema(const Schema& schema);
std::expected<Schema, DecodeFailure> decode_schema(ByteView bytes);

// The error a loader reports for a failure: CORRUPTED "the stored schema: {}"
// with the file's path, or UNSUPPORTED_FORMAT_VERSION naming the stored
// format (4294967295 when it is negative or above 32 bits) and 1.
Error decode_failure_error(std::string path, const DecodeFailure& failure);

// Pieces of the encoder and decoder, usable on their own.
codec::StoredValue encode_fields(const std::vector<Field>& fields);
codec::StoredValue encode_kind(const FieldKind& kind);
// A default as a stored value, or none when it is not storable.
std::optional<codec::StoredValue> value_to_stored(const Value& value);
// A stored default back into a Value; records and links are refused.
codec::Decoded<Value> stored_to_value(const codec::StoredValue& stored);

}  // namespace deziro::schema_codec
