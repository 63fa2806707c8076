// The order-preserving key encoding: primary keys and index entries.
//
// A key is one or more components laid end to end; a component is a tag
// byte and a body whose length the tag fixes (strings and bytes end with a
// terminator). Comparing two encoded keys byte by byte, the shorter first on
// a common prefix, gives the order of Value::cmp for every key-able value:
//
//   Null 01 | false 02 | true 03 | Int: 0C for 0, 0C-n for negatives and
//   0C+n for positives, then the n low bytes big-endian | Float 15 and the
//   8-byte order key | String 16 and Bytes 17, each 00 escaped as 00 FF,
//   ended by 00 00.
//
// Lists and objects are never keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "format/object/schema.hpp"
#include "format/object/value.hpp"
#include "txn/tree_access.hpp"

namespace deziro::key {

using Message = std::string_view;
template <typename T>
using Decoded = std::expected<T, Message>;

enum Tag : std::uint8_t {
  kTagNull = 1,
  kTagFalse = 2,
  kTagTrue = 3,
  kTagIntMin = 4,  // the most negative int's 8-byte form
  kTagIntZero = 12,
  kTagIntMax = 20,
  kTagFloat = 21,
  kTagString = 22,
  kTagBytes = 23,
};

namespace msg {
inline constexpr Message kNotAKey = "a list or an object is not a key";
inline constexpr Message kEndsBeforeTag = "a key ends before its tag";
inline constexpr Message kEndsInsideInt = "a key ends inside an int";
inline constexpr Message kIntTooLong = "a key holds an int in more bytes than it needs";
inline constexpr Message kEndsInsideNumber = "a key ends inside a number";
inline constexpr Message kEndsInsideString = "a key ends inside a string";
inline constexpr Message kZeroOutOfPlace = "a key has a zero byte out of place";
inline constexpr Message kStringNotUtf8 = "a string key is not UTF-8";
inline constexpr Message kUnknownTag = "a key has an unknown tag";
// Bytes after the one component of a whole key; callers report only their
// own frame for it.
inline constexpr Message kBytesAfterKey = "a key has bytes after its component";
}  // namespace msg

// ------------------------------------------------------------ encoding

void encode_int(std::int64_t x, std::vector<std::uint8_t>& out);
void encode_float(double x, std::vector<std::uint8_t>& out);
// The tag, the bytes with each 00 written as 00 FF, then 00 00.
void write_escaped(std::uint8_t tag, ByteView bytes, std::vector<std::uint8_t>& out);
// Appends one component; refuses a List or an Object, appending nothing.
std::expected<void, Message> encode_value(const Value& value, std::vector<std::uint8_t>& out);

// One encoded component kept on the stack when it fits: an int, or a
// string or bytes of at most 61 bytes without a zero byte. Longer values go
// to the heap through the general encoder.
class KeyBuffer {
 public:
  static constexpr std::size_t kInlineCapacity = 64;

  // Replaces the content with the component of `value`.
  std::expected<void, Message> encode(const Value& value);
  ByteView view() const noexcept { return heap_ ? ByteView(*heap_) : ByteView(inline_, size_); }

 private:
  std::uint8_t inline_[kInlineCapacity];
  std::size_t size_ = 0;
  std::optional<std::vector<std::uint8_t>> heap_;
};

// Checks that `value` suits the collection's primary-key field (Int for an
// int key, String for str, Bytes for bytes) and encodes it. Otherwise
// INVALID_ARGUMENT "{} is not a primary key of `{}`".
Status primary_key_of(const Collection& collection, const Value& value,
                      std::vector<std::uint8_t>& out);
Status encode_primary_key(const Collection& collection, const Value& value, KeyBuffer& out);

// ------------------------------------------------------------ decoding

// Unescapes a string or bytes body (the bytes after the tag): the bytes and
// the count of input bytes used, terminator included.
Decoded<std::pair<ByteString, std::size_t>> decode_key_component(ByteView body);
// One component at the start of `key`: the value and the bytes it used.
Decoded<std::pair<Value, std::size_t>> decode_component(ByteView key);
// A whole key of exactly one component.
Decoded<Value> decode_key(ByteView key);
// The length of the first component, measured without decoding it; longer
// int bodies than the encoder's are accepted here.
Decoded<std::size_t> first_component_size(ByteView key);

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

}  // namespace deziro::key

namespace deziro::objects {

// The object stored under `value` in the collection's record tree, decoded
// by the collection's fields into a map by field name; none when absent.
// The key is checked as by key::primary_key_of; a record that does not
// decode is CORRUPTED "an object of `{}`: {}".
Result<std::optional<ObjectMap>> get_by_key(const Collection& collection, ByteView record_tree,
                                            const Value& value, TreeAccess& access);

}  // namespace deziro::objects
