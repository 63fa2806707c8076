// Backup: the published commit of an open database copied, tree by tree in
// key order, into a new file put at a path where nothing exists. The
// copy holds every tree of the commit and none of the source's free or
// retained pages; it keeps the source's format version, page size and file
// id, and either the source's protection or a new key or password.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "crypto/credential.hpp"
#include "error.hpp"
#include "instance.hpp"

namespace deziro::backup {

struct BackupOptions {
  // None keeps the source's protection (a plain copy of a plain file, the
  // source's data key and key block for an encrypted one); a key or
  // password encrypts the copy under a fresh data key.
  Credential credential;
  // Checked whether or not a password is given.
  PasswordHashing password_hashing;
  // Bytes of keys and values after which the copy commits (deferred), in
  // the middle of a tree if need be.
  std::uint64_t COMMIT_BYTES = 33554432;
};

struct BackupFigures {
  // The transaction id of the commit copied.
  std::uint64_t commit_id = 0;
  // Trees copied, empty ones included, and their entries.
  std::uint64_t trees = 0;
  std::uint64_t entries = 0;
  // The size of the finished file.
  std::uint64_t bytes = 0;
};

// Every argument is checked before any file is made: INVALID_ARGUMENT "the
// password is empty", the password hashing limits, and "`{path}` exists
// already, and a backup never replaces a file" for anything at `path` (a
// dangling symbolic link included), before the work and again when the
// file is put in place. On any failure nothing is left at `path` and no
// temporary file stays beside it.
Result<BackupFigures> backup(const std::shared_ptr<Instance>& source, const std::string& path,
                             const BackupOptions& options);

}  // namespace deziro::backup
