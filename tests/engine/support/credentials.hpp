// Secrets for the tests of encrypted files: a raw key made from one seed
// byte, and a password from its text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "crypto/credential.hpp"

namespace deziro::testing {

inline Credential key_credential(std::uint8_t seed) {
  std::array<std::uint8_t, 32> raw;
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(seed + 3 * i);
  return Credential::key(std::span<const std::uint8_t, 32>(raw));
}

inline Credential password(std::string_view text) {
  return Credential::password(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace deziro::testing
