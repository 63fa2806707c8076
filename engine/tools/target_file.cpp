#include "tools/target_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "database.hpp"
#include "storage/fs.hpp"
#include "text_format.hpp"

namespace deziro {
namespace {

// Removes a temporary name unless it was handed on (cleared).
struct TempGuard {
  std::string path;
  ~TempGuard() {
    if (!path.empty()) ::unlink(path.c_str());
  }
};

// Closes a descriptor unless it was handed on (set to -1).
struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) ::close(fd);
  }
};

// The options of the new file's private open. The file's own page size and
// cipher come from its static fields; the key material is given apart.
OpenOptions private_open_options() {
  OpenOptions options;
  options.busy_timeout = std::chrono::seconds(5);
  options.upgrade_format = false;
  return options;
}

std::vector<std::uint8_t> build_first_page(const NewFileSpec& spec) {
  CommitRecord first;
  first.txn_id = 1;
  first.page_count = 1;
  if (spec.keys) {
    first.key_block = spec.keys->key_block;
    record::sign_commit_record(first, spec.keys->keys.record_mac_key, spec.fields.file_id, 0);
  }
  return header::first_page(spec.fields, record::encode_commit_record(first));
}

}  // namespace

TargetFile::TargetFile(std::string target, std::string temp_path, int fd,
                       std::shared_ptr<Instance> instance)
    : target_(std::move(target)),
      temp_path_(std::move(temp_path)),
      fd_(fd),
      instance_(std::move(instance)) {}

TargetFile::TargetFile(TargetFile&& other) noexcept
    : target_(std::move(other.target_)),
      temp_path_(std::move(other.temp_path_)),
      fd_(std::exchange(other.fd_, -1)),
      instance_(std::move(other.instance_)),
      done_(std::exchange(other.done_, true)) {}

TargetFile::~TargetFile() {
  discard();
  // After the instance: closing a descriptor of the file drops its locks.
  if (fd_ >= 0) ::close(fd_);
}

void TargetFile::discard() {
  if (done_) return;
  done_ = true;
  // The file is closed (its locks released) before its name goes.
  instance_.reset();
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
}

Result<TargetFile> TargetFile::create(const std::string& target, const NewFileSpec& spec) {
  auto first_page = build_first_page(spec);
  // Unnamed where the file system can, else under a name of its own.
  TempGuard guard;
  int fd = -1;
  if (auto unnamed = DZ_TRY(fs::create_unnamed_beside(target))) {
    fd = *unnamed;
  } else {
    guard.path = DZ_TRY(fs::temp_path_beside(target)).path;
    bool exists = false;
    fd = DZ_TRY(fs::create_exclusive(guard.path, exists));
    if (exists) {
      guard.path.clear();
      return fail(Error::io(target, "a temporary file of that name already exists"));
    }
  }
  // Every descriptor of the new file belongs to the instance or to the
  // TargetFile from here on.
  auto file = std::make_unique<DbFile>(DbFile::adopt(fd, target));
  DZ_CHECK(fs::write_all_and_sync(fd, target, first_page));
  int kept_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (kept_fd < 0) return fail(Error::io_errno(target, errno));
  FdGuard kept{kept_fd};
  int lock_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (lock_fd < 0) return fail(Error::io_errno(target, errno));
  auto lock = std::make_unique<FileLock>(lock_fd, target);
  auto locked = lock->wait_lock_file(std::chrono::steady_clock::now() + std::chrono::seconds(5));
  if (!locked) return fail(locked.error());

  const FileKeys* keys = spec.keys ? &spec.keys->keys : nullptr;
  auto instance =
      DZ_TRY(Database::open_existing(std::move(file), private_open_options(), true, keys));
  instance->adopt_file_lock(std::move(lock));
  TargetFile made(target, guard.path, std::exchange(kept.fd, -1), std::move(instance));
  guard.path.clear();
  return made;
}

Status TargetFile::close() { return Instance::release_handle(std::move(instance_)); }

Result<std::uint64_t> TargetFile::size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return fail(Error::io_errno(target_, errno));
  return std::uint64_t(st.st_size);
}

Status TargetFile::place(std::string_view what) {
  instance_.reset();
  done_ = true;
  auto placed = temp_path_.empty() ? fs::link_unnamed(fd_, target_)
                                   : fs::link_no_replace(temp_path_, target_);
  if (placed && *placed == fs::LinkOutcome::NotPossible)
    placed = Database::copy_into_place(fd_, target_, true);
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
  if (!placed) return fail(std::move(placed).error());
  if (*placed == fs::LinkOutcome::AlreadyExists)
    return fail(target_file::exists_error(target_, what));
  // What the target names now: this file, linked, or its copy.
  auto at_target = fs::identify(target_);
  Status synced = fs::sync_parent_dir(target_);
  // A failed call leaves nothing at the target: its caller would take the
  // file for another's, and the next attempt would be refused by it.
  if (!synced && at_target && *at_target) fs::remove_if_same_file(target_, **at_target);
  return synced;
}

namespace target_file {

Error exists_error(const std::string& target, std::string_view what) {
  return Error::invalid_argument(
      format_text("`{}` exists already, and {} never replaces a file", target, what));
}

Status refuse_existing(const std::string& target, std::string_view what) {
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0) return fail(exists_error(target, what));
  return ok();
}

}  // namespace target_file
}  // namespace deziro
