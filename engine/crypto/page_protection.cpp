#include "crypto/page_protection.hpp"

#include <sodium.h>
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>
// On x86-64 the library's dispatching entry points hash with the widest
// vector unit the processor has (AVX2 where there is one), where the plain
// ones keep to the SSE2 every such processor has: half the instructions of
// a page's checksum. Same function, same result.
#if defined(__x86_64__) && __has_include(<xxh_x86dispatch.h>)
#include <xxh_x86dispatch.h>
#endif

#include <cstring>
#include <mutex>

#include "crypto/secret.hpp"
#include "crypto/xaes256gcm.hpp"
#include "fork_generation.hpp"
#include "format/bytes.hpp"
#include "storage/random.hpp"
#include "text_format.hpp"

#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace deziro {

namespace {

// The personalisation of the page key's derivation from the data key.
constexpr char kPageKeyLabel[16] = {'d', 'e', 'z', 'i', 'r', 'o', '.', 'p',
                                    'a', 'g', 'e', 'k', 'e', 'y', '.', '.'};

std::array<std::uint8_t, 8> page_number_bytes(std::uint64_t page_number) {
  std::array<std::uint8_t, 8> out;
  store_u64_le(out.data(), page_number);
  return out;
}

std::span<std::uint8_t, kPageNonceSize> nonce_of(std::span<std::uint8_t> page) {
  return page.subspan<kPageNonceOffset, kPageNonceSize>();
}

std::span<std::uint8_t> body_of(std::span<std::uint8_t> page) {
  return page.subspan(kPageSealedBodyOffset, page.size() - kPageSealedBodyOffset - kPageStampSize);
}

std::span<std::uint8_t, kPageStampSize> trailer_of(std::span<std::uint8_t> page) {
  return std::span<std::uint8_t, kPageStampSize>(page.data() + page.size() - kPageStampSize,
                                                 kPageStampSize);
}

bool cpu_has_aes_and_clmul() {
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

PageCipher automatic_page_cipher() {
  return cpu_has_aes_and_clmul() ? PageCipher::XAes256Gcm : PageCipher::XChaCha20Poly1305;
}

PageStamp page_checksum(std::uint64_t page_number, std::span<const std::uint8_t> page) {
  XXH3_state_t state;
  XXH3_INITSTATE(&state);
  XXH3_128bits_reset(&state);
  auto number = page_number_bytes(page_number);
  XXH3_128bits_update(&state, number.data(), number.size());
  XXH3_128bits_update(&state, page.data(), page.size() - kPageStampSize);
  XXH128_hash_t hash = XXH3_128bits_digest(&state);
  PageStamp stamp;
  store_u64_le(stamp.bytes.data(), hash.low64);
  store_u64_le(stamp.bytes.data() + 8, hash.high64);
  return stamp;
}

// The keyed part of an encrypted file's protection.
struct PageProtection::Sealer : KeptOutOfCoreDumps {
  std::array<std::uint8_t, kKeySize> page_key{};
  std::optional<Xaes256Gcm> xaes;

  // Nonces come from the kernel 64 at a time: one system call per page
  // would cost as much as sealing it. The batch belongs to the process that
  // drew it, known by its fork generation (a process id can come back in a
  // descendant); a forked process draws its own, so no nonce is ever used
  // twice.
  static constexpr std::size_t kBatch = 64;
  std::mutex nonce_mutex;
  std::array<std::uint8_t, kPageNonceSize * kBatch> nonces{};
  std::size_t nonces_used = kBatch;
  std::uint64_t nonces_generation = 0;

  Status next_nonce(std::span<std::uint8_t, kPageNonceSize> out) {
    std::lock_guard lock(nonce_mutex);
    std::uint64_t generation = fork_generation::current();
    if (nonces_used == kBatch || nonces_generation != generation) {
      DZ_CHECK(fill_random(nonces));
      nonces_used = 0;
      nonces_generation = generation;
    }
    std::memcpy(out.data(), nonces.data() + kPageNonceSize * nonces_used, kPageNonceSize);
    // Nothing of a handed-out nonce stays behind to be handed out again.
    sodium_memzero(nonces.data() + kPageNonceSize * nonces_used, kPageNonceSize);
    ++nonces_used;
    return ok();
  }

  ~Sealer() { sodium_memzero(page_key.data(), page_key.size()); }
};

PageProtection::PageProtection(PageCipher cipher, std::unique_ptr<Sealer> sealer)
    : cipher_(cipher), sealer_(std::move(sealer)) {}
PageProtection::PageProtection(PageProtection&&) noexcept = default;
PageProtection& PageProtection::operator=(PageProtection&&) noexcept = default;
PageProtection::~PageProtection() = default;

PageProtection PageProtection::checksum() { return PageProtection(PageCipher::Checksum, nullptr); }

Result<PageProtection> PageProtection::with_key(std::uint8_t cipher,
                                                std::span<const std::uint8_t, kKeySize> data_key) {
  if (cipher != static_cast<std::uint8_t>(PageCipher::XChaCha20Poly1305) &&
      cipher != static_cast<std::uint8_t>(PageCipher::XAes256Gcm))
    return fail(Error::internal(format_text("there is no page cipher {}", cipher)));
  if (sodium_init() < 0) return fail(Error::internal("the cryptography library cannot start"));
  auto sealer = std::make_unique<Sealer>();
  crypto_generichash_blake2b_salt_personal(sealer->page_key.data(), sealer->page_key.size(),
                                           nullptr, 0, data_key.data(), data_key.size(), nullptr,
                                           reinterpret_cast<const unsigned char*>(kPageKeyLabel));
  if (cipher == static_cast<std::uint8_t>(PageCipher::XAes256Gcm))
    sealer->xaes.emplace(DZ_TRY(Xaes256Gcm::create(sealer->page_key)));
  return PageProtection(static_cast<PageCipher>(cipher), std::move(sealer));
}

Result<PageStamp> PageProtection::seal_page(std::uint64_t page_number,
                                            std::span<std::uint8_t> page) const {
  auto nonce = nonce_of(page);
  if (cipher_ == PageCipher::Checksum) {
    std::memset(nonce.data(), 0, nonce.size());
    PageStamp stamp = page_checksum(page_number, page);
    set_page_trailer(page, stamp);
    return stamp;
  }
  DZ_CHECK(sealer_->next_nonce(nonce));
  auto ad = page_number_bytes(page_number);
  auto body = body_of(page);
  auto tag = trailer_of(page);
  if (cipher_ == PageCipher::XAes256Gcm) {
    DZ_CHECK(sealer_->xaes->seal(nonce, ad, body, tag));
  } else {
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
        body.data(), tag.data(), nullptr, body.data(), body.size(), ad.data(), ad.size(), nullptr,
        nonce.data(), sealer_->page_key.data());
  }
  return page_trailer(page);
}

std::optional<PageStamp> PageProtection::open_page(std::uint64_t page_number,
                                                   std::span<std::uint8_t> page) const {
  PageStamp stored = page_trailer(page);
  if (cipher_ == PageCipher::Checksum) {
    if (page_checksum(page_number, page) != stored) return std::nullopt;
    return stored;
  }
  auto ad = page_number_bytes(page_number);
  auto nonce = nonce_of(page);
  auto body = body_of(page);
  auto tag = trailer_of(page);
  bool good;
  if (cipher_ == PageCipher::XAes256Gcm) {
    good = sealer_->xaes->open(nonce, ad, body, tag);
  } else {
    good = crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
               body.data(), nullptr, body.data(), body.size(), tag.data(), ad.data(), ad.size(),
               nonce.data(), sealer_->page_key.data()) == 0;
  }
  if (!good) return std::nullopt;
  return stored;
}

}  // namespace deziro
