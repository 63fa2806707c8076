// The stored record format: how an object's fields are written as bytes,
// and the readers and writers every other module uses for it. The same
// encoding carries the stored schema, the values of a compiled query's
// intermediate form, and the string lists the query compiler writes.
//
// A record is a varint field count, then per field its varint id (strictly
// ascending) and one tagged value. Values: 2 false, 3 true, 4 int (zigzag
// varint), 5 float (8 bytes, little-endian), 6 string and 7 bytes (varint
// length, then the bytes), 8 list (varint count, then tagged values),
// 9 embedded record (varint byte length, then a record), 10 link (one nested
// value: the linked key). The byte tables are in docs/file-format.md.
//
// Decoders report a plain message from a fixed set (a pointer to static
// text); their callers frame it ("an object of `{}`: {}") and pick the kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error.hpp"
#include "format/object/schema.hpp"
#include "format/object/value.hpp"
#include "function_ref.hpp"

namespace deziro {

using ByteView = std::span<const std::uint8_t>;

namespace codec {

// A static text, one of the messages below.
using Message = std::string_view;
template <typename T>
using Decoded = std::expected<T, Message>;
using DecodeStatus = std::expected<void, Message>;

// Turns a reader's message into the Error its caller reports.
using ErrorFrame = FunctionRef<Error(Message message)>;

enum Tag : std::uint8_t {
  kTagFalse = 2,
  kTagTrue = 3,
  kTagInt = 4,
  kTagFloat = 5,
  kTagString = 6,
  kTagBytes = 7,
  kTagList = 8,
  kTagRecord = 9,
  kTagLink = 10,
};

// Values at this depth or deeper are refused; the fields of a top-level
// record are at depth 0, and every list, link and embedded record adds one.
inline constexpr std::size_t kMaxDepth = 64;
// Decoders reserve at most this many entries before they have read them.
inline constexpr std::size_t kMaxReserve = 256;

namespace msg {
inline constexpr Message kEndsEarly = "a record ends early";
inline constexpr Message kNumberTooLarge = "a record has a number too large";
inline constexpr Message kNumberTooLong = "a record has a number too long";
inline constexpr Message kCountsTooMuch = "a record counts more than it holds";
inline constexpr Message kIdsOutOfOrder = "a record's field ids are out of order";
inline constexpr Message kNestsTooDeeply = "a record nests too deeply";
inline constexpr Message kUnknownTag = "a record has an unknown tag";
inline constexpr Message kNotUtf8 = "a record holds a string that is not UTF-8";
inline constexpr Message kEmbeddedTrailing = "an embedded record has bytes after its last field";
inline constexpr Message kRecordTrailing = "a record has bytes after its last field";
inline constexpr Message kValueTrailing = "a record's value has bytes after its end";
inline constexpr Message kLacksRequired = "a record lacks a required field";
inline constexpr Message kOtherType = "a record holds a value of another type than its field";
inline constexpr Message kBadLink = "a record links by a key that cannot be one";
inline constexpr Message kNullForRequired = "a record holds null for a required field";
}  // namespace msg

// ------------------------------------------------------------ primitives

// A borrowed byte slice and a position. Every read advances the position; a
// failed read leaves it where the failure was found.
struct Reader {
  ByteView bytes;
  std::size_t pos = 0;

  Reader() = default;
  explicit Reader(ByteView b, std::size_t p = 0) : bytes(b), pos(p) {}

  std::size_t remaining() const noexcept { return bytes.size() - pos; }
  bool at_end() const noexcept { return pos >= bytes.size(); }
};

bool is_utf8(ByteView bytes) noexcept;

inline std::uint64_t zigzag(std::int64_t x) noexcept {
  return (static_cast<std::uint64_t>(x) << 1) ^ static_cast<std::uint64_t>(x >> 63);
}
inline std::int64_t unzigzag(std::uint64_t u) noexcept {
  return static_cast<std::int64_t>((u >> 1) ^ (~(u & 1) + 1));
}

// Unsigned LEB128, at most 10 bytes, the 10th holding only the lowest bit.
// Readers accept non-minimal forms; writers never make them.
Decoded<std::uint64_t> read_varint(Reader& reader);
// The same over (bytes, position): the number and the position after it.
Decoded<std::pair<std::uint64_t, std::size_t>> read_varint(ByteView bytes, std::size_t pos);
// A count, checked against the bytes after it before anything is allocated:
// count * bytes_per_item (saturating) must not exceed them.
Decoded<std::uint64_t> read_count(Reader& reader, std::uint64_t bytes_per_item);
Decoded<double> read_f64(Reader& reader);
// A varint length and that many bytes, borrowed.
Decoded<ByteView> read_length_prefixed(Reader& reader);
Decoded<ByteString> read_bytes(Reader& reader);
Decoded<std::string> read_string(Reader& reader);
Decoded<Reader> take_slice(Reader& reader, std::uint64_t length);

std::size_t varint_size(std::uint64_t x) noexcept;
void write_varint(std::vector<std::uint8_t>& out, std::uint64_t x);
void write_int(std::vector<std::uint8_t>& out, std::int64_t x);  // tag 4 and the zigzag varint
void write_float(std::vector<std::uint8_t>& out, double x);      // tag 5 and 8 bytes
void write_text(std::vector<std::uint8_t>& out, std::uint8_t tag, ByteView bytes);

// ------------------------------------------------- schema-free decoding

class StoredValue;
struct StoredField;

using StoredRecord = std::vector<StoredField>;
using StoredList = std::vector<StoredValue>;

// The decoded form of a stored value without a schema: bool, int, float,
// string, bytes, list, record of (field id, value) in stored order, link.
class StoredValue {
 public:
  enum class Kind : std::uint8_t { Bool, Int, Float, String, Bytes, List, Record, Link };

  static StoredValue boolean(bool b) { return StoredValue(std::in_place_index<0>, b); }
  static StoredValue integer(std::int64_t x) { return StoredValue(std::in_place_index<1>, x); }
  static StoredValue floating(double x) { return StoredValue(std::in_place_index<2>, x); }
  static StoredValue string(std::string s) {
    return StoredValue(std::in_place_index<3>, std::move(s));
  }
  static StoredValue bytes(ByteString b) {
    return StoredValue(std::in_place_index<4>, std::move(b));
  }
  static StoredValue list(StoredList items) {
    return StoredValue(std::in_place_index<5>, std::move(items));
  }
  static StoredValue record(StoredRecord fields) {
    return StoredValue(std::in_place_index<6>, std::move(fields));
  }
  static StoredValue link(StoredValue target);

  StoredValue(const StoredValue& other);
  StoredValue& operator=(const StoredValue& other);
  StoredValue(StoredValue&&) noexcept = default;
  StoredValue& operator=(StoredValue&&) noexcept = default;
  ~StoredValue();

  Kind kind() const noexcept { return static_cast<Kind>(data_.index()); }
  bool as_bool() const { return std::get<0>(data_); }
  std::int64_t as_int() const { return std::get<1>(data_); }
  double as_float() const { return std::get<2>(data_); }
  const std::string& as_string() const { return std::get<3>(data_); }
  std::string& as_string() { return std::get<3>(data_); }
  const ByteString& as_bytes() const { return std::get<4>(data_); }
  ByteString& as_bytes() { return std::get<4>(data_); }
  const StoredList& as_list() const { return std::get<5>(data_); }
  StoredList& as_list() { return std::get<5>(data_); }
  const StoredRecord& as_record() const { return std::get<6>(data_); }
  StoredRecord& as_record() { return std::get<6>(data_); }
  const StoredValue& link_target() const { return *std::get<7>(data_); }
  StoredValue& link_target() { return *std::get<7>(data_); }

  // Identity of kind and content, floats bit for bit.
  bool operator==(const StoredValue& other) const;

 private:
  template <std::size_t I, typename T>
  StoredValue(std::in_place_index_t<I> tag, T&& payload) : data_(tag, std::forward<T>(payload)) {}

  std::variant<bool, std::int64_t, double, std::string, ByteString, StoredList, StoredRecord,
               std::unique_ptr<StoredValue>>
      data_;
};

struct StoredField {
  std::uint64_t id;
  StoredValue value;

  bool operator==(const StoredField& other) const = default;
};

// The position after one value starting at `pos`; bodies of strings and
// embedded records are stepped over without being looked at.
Decoded<std::size_t> skip_value(ByteView bytes, std::size_t pos, std::size_t depth = 0);
Decoded<StoredValue> decode_value(Reader& reader, std::size_t depth);
Decoded<StoredRecord> decode_stored_fields(Reader& reader, std::size_t depth);
// One whole record: every byte must be used.
Decoded<StoredRecord> decode_record_object(ByteView bytes);

// Writes a StoredValue with its tag, and a record as count plus fields; the
// writers of the stored schema.
void write_stored_value(std::vector<std::uint8_t>& out, const StoredValue& value);
void write_stored_record(std::vector<std::uint8_t>& out, const StoredRecord& record);

// ------------------------------------------------------ typed decoding

Decoded<Value> convert_stored_value(StoredValue stored, const FieldKind& kind);
Decoded<Value> decode_typed_value(Reader& reader, const FieldKind& kind, std::size_t depth);
// One entry per declared field in field-id order, appended to `out`;
// missing fields are filled from their default, Null when optional.
DecodeStatus decode_fields(Reader& reader, std::span<const Field> fields, std::size_t depth,
                           std::vector<ObjectEntry>& out);
// One value cut out of a record: decoded, every byte used, then converted.
Decoded<Value> check_value_end(ByteView bytes, const FieldKind& kind);
Decoded<ObjectMap> decode_embedded_fields(Reader& reader, std::span<const Field> fields,
                                          std::size_t depth);

// The indexes 0..n-1 of the fields, stably sorted by field name.
std::vector<std::uint32_t> field_order_by_name(std::span<const Field> fields);
// A whole record as a map by field name. With a name order (from
// field_order_by_name) and at most 64 fields the entries are permuted into
// place; otherwise they are sorted.
Decoded<ObjectMap> decode_record(ByteView bytes, std::span<const Field> fields,
                                 std::span<const std::uint32_t> name_order = {});
Decoded<ObjectMap> decode_object_fields(ByteView bytes, std::span<const Field> fields);
// The same into a map whose storage is reused (no allocation in steady state
// for scalar fields). With the fields' name order (field_order_by_name, at
// most 64 fields) each value is put straight at its place, without a sort.
DecodeStatus decode_object_fields_into(ByteView bytes, std::span<const Field> fields,
                                       ObjectMap& out,
                                       std::span<const std::uint32_t> name_order = {});

// "an object of `{}`: {}"
std::string object_error(std::string_view collection_name, Message message);

// How the readers of one collection's records see it: its name, its fields
// and their name order. Without a given order, the first record is sorted
// and the order is computed, once, when a second record is read.
class CollectionView {
 public:
  CollectionView(std::string_view name, std::span<const Field> fields,
                 std::span<const std::uint32_t> name_order = {})
      : name_(name), fields_(fields), name_order_(name_order) {}

  std::string_view name() const noexcept { return name_; }
  std::span<const Field> fields() const noexcept { return fields_; }

 private:
  friend Result<ObjectMap> decode_for_collection(CollectionView& view, ByteView bytes,
                                                 FunctionRef<Error(std::string)> on_error);
  std::string_view name_;
  std::span<const Field> fields_;
  std::span<const std::uint32_t> name_order_;
  std::vector<std::uint32_t> computed_order_;
  bool first_record_ = true;
};

// Decodes one record of the view's collection into a map by field name. A
// failure is framed by object_error and made an Error by `on_error`.
Result<ObjectMap> decode_for_collection(CollectionView& view, ByteView bytes,
                                        FunctionRef<Error(std::string)> on_error);

// ---------------------------------------------------------- encoders

// What the typed encoders answer: a message, built only when a value is
// refused, that the caller frames ("an object of `{}`: {}").
template <typename T>
using Encoded = std::expected<T, std::string>;
using EncodeStatus = Encoded<void>;

// Appends `value` checked against `kind`, at the given nesting depth. A value
// that would land at depth 64 or deeper is refused ("a record nests too
// deeply"): no reader would take it back.
EncodeStatus encode_typed_value(const Value& value, const FieldKind& kind, const Schema& schema,
                                std::vector<std::uint8_t>& out, std::size_t depth = 0);
// Appends a record (count, then fields in declared order) for an object
// under `fields`; the fields themselves are at `depth`. The rules for absent
// and Null values and for unknown names are those of an embedded object.
EncodeStatus encode_object_fields(const ObjectMap& object, std::span<const Field> fields,
                                  const Schema& schema, std::vector<std::uint8_t>& out,
                                  std::size_t depth = 0);
// Replaces the count varint at `position` when the two counts differ, moving
// the tail when its length changes.
void patch_count(std::vector<std::uint8_t>& buffer, std::size_t position, std::uint64_t written,
                 std::uint64_t declared);
// Tag 8, the count, then per string tag 6, its length and its bytes.
void encode_str_list(std::vector<std::uint8_t>& out, std::span<const std::string_view> strings);
void encode_str_list(std::vector<std::uint8_t>& out, std::span<const std::string> strings);

// ------------------------------------- field access on stored records

struct RecordField {
  std::uint64_t id;
  // The tagged value's bytes.
  ByteView value;
};

// Walks the fields of one record, checking the ascending ids and stepping
// over each value. The frame turns messages into errors; it must outlive
// the walk.
class RecordFields {
 public:
  RecordFields(Reader reader, std::uint64_t count, ErrorFrame frame)
      : reader_(reader), left_(count), frame_(frame) {}

  std::uint64_t count_left() const noexcept { return left_; }
  // The next field, or none after the last one.
  Result<std::optional<RecordField>> next();
  // After the last field: every byte must have been used.
  Status finish() const;

 private:
  Reader reader_;
  std::uint64_t left_;
  bool first_ = true;
  std::uint64_t previous_id_ = 0;
  ErrorFrame frame_;
};

// Reads a record's field count (a one-byte count without the general
// varint path) with 2 bytes per field.
Result<RecordFields> record_fields_begin(ByteView bytes, ErrorFrame frame);

// The position of field `field_id`'s value tag, or none when the record
// does not hold it.
Decoded<std::optional<std::size_t>> walk_fields(ByteView bytes, std::uint64_t field_id);

// Typed readers of one field's value bytes: an int (tag 4), or the borrowed
// contents of a string, bytes or embedded record (tags 6, 7, 9).
Result<std::int64_t> check_field_value(ByteView value, ErrorFrame frame);
Result<ByteView> read_field_value(ByteView value, std::uint8_t tag, ErrorFrame frame);

}  // namespace codec
}  // namespace deziro
