#include "crypto/keys.hpp"

#include <argon2.h>
#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "crypto/sodium_ready.hpp"
#include "storage/random.hpp"
#include "text_format.hpp"

namespace deziro::keys {

namespace {

// Byte offsets inside the 128-byte key block.
constexpr std::size_t kKindAt = 0;
constexpr std::size_t kMemoryAt = 4;
constexpr std::size_t kIterationsAt = 8;
constexpr std::size_t kParallelismAt = 12;
constexpr std::size_t kSaltAt = 16;
constexpr std::size_t kNonceAt = 32;
constexpr std::size_t kNonceSize = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr std::size_t kSealedAt = kNonceAt + kNonceSize;  // 56
constexpr std::size_t kSealedSize = 32 + crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr std::size_t kPaddingAt = kSealedAt + kSealedSize;  // 104

static_assert(kNonceSize == 24);
static_assert(kPaddingAt <= kKeyBlockSize);

// What the seal of the data key is bound to: this file, its cipher, and the
// block's own plain fields.
constexpr std::size_t kBoundSize = kFileIdSize + 1 + kSealedAt;

constexpr SubkeyLabel label(const char (&text)[kLabelSize + 1]) {
  SubkeyLabel out{};
  for (std::size_t i = 0; i < kLabelSize; ++i) out[i] = static_cast<std::uint8_t>(text[i]);
  return out;
}

void put_u32(KeyBlock& block, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) block[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t get_u32(const KeyBlock& block, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{block[at + i]} << (8 * i);
  return value;
}

bool all_zero(const std::uint8_t* bytes, std::size_t size) {
  return std::all_of(bytes, bytes + size, [](std::uint8_t b) { return b == 0; });
}

std::array<std::uint8_t, kBoundSize> bound_data(const KeyBlock& block, const FileId& file_id,
                                                PageCipher cipher) {
  std::array<std::uint8_t, kBoundSize> out{};
  std::copy(file_id.begin(), file_id.end(), out.begin());
  out[kFileIdSize] = static_cast<std::uint8_t>(cipher);
  std::copy(block.begin(), block.begin() + kSealedAt, out.begin() + kFileIdSize + 1);
  return out;
}

Error cannot_wrap() { return Error::internal("the data key cannot be wrapped"); }

Error no_random_bytes(std::string_view path, const Error& cause) {
  return Error::io(std::string(path), std::string(cause.message()));
}

}  // namespace

const SubkeyLabel kRecordMacLabel = label("deziro.recordmac");

bool hashing_within_limits(const PasswordHashing& hashing) {
  if (hashing.parallelism < 1 || hashing.parallelism > kMaxParallelism) return false;
  if (hashing.iterations < 1 || hashing.iterations > kMaxIterations) return false;
  std::uint64_t least = std::uint64_t{kMinMemoryKibPerLane} * hashing.parallelism;
  return hashing.memory_kib >= least && hashing.memory_kib <= kMaxMemoryKib;
}

std::optional<KeyBlockHeader> read_key_block_header(const KeyBlock& block) {
  if (!all_zero(block.data() + 1, kMemoryAt - 1)) return std::nullopt;
  if (!all_zero(block.data() + kPaddingAt, kKeyBlockSize - kPaddingAt)) return std::nullopt;
  KeyBlockHeader header;
  std::copy(block.begin() + kSaltAt, block.begin() + kSaltAt + kSaltSize, header.salt.begin());
  header.hashing = {get_u32(block, kMemoryAt), get_u32(block, kIterationsAt),
                    get_u32(block, kParallelismAt)};
  switch (block[kKindAt]) {
    case static_cast<std::uint8_t>(BlockKind::Key):
      header.kind = BlockKind::Key;
      // A key needs no hashing: its parameter and salt fields stay zero.
      if (!all_zero(block.data() + kMemoryAt, kNonceAt - kMemoryAt)) return std::nullopt;
      return header;
    case static_cast<std::uint8_t>(BlockKind::Password):
      header.kind = BlockKind::Password;
      if (!hashing_within_limits(header.hashing)) return std::nullopt;
      return header;
    default:
      return std::nullopt;
  }
}

Key32 derive_subkey(const Key32& data_key, const SubkeyLabel& label) {
  ensure_sodium_ready();
  Key32 out;
  // BLAKE2b keyed with the data key, personalised with the label, over an
  // empty message: a PRF of the label alone.
  crypto_generichash_blake2b_salt_personal(out.data(), out.size(), nullptr, 0, data_key.data(),
                                           data_key.size(), nullptr, label.data());
  return out;
}

Key32 record_mac_key(const Key32& data_key) { return derive_subkey(data_key, kRecordMacLabel); }

Result<Key32> hash_password(std::span<const std::uint8_t> password,
                            std::span<const std::uint8_t, kSaltSize> salt,
                            const PasswordHashing& hashing) {
  Key32 out;
  int rc = argon2id_hash_raw(hashing.iterations, hashing.memory_kib, hashing.parallelism,
                             password.data(), password.size(), salt.data(), salt.size(), out.data(),
                             out.size());
  if (rc != ARGON2_OK) {
    return fail(Error::internal(
        format_text("the password cannot be hashed: {}", argon2_error_message(rc))));
  }
  return out;
}

Result<KeyBlock> wrap_data_key(std::string_view path, const Credential& secret,
                               const PasswordHashing& hashing, const Key32& data_key,
                               const FileId& file_id, PageCipher cipher,
                               PasswordKeys* password_keys) {
  ensure_sodium_ready();
  KeyBlock block{};
  Key32 password_key;
  const Key32* wrapping = nullptr;
  switch (secret.kind()) {
    case Credential::Kind::Key:
      block[kKindAt] = static_cast<std::uint8_t>(BlockKind::Key);
      wrapping = &secret.key_bytes();
      break;
    case Credential::Kind::Password: {
      if (!hashing_within_limits(hashing)) return fail(cannot_wrap());
      block[kKindAt] = static_cast<std::uint8_t>(BlockKind::Password);
      put_u32(block, kMemoryAt, hashing.memory_kib);
      put_u32(block, kIterationsAt, hashing.iterations);
      put_u32(block, kParallelismAt, hashing.parallelism);
      auto salt = std::span<std::uint8_t, kSaltSize>(block.data() + kSaltAt, kSaltSize);
      if (auto drawn = fill_random(salt); !drawn) return fail(no_random_bytes(path, drawn.error()));
      if (password_keys != nullptr) {
        KeyBlockHeader header{BlockKind::Password, hashing, {}};
        std::copy(salt.begin(), salt.end(), header.salt.begin());
        auto kept = password_keys->key_for(secret.password_bytes(), header);
        if (!kept || *kept == nullptr) return fail(cannot_wrap());
        wrapping = *kept;
        break;
      }
      auto hashed = hash_password(secret.password_bytes(), salt, hashing);
      if (!hashed) return fail(cannot_wrap());
      password_key = std::move(*hashed);
      wrapping = &password_key;
      break;
    }
    case Credential::Kind::None:
      return fail(Error::internal("the secret does not match its kind"));
  }
  auto nonce = std::span<std::uint8_t>(block.data() + kNonceAt, kNonceSize);
  if (auto drawn = fill_random(nonce); !drawn) return fail(no_random_bytes(path, drawn.error()));
  auto bound = bound_data(block, file_id, cipher);
  unsigned long long sealed_size = 0;
  int rc = crypto_aead_xchacha20poly1305_ietf_encrypt(
      block.data() + kSealedAt, &sealed_size, data_key.data(), data_key.size(), bound.data(),
      bound.size(), nullptr, block.data() + kNonceAt, wrapping->data());
  if (rc != 0 || sealed_size != kSealedSize) return fail(cannot_wrap());
  return block;
}

Result<const Key32*> PasswordKeys::key_for(std::span<const std::uint8_t> password,
                                           const KeyBlockHeader& header) {
  for (const auto& known : derived_) {
    if (known.salt == header.salt && known.hashing == header.hashing) return &known.key;
  }
  if (!deriving_) {
    missed_ = true;
    return nullptr;
  }
  auto hashed = hash_password(password, header.salt, header.hashing);
  if (!hashed) return fail(std::move(hashed).error());
  derived_.push_back(Derived{header.salt, header.hashing, std::move(*hashed)});
  return &derived_.back().key;
}

KeyBlockOpener::KeyBlockOpener(const Credential& credential, FileId file_id, PageCipher cipher,
                               PasswordKeys* password_keys)
    : credential_(credential),
      file_id_(file_id),
      cipher_(cipher),
      password_keys_(password_keys != nullptr ? password_keys : &own_keys_) {
  ensure_sodium_ready();
}

Result<const Key32*> KeyBlockOpener::wrapping_key(const KeyBlockHeader& header) {
  if (header.kind == BlockKind::Key) {
    return credential_.is_key() ? &credential_.key_bytes() : nullptr;
  }
  if (!credential_.is_password()) return nullptr;
  return password_keys_->key_for(credential_.password_bytes(), header);
}

Result<std::optional<Key32>> KeyBlockOpener::open(const KeyBlock& block) {
  auto header = read_key_block_header(block);
  if (!header) return std::optional<Key32>{};
  const Key32* wrapping = DZ_TRY(wrapping_key(*header));
  if (wrapping == nullptr) return std::optional<Key32>{};
  auto bound = bound_data(block, file_id_, cipher_);
  Key32 data_key;
  unsigned long long opened_size = 0;
  int rc = crypto_aead_xchacha20poly1305_ietf_decrypt(
      data_key.data(), &opened_size, nullptr, block.data() + kSealedAt, kSealedSize, bound.data(),
      bound.size(), block.data() + kNonceAt, wrapping->data());
  if (rc != 0 || opened_size != data_key.size()) return std::optional<Key32>{};
  return std::optional<Key32>(std::move(data_key));
}

Result<Key32> unwrap_data_key(std::string_view path, const Credential& credential,
                              const KeyBlock& block, const FileId& file_id, PageCipher cipher,
                              PasswordKeys* password_keys) {
  if (credential.is_none()) return fail(Error::key_required(std::string(path)));
  KeyBlockOpener opener(credential, file_id, cipher, password_keys);
  auto opened = DZ_TRY(opener.open(block));
  if (!opened) return fail(Error::wrong_key(std::string(path)));
  return std::move(*opened);
}

Status prove_credential(std::string_view path, const Credential& credential, PageCipher cipher,
                        const FileId& file_id, const KeyBlock& key_block, const Key32& data_key,
                        PasswordKeys* password_keys) {
  if (cipher == PageCipher::Checksum) {
    if (credential.is_none()) return ok();
    return fail(Error::invalid_argument(
        format_text("`{}` is not encrypted, so it cannot be opened with a key", path)));
  }
  Key32 opened =
      DZ_TRY(unwrap_data_key(path, credential, key_block, file_id, cipher, password_keys));
  if (!opened.same_as(data_key)) return fail(Error::wrong_key(std::string(path)));
  return ok();
}

Result<Key32> new_data_key(std::string_view path) {
  Key32 key;
  if (auto drawn = fill_random(key.mutable_bytes()); !drawn) {
    return fail(no_random_bytes(path, drawn.error()));
  }
  return key;
}

}  // namespace deziro::keys
