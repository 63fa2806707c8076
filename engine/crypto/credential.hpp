// The secret of an open, a backup, a salvage or a key change: none, a
// 32-byte key, or a password. A Credential owns its bytes and zeroes them
// when it is dropped, replaced or moved from; it cannot be printed.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>

#include "crypto/secret.hpp"

namespace deziro {

// The Argon2id parameters of a password: memory in KiB, iterations
// (passes) and parallelism (lanes).
struct PasswordHashing {
  std::uint32_t memory_kib = 19456;
  std::uint32_t iterations = 2;
  std::uint32_t parallelism = 1;

  bool operator==(const PasswordHashing&) const = default;
};

inline constexpr std::size_t kKeySize = 32;

class Credential {
 public:
  enum class Kind : std::uint8_t { None, Key, Password };

  // No secret.
  Credential() = default;
  static Credential key(std::span<const std::uint8_t, kKeySize> bytes);
  static Credential key(Key32 key);
  // A password of any length; the option check refuses the empty one.
  static Credential password(std::span<const std::uint8_t> bytes);
  static Credential password(SecretBytes bytes);

  Credential(const Credential& other) = default;
  Credential& operator=(const Credential& other) = default;
  Credential(Credential&& other) noexcept;
  Credential& operator=(Credential&& other) noexcept;
  ~Credential() = default;

  Kind kind() const { return kind_; }
  bool is_none() const { return kind_ == Kind::None; }
  bool is_key() const { return kind_ == Kind::Key; }
  bool is_password() const { return kind_ == Kind::Password; }

  // The 32 key bytes; all zero unless this is a Key.
  const Key32& key_bytes() const { return key_; }
  // The password bytes; empty unless this is a Password.
  std::span<const std::uint8_t> password_bytes() const { return password_.bytes(); }

  // Zeroes whatever is held and becomes none.
  void clear();

 private:
  Kind kind_ = Kind::None;
  Key32 key_;
  SecretBytes password_;
};

// Shows only the kind ("none", "key" or "password"), never the bytes.
std::ostream& operator<<(std::ostream& out, const Credential& credential);

}  // namespace deziro
