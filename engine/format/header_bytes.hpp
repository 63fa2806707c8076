// The XXH3-128 check as the head and the commit records store it: the low
// 64 bits then the high 64 bits, little-endian.
#pragma once

#include <xxhash.h>

#include <array>
#include <cstdint>
#include <cstring>
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

// Eight bytes at a time: a commit record's checks run on every head read.
inline bool all_zero(std::span<const std::uint8_t> data) {
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + 8 <= data.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data.data() + i, 8);
    any |= word;
  }
  for (; i < data.size(); ++i) any |= data[i];
  return any == 0;
}

}  // namespace deziro::bytes
