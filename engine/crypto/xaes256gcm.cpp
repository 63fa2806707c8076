#include "crypto/xaes256gcm.hpp"

#include <openssl/evp.h>
#include <sodium.h>

#include <cstring>

#include "crypto/secret.hpp"

namespace deziro {

namespace {

struct CipherFree {
  void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
struct ContextFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherPtr = std::unique_ptr<EVP_CIPHER, CipherFree>;
using ContextPtr = std::unique_ptr<EVP_CIPHER_CTX, ContextFree>;

Error openssl_failure(const char* what) {
  return Error::internal(std::string("the AES library failed to ") + what);
}

// Checked narrowing for OpenSSL's int lengths; pages are at most 64 KiB.
int int_length(std::size_t n) { return static_cast<int>(n); }

}  // namespace

// An ECB context keyed with K (reusable: ECB keeps no state between blocks)
// and a GCM context whose key changes with every nonce.
struct Xaes256Gcm::Contexts {
  ContextPtr ecb;
  ContextPtr gcm;
};

struct Xaes256Gcm::State : KeptOutOfCoreDumps {
  std::array<std::uint8_t, kKeySize> key{};
  std::array<std::uint8_t, 16> k1{};
  CipherPtr ecb_cipher;
  CipherPtr gcm_cipher;
  mutable std::mutex pool_mutex;
  mutable std::vector<std::unique_ptr<Contexts>> pool;

  ~State() {
    sodium_memzero(key.data(), key.size());
    sodium_memzero(k1.data(), k1.size());
  }

  Result<std::unique_ptr<Contexts>> make_contexts() const {
    auto contexts = std::make_unique<Contexts>();
    contexts->ecb.reset(EVP_CIPHER_CTX_new());
    contexts->gcm.reset(EVP_CIPHER_CTX_new());
    if (!contexts->ecb || !contexts->gcm) return fail(openssl_failure("allocate a context"));
    if (EVP_EncryptInit_ex2(contexts->ecb.get(), ecb_cipher.get(), key.data(), nullptr, nullptr) !=
            1 ||
        EVP_CIPHER_CTX_set_padding(contexts->ecb.get(), 0) != 1)
      return fail(openssl_failure("set up AES-256"));
    return contexts;
  }
};

class Xaes256Gcm::Lease {
 public:
  static Result<Lease> take(const State& state) {
    {
      std::lock_guard lock(state.pool_mutex);
      if (!state.pool.empty()) {
        auto contexts = std::move(state.pool.back());
        state.pool.pop_back();
        return Lease(state, std::move(contexts));
      }
    }
    auto contexts = DZ_TRY(state.make_contexts());
    return Lease(state, std::move(contexts));
  }
  Lease(Lease&&) = default;
  ~Lease() {
    if (!contexts_) return;
    std::lock_guard lock(state_->pool_mutex);
    // Bounded: more leases than this only happen with more threads than
    // cores, and the extra contexts are simply freed.
    if (state_->pool.size() < 64) state_->pool.push_back(std::move(contexts_));
  }
  Contexts& operator*() const { return *contexts_; }

 private:
  Lease(const State& state, std::unique_ptr<Contexts> contexts)
      : state_(&state), contexts_(std::move(contexts)) {}
  const State* state_;
  std::unique_ptr<Contexts> contexts_;
};

Xaes256Gcm::Xaes256Gcm(std::unique_ptr<State> state) : state_(std::move(state)) {}
Xaes256Gcm::Xaes256Gcm(Xaes256Gcm&&) noexcept = default;
Xaes256Gcm& Xaes256Gcm::operator=(Xaes256Gcm&&) noexcept = default;
Xaes256Gcm::~Xaes256Gcm() = default;

Result<Xaes256Gcm> Xaes256Gcm::create(std::span<const std::uint8_t, kKeySize> key) {
  auto state = std::make_unique<State>();
  std::memcpy(state->key.data(), key.data(), kKeySize);
  state->ecb_cipher.reset(EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr));
  state->gcm_cipher.reset(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr));
  if (!state->ecb_cipher || !state->gcm_cipher) return fail(openssl_failure("provide AES-256"));

  // K1 = AES_K(0^128) doubled in GF(2^128): the CMAC subkey for a final
  // complete block. It depends only on K, so it is computed once.
  auto contexts = DZ_TRY(state->make_contexts());
  std::array<std::uint8_t, 16> zero{}, l{};
  int out_len = 0;
  if (EVP_EncryptUpdate(contexts->ecb.get(), l.data(), &out_len, zero.data(), 16) != 1 ||
      out_len != 16)
    return fail(openssl_failure("encrypt a block"));
  bool carry = (l[0] & 0x80) != 0;
  for (int i = 0; i < 15; ++i)
    state->k1[i] = static_cast<std::uint8_t>((l[i] << 1) | (l[i + 1] >> 7));
  state->k1[15] = static_cast<std::uint8_t>(l[15] << 1);
  if (carry) state->k1[15] ^= 0x87;
  sodium_memzero(l.data(), l.size());
  state->pool.push_back(std::move(contexts));
  return Xaes256Gcm(std::move(state));
}

namespace {

// Kx = AES_K(M1 ^ K1) || AES_K(M2 ^ K1), with Mi = 00 0i 58 00 || N[0:12].
bool derive_with(EVP_CIPHER_CTX* ecb, const std::array<std::uint8_t, 16>& k1,
                 const std::uint8_t* nonce, std::uint8_t* derived) {
  std::uint8_t blocks[32];
  for (int i = 0; i < 2; ++i) {
    std::uint8_t* m = blocks + 16 * i;
    m[0] = 0x00;
    m[1] = static_cast<std::uint8_t>(i + 1);
    m[2] = 0x58;  // "X"
    m[3] = 0x00;
    std::memcpy(m + 4, nonce, 12);
    for (int j = 0; j < 16; ++j) m[j] ^= k1[j];
  }
  int out_len = 0;
  bool ok = EVP_EncryptUpdate(ecb, derived, &out_len, blocks, 32) == 1 && out_len == 32;
  sodium_memzero(blocks, sizeof blocks);
  return ok;
}

}  // namespace

Status Xaes256Gcm::derive_key(std::span<const std::uint8_t, kNonceSize> nonce,
                              std::span<std::uint8_t, kKeySize> derived) const {
  auto lease = DZ_TRY(Lease::take(*state_));
  if (!derive_with((*lease).ecb.get(), state_->k1, nonce.data(), derived.data()))
    return fail(openssl_failure("derive a key"));
  return ok();
}

Status Xaes256Gcm::seal(std::span<const std::uint8_t, kNonceSize> nonce,
                        std::span<const std::uint8_t> ad, std::span<std::uint8_t> data,
                        std::span<std::uint8_t, kTagSize> tag) const {
  auto lease = DZ_TRY(Lease::take(*state_));
  EVP_CIPHER_CTX* gcm = (*lease).gcm.get();
  std::uint8_t derived[kKeySize];
  bool good =
      derive_with((*lease).ecb.get(), state_->k1, nonce.data(), derived) &&
      EVP_EncryptInit_ex2(gcm, state_->gcm_cipher.get(), derived, nonce.data() + 12, nullptr) == 1;
  sodium_memzero(derived, sizeof derived);
  int len = 0;
  good = good && (ad.empty() ||
                  EVP_EncryptUpdate(gcm, nullptr, &len, ad.data(), int_length(ad.size())) == 1);
  good = good && (data.empty() || EVP_EncryptUpdate(gcm, data.data(), &len, data.data(),
                                                    int_length(data.size())) == 1);
  good = good && EVP_EncryptFinal_ex(gcm, nullptr, &len) == 1;
  good = good && EVP_CIPHER_CTX_ctrl(gcm, EVP_CTRL_GCM_GET_TAG, kTagSize, tag.data()) == 1;
  if (!good) return fail(openssl_failure("seal a page"));
  return ok();
}

bool Xaes256Gcm::open(std::span<const std::uint8_t, kNonceSize> nonce,
                      std::span<const std::uint8_t> ad, std::span<std::uint8_t> data,
                      std::span<const std::uint8_t, kTagSize> tag) const {
  auto lease = Lease::take(*state_);
  if (!lease) return false;
  EVP_CIPHER_CTX* gcm = (**lease).gcm.get();
  std::uint8_t derived[kKeySize];
  bool good =
      derive_with((**lease).ecb.get(), state_->k1, nonce.data(), derived) &&
      EVP_DecryptInit_ex2(gcm, state_->gcm_cipher.get(), derived, nonce.data() + 12, nullptr) == 1;
  sodium_memzero(derived, sizeof derived);
  int len = 0;
  std::array<std::uint8_t, kTagSize> expected;
  std::memcpy(expected.data(), tag.data(), kTagSize);
  good = good && (ad.empty() ||
                  EVP_DecryptUpdate(gcm, nullptr, &len, ad.data(), int_length(ad.size())) == 1);
  good = good && (data.empty() || EVP_DecryptUpdate(gcm, data.data(), &len, data.data(),
                                                    int_length(data.size())) == 1);
  good = good && EVP_CIPHER_CTX_ctrl(gcm, EVP_CTRL_GCM_SET_TAG, kTagSize, expected.data()) == 1;
  good = good && EVP_DecryptFinal_ex(gcm, nullptr, &len) == 1;
  // GCM decrypts before it knows the tag: what a failed open leaves behind
  // was never authenticated, and must not be mistaken for a page.
  if (!good && !data.empty()) sodium_memzero(data.data(), data.size());
  return good;
}

}  // namespace deziro
