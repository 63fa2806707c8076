// The cipher byte of a file: how its pages are protected.
#pragma once

#include <cstdint>
#include <optional>

namespace deziro {

enum class Cipher : std::uint8_t {
  Checksum = 0,           // a plain file: XXH3-128 on every page
  XChaCha20Poly1305 = 1,  // encrypted
  Xaes256Gcm = 2,         // encrypted
};

// The cipher named by a stored byte, or none for a byte no file may hold.
std::optional<Cipher> cipher_from_byte(std::uint8_t byte);

inline bool is_encrypting(Cipher cipher) { return cipher != Cipher::Checksum; }

// The cipher of a new encrypted file when none is asked for: XAES-256-GCM
// where the processor runs AES and carry-less multiplication in hardware,
// else XChaCha20-Poly1305, which is fast in software.
Cipher automatic_cipher();

}  // namespace deziro
