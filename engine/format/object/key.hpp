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
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "format/object/codec.hpp"
#include "format/object/schema.hpp"
#include "format/object/value.hpp"

namespace deziro::key {

using codec::Decoded;
using codec::DecodeStatus;
using codec::Message;

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
DecodeStatus encode_value(const Value& value, std::vector<std::uint8_t>& out);

// One encoded component kept on the stack when it fits: an int, or a
// string or bytes of at most 61 bytes without a zero byte. Longer values go
// to the heap through the general encoder.
class KeyBuffer {
 public:
  static constexpr std::size_t kInlineCapacity = 64;

  // Replaces the content with the component of `value`.
  DecodeStatus encode(const Value& value);
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

}  // namespace deziro::key
