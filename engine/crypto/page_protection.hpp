// Sealing and checking of pages. A plain file stamps every page with an
// XXH3-128 checksum; an encrypted file seals every page with an AEAD whose
// tag is the stamp. Either way the stamp is the page's last 16 bytes, and the
// page number is bound in, so a page copied to another place fails.
//
// docs/file-format.md section 2 has the byte-level description.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "error.hpp"
#include "format/key_block.hpp"
#include "format/page.hpp"

namespace deziro {

// The cipher a new encrypted file gets: XAES-256-GCM where the processor has
// AES and carry-less multiply instructions, else XChaCha20-Poly1305.
PageCipher automatic_page_cipher();

class PageProtection {
 public:
  static constexpr std::size_t kKeySize = 32;

  // Checksum-only protection of a plain file; needs no key.
  static PageProtection checksum();
  // The protection of an encrypted file from its stored cipher byte (1 or 2)
  // and its 32-byte data key. Pages are sealed under a page key derived from
  // the data key, never under the data key itself.
  static Result<PageProtection> with_key(std::uint8_t cipher,
                                         std::span<const std::uint8_t, kKeySize> data_key);

  PageProtection(PageProtection&&) noexcept;
  PageProtection& operator=(PageProtection&&) noexcept;
  ~PageProtection();

  PageCipher cipher() const { return cipher_; }
  bool is_encrypted() const { return cipher_ != PageCipher::Checksum; }

  // Seals `page` in place for the place `page_number`: fills the nonce (or
  // zeroes it in checksum mode), encrypts the body when encrypted, and
  // writes the trailer. Returns the stamp the parent keeps. Safe from many
  // threads at once.
  Result<PageStamp> seal_page(std::uint64_t page_number, std::span<std::uint8_t> page) const;

  // Checks `page` in place as the page at `page_number`, decrypting it when
  // encrypted; returns its stamp, or nothing when it fails its check (the
  // page's bytes are then not to be trusted; an encrypted page's body is
  // zeroed, so no unauthenticated plaintext is left). Safe from many threads.
  std::optional<PageStamp> open_page(std::uint64_t page_number, std::span<std::uint8_t> page) const;

 private:
  struct Sealer;
  PageProtection(PageCipher cipher, std::unique_ptr<Sealer> sealer);

  PageCipher cipher_;
  std::unique_ptr<Sealer> sealer_;
};

// XXH3-128 over the page number (8 bytes little-endian) followed by the page
// up to its trailer, stored low half then high half, each little-endian.
PageStamp page_checksum(std::uint64_t page_number, std::span<const std::uint8_t> page);

}  // namespace deziro
