// Helpers shared by the codec's sources; not for use outside format/object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>
#include <vector>

#include "format/object/codec.hpp"

namespace deziro::codec::detail {

inline std::unexpected<Message> refuse(Message m) { return std::unexpected<Message>(m); }

// Whether `count` items of at least `per_item` bytes each fit in `left`.
inline bool count_fits(std::uint64_t count, std::uint64_t per_item, std::size_t left) {
  std::uint64_t need;
  if (__builtin_mul_overflow(count, per_item, &need)) need = UINT64_MAX;
  return need <= left;
}

// The shortest LEB128 form of x into buf; returns its length.
inline std::size_t varint_bytes(std::uint64_t x, std::uint8_t (&buf)[10]) {
  std::size_t n = 0;
  while (x >= 0x80) {
    buf[n++] = static_cast<std::uint8_t>(x | 0x80);
    x >>= 7;
  }
  buf[n++] = static_cast<std::uint8_t>(x);
  return n;
}

// Inserts the varint byte length of everything written since `start` in
// front of it: nested records are written in place, then given their length.
inline void insert_length_before(std::vector<std::uint8_t>& out, std::size_t start) {
  std::uint8_t buf[10];
  const std::size_t n = varint_bytes(out.size() - start, buf);
  out.insert(out.begin() + static_cast<std::ptrdiff_t>(start), buf, buf + n);
}

inline ByteView as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace deziro::codec::detail
