// Opening and creating database files: from a path and its options to the
// shared Instance of the file.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "crypto/keys.hpp"
#include "error.hpp"
#include "instance.hpp"
#include "open_options.hpp"
#include "schema/stage.hpp"
#include "storage/db_file.hpp"
#include "storage/fs.hpp"
#include "txn/head.hpp"

namespace deziro {

struct Schema;

struct OpenedDatabase {
  std::shared_ptr<Instance> instance;
  // The schema in use: the declared one, else the file's stored one.
  std::shared_ptr<const Schema> schema;
  // The same with what its typed operations look up; none without a schema.
  std::shared_ptr<const ResolvedSchema> resolved;
  // Set instead when the file holds an older schema version than the
  // declared one: the migration under way, uncommitted.
  std::unique_ptr<schema::Migration> migration;
};

class Database {
 public:
  // Opens or creates the database at `path` with validated options. A file
  // already open in this process shares its Instance.
  static Result<OpenedDatabase> open(const std::string& path, const OpenOptions& options);

  // Opens an existing file for reading and writing; NOT_FOUND when there is
  // none, IO for every other failure.
  static Result<std::unique_ptr<DbFile>> open_file(const std::string& path);

  // Writes `first_page` as a new file at `path`: under a temporary name
  // beside it, fully synced, linked into place without replacing anything,
  // the directory synced. False when another file took the name first (that
  // file is left alone).
  static Result<bool> create_file(const std::string& path,
                                  std::span<const std::uint8_t> first_page);

  // Placing a finished file where it cannot be linked: the copy fallback,
  // holding the new file's byte 2^62 exclusively from its creation until its
  // bytes are synced. AlreadyExists when the name is taken, or when an
  // opener locked the new file first (that opener then creates it).
  static Result<fs::LinkOutcome> copy_into_place(const std::string& from, const std::string& to);
  // The same from the open descriptor `from`, whose failed reads name `to`.
  // With `remove_partial`, a copy that fails part way removes the file it
  // created (when `to` still names it) before letting its byte go, and so
  // does a request for that byte that fails (rather than finds it held),
  // unless another is then seen holding the byte.
  static Result<fs::LinkOutcome> copy_into_place(int from, const std::string& to,
                                                 bool remove_partial);

  // The first page of a new file as `options` describe it (encrypted when
  // they hold a key or password); `path` is what its errors name. A
  // password key derived on the way is kept in `password_keys` when given.
  static Result<std::vector<std::uint8_t>> new_first_page(
      const OpenOptions& options, std::string_view path = {},
      keys::PasswordKeys* password_keys = nullptr);

  // Turns an open file into an Instance: static fields, commit records,
  // and, when this process holds the file `alone`, recovery of the
  // published commit and the format upgrade when asked; otherwise the
  // published commit as the head names it. `known_keys`, when given, are
  // the keys of an encrypted file this process has just made: its records
  // are proven with them rather than by unwrapping a key block with the
  // options' credential. Otherwise password keys come from `password_keys`
  // when given.
  static Result<std::shared_ptr<Instance>> open_existing(
      std::unique_ptr<Storage> file, const OpenOptions& options, bool alone = true,
      const FileKeys* known_keys = nullptr, keys::PasswordKeys* password_keys = nullptr);

  // Takes the file's lock byte 2^62 (exclusively when no other process has
  // the file open, which lets this one recover it; else shared, waiting up
  // to the busy timeout) and opens it into an Instance that owns the lock
  // state. BUSY, UNSUPPORTED_FILE_SYSTEM or IO when the byte is not had.
  static Result<std::shared_ptr<Instance>> open_locked(std::unique_ptr<DbFile> file,
                                                       const OpenOptions& options,
                                                       keys::PasswordKeys* password_keys = nullptr);

  // With the file held alone, before it is read as a database: a file whose
  // creation was cut short is made a new database in place when `create`
  // is set, and is NOT_A_DATABASE otherwise.
  static Status finish_creation_cut_short(DbFile& file, const OpenOptions& options);

  // Checks the pages a commit wrote against their stamps: how recovery
  // tells a commit that reached the disk from one cut short.
  static head::CommitVerifier verifier_for(Storage& storage, const StaticFields& fields,
                                           PageProtection protection);

 private:
  // Under the registry lock: the file's shared Instance, made when the file
  // is not open in this process yet (created first when missing). Password
  // keys come only from `password_keys`; a missing file is created with
  // `new_page` when one was made before the lock.
  static Result<std::shared_ptr<Instance>> open_registered(
      registry::Lock& registry, const std::string& path, const OpenOptions& options,
      keys::PasswordKeys& password_keys, const std::optional<std::vector<std::uint8_t>>& new_page);
  // A second open of a file open here: proves this open's own secret.
  static Result<std::shared_ptr<Instance>> share_instance(std::shared_ptr<Instance> instance,
                                                          const std::string& path,
                                                          const OpenOptions& options,
                                                          keys::PasswordKeys& password_keys);
};

}  // namespace deziro
