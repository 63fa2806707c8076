// XAES-256-GCM: AES-256-GCM under a key derived per 24-byte nonce, so that
// random nonces are safe for any number of messages under one key. The
// derivation is the SP 800-108r1 counter KDF over AES-256-CMAC (label "X",
// context the first 12 nonce bytes); the last 12 nonce bytes are the GCM
// nonce. Built on OpenSSL's AES-256-ECB and AES-256-GCM.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"

namespace deziro {

class Xaes256Gcm {
 public:
  static constexpr std::size_t kKeySize = 32;
  static constexpr std::size_t kNonceSize = 24;
  static constexpr std::size_t kTagSize = 16;

  static Result<Xaes256Gcm> create(std::span<const std::uint8_t, kKeySize> key);

  Xaes256Gcm(Xaes256Gcm&&) noexcept;
  Xaes256Gcm& operator=(Xaes256Gcm&&) noexcept;
  ~Xaes256Gcm();

  // The per-nonce AES-256-GCM key (exposed for the published vectors).
  Status derive_key(std::span<const std::uint8_t, kNonceSize> nonce,
                    std::span<std::uint8_t, kKeySize> derived) const;

  // Encrypts `data` in place and writes the tag. Safe from many threads.
  Status seal(std::span<const std::uint8_t, kNonceSize> nonce, std::span<const std::uint8_t> ad,
              std::span<std::uint8_t> data, std::span<std::uint8_t, kTagSize> tag) const;

  // Decrypts `data` in place; false when the tag does not match, and `data`
  // is then all zero.
  bool open(std::span<const std::uint8_t, kNonceSize> nonce, std::span<const std::uint8_t> ad,
            std::span<std::uint8_t> data, std::span<const std::uint8_t, kTagSize> tag) const;

 private:
  struct State;
  struct Contexts;
  explicit Xaes256Gcm(std::unique_ptr<State> state);

  // Cipher contexts are not thread-safe; each call borrows a pair from a
  // small pool so that parallel readers neither share nor reallocate them.
  class Lease;

  std::unique_ptr<State> state_;
};

}  // namespace deziro
