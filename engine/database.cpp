#include "database.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include "crypto/file_keys.hpp"
#include "format/creation.hpp"
#include "lock/lock_protocol.hpp"
#include "storage/fs.hpp"
#include "storage/random.hpp"
#include "text_format.hpp"
#include "txn/commit_verify.hpp"

namespace deziro {
namespace {

InstanceSettings settings_from(const OpenOptions& options) {
  InstanceSettings s;
  s.busy_timeout = options.busy_timeout;
  s.cache_size = options.cache_size;
  s.password_hashing = options.password_hashing;
  s.deferred_page_limit = options.DEFERRED_PAGE_LIMIT;
  s.sync_delay = options.SYNC_DELAY;
  return s;
}

struct FdCloser {
  int fd;
  ~FdCloser() { ::close(fd); }
};

struct TempRemover {
  const std::string& path;
  bool removed = false;
  // Before the directory sync, so that one sync covers the new name and the
  // temporary one's removal.
  void remove() {
    if (!std::exchange(removed, true)) ::unlink(path.c_str());
  }
  ~TempRemover() { remove(); }
};

}  // namespace

Result<std::unique_ptr<DbFile>> Database::open_file(const std::string& path) {
  auto file = DZ_TRY(DbFile::open(path, DbFileMode::ReadWrite));
  return std::make_unique<DbFile>(std::move(file));
}

Result<std::vector<std::uint8_t>> Database::new_first_page(const OpenOptions& options,
                                                           std::string_view path,
                                                           keys::PasswordKeys* password_keys) {
  StaticFields fields;
  fields.format_version = options.upgrade_format ? kNewestFormatVersion : kOldestFormatVersion;
  fields.page_size = options.page_size;
  DZ_CHECK(fill_random(fields.file_id));
  fields.cipher = keys::new_file_cipher(options);
  CommitRecord first;
  first.txn_id = 1;
  first.page_count = 1;
  if (fields.encrypted()) {
    // A fresh data key, wrapped for the credential; a plain file keeps a
    // zero key block and MAC.
    auto material =
        DZ_TRY(keys::new_file_keys(path, options, fields.file_id, fields.cipher, password_keys));
    first.key_block = material.key_block;
    record::sign_commit_record(first, material.keys.record_mac_key, fields.file_id, 0);
  }
  auto record = record::encode_commit_record(first);
  return header::first_page(fields, record);
}

Result<bool> Database::create_file(const std::string& path,
                                   std::span<const std::uint8_t> first_page) {
  auto temp = DZ_TRY(fs::temp_path_beside(path));
  bool exists = false;
  int fd = DZ_TRY(fs::create_exclusive(temp.path, exists));
  if (exists) return fail(Error::io(temp.path, "a temporary file of that name already exists"));
  TempRemover remover{temp.path};
  {
    DbFile file = DbFile::adopt(fd, temp.path);
    DZ_CHECK(fs::write_all_and_sync(file.descriptor(), temp.path, first_page));
  }
  auto linked = DZ_TRY(fs::link_no_replace(temp.path, path));
  if (linked == fs::LinkOutcome::NotPossible) linked = DZ_TRY(copy_into_place(temp.path, path));
  if (linked == fs::LinkOutcome::AlreadyExists) return false;
  remover.remove();
  DZ_CHECK(fs::sync_parent_dir(path));
  return true;
}

Result<fs::LinkOutcome> Database::copy_into_place(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) return fail(Error::io_errno(from, errno));
  const FdCloser closer{in};
  return copy_into_place(in, to, false);
}

Result<fs::LinkOutcome> Database::copy_into_place(int from, const std::string& to,
                                                  bool remove_partial) {
  bool exists = false;
  int fd = DZ_TRY(fs::create_exclusive(to, exists));
  if (exists) return fs::LinkOutcome::AlreadyExists;
  // The final name exists before its bytes do. Holding the new file alone
  // until it is synced makes an opener wait rather than take it for a
  // creation cut short; an opener that locked it first creates it itself.
  FileLock lock(fd, to);
  auto alone = lock.try_lock(lock_bytes::kFile, LockMode::Exclusive);
  if (!alone) {
    // The request failed rather than met a holder (locks that do not work
    // there): the empty file this call made goes again, unless someone is
    // seen holding it after all, an opener that then creates it itself.
    if (remove_partial) {
      auto held = lock.held_by_another(lock_bytes::kFile, LockMode::Exclusive);
      if (!held || !*held) fs::remove_if_same_file(to, lock.descriptor());
    }
    return fail(alone.error());
  }
  if (!*alone) return fs::LinkOutcome::AlreadyExists;
  if (auto copied = fs::copy_contents(from, to, lock.descriptor(), to); !copied) {
    // Removed while still held, so that no opener takes the partial copy.
    if (remove_partial) fs::remove_if_same_file(to, lock.descriptor());
    return fail(std::move(copied).error());
  }
  return fs::LinkOutcome::Linked;
}

namespace {

// The credential opened `opened`, the key block of some record in the head;
// recovery may clear that record (a commit that never reached the disk
// whole, a key change among them). The credential must then open a record
// that stays, or the file it leaves would refuse it: WRONG_KEY, before
// recovery writes anything. The published record comes first.
Status prove_against_kept_records(std::string_view path, const head::Head& h,
                                  const StaticFields& fields, const head::Recovery& recovery,
                                  const KeyBlock& opened, const FileKeys& keys,
                                  const Credential& credential, keys::PasswordKeys* password_keys) {
  const auto slots = head::parse_slots(h, fields.cipher, fields.page_size);
  std::vector<const KeyBlock*> kept{&recovery.published.record.key_block};
  for (std::size_t slot = 0; slot < slots.size(); ++slot)
    if (slots[slot].valid() && !recovery.clear_slot[slot])
      kept.push_back(&slots[slot].record.key_block);
  for (const KeyBlock* block : kept)
    if (*block == opened) return ok();
  Status proved = fail(Error::wrong_key(std::string(path)));
  for (const KeyBlock* block : kept) {
    proved = keys::prove_credential(path, credential, fields.cipher, fields.file_id, *block,
                                    keys.data_key, password_keys);
    if (proved) return ok();
  }
  return proved;
}

}  // namespace

Result<std::shared_ptr<Instance>> Database::open_existing(std::unique_ptr<Storage> file,
                                                          const OpenOptions& options, bool alone,
                                                          const FileKeys* known_keys,
                                                          keys::PasswordKeys* password_keys) {
  const std::string path = file->path();
  head::Head h = DZ_TRY(head::read_head(*file));
  auto checked = header::check_static_fields(h.bytes);
  if (!checked) return fail(Error::from_header(path, checked.error()));
  StaticFields fields = *checked;
  std::unique_ptr<const FileKeys> keys;
  // The key block the credential opened, when this open proved it.
  std::optional<KeyBlock> opened_block;
  if (fields.encrypted()) {
    // The credential proves itself against the records' key blocks before
    // any page is read; records the data key did not sign take no part in
    // recovery.
    if (known_keys != nullptr) {
      keys = std::make_unique<const FileKeys>(*known_keys);
    } else {
      auto material = DZ_TRY(
          record::read_commit_records(path, fields, h.bytes, options.credential, password_keys));
      keys = std::make_unique<const FileKeys>(std::move(material.keys));
      opened_block = material.key_block;
    }
    record::drop_unsigned_records(h.bytes, fields, *keys, &h.unauthentic);
  } else if (!options.credential.is_none()) {
    return fail(Error::invalid_argument(
        format_text("`{}` is not encrypted, so it cannot be opened with a key", path)));
  }
  auto protection = DZ_TRY(keys::page_protection(fields.cipher, keys.get()));
  if (!alone) {
    // Another process has the file open, so it was recovered when that one
    // opened it: take the published commit as it is.
    auto instance =
        std::make_shared<Instance>(std::move(file), fields, std::move(protection),
                                   PublishedCommit{}, settings_from(options), std::move(keys));
    DZ_CHECK(instance->read_commit_state());
    return instance;
  }
  // Recovery opens pages as the file seals them.
  auto verify =
      verifier_for(*file, fields, DZ_TRY(keys::page_protection(fields.cipher, keys.get())));
  auto recovery = DZ_TRY(head::choose_published(path, h, fields, verify));
  if (opened_block)
    DZ_CHECK(prove_against_kept_records(path, h, fields, recovery, *opened_block, *keys,
                                        options.credential, password_keys));
  DZ_CHECK(head::repair(*file, h, fields, recovery));
  fields.read_from_copy = false;
  // A failed sync of the upgrade fails the open; there is no instance yet
  // to mark failed.
  if (options.upgrade_format && fields.format_version < kNewestFormatVersion)
    DZ_CHECK(head::write_static_header_v6(*file, fields, [](const Error&) {}));
  return std::make_shared<Instance>(std::move(file), fields, std::move(protection),
                                    recovery.published, settings_from(options), std::move(keys));
}

Result<std::shared_ptr<Instance>> Database::share_instance(std::shared_ptr<Instance> instance,
                                                           const std::string& path,
                                                           const OpenOptions& options,
                                                           keys::PasswordKeys& password_keys) {
  // A file already open here still asks this open for its own secret,
  // against the head as it is now: another process may have changed the
  // key since this one last looked.
  if (instance->encrypted()) DZ_CHECK(instance->read_commit_state());
  const FileKeys* keys = instance->file_keys();
  DZ_CHECK(keys::prove_credential(path, options.credential, instance->cipher(), instance->file_id(),
                                  instance->published().record.key_block,
                                  keys != nullptr ? keys->data_key : Key32(), &password_keys));
  return instance;
}

Result<std::shared_ptr<Instance>> Database::open_registered(
    registry::Lock& registry, const std::string& path, const OpenOptions& options,
    keys::PasswordKeys& password_keys, const std::optional<std::vector<std::uint8_t>>& new_page) {
  // A file open here already is found by the (device, inode) its name
  // stands for now and shared without a descriptor of its own, so repeated
  // opens cost no descriptors. Its Instance's descriptors keep the inode
  // alive, so the same (device, inode) is the same file.
  auto named = DZ_TRY(fs::identify(path));
  if (named) {
    registry::FileKey key{named->device, named->inode};
    if (registry.salvage_claim(key)) return fail(Error::busy(path));
    if (auto live = registry.lookup(key))
      return share_instance(std::move(live), path, options, password_keys);
  } else {
    if (!options.create) return fail(Error::not_found(path));
    // A symbolic link to nothing takes the name, so the new file cannot be
    // put there, and a database is not made through a link: said as such,
    // rather than as NOT_FOUND once the creation found the name taken.
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
      return fail(Error::io(path,
                            "it is a symbolic link to a missing file, and a new database "
                            "is not created through a link"));
    // Refused before anything is created there.
    DZ_CHECK(check_local_directory(path));
    auto page = new_page ? *new_page : DZ_TRY(new_first_page(options, path));
    // False means another creator won the race: open the file it made.
    (void)DZ_TRY(create_file(path, page));
  }
  auto file = DZ_TRY(open_file(path));
  DZ_CHECK(check_local_file_system(file->descriptor(), path));
  struct stat st {};
  if (::fstat(file->descriptor(), &st) != 0) return fail(Error::io_errno(path, errno));
  // The name may stand for another file than when it was looked up.
  registry::FileKey key{st.st_dev, st.st_ino};
  if (auto salvage = registry.salvage_claim(key)) {
    salvage->add_file(file->release_descriptor());
    return fail(Error::busy(path));
  }
  if (auto live = registry.lookup(key)) {
    // Closing this descriptor would drop every lock the process holds on
    // the file: the open file's lock state keeps it instead.
    if (FileLock* lock = live->file_lock()) lock->add_file(file->release_descriptor());
    return share_instance(std::move(live), path, options, password_keys);
  }
  auto instance = DZ_TRY(open_locked(std::move(file), options, &password_keys));
  registry.insert(key, instance);
  return instance;
}

namespace {

// Lets a descriptor of a database file go without dropping any lock of this
// process: an Instance or a salvage that holds the same file keeps it open;
// otherwise, with the registry lock held so that no open of the file is
// under way, it is closed.
void let_descriptor_go(std::unique_ptr<DbFile> file) {
  struct stat st {};
  registry::Lock registry;
  if (::fstat(file->descriptor(), &st) != 0) return;
  registry::FileKey key{st.st_dev, st.st_ino};
  if (auto salvage = registry.salvage_claim(key)) {
    salvage->add_file(file->release_descriptor());
  } else if (auto live = registry.lookup(key)) {
    if (FileLock* lock = live->file_lock()) lock->add_file(file->release_descriptor());
  }
  file.reset();
}

// Derives the password keys that the key blocks of the file at `path` need,
// the published block's first, without the registry lock: through the
// descriptors of the file's Instance when it is open here, else through a
// descriptor of its own. Failures are left for the open to find and report.
void derive_password_keys(const std::string& path, const OpenOptions& options,
                          keys::PasswordKeys& password_keys) {
  std::shared_ptr<Instance> live;
  if (auto named = fs::identify(path); named && *named) {
    registry::Lock registry;
    live = registry.lookup(registry::FileKey{(*named)->device, (*named)->inode});
  }
  std::unique_ptr<DbFile> own;
  if (!live) {
    auto opened = Database::open_file(path);
    if (!opened) return;
    own = std::move(*opened);
  }
  Storage& file = live ? live->storage() : *own;
  if (auto h = head::read_head(file)) {
    if (auto fields = header::check_static_fields(h->bytes); fields && fields->encrypted()) {
      password_keys.set_deriving(true);
      (void)record::read_commit_records(path, *fields, h->bytes, options.credential,
                                        &password_keys);
    }
  }
  if (own) let_descriptor_go(std::move(own));
}

// Rounds of an open with a password: another process may change the key
// between the hashing and the registry lock; the last round hashes under
// the lock.
constexpr int kPasswordOpenRounds = 3;

}  // namespace

Result<OpenedDatabase> Database::open(const std::string& path, const OpenOptions& options) {
  OpenedDatabase opened;
  // Argon2id may take seconds and a GiB, and every open in the process waits
  // for the registry lock: the keys are derived before it, and under it only
  // the keys derived then are used.
  keys::PasswordKeys password_keys;
  for (int round = 1;; ++round) {
    bool last = round >= kPasswordOpenRounds || !options.credential.is_password();
    if (!last) derive_password_keys(path, options, password_keys);
    // A new file's data key is wrapped here too, its password key kept.
    std::optional<std::vector<std::uint8_t>> new_page;
    if (auto named = fs::identify(path);
        options.create && options.credential.is_password() && named && !*named) {
      password_keys.set_deriving(true);
      new_page = DZ_TRY(new_first_page(options, path, &password_keys));
    }
    password_keys.set_deriving(last);
    password_keys.clear_missed();
    auto instance = [&] {
      // Opens of files in this process run one at a time, so two threads
      // opening one file end up sharing one Instance.
      registry::Lock registry;
      return open_registered(registry, path, options, password_keys, new_page);
    }();
    if (instance || last || !password_keys.missed()) {
      opened.instance = DZ_TRY(std::move(instance));
      break;
    }
  }
  // The schema stage, outside the registry lock: it may wait for the
  // writer. It compares the declared schema with the stored one, stores a
  // first schema or begins a migration.
  schema::SchemaStage stage = DZ_TRY(schema::run_schema_stage(opened.instance, options));
  opened.resolved = std::move(stage.resolved);
  opened.migration = std::move(stage.migration);
  if (opened.resolved)
    opened.schema = std::shared_ptr<const Schema>(opened.resolved, &opened.resolved->schema);
  return opened;
}

}  // namespace deziro

namespace deziro {

Result<std::shared_ptr<Instance>> Database::open_locked(std::unique_ptr<DbFile> file,
                                                        const OpenOptions& options,
                                                        keys::PasswordKeys* password_keys) {
  const std::string& path = file->path();
  int fd = ::fcntl(file->descriptor(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return fail(Error::io_errno(path, errno));
  auto lock = std::make_unique<FileLock>(fd, path);
  auto deadline = std::chrono::steady_clock::now() + options.busy_timeout;
  // Recovery needs the file alone; when another process has it open, it
  // was recovered already and a shared hold is enough.
  auto alone = try_lock_file_exclusive(*lock, deadline);
  if (!alone) return fail(alone.error());
  if (*alone) DZ_CHECK(finish_creation_cut_short(*file, options));
  if (!*alone) {
    auto shared = lock->wait_lock(lock_bytes::kFile, LockMode::Shared, deadline);
    if (!shared) return fail(shared.error());
  }
  auto instance = DZ_TRY(open_existing(std::move(file), options, *alone, nullptr, password_keys));
  if (*alone) {
    // Turning the hold shared cannot be refused: no one else holds it.
    auto shared = lock->try_lock(lock_bytes::kFile, LockMode::Shared);
    if (!shared || !*shared) return fail(shared ? Error::busy(instance->path()) : shared.error());
  }
  instance->adopt_file_lock(std::move(lock));
  return instance;
}

Status Database::finish_creation_cut_short(DbFile& file, const OpenOptions& options) {
  if (!DZ_TRY(creation::cut_short(file))) return ok();
  if (!options.create) return fail(Error::not_a_database(file.path()));
  auto page = DZ_TRY(new_first_page(options, file.path()));
  DZ_CHECK(creation::write_first_page(file, page));
  // The crashed creator may not have synced the new name into its directory.
  return fs::sync_parent_dir(file.path());
}

head::CommitVerifier Database::verifier_for(Storage& storage, const StaticFields& fields,
                                            PageProtection protection) {
  // A small reader of its own: recovery runs before the Instance exists.
  auto reader = std::make_shared<PageReader>(storage, fields.page_size, std::move(protection),
                                             std::size_t(1) << 20);
  return [reader](const CommitRecord& record, std::uint64_t floor,
                  std::vector<PageRunEntry>* checked) -> Result<bool> {
    return verify_commit_pages(*reader, record, floor, checked);
  };
}

}  // namespace deziro
