// The codec's primitives: UTF-8 checks, varints, counts, floats, strings.
#include <bit>
#include <cstring>

#include "format/object/codec.hpp"
#include "format/object/codec_internal.hpp"

namespace deziro::codec {

using detail::count_fits;
using detail::refuse;
using detail::varint_bytes;

// ------------------------------------------------------------------ UTF-8

bool is_utf8(ByteView bytes) noexcept {
  const std::uint8_t* p = bytes.data();
  const std::uint8_t* const end = p + bytes.size();
  while (p < end) {
    // Eight ASCII bytes at a time: the common case of field names and text.
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        p += 8;
        continue;
      }
    }
    const std::uint8_t b = *p;
    if (b < 0x80) {
      ++p;
      continue;
    }
    std::size_t extra;
    std::uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      cp = b & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= extra) return false;
    for (std::size_t i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    p += extra + 1;
  }
  return true;
}

// ------------------------------------------------------------- primitives

Decoded<std::uint64_t> read_varint(Reader& reader) {
  const ByteView bytes = reader.bytes;
  std::size_t p = reader.pos;
  if (p < bytes.size() && bytes[p] < 0x80) {
    reader.pos = p + 1;
    return bytes[p];
  }
  std::uint64_t result = 0;
  for (unsigned i = 0; i < 10; ++i, ++p) {
    if (p >= bytes.size()) {
      reader.pos = p;
      return refuse(msg::kEndsEarly);
    }
    const std::uint8_t b = bytes[p];
    if (i == 9) {
      reader.pos = p;
      if (b & 0x7E) return refuse(msg::kNumberTooLarge);
      if (b & 0x80) return refuse(msg::kNumberTooLong);
      reader.pos = p + 1;
      return result | (static_cast<std::uint64_t>(b) << 63);
    }
    result |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
    if ((b & 0x80) == 0) {
      reader.pos = p + 1;
      return result;
    }
  }
  return result;  // not reached: the 10th byte always returns
}

Decoded<std::pair<std::uint64_t, std::size_t>> read_varint(ByteView bytes, std::size_t pos) {
  Reader reader(bytes, pos);
  const auto x = read_varint(reader);
  if (!x) return refuse(x.error());
  return std::pair{*x, reader.pos};
}

Decoded<std::uint64_t> read_count(Reader& reader, std::uint64_t bytes_per_item) {
  const auto count = read_varint(reader);
  if (!count) return count;
  if (!count_fits(*count, bytes_per_item, reader.remaining())) return refuse(msg::kCountsTooMuch);
  return count;
}

Decoded<double> read_f64(Reader& reader) {
  if (reader.remaining() < 8) return refuse(msg::kEndsEarly);
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | reader.bytes[reader.pos + i];
  reader.pos += 8;
  return std::bit_cast<double>(bits);
}

Decoded<Reader> take_slice(Reader& reader, std::uint64_t length) {
  if (length > reader.remaining()) return refuse(msg::kEndsEarly);
  Reader sub(reader.bytes.subspan(reader.pos, length));
  reader.pos += length;
  return sub;
}

Decoded<ByteView> read_length_prefixed(Reader& reader) {
  const auto length = read_varint(reader);
  if (!length) return refuse(length.error());
  if (*length > reader.remaining()) return refuse(msg::kEndsEarly);
  const ByteView body = reader.bytes.subspan(reader.pos, *length);
  reader.pos += *length;
  return body;
}

Decoded<ByteString> read_bytes(Reader& reader) {
  const auto body = read_length_prefixed(reader);
  if (!body) return refuse(body.error());
  return ByteString(body->begin(), body->end());
}

Decoded<std::string> read_string(Reader& reader) {
  const auto body = read_length_prefixed(reader);
  if (!body) return refuse(body.error());
  if (!is_utf8(*body)) return refuse(msg::kNotUtf8);
  return std::string(reinterpret_cast<const char*>(body->data()), body->size());
}

std::size_t varint_size(std::uint64_t x) noexcept {
  std::size_t n = 1;
  while (x >= 0x80) {
    x >>= 7;
    ++n;
  }
  return n;
}

void write_varint(std::vector<std::uint8_t>& out, std::uint64_t x) {
  if (x < 0x80) {
    out.push_back(static_cast<std::uint8_t>(x));
    return;
  }
  std::uint8_t buf[10];
  out.insert(out.end(), buf, buf + varint_bytes(x, buf));
}

void write_int(std::vector<std::uint8_t>& out, std::int64_t x) {
  out.push_back(kTagInt);
  write_varint(out, zigzag(x));
}

void write_float(std::vector<std::uint8_t>& out, double x) {
  std::uint8_t buf[9];
  buf[0] = kTagFloat;
  std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  for (int i = 1; i <= 8; ++i, bits >>= 8) buf[i] = static_cast<std::uint8_t>(bits);
  out.insert(out.end(), buf, buf + 9);
}

void write_text(std::vector<std::uint8_t>& out, std::uint8_t tag, ByteView bytes) {
  out.push_back(tag);
  write_varint(out, bytes.size());
  out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace deziro::codec
