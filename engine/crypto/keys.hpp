// The key material of an encrypted file.
//
// A file's pages are sealed under a random 32-byte data key. The data key is
// stored only wrapped, in the 128-byte key block of every commit record:
// sealed with XChaCha20-Poly1305 under the wrapping key, which is the user's
// 32-byte key itself or Argon2id of the user's password. The block is bound
// to its file (file id and cipher), so a block copied from another file opens
// nothing. Other keys (the commit-record MAC key) are subkeys of the data key,
// derived with keyed, personalised BLAKE2b. The byte layout is in
// docs/file-format.md, section 6.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "crypto/credential.hpp"
#include "crypto/page_protection.hpp"
#include "crypto/secret.hpp"
#include "error.hpp"
#include "format/key_block.hpp"

namespace deziro {

namespace keys {

inline constexpr std::size_t kSaltSize = 16;
inline constexpr std::size_t kLabelSize = 16;
using SubkeyLabel = std::array<std::uint8_t, kLabelSize>;

// The personalisation labels of the data key's subkeys; one per use, so that
// no two uses ever share a key.
extern const SubkeyLabel kRecordMacLabel;

// The bounds every password hashing parameter set obeys, the stored ones
// included (a forged block must not make an open allocate without limit).
inline constexpr std::uint32_t kMaxParallelism = 64;
inline constexpr std::uint32_t kMaxIterations = 1024;
inline constexpr std::uint32_t kMaxMemoryKib = 1048576;
inline constexpr std::uint32_t kMinMemoryKibPerLane = 8;

bool hashing_within_limits(const PasswordHashing& hashing);

// The secret kinds a key block records.
enum class BlockKind : std::uint8_t { Key = 1, Password = 2 };

// The plain (unsealed) fields of a key block.
struct KeyBlockHeader {
  BlockKind kind = BlockKind::Key;
  PasswordHashing hashing{0, 0, 0};  // all zero for a key
  std::array<std::uint8_t, kSaltSize> salt{};
};

// Reads the plain fields of a block; none when the block breaks its layout
// rules (an unknown kind, reserved bytes set, a key block with parameters,
// parameters outside the limits). An all-zero block, as in a plain file,
// yields none.
std::optional<KeyBlockHeader> read_key_block_header(const KeyBlock& block);

// Keyed, personalised BLAKE2b-256 of nothing: the subkey of `data_key` for
// the use that `label` names.
Key32 derive_subkey(const Key32& data_key, const SubkeyLabel& label);

// The key under which commit records are authenticated.
Key32 record_mac_key(const Key32& data_key);

// Argon2id (version 0x13) of a password with a 16-byte salt, 32 bytes out.
// INTERNAL when the library refuses the parameters or finds no memory.
Result<Key32> hash_password(std::span<const std::uint8_t> password,
                            std::span<const std::uint8_t, kSaltSize> salt,
                            const PasswordHashing& hashing);

class PasswordKeys;

// Wraps `data_key` for `secret` (a Key, or a Password hashed with `hashing`
// under a fresh salt) into a key block bound to `file_id` and `cipher`. The
// password key is kept in `password_keys` when given, so that opening the
// block costs no second Argon2id.
// INTERNAL "the secret does not match its kind" for no secret;
// INTERNAL "the data key cannot be wrapped" when hashing or sealing fails or
// the parameters lie outside the limits; IO on `path` when the system gives
// no random bytes.
Result<KeyBlock> wrap_data_key(std::string_view path, const Credential& secret,
                               const PasswordHashing& hashing, const Key32& data_key,
                               const FileId& file_id, PageCipher cipher,
                               PasswordKeys* password_keys = nullptr);

// The password keys of one open, by salt and parameters, so that the usual
// case (every record carrying the same block) costs one Argon2id however
// many blocks are tried. Deriving one may take seconds and a GiB: an open
// derives what it needs before it takes the process's registry lock, and
// under the lock only takes keys found here, noting a miss instead of
// deriving.
class PasswordKeys {
 public:
  // The key of `password` for a password block's salt and parameters;
  // null when it is not here and deriving is off. INTERNAL when it cannot
  // be derived.
  Result<const Key32*> key_for(std::span<const std::uint8_t> password,
                               const KeyBlockHeader& header);
  void set_deriving(bool on) { deriving_ = on; }
  // Whether a key was asked for while deriving was off and not found.
  bool missed() const { return missed_; }
  void clear_missed() { missed_ = false; }

 private:
  struct Derived {
    std::array<std::uint8_t, kSaltSize> salt;
    PasswordHashing hashing;
    Key32 key;
  };
  // A list: keys handed out stay where they are.
  std::list<Derived> derived_;
  bool deriving_ = true;
  bool missed_ = false;
};

// Opens key blocks with one credential, taking password keys from
// `password_keys` (its own when none is given).
class KeyBlockOpener {
 public:
  KeyBlockOpener(const Credential& credential, FileId file_id, PageCipher cipher,
                 PasswordKeys* password_keys = nullptr);
  KeyBlockOpener(const KeyBlockOpener&) = delete;
  KeyBlockOpener& operator=(const KeyBlockOpener&) = delete;

  // The data key when this credential opens `block`, none when it does not
  // (another secret, another file, a damaged or foreign block, a password
  // key not derived); an error only when the password cannot be hashed.
  Result<std::optional<Key32>> open(const KeyBlock& block);

 private:
  Result<const Key32*> wrapping_key(const KeyBlockHeader& header);

  const Credential& credential_;
  FileId file_id_;
  PageCipher cipher_;
  PasswordKeys own_keys_;
  PasswordKeys* password_keys_;
};

// Unwraps one block: KEY_REQUIRED (path) without a credential, WRONG_KEY
// (path) when the credential does not open it.
Result<Key32> unwrap_data_key(std::string_view path, const Credential& credential,
                              const KeyBlock& block, const FileId& file_id, PageCipher cipher,
                              PasswordKeys* password_keys = nullptr);

// The rule every open applies to its credential once it knows the file:
// a plain file takes none (INVALID_ARGUMENT "`{}` is not encrypted, so it
// cannot be opened with a key"); an encrypted one needs one (KEY_REQUIRED)
// that opens `key_block` to the file's own `data_key` (WRONG_KEY). `data_key`
// is ignored for a plain file. Used when an open finds the file already open
// in the process, so that each open proves its own secret.
Status prove_credential(std::string_view path, const Credential& credential, PageCipher cipher,
                        const FileId& file_id, const KeyBlock& key_block, const Key32& data_key,
                        PasswordKeys* password_keys = nullptr);

// A fresh random data key; IO on `path` when the system gives no random bytes.
Result<Key32> new_data_key(std::string_view path);

}  // namespace keys
}  // namespace deziro
