// The XXH3-128 check as the head and the commit records store it: the low
// 64 bits then the high 64 bits, little-endian.
#pragma once

#include <xxhash.h>

#include <array>
#include <cstdint>
#include <span>

#include "format/bytes.hpp"

namespace deziro::bytes {

inline std::array<std::uint8_t, 16> xxh3_128(std::span<const std::uint8_t> data) {
  XXH128_hash_t h = XXH3_128bits(data.data(), data.size());
  std::array<std::uint8_t, 16> out;
  store_u64_le(out.data(), h.low64);
  store_u64_le(out.data() + 8, h.high64);
  return out;
}

inline bool all_zero(std::span<const std::uint8_t> data) {
  for (std::uint8_t b : data)
    if (b != 0) return false;
  return true;
}

}  // namespace deziro::bytes
