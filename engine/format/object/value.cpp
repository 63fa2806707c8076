#include "format/object/value.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace deziro {

// ---------------------------------------------------------------- MapName

MapName::MapName(std::string_view text) : size_(static_cast<std::uint32_t>(text.size())) {
  if (is_inline()) {
    if (!text.empty()) std::memcpy(storage_.small, text.data(), text.size());
  } else {
    storage_.large = new char[text.size()];
    std::memcpy(storage_.large, text.data(), text.size());
  }
}

MapName::MapName(MapName&& other) noexcept : size_(other.size_), storage_(other.storage_) {
  other.size_ = 0;
}

MapName& MapName::operator=(const MapName& other) {
  if (this != &other) *this = MapName(other.view());
  return *this;
}

MapName& MapName::operator=(MapName&& other) noexcept {
  if (this != &other) {
    release();
    size_ = other.size_;
    storage_ = other.storage_;
    other.size_ = 0;
  }
  return *this;
}

void MapName::release() noexcept {
  if (!is_inline()) delete[] storage_.large;
  size_ = 0;
}

// -------------------------------------------------------------- ObjectMap

ObjectMap ObjectMap::from_entries(std::vector<ObjectEntry> entries) {
  ObjectMap map;
  map.entries_ = std::move(entries);
  map.sort_by_name();
  return map;
}

ObjectMap ObjectMap::from_sorted_entries(std::vector<ObjectEntry> entries) {
  ObjectMap map;
  map.entries_ = std::move(entries);
  return map;
}

void ObjectMap::sort_by_name() noexcept {
  // Names are unique, so an unstable sort gives the one order; std::sort
  // needs no scratch memory, which keeps decoding into a reused map free of
  // allocations.
  std::sort(entries_.begin(), entries_.end(), [](const ObjectEntry& a, const ObjectEntry& b) {
    return compare_names(a.name.view(), b.name.view()) < 0;
  });
}

ObjectMap::SearchResult ObjectMap::search(std::string_view name) const noexcept {
  std::size_t size = entries_.size();
  if (size == 0) return {false, 0};
  std::size_t base = 0;
  while (size > 1) {
    const std::size_t half = size / 2;
    const std::size_t mid = base + half;
    if (compare_names(entries_[mid].name.view(), name) <= 0) base = mid;
    size -= half;
  }
  const auto last = compare_names(entries_[base].name.view(), name);
  if (last == 0) return {true, base};
  if (last < 0) return {false, base + 1};
  return {false, base};
}

std::optional<Value> ObjectMap::insert(std::string_view name, Value value) {
  const SearchResult at = search(name);
  if (at.found) {
    Value old = std::move(entries_[at.index].value);
    entries_[at.index].value = std::move(value);
    return old;
  }
  entries_.emplace(entries_.begin() + static_cast<std::ptrdiff_t>(at.index), name,
                   std::move(value));
  return std::nullopt;
}

const Value* ObjectMap::get(std::string_view name) const noexcept {
  const SearchResult at = search(name);
  return at.found ? &entries_[at.index].value : nullptr;
}

Value* ObjectMap::get_mut(std::string_view name) noexcept {
  const SearchResult at = search(name);
  return at.found ? &entries_[at.index].value : nullptr;
}

bool ObjectMap::operator==(const ObjectMap& other) const {
  if (entries_.size() != other.entries_.size()) return false;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].name.view() != other.entries_[i].name.view()) return false;
    if (!(entries_[i].value == other.entries_[i].value)) return false;
  }
  return true;
}

// ------------------------------------------------------------------ Value

std::uint64_t float_order_key(double x) noexcept {
  std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  if (std::isnan(x)) {
    bits = 0x7FF8000000000000ULL;
  } else if (bits == 0x8000000000000000ULL) {
    bits = 0;
  }
  return (bits & 0x8000000000000000ULL) ? ~bits : bits ^ 0x8000000000000000ULL;
}

namespace {

// The rank of a value among kinds; equal to the leading tag byte of its key
// encoding (the smallest int tag for ints), so key order and value order agree.
std::uint8_t rank(const Value& v) noexcept {
  switch (v.kind()) {
    case ValueKind::Null:
      return 1;
    case ValueKind::Bool:
      return v.as_bool() ? 3 : 2;
    case ValueKind::Int:
      return 4;
    case ValueKind::Float:
      return 21;
    case ValueKind::String:
      return 22;
    case ValueKind::Bytes:
      return 23;
    case ValueKind::List:
    case ValueKind::Object:
      return 255;
  }
  return 255;
}

std::weak_ordering compare_bytes(std::span<const std::uint8_t> a,
                                 std::span<const std::uint8_t> b) noexcept {
  const std::size_t common = std::min(a.size(), b.size());
  if (common != 0) {
    const int c = std::memcmp(a.data(), b.data(), common);
    if (c != 0) return c < 0 ? std::weak_ordering::less : std::weak_ordering::greater;
  }
  return a.size() <=> b.size();
}

}  // namespace

std::span<const std::uint8_t> Value::byte_view() const noexcept {
  if (const auto* s = std::get_if<4>(&data_)) {
    return {reinterpret_cast<const std::uint8_t*>(s->data()), s->size()};
  }
  if (const auto* b = std::get_if<5>(&data_)) return {b->data(), b->size()};
  return {};
}

std::weak_ordering Value::cmp(const Value& a, const Value& b) noexcept {
  const ValueKind ka = a.kind();
  const ValueKind kb = b.kind();
  if (ka == kb) {
    switch (ka) {
      case ValueKind::Int:
        return a.as_int() <=> b.as_int();
      case ValueKind::Float:
        return float_order_key(a.as_float()) <=> float_order_key(b.as_float());
      case ValueKind::String:
      case ValueKind::Bytes:
        return compare_bytes(a.byte_view(), b.byte_view());
      default:
        break;
    }
  }
  return rank(a) <=> rank(b);
}

bool Value::operator==(const Value& other) const {
  if (kind() != other.kind()) return false;
  switch (kind()) {
    case ValueKind::Null:
      return true;
    case ValueKind::Bool:
      return as_bool() == other.as_bool();
    case ValueKind::Int:
      return as_int() == other.as_int();
    case ValueKind::Float:
      return std::bit_cast<std::uint64_t>(as_float()) ==
             std::bit_cast<std::uint64_t>(other.as_float());
    case ValueKind::String:
      return as_string() == other.as_string();
    case ValueKind::Bytes:
      return as_bytes() == other.as_bytes();
    case ValueKind::List:
      return as_list() == other.as_list();
    case ValueKind::Object:
      return as_object() == other.as_object();
  }
  return false;
}

// ------------------------------------------------------------ debug form

namespace {

void append_float(std::string& out, double x) {
  if (std::isnan(x)) {
    out += "NaN";
    return;
  }
  if (std::isinf(x)) {
    out += x < 0 ? "-inf" : "inf";
    return;
  }
  char buf[40];
  const double magnitude = std::fabs(x);
  if (magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16)) {
    // Shortest scientific form, written as 1.5e-5 or 1e20.
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    (void)ec;
    std::string_view text(buf, static_cast<std::size_t>(end - buf));
    const std::size_t e = text.find('e');
    out.append(text.substr(0, e));
    out.push_back('e');
    std::string_view exponent = text.substr(e + 1);
    if (exponent.front() == '+') exponent.remove_prefix(1);
    bool negative = false;
    if (exponent.front() == '-') {
      negative = true;
      exponent.remove_prefix(1);
    }
    while (exponent.size() > 1 && exponent.front() == '0') exponent.remove_prefix(1);
    if (negative) out.push_back('-');
    out.append(exponent);
    return;
  }
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
  (void)ec;
  std::string_view text(buf, static_cast<std::size_t>(end - buf));
  out.append(text);
  if (text.find('.') == std::string_view::npos) out += ".0";
}

void append_quoted(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (u < 0x20 || u == 0x7F) {
          out += "\\u{";
          if (u >= 0x10) out.push_back(kHex[u >> 4]);
          out.push_back(kHex[u & 15]);
          out.push_back('}');
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

void append_int(std::string& out, std::int64_t x) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x);
  (void)ec;
  out.append(buf, end);
}

}  // namespace

void Value::append_debug(std::string& out) const {
  switch (kind()) {
    case ValueKind::Null:
      out += "Null";
      return;
    case ValueKind::Bool:
      out += as_bool() ? "Bool(true)" : "Bool(false)";
      return;
    case ValueKind::Int:
      out += "Int(";
      append_int(out, as_int());
      break;
    case ValueKind::Float:
      out += "Float(";
      append_float(out, as_float());
      break;
    case ValueKind::String:
      out += "String(";
      append_quoted(out, as_string());
      break;
    case ValueKind::Bytes: {
      out += "Bytes([";
      bool first = true;
      for (const std::uint8_t b : as_bytes()) {
        if (!first) out += ", ";
        first = false;
        append_int(out, b);
      }
      out += "]";
      break;
    }
    case ValueKind::List: {
      out += "List([";
      bool first = true;
      for (const Value& item : as_list()) {
        if (!first) out += ", ";
        first = false;
        item.append_debug(out);
      }
      out += "]";
      break;
    }
    case ValueKind::Object: {
      out += "Object({";
      bool first = true;
      for (const ObjectEntry& entry : as_object().entries()) {
        if (!first) out += ", ";
        first = false;
        append_quoted(out, entry.name.view());
        out += ": ";
        entry.value.append_debug(out);
      }
      out += "}";
      break;
    }
  }
  out.push_back(')');
}

std::string Value::debug_string() const {
  std::string out;
  append_debug(out);
  return out;
}

}  // namespace deziro
