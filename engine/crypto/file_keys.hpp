// The key material of one encrypted file, and how the head's commit records
// carry and prove it: every record holds the wrapped data key in its key
// block and a MAC under a subkey of the data key. See docs/file-format.md,
// section 6.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "crypto/keys.hpp"
#include "crypto/page_protection.hpp"
#include "format/header.hpp"
#include "format/record.hpp"

namespace deziro {

// What an open encrypted file keeps: the data key and the record MAC key
// derived from it, both zeroed when dropped. Neither changes for the life of
// the file (a key change rewraps the same data key).
struct FileKeys : KeptOutOfCoreDumps {
  Key32 data_key;
  Key32 record_mac_key;

  static FileKeys from_data_key(Key32 data_key);
};

// The keys together with a key block that holds the data key: the block a
// new file's first record carries, or the block an open found them in.
struct FileKeyMaterial {
  FileKeys keys;
  KeyBlock key_block{};
};

namespace keys {

// The page protection of a file: checksum for a plain one (`keys` null),
// sealing under the data key for an encrypted one.
Result<PageProtection> page_protection(PageCipher cipher, const FileKeys* keys);

}  // namespace keys

namespace record {

// Sets `record.mac` for the record's place in `slot` of the file `file_id`;
// the record is then encoded as usual.
void sign_commit_record(CommitRecord& record, const Key32& record_mac_key, const FileId& file_id,
                        std::uint8_t slot);

// Whether the stored bytes of a slot carry a MAC that holds for that slot.
bool commit_record_mac_holds(std::span<const std::uint8_t> slot_bytes, const Key32& record_mac_key,
                             const FileId& file_id, std::uint8_t slot);

// Finds the data key of an encrypted file in its 2048-byte head: tries the
// credential on the key block of every record that passes its check (the
// published one first, then the newest), and takes the first block that
// opens and whose record's MAC holds; password keys come from
// `password_keys` when given. KEY_REQUIRED without a credential; CORRUPTED
// when no record passes its check, or when blocks open but no record's MAC
// holds; WRONG_KEY when the credential opens no block. A password that
// cannot be hashed for the published block is INTERNAL; for another
// block, that block just does not open (its stored parameters may be
// forged).
Result<FileKeyMaterial> read_commit_records(std::string_view path, const StaticFields& fields,
                                            std::span<const std::uint8_t> head,
                                            const Credential& credential,
                                            keys::PasswordKeys* password_keys = nullptr);

// Empties, in a copy of the head, every slot whose record passes its check
// but not its MAC, so that recovery never adopts a record the file's key did
// not sign, and the next commits overwrite it. Returns how many it emptied,
// and marks them in `dropped` when given.
std::size_t drop_unsigned_records(std::span<std::uint8_t> head, const StaticFields& fields,
                                  const FileKeys& keys,
                                  std::array<bool, kRecordSlotCount>* dropped = nullptr);

}  // namespace record
}  // namespace deziro
