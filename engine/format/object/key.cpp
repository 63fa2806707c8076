#include "format/object/key.hpp"

#include <bit>
#include <cstring>

#include "format/object/codec.hpp"
#include "format/object/codec_internal.hpp"
#include "text_format.hpp"

namespace deziro::key {

namespace {

using codec::detail::refuse;

// The bytes an int's body needs: the significant bytes of x for positives,
// of its complement (at least one) for negatives, none for 0.
unsigned int_body_size(std::int64_t x) noexcept {
  if (x == 0) return 0;
  if (x > 0) return (std::bit_width(static_cast<std::uint64_t>(x)) + 7) / 8;
  const unsigned n = (std::bit_width(~static_cast<std::uint64_t>(x)) + 7) / 8;
  return n == 0 ? 1 : n;
}

// Writes the int component into buf (at least 9 bytes); returns its length.
std::size_t int_bytes(std::int64_t x, std::uint8_t* buf) noexcept {
  const unsigned n = int_body_size(x);
  buf[0] = static_cast<std::uint8_t>(x < 0 ? kTagIntZero - n : kTagIntZero + n);
  const auto u = static_cast<std::uint64_t>(x);
  for (unsigned i = 0; i < n; ++i) buf[1 + i] = static_cast<std::uint8_t>(u >> (8 * (n - 1 - i)));
  return 1 + n;
}

void float_bytes(double x, std::uint8_t* buf) noexcept {
  buf[0] = kTagFloat;
  const std::uint64_t k = float_order_key(x);
  for (int i = 0; i < 8; ++i) buf[1 + i] = static_cast<std::uint8_t>(k >> (56 - 8 * i));
}

}  // namespace

void encode_int(std::int64_t x, std::vector<std::uint8_t>& out) {
  std::uint8_t buf[9];
  out.insert(out.end(), buf, buf + int_bytes(x, buf));
}

void encode_float(double x, std::vector<std::uint8_t>& out) {
  std::uint8_t buf[9];
  float_bytes(x, buf);
  out.insert(out.end(), buf, buf + 9);
}

void write_escaped(std::uint8_t tag, ByteView bytes, std::vector<std::uint8_t>& out) {
  out.push_back(tag);
  const std::uint8_t* p = bytes.data();
  const std::uint8_t* const end = p + bytes.size();
  while (p < end) {
    const void* zero = std::memchr(p, 0, static_cast<std::size_t>(end - p));
    const std::uint8_t* stop = zero ? static_cast<const std::uint8_t*>(zero) : end;
    out.insert(out.end(), p, stop);
    if (stop == end) break;
    out.push_back(0x00);
    out.push_back(0xFF);
    p = stop + 1;
  }
  out.push_back(0x00);
  out.push_back(0x00);
}

DecodeStatus encode_value(const Value& value, std::vector<std::uint8_t>& out) {
  switch (value.kind()) {
    case ValueKind::Null:
      out.push_back(kTagNull);
      return {};
    case ValueKind::Bool:
      out.push_back(value.as_bool() ? kTagTrue : kTagFalse);
      return {};
    case ValueKind::Int:
      encode_int(value.as_int(), out);
      return {};
    case ValueKind::Float:
      encode_float(value.as_float(), out);
      return {};
    case ValueKind::String:
      write_escaped(kTagString, value.byte_view(), out);
      return {};
    case ValueKind::Bytes:
      write_escaped(kTagBytes, value.byte_view(), out);
      return {};
    case ValueKind::List:
    case ValueKind::Object:
      break;
  }
  return refuse(msg::kNotAKey);
}

namespace {

// Whether `value` is of the variant the collection's key field takes.
Status check_primary_key(const Collection& collection, const Value& value) {
  const Field* field = collection.primary_key_field();
  bool fits = false;
  if (field != nullptr) {
    switch (field->kind.code()) {
      case KindCode::Int:
        fits = value.kind() == ValueKind::Int;
        break;
      case KindCode::Str:
        fits = value.kind() == ValueKind::String;
        break;
      case KindCode::Bytes:
        fits = value.kind() == ValueKind::Bytes;
        break;
      default:
        break;
    }
  }
  if (!fits) {
    return fail(Error::invalid_argument(
        format_text("{} is not a primary key of `{}`", value.debug_string(), collection.name)));
  }
  return ok();
}

}  // namespace

Status primary_key_of(const Collection& collection, const Value& value,
                      std::vector<std::uint8_t>& out) {
  DZ_CHECK(check_primary_key(collection, value));
  if (const auto encoded = encode_value(value, out); !encoded) {
    return fail(Error::internal(std::string(encoded.error())));
  }
  return ok();
}

DecodeStatus KeyBuffer::encode(const Value& value) {
  heap_.reset();
  size_ = 0;
  if (value.kind() == ValueKind::Int) {
    size_ = int_bytes(value.as_int(), inline_);
    return {};
  }
  const ByteView body = value.byte_view();
  if ((value.kind() == ValueKind::String || value.kind() == ValueKind::Bytes) &&
      body.size() <= kInlineCapacity - 3 &&
      (body.empty() || std::memchr(body.data(), 0, body.size()) == nullptr)) {
    inline_[0] = value.kind() == ValueKind::String ? kTagString : kTagBytes;
    if (!body.empty()) std::memcpy(inline_ + 1, body.data(), body.size());
    inline_[body.size() + 1] = 0;
    inline_[body.size() + 2] = 0;
    size_ = body.size() + 3;
    return {};
  }
  heap_.emplace();
  return encode_value(value, *heap_);
}

Status encode_primary_key(const Collection& collection, const Value& value, KeyBuffer& out) {
  DZ_CHECK(check_primary_key(collection, value));
  if (const auto encoded = out.encode(value); !encoded) {
    return fail(Error::internal(std::string(encoded.error())));
  }
  return ok();
}

// ------------------------------------------------------------ decoding

Decoded<std::pair<ByteString, std::size_t>> decode_key_component(ByteView body) {
  ByteString out;
  std::size_t i = 0;
  for (;;) {
    if (i >= body.size()) return refuse(msg::kEndsInsideString);
    const void* zero = std::memchr(body.data() + i, 0, body.size() - i);
    if (zero == nullptr) return refuse(msg::kEndsInsideString);
    const std::size_t z =
        static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - body.data());
    out.insert(out.end(), body.begin() + static_cast<std::ptrdiff_t>(i),
               body.begin() + static_cast<std::ptrdiff_t>(z));
    if (z + 1 >= body.size()) return refuse(msg::kZeroOutOfPlace);
    const std::uint8_t next = body[z + 1];
    if (next == 0x00) return std::pair{std::move(out), z + 2};
    if (next != 0xFF) return refuse(msg::kZeroOutOfPlace);
    out.push_back(0x00);
    i = z + 2;
  }
}

Decoded<std::pair<Value, std::size_t>> decode_component(ByteView key) {
  if (key.empty()) return refuse(msg::kEndsBeforeTag);
  const std::uint8_t tag = key[0];
  if (tag == kTagNull) return std::pair{Value::null(), std::size_t{1}};
  if (tag == kTagFalse || tag == kTagTrue) {
    return std::pair{Value::boolean(tag == kTagTrue), std::size_t{1}};
  }
  if (tag >= kTagIntMin && tag <= kTagIntMax) {
    const unsigned n = tag < kTagIntZero ? kTagIntZero - tag : tag - kTagIntZero;
    if (key.size() - 1 < n) return refuse(msg::kEndsInsideInt);
    std::uint64_t word = tag < kTagIntZero ? ~std::uint64_t{0} : 0;
    for (unsigned i = 0; i < n; ++i) word = (word << 8) | key[1 + i];
    const auto x = static_cast<std::int64_t>(word);
    // Only the encoder's own form: the sign of the tag's side, and no byte
    // more than the value needs.
    if ((tag < kTagIntZero) != (x < 0) || int_body_size(x) != n) return refuse(msg::kIntTooLong);
    return std::pair{Value::integer(x), std::size_t{1} + n};
  }
  if (tag == kTagFloat) {
    if (key.size() < 9) return refuse(msg::kEndsInsideNumber);
    std::uint64_t k = 0;
    for (int i = 1; i <= 8; ++i) k = (k << 8) | key[i];
    const std::uint64_t bits = (k & 0x8000000000000000ULL) ? k & ~0x8000000000000000ULL : ~k;
    return std::pair{Value::floating(std::bit_cast<double>(bits)), std::size_t{9}};
  }
  if (tag == kTagString || tag == kTagBytes) {
    auto body = decode_key_component(key.subspan(1));
    if (!body) return refuse(body.error());
    if (tag == kTagBytes) return std::pair{Value::bytes(std::move(body->first)), 1 + body->second};
    if (!codec::is_utf8(body->first)) return refuse(msg::kStringNotUtf8);
    return std::pair{Value::string(std::string(body->first.begin(), body->first.end())),
                     1 + body->second};
  }
  return refuse(msg::kUnknownTag);
}

Decoded<Value> decode_key(ByteView key) {
  auto component = decode_component(key);
  if (!component) return refuse(component.error());
  if (component->second != key.size()) return refuse(msg::kBytesAfterKey);
  return std::move(component->first);
}

Decoded<std::size_t> first_component_size(ByteView key) {
  if (key.empty()) return refuse(msg::kEndsBeforeTag);
  const std::uint8_t tag = key[0];
  if (tag >= kTagNull && tag <= kTagTrue) return 1;
  if (tag >= kTagIntMin && tag <= kTagIntMax) {
    const std::size_t n = tag < kTagIntZero ? kTagIntZero - tag : tag - kTagIntZero;
    if (key.size() - 1 < n) return refuse(msg::kEndsInsideInt);
    return 1 + n;
  }
  if (tag == kTagFloat) {
    if (key.size() < 9) return refuse(msg::kEndsInsideNumber);
    return 9;
  }
  if (tag == kTagString || tag == kTagBytes) {
    std::size_t i = 1;
    for (;;) {
      const void* zero = i < key.size() ? std::memchr(key.data() + i, 0, key.size() - i) : nullptr;
      if (zero == nullptr) return refuse(msg::kEndsInsideString);
      const auto z = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - key.data());
      if (z + 1 >= key.size()) return refuse(msg::kEndsInsideString);
      if (key[z + 1] == 0x00) return z + 2;
      if (key[z + 1] != 0xFF) return refuse(msg::kZeroOutOfPlace);
      i = z + 2;
    }
  }
  return refuse(msg::kUnknownTag);
}

}  // namespace deziro::key
