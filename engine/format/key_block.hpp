// The fields of the head that bind key material to its file: the file id and
// the cipher byte of the static header, and the key block every commit
// record carries. The head stores them as bytes; crypto/ makes and opens
// what they hold (keys.hpp, page_protection.hpp). docs/file-format.md,
// sections 5.1 and 6.1, has their layout.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace deziro {

inline constexpr std::size_t kFileIdSize = 16;
inline constexpr std::size_t kKeyBlockSize = 128;

using FileId = std::array<std::uint8_t, kFileIdSize>;
// A key block holds no secret in the clear: the data key in it is sealed.
using KeyBlock = std::array<std::uint8_t, kKeyBlockSize>;

// The cipher byte of the static header.
enum class PageCipher : std::uint8_t {
  Checksum = 0,
  XChaCha20Poly1305 = 1,
  XAes256Gcm = 2,
};

}  // namespace deziro
