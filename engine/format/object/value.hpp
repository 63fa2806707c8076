// The engine's in-memory value and the field map of an object.
//
// `Value` is what an object's attributes become before they are written,
// what a query compares with, and what a stored record becomes when it is
// read back. `Value::cmp` is the one total order of values; the key encoding
// (format/object/key.hpp) is built so that the byte order of encoded keys is
// this order for every value that can be a key.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace deziro {

class Value;
struct ObjectEntry;

// The variant's index is its tag; the order is part of the interface.
enum class ValueKind : std::uint8_t { Null, Bool, Int, Float, String, Bytes, List, Object };

using ByteString = std::vector<std::uint8_t>;
using ValueList = std::vector<Value>;

// The name of an entry of an ObjectMap. Names of up to 22 bytes (nearly every
// field name) live inside the entry; longer ones take one allocation of
// exactly their length.
class MapName {
 public:
  static constexpr std::size_t kInlineCapacity = 22;

  MapName() noexcept : size_(0) {}
  explicit MapName(std::string_view text);
  MapName(const MapName& other) : MapName(other.view()) {}
  MapName(MapName&& other) noexcept;
  MapName& operator=(const MapName& other);
  MapName& operator=(MapName&& other) noexcept;
  ~MapName() { release(); }

  std::string_view view() const noexcept {
    return {is_inline() ? storage_.small : storage_.large, size_};
  }
  std::size_t size() const noexcept { return size_; }
  bool is_inline() const noexcept { return size_ <= kInlineCapacity; }

 private:
  void release() noexcept;

  std::uint32_t size_;
  union Storage {
    char small[kInlineCapacity];
    char* large;
  } storage_;
};

// Byte order, the shorter name first on a common prefix. Names are short, so
// a plain loop beats a call to memcmp.
inline std::strong_ordering compare_names(std::string_view a, std::string_view b) noexcept {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < common; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x <=> y;
  }
  return a.size() <=> b.size();
}

// An object's fields: (name, value) entries sorted by name bytes, each name
// at most once. A flat array searched by binary search.
class ObjectMap {
 public:
  struct SearchResult {
    bool found;
    // The entry's index when found; otherwise where the name would go.
    std::size_t index;
  };

  ObjectMap() noexcept = default;
  // The members that destroy or copy entries are defined below ObjectEntry,
  // which they need complete.
  ObjectMap(const ObjectMap& other);
  ObjectMap(ObjectMap&& other) noexcept;
  ObjectMap& operator=(const ObjectMap& other);
  ObjectMap& operator=(ObjectMap&& other) noexcept;
  ~ObjectMap();

  // Builds a map from entries in any order; names must be unique. The sort
  // is stable.
  static ObjectMap from_entries(std::vector<ObjectEntry> entries);
  // Entries already in name order (a decoder's permutation); not checked.
  static ObjectMap from_sorted_entries(std::vector<ObjectEntry> entries);

  // For decoders that fill a map in bulk, reusing its storage: append the
  // entries in any order, then call sort_by_name().
  std::vector<ObjectEntry>& mutable_entries() noexcept { return entries_; }
  void sort_by_name() noexcept;

  SearchResult search(std::string_view name) const noexcept;
  // Replaces the value of an existing entry and returns the old one (the
  // stored name is kept), or adds a new entry in order and returns none.
  std::optional<Value> insert(std::string_view name, Value value);
  const Value* get(std::string_view name) const noexcept;
  Value* get_mut(std::string_view name) noexcept;

  std::size_t size() const noexcept;
  bool empty() const noexcept;
  std::span<const ObjectEntry> entries() const noexcept;
  const ObjectEntry& operator[](std::size_t i) const noexcept;
  void reserve(std::size_t n);
  void clear() noexcept;

  // Entry by entry, names and values alike (values by Value::operator==).
  bool operator==(const ObjectMap& other) const;

 private:
  std::vector<ObjectEntry> entries_;
};

class Value {
 public:
  Value() noexcept = default;  // Null

  static Value null() noexcept { return Value(); }
  static Value boolean(bool b) noexcept { return Value(std::in_place_index<1>, b); }
  static Value integer(std::int64_t x) noexcept { return Value(std::in_place_index<2>, x); }
  static Value floating(double x) noexcept { return Value(std::in_place_index<3>, x); }
  static Value string(std::string text) { return Value(std::in_place_index<4>, std::move(text)); }
  static Value bytes(ByteString b) { return Value(std::in_place_index<5>, std::move(b)); }
  static Value bytes(std::span<const std::uint8_t> b) {
    return Value(std::in_place_index<5>, ByteString(b.begin(), b.end()));
  }
  static Value bytes(std::string_view b) {
    return Value(std::in_place_index<5>, ByteString(b.begin(), b.end()));
  }
  static Value list(ValueList items) { return Value(std::in_place_index<6>, std::move(items)); }
  static Value object(ObjectMap map) { return Value(std::in_place_index<7>, std::move(map)); }

  ValueKind kind() const noexcept { return static_cast<ValueKind>(data_.index()); }
  bool is_null() const noexcept { return kind() == ValueKind::Null; }

  // Accessors: the caller knows the kind (checked by std::get).
  bool as_bool() const { return std::get<1>(data_); }
  std::int64_t as_int() const { return std::get<2>(data_); }
  double as_float() const { return std::get<3>(data_); }
  const std::string& as_string() const { return std::get<4>(data_); }
  std::string& as_string() { return std::get<4>(data_); }
  const ByteString& as_bytes() const { return std::get<5>(data_); }
  ByteString& as_bytes() { return std::get<5>(data_); }
  const ValueList& as_list() const { return std::get<6>(data_); }
  ValueList& as_list() { return std::get<6>(data_); }
  const ObjectMap& as_object() const { return std::get<7>(data_); }
  ObjectMap& as_object() { return std::get<7>(data_); }

  // The bytes of a String or a Bytes value; empty for any other kind.
  std::span<const std::uint8_t> byte_view() const noexcept;

  // The one total order (see value.cpp). Equal here does not mean identical:
  // -0.0 equals +0.0, all NaNs are equal, and all lists and objects are equal.
  static std::weak_ordering cmp(const Value& a, const Value& b) noexcept;

  // Identity of variant and content (floats bit for bit, lists and objects
  // item by item).
  bool operator==(const Value& other) const;

  // The debug form used in messages: Null, Bool(true), Int(5), Float(1.5),
  // String("a"), Bytes([0, 65]), List([Int(1)]), Object({"a": Int(1)}).
  std::string debug_string() const;
  void append_debug(std::string& out) const;

 private:
  template <std::size_t I, typename T>
  Value(std::in_place_index_t<I> tag, T&& payload) : data_(tag, std::forward<T>(payload)) {}

  std::variant<std::monostate, bool, std::int64_t, double, std::string, ByteString, ValueList,
               ObjectMap>
      data_;
};

struct ObjectEntry {
  MapName name;
  Value value;

  ObjectEntry() = default;
  ObjectEntry(std::string_view n, Value v) : name(n), value(std::move(v)) {}
};

inline ObjectMap::ObjectMap(const ObjectMap& other) = default;
inline ObjectMap::ObjectMap(ObjectMap&& other) noexcept = default;
inline ObjectMap& ObjectMap::operator=(const ObjectMap& other) = default;
inline ObjectMap& ObjectMap::operator=(ObjectMap&& other) noexcept = default;
inline ObjectMap::~ObjectMap() = default;
inline std::size_t ObjectMap::size() const noexcept { return entries_.size(); }
inline bool ObjectMap::empty() const noexcept { return entries_.empty(); }
inline std::span<const ObjectEntry> ObjectMap::entries() const noexcept { return entries_; }
inline const ObjectEntry& ObjectMap::operator[](std::size_t i) const noexcept {
  return entries_[i];
}
inline void ObjectMap::reserve(std::size_t n) { entries_.reserve(n); }
inline void ObjectMap::clear() noexcept { entries_.clear(); }

// The order key of a float: NaN made canonical, -0.0 made +0.0, then mapped
// so that unsigned comparison of keys is the order of the floats. The key
// encoding writes exactly this word.
std::uint64_t float_order_key(double x) noexcept;

}  // namespace deziro
