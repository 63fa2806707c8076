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

// Removes a temporary file unless it was handed on.
struct TempGuard {
  std::string path;
  bool keep = false;
  ~TempGuard() {
    if (!keep) ::unlink(path.c_str());
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

TargetFile::TargetFile(std::string target, std::string temp_path,
                       std::shared_ptr<Instance> instance)
    : target_(std::move(target)),
      temp_path_(std::move(temp_path)),
      instance_(std::move(instance)) {}

TargetFile::TargetFile(TargetFile&& other) noexcept
    : target_(std::move(other.target_)),
      temp_path_(std::move(other.temp_path_)),
      instance_(std::move(other.instance_)),
      done_(std::exchange(other.done_, true)) {}

TargetFile::~TargetFile() { discard(); }

void TargetFile::discard() {
  if (done_) return;
  done_ = true;
  // The file is closed (its locks released) before its name goes.
  instance_.reset();
  ::unlink(temp_path_.c_str());
}

Result<TargetFile> TargetFile::create(const std::string& target, const NewFileSpec& spec) {
  auto first_page = build_first_page(spec);
  auto temp = DZ_TRY(fs::temp_path_beside(target));
  if (!DZ_TRY(Database::create_file(temp.path, first_page)))
    return fail(Error::io(target, "a temporary file of that name already exists"));
  TempGuard guard{temp.path};

  int fd = ::open(temp.path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return fail(Error::io_errno(temp.path, errno));
  auto file = std::make_unique<DbFile>(DbFile::adopt(fd, temp.path));
  int lock_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (lock_fd < 0) return fail(Error::io_errno(temp.path, errno));
  auto lock = std::make_unique<FileLock>(lock_fd);
  auto locked = lock->wait_lock_file(std::chrono::steady_clock::now() + std::chrono::seconds(5));
  if (!locked) return fail(error_from_lock_wait(locked.error(), temp.path));

  const FileKeys* keys = spec.keys ? &spec.keys->keys : nullptr;
  auto instance =
      DZ_TRY(Database::open_existing(std::move(file), private_open_options(), true, keys));
  instance->adopt_file_lock(std::move(lock));
  guard.keep = true;
  return TargetFile(target, temp.path, std::move(instance));
}

Status TargetFile::close() { return Instance::release_handle(std::move(instance_)); }

Result<std::uint64_t> TargetFile::size() const {
  struct stat st {};
  if (::stat(temp_path_.c_str(), &st) != 0) return fail(Error::io_errno(temp_path_, errno));
  return std::uint64_t(st.st_size);
}

Status TargetFile::place(std::string_view what) {
  instance_.reset();
  done_ = true;
  if (!DZ_TRY(target_file::place_file(temp_path_, target_)))
    return fail(target_file::exists_error(target_, what));
  return ok();
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

Result<bool> place_file(const std::string& temp, const std::string& target) {
  auto placed = fs::link_no_replace(temp, target);
  if (placed && *placed == fs::LinkOutcome::NotPossible) placed = fs::copy_no_replace(temp, target);
  ::unlink(temp.c_str());
  if (!placed) return fail(std::move(placed).error());
  if (*placed == fs::LinkOutcome::AlreadyExists) return false;
  DZ_CHECK(fs::sync_parent_dir(target));
  return true;
}

}  // namespace target_file
}  // namespace deziro
