// The options of an open, as the binding fills them. declare::validate_options
// checks them before any file is touched. Dropping the options zeroes the
// credential (Credential does it itself).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "crypto/credential.hpp"
#include "crypto/file_keys.hpp"
#include "format/page.hpp"
#include "schema/migration.hpp"

namespace deziro {

struct DeclaredSchema;

// The protection of a file that an open creates under a key or password.
// The values of the two ciphers are the cipher byte the file records.
enum class NewFileCipher : std::uint8_t {
  // XAES-256-GCM when the processor has its fast path, else XChaCha20-Poly1305.
  Automatic = 0,
  XChaCha20Poly1305 = 1,
  Xaes256Gcm = 2,
};

struct OpenOptions {
  // Create the file when none exists at the path.
  bool create = true;
  // The page size of a file this open creates.
  std::uint32_t page_size = kDefaultPageSize;
  // The longest wait for a lock before BUSY.
  std::chrono::nanoseconds busy_timeout = std::chrono::seconds(5);
  // The capacity of the file's page cache, in bytes.
  std::uint64_t cache_size = 33554432;
  // The schema the application declares; none opens without one.
  std::shared_ptr<const DeclaredSchema> schema;
  // The migrations from older schema versions, in any order.
  std::vector<DeclaredMigration> migrations;
  // The secret that opens or encrypts the file.
  Credential credential;
  // Argon2id parameters for deriving a key from a password; checked whether
  // or not a password is given.
  PasswordHashing password_hashing;
  // Raise a file of format version 5 to 6 while this process holds it
  // alone; a file this open creates gets version 6 when set, 5 when not.
  bool upgrade_format = true;
  // Not settable from Python.
  std::uint64_t DEFERRED_PAGE_LIMIT = 16384;
  std::chrono::nanoseconds SYNC_DELAY = std::chrono::seconds(1);
  NewFileCipher new_file_cipher = NewFileCipher::Automatic;

  // Replaces the credential by a password; the old one is zeroed.
  void set_password(std::span<const std::uint8_t> password) {
    credential = Credential::password(password);
  }
};

namespace keys {

// The cipher byte of a file that `options` create: checksum without a
// credential, else the asked-for cipher or the automatic choice.
PageCipher new_file_cipher(const OpenOptions& options);

// The keys of a new encrypted file: a random data key wrapped for the
// options' credential (hashed with the options' parameters) and bound to
// `file_id` and `cipher`.
// A password key derived on the way is kept in `password_keys` when given.
Result<FileKeyMaterial> new_file_keys(std::string_view path, const OpenOptions& options,
                                      const FileId& file_id, PageCipher cipher,
                                      PasswordKeys* password_keys = nullptr);

}  // namespace keys
}  // namespace deziro
