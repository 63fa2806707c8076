// Unicode character classes that the query lexer needs: White_Space,
// Alphabetic and the number categories (Nd, Nl, No).
#pragma once

#include <cstdint>

namespace deziro::parse {

enum CharClassBit : std::uint8_t {
  kWhiteSpace = 1,
  kAlphabetic = 2,
  kNumeric = 4,
};

// The class bits of a character above the ASCII range.
std::uint8_t non_ascii_char_class(char32_t c);

inline std::uint8_t char_class(char32_t c) {
  if (c < 0x80) {
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return kWhiteSpace;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return kAlphabetic;
    if (c >= '0' && c <= '9') return kNumeric;
    return 0;
  }
  return non_ascii_char_class(c);
}

}  // namespace deziro::parse
