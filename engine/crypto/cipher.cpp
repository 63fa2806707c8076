#include "crypto/cipher.hpp"

#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace deziro {

std::optional<Cipher> cipher_from_byte(std::uint8_t byte) {
  switch (byte) {
    case 0:
      return Cipher::Checksum;
    case 1:
      return Cipher::XChaCha20Poly1305;
    case 2:
      return Cipher::Xaes256Gcm;
    default:
      return std::nullopt;
  }
}

namespace {

bool has_aes_hardware() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul");
#elif defined(__aarch64__)
  unsigned long caps = getauxval(AT_HWCAP);
  return (caps & HWCAP_AES) != 0 && (caps & HWCAP_PMULL) != 0;
#else
  return false;
#endif
}

}  // namespace

Cipher automatic_cipher() {
  static const Cipher chosen = has_aes_hardware() ? Cipher::Xaes256Gcm : Cipher::XChaCha20Poly1305;
  return chosen;
}

}  // namespace deziro
