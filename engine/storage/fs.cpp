#include "storage/fs.hpp"

#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "invariant.hpp"
#include "storage/positioned_io.hpp"
#include "storage/random.hpp"

namespace deziro::fs {
namespace {

// Closes a descriptor on every path out of a function.
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

std::string parent_dir(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

int rename_noreplace(const char* from, const char* to) {
  return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE));
}

bool link_unsupported(int err) {
  return err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EMLINK || err == EXDEV;
}

bool rename_unsupported(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP; }

// The path by which an unnamed file is linked to a name: it has no other.
std::string proc_fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

Result<TempPath> temp_path_beside(const std::string& target) {
  auto slash = target.rfind('/');
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (name.empty() || name == "." || name == "..")
    return fail(Error::io(target, "the path names no file"));
  std::array<std::uint8_t, 8> random{};
  DZ_CHECK(fill_random(random));
  static constexpr char kHex[] = "0123456789abcdef";
  std::string suffix;
  for (std::uint8_t b : random) {
    suffix.push_back(kHex[b >> 4]);
    suffix.push_back(kHex[b & 15]);
  }
  TempPath t;
  t.dir = parent_dir(target);
  std::string prefix = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  // The name is cut so that the temporary one, 22 bytes longer, is still a
  // name the file system takes (NAME_MAX), in a path it takes (PATH_MAX):
  // any name the caller may give has a temporary name. The random part
  // keeps it unique.
  constexpr std::size_t kAdded = 22;
  std::size_t keep = std::min<std::size_t>(name.size(), NAME_MAX - kAdded);
  if (prefix.size() + keep + kAdded >= PATH_MAX)
    keep = PATH_MAX > prefix.size() + kAdded + 1 ? PATH_MAX - prefix.size() - kAdded - 1 : 1;
  t.path = prefix + "." + name.substr(0, keep) + "." + suffix + ".tmp";
  DZ_ASSERT(t.path.size() - prefix.size() <= NAME_MAX);
  return t;
}

Result<LinkOutcome> link_no_replace(const std::string& from, const std::string& to) {
  if (::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) == 0) return LinkOutcome::Linked;
  int err = errno;
  if (err == EEXIST) return LinkOutcome::AlreadyExists;
  if (!link_unsupported(err)) return fail(Error::io_errno(to, err));
  if (rename_noreplace(from.c_str(), to.c_str()) == 0) return LinkOutcome::Linked;
  err = errno;
  if (err == EEXIST) return LinkOutcome::AlreadyExists;
  if (rename_unsupported(err)) return LinkOutcome::NotPossible;
  return fail(Error::io_errno(to, err));
}

Result<int> create_exclusive(const std::string& path, bool& exists) {
  exists = false;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == EEXIST) {
      exists = true;
      return -1;
    }
    return fail(Error::io_errno(path, errno));
  }
  return fd;
}

Status write_all_and_sync(int fd, const std::string& path, std::span<const std::uint8_t> data) {
  // The loop of the database file's writes: a write that takes no byte
  // fails as EIO rather than being asked again for ever.
  int err = positioned_io::write_fully(
      [fd](const void* buf, std::size_t size, off_t at) { return ::pwrite(fd, buf, size, at); },
      data.data(), data.size(), 0);
  if (err != 0) return fail(Error::io_errno(path, err));
  if (::fsync(fd) != 0) return fail(Error::io_errno(path, errno));
  return ok();
}

void remove_if_same_file(const std::string& path, int fd) {
  struct stat ours {};
  if (::fstat(fd, &ours) != 0) return;
  remove_if_same_file(path, FileIdentity{ours.st_dev, ours.st_ino});
}

void remove_if_same_file(const std::string& path, const FileIdentity& placed) {
  struct stat there {};
  if (::lstat(path.c_str(), &there) != 0) return;
  if (placed.device == there.st_dev && placed.inode == there.st_ino) ::unlink(path.c_str());
}

Result<std::optional<int>> create_unnamed_beside(const std::string& target) {
  const TempPath beside = DZ_TRY(temp_path_beside(target));
  int fd = ::open(beside.dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd >= 0) {
    // Without /proc the file could only be placed by a copy into the
    // target, which a crash can leave part done under the target's name;
    // a temporary name beside it is linked instead.
    if (::access(proc_fd_path(fd).c_str(), F_OK) == 0) return std::optional(fd);
    ::close(fd);
    return std::optional<int>();
  }
  const int err = errno;
  // EISDIR: a kernel that knows no O_TMPFILE opens the directory itself.
  if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL) return std::optional<int>();
  return fail(Error::io_errno(target, err));
}

Result<LinkOutcome> link_unnamed(int fd, const std::string& to) {
  const std::string proc = proc_fd_path(fd);
  if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) == 0)
    return LinkOutcome::Linked;
  const int err = errno;
  if (err == EEXIST) return LinkOutcome::AlreadyExists;
  if (link_unsupported(err)) return LinkOutcome::NotPossible;
  // Without /proc the descriptor has no path to link from.
  if (err == ENOENT && ::access(proc.c_str(), F_OK) != 0) return LinkOutcome::NotPossible;
  return fail(Error::io_errno(to, err));
}

Status copy_contents(const std::string& from, int out, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) return fail(Error::io_errno(from, errno));
  FdCloser in_closer{in};
  return copy_contents(in, from, out, to);
}

Status copy_contents(int in, const std::string& from, int out, const std::string& to) {
  std::array<std::uint8_t, 8192> chunk;
  off_t offset = 0;
  for (;;) {
    ssize_t n = ::pread(in, chunk.data(), chunk.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::io_errno(from, errno));
    }
    if (n == 0) break;
    ssize_t done = 0;
    while (done < n) {
      ssize_t w = ::pwrite(out, chunk.data() + done, std::size_t(n - done), offset + done);
      if (w < 0) {
        if (errno == EINTR) continue;
        return fail(Error::io_errno(to, errno));
      }
      if (w == 0) return fail(Error::io(to, "failed to write whole buffer"));
      done += w;
    }
    offset += n;
  }
  if (::fsync(out) != 0) return fail(Error::io_errno(to, errno));
  return ok();
}

Result<std::optional<FileIdentity>> identify(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::optional<FileIdentity>();
    return fail(Error::io_errno(path, errno));
  }
  return std::optional(FileIdentity{st.st_dev, st.st_ino});
}

Result<int> open_parent_dir(const std::string& path) {
  std::string dir = parent_dir(path);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail(Error::io_errno(dir, errno));
  return fd;
}

Status sync_parent_dir(const std::string& path) {
  FdCloser closer{DZ_TRY(open_parent_dir(path))};
  if (::fsync(closer.fd) != 0) return fail(Error::io_errno(parent_dir(path), errno));
  return ok();
}

}  // namespace deziro::fs
