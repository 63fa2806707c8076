// Fixed-width integers in stored bytes. The file is little-endian except
// where a key must sort as bytes (free and retained tree keys are big-endian).
// Each is one load or store of the whole number (turned when the machine's
// order is not the stored one): GCC at -O2 does not merge a byte loop into
// one, and child pointers, headers and slots are read and written through
// these on every node a transaction loads or writes.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>

namespace deziro {

namespace bytes_detail {

template <class T, std::endian Order>
inline T load(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native != Order) v = std::byteswap(v);
  return v;
}

template <class T, std::endian Order>
inline void store(std::uint8_t* p, T v) {
  if constexpr (std::endian::native != Order) v = std::byteswap(v);
  std::memcpy(p, &v, sizeof v);
}

}  // namespace bytes_detail

inline std::uint16_t load_u16_le(const std::uint8_t* p) {
  return bytes_detail::load<std::uint16_t, std::endian::little>(p);
}

inline std::uint32_t load_u32_le(const std::uint8_t* p) {
  return bytes_detail::load<std::uint32_t, std::endian::little>(p);
}

inline std::uint64_t load_u64_le(const std::uint8_t* p) {
  return bytes_detail::load<std::uint64_t, std::endian::little>(p);
}

inline std::uint64_t load_u64_be(const std::uint8_t* p) {
  return bytes_detail::load<std::uint64_t, std::endian::big>(p);
}

inline std::uint32_t load_u32_be(const std::uint8_t* p) {
  return bytes_detail::load<std::uint32_t, std::endian::big>(p);
}

inline void store_u16_le(std::uint8_t* p, std::uint16_t v) {
  bytes_detail::store<std::uint16_t, std::endian::little>(p, v);
}

inline void store_u32_le(std::uint8_t* p, std::uint32_t v) {
  bytes_detail::store<std::uint32_t, std::endian::little>(p, v);
}

inline void store_u64_le(std::uint8_t* p, std::uint64_t v) {
  bytes_detail::store<std::uint64_t, std::endian::little>(p, v);
}

inline void store_u64_be(std::uint8_t* p, std::uint64_t v) {
  bytes_detail::store<std::uint64_t, std::endian::big>(p, v);
}

inline void store_u32_be(std::uint8_t* p, std::uint32_t v) {
  bytes_detail::store<std::uint32_t, std::endian::big>(p, v);
}

}  // namespace deziro
