#include "crypto/record_mac.hpp"

#include "crypto/sodium_ready.hpp"

namespace deziro::record {

namespace {

// 15 bytes of label; the 16th byte of the personalisation is the slot.
constexpr char kPersonalPrefix[] = "deziro.mac.slot";
static_assert(sizeof kPersonalPrefix - 1 == crypto_generichash_blake2b_PERSONALBYTES - 1);
static_assert(kFileIdSize == crypto_generichash_blake2b_SALTBYTES);

}  // namespace

MacState mac_state(const Key32& record_mac_key, const FileId& file_id, std::uint8_t slot) {
  ensure_sodium_ready();
  std::array<std::uint8_t, crypto_generichash_blake2b_PERSONALBYTES> personal{};
  for (std::size_t i = 0; i + 1 < personal.size(); ++i) {
    personal[i] = static_cast<std::uint8_t>(kPersonalPrefix[i]);
  }
  personal.back() = slot;
  MacState mac;
  crypto_generichash_blake2b_init_salt_personal(&mac.state_, record_mac_key.data(),
                                                record_mac_key.size(), kMacSize, file_id.data(),
                                                personal.data());
  return mac;
}

MacState::~MacState() { sodium_memzero(&state_, sizeof state_); }

void MacState::update(std::span<const std::uint8_t> bytes) {
  crypto_generichash_blake2b_update(&state_, bytes.data(), bytes.size());
}

Mac MacState::finish() {
  Mac out{};
  crypto_generichash_blake2b_final(&state_, out.data(), out.size());
  return out;
}

bool MacState::matches(std::span<const std::uint8_t, kMacSize> stored) {
  Mac computed = finish();
  return sodium_memcmp(computed.data(), stored.data(), kMacSize) == 0;
}

Mac record_mac(const Key32& record_mac_key, const FileId& file_id, std::uint8_t slot,
               std::span<const std::uint8_t> covered) {
  MacState state = mac_state(record_mac_key, file_id, slot);
  state.update(covered);
  return state.finish();
}

bool record_mac_holds(const Key32& record_mac_key, const FileId& file_id, std::uint8_t slot,
                      std::span<const std::uint8_t> covered,
                      std::span<const std::uint8_t, kMacSize> stored) {
  MacState state = mac_state(record_mac_key, file_id, slot);
  state.update(covered);
  return state.matches(stored);
}

}  // namespace deziro::record
