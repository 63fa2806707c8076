// Small builders and a seeded random source shared by the object-format
// tests: fields, collections and random values of a given kind.
#pragma once

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "format/object/schema.hpp"
#include "format/object/value.hpp"

namespace deziro {

// Readable values in GoogleTest's failure messages.
inline void PrintTo(const Value& value, std::ostream* os) { *os << value.debug_string(); }

}  // namespace deziro

namespace deziro::test {

inline std::vector<std::uint8_t> bytes(std::initializer_list<int> list) {
  std::vector<std::uint8_t> out;
  for (int b : list) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

inline Field make_field(std::uint64_t id, std::string name, FieldKind kind, bool optional = false,
                        std::optional<Value> default_value = std::nullopt) {
  return Field{id, std::move(name), std::move(kind), optional, std::move(default_value)};
}

inline Collection make_collection(std::uint64_t id, std::string name, std::vector<Field> fields,
                                  std::uint64_t key_field_id) {
  Collection c;
  c.id = id;
  c.name = std::move(name);
  c.next_field_id = fields.empty() ? 1 : fields.back().id + 1;
  c.fields = std::move(fields);
  c.primary_key_field_id = key_field_id;
  return c;
}

// The plain kinds by number: 0 bool, 1 int, 2 float, 3 str, 4 bytes.
inline FieldKind plain_kind(std::uint64_t n) {
  switch (n) {
    case 0:
      return FieldKind::boolean();
    case 1:
      return FieldKind::integer();
    case 2:
      return FieldKind::floating();
    case 3:
      return FieldKind::str();
    default:
      return FieldKind::bytes();
  }
}

// A seeded source of the values that break codecs: the 64-bit limits, byte
// boundaries, NaNs with payloads, signed zeros, infinities, zero bytes.
class RandomValues {
 public:
  explicit RandomValues(std::uint64_t seed) : rng_(seed) {}

  std::uint64_t next() { return rng_(); }
  std::uint64_t below(std::uint64_t n) { return rng_() % n; }

  std::int64_t int64() {
    static constexpr std::int64_t kEdges[] = {
        0,         1,        -1,   255,   256,   -255,      -256,      -257,          127,
        128,       -128,     -129, 65535, 65536, INT64_MAX, INT64_MIN, INT64_MAX - 1, INT64_MIN + 1,
        INT32_MAX, INT32_MIN};
    switch (below(4)) {
      case 0:
        return kEdges[below(std::size(kEdges))];
      case 1:
        return static_cast<std::int64_t>(rng_());
      case 2:  // a random byte length, either sign
        return static_cast<std::int64_t>(rng_() >> below(64));
      default:
        return -static_cast<std::int64_t>(rng_() >> (1 + below(63)));
    }
  }

  double float64() {
    switch (below(6)) {
      case 0: {  // NaN with a random payload and sign
        std::uint64_t bits = 0x7FF0000000000000ULL | (rng_() & 0x000FFFFFFFFFFFFFULL) | 1;
        if (rng_() & 1) bits |= 0x8000000000000000ULL;
        return std::bit_cast<double>(bits);
      }
      case 1:
        return (rng_() & 1) ? -0.0 : 0.0;
      case 2:
        return (rng_() & 1) ? -std::numeric_limits<double>::infinity()
                            : std::numeric_limits<double>::infinity();
      case 3:
        return static_cast<double>(int64()) / 7.0;
      default:
        return std::bit_cast<double>(rng_());  // any pattern, subnormals included
    }
  }

  // Text with zero bytes and bytes 0x01 and 0xFF, which sit next to the key
  // escapes; kept UTF-8 by using only ASCII and one two-byte character.
  std::string text() {
    static constexpr const char* kPieces[] = {"", "a", "b", "\0", "\x01", "ab", "\xc3\xa9", "zz"};
    std::string s;
    const std::size_t n = below(6);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t k = below(std::size(kPieces));
      s += (k == 3) ? std::string(1, '\0') : std::string(kPieces[k]);
    }
    return s;
  }

  ByteString byte_string() {
    ByteString b(below(8));
    static constexpr std::uint8_t kBytes[] = {0x00, 0x01, 0xFF, 0xFE, 0x41, 0x00};
    for (auto& x : b) x = kBytes[below(std::size(kBytes))];
    return b;
  }

  // A random value of a plain kind (bool, int, float, str or bytes).
  Value plain(KindCode code) {
    switch (code) {
      case KindCode::Bool:
        return Value::boolean(rng_() & 1);
      case KindCode::Int:
        return Value::integer(int64());
      case KindCode::Float:
        return Value::floating(float64());
      case KindCode::Str:
        return Value::string(text());
      default:
        return Value::bytes(byte_string());
    }
  }

  // A key-able value: null, a bool, an int, a float, a string or bytes.
  Value scalar() {
    switch (below(8)) {
      case 0:
        return Value::null();
      case 1:
        return Value::boolean(rng_() & 1);
      case 2:
      case 3:
        return Value::integer(int64());
      case 4:
      case 5:
        return Value::floating(float64());
      case 6:
        return Value::string(text());
      default:
        return Value::bytes(byte_string());
    }
  }

 private:
  std::mt19937_64 rng_;
};

}  // namespace deziro::test
