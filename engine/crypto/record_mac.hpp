// The MAC of a commit record in an encrypted file: keyed BLAKE2b with a
// 16-byte output, keyed with the record MAC key (a subkey of the data key),
// salted with the file id and personalised with the slot number, so that a
// record moved to another file or another slot no longer verifies.
#pragma once

#include <sodium.h>

#include <array>
#include <cstdint>
#include <span>

#include "crypto/keys.hpp"

namespace deziro::record {

inline constexpr std::size_t kMacSize = 16;
using Mac = std::array<std::uint8_t, kMacSize>;

// A running MAC; its state holds the key, so it is zeroed when dropped.
class MacState {
 public:
  MacState(const MacState& other) = default;
  MacState& operator=(const MacState& other) = default;
  ~MacState();

  void update(std::span<const std::uint8_t> bytes);
  // The digest of what was fed; the state is spent afterwards.
  Mac finish();
  // Finishes and compares with `stored` in constant time.
  bool matches(std::span<const std::uint8_t, kMacSize> stored);

 private:
  friend MacState mac_state(const Key32& record_mac_key, const FileId& file_id, std::uint8_t slot);
  MacState() = default;

  crypto_generichash_blake2b_state state_;
};

// The MAC state for the record in `slot` (0 to 2) of the file `file_id`.
MacState mac_state(const Key32& record_mac_key, const FileId& file_id, std::uint8_t slot);

// The MAC of a record in `slot` over `covered`, the record's bytes before
// its MAC field.
Mac record_mac(const Key32& record_mac_key, const FileId& file_id, std::uint8_t slot,
               std::span<const std::uint8_t> covered);

// Whether `stored` is that MAC (compared in constant time).
bool record_mac_holds(const Key32& record_mac_key, const FileId& file_id, std::uint8_t slot,
                      std::span<const std::uint8_t> covered,
                      std::span<const std::uint8_t, kMacSize> stored);

}  // namespace deziro::record
