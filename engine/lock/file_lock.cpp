#include "lock/file_lock.hpp"

#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

#include "fork_generation.hpp"
#include "storage/fs.hpp"

namespace deziro {

namespace {

struct flock byte_range(short type, std::uint64_t first, std::uint64_t length) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(first);
  range.l_len = static_cast<off_t>(length);
  return range;
}

std::atomic<bool> g_description_locks_allowed{true};

// Whether the file takes open-file-description locks: a query of one byte
// answers EINVAL where the system or the file system refuses them.
bool description_locks_work(int fd) {
  if (!g_description_locks_allowed.load()) return false;
  struct flock range = byte_range(F_RDLCK, lock_bytes::kFile, 1);
  int rc;
  do {
    rc = ::fcntl(fd, F_OFD_GETLK, &range);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 || errno != EINVAL;
}

}  // namespace

void set_description_locks_allowed(bool allowed) { g_description_locks_allowed.store(allowed); }

Error FileLock::request_error(int errnum) const {
  switch (errnum) {
    case ENOLCK:
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
      return Error::unsupported_file_system(path_);
    default:
      return Error::io_errno(path_, errnum);
  }
}

FileLock::FileLock(int fd, std::string path)
    : path_(std::move(path)),
      description_locks_(description_locks_work(fd)),
      generation_(fork_generation::current()) {
  fds_.push_back(fd);
}

FileLock::~FileLock() {
  // A copy inherited at a fork is left as an abandoned one.
  if (abandoned_ || generation_ != fork_generation::current()) return;
  for (auto [byte, mode] : held_) {
    struct flock range = byte_range(F_UNLCK, byte, 1);
    request(false, range);
  }
  for (int fd : fds_) ::close(fd);
}

int FileLock::request(bool query, struct flock& range) const {
  int command =
      description_locks_ ? (query ? F_OFD_GETLK : F_OFD_SETLK) : (query ? F_GETLK : F_SETLK);
  return ::fcntl(fds_.front(), command, &range);
}

void FileLock::add_file(int fd) {
  std::lock_guard lock(mutex_);
  fds_.push_back(fd);
}

void FileLock::abandon() {
  // No mutex: a thread of the parent may have held it at the fork.
  abandoned_ = true;
}

Result<bool> FileLock::set_lock(std::uint64_t byte, short type) {
  // Through a state inherited at a fork, a request would take, turn or
  // release the parent's lock.
  if (generation_ != fork_generation::current()) return fail(request_error(EPERM));
  struct flock range = byte_range(type, byte, 1);
  while (request(false, range) != 0) {
    if (errno == EINTR) continue;
    if (errno == EACCES || errno == EAGAIN) return false;
    return fail(request_error(errno));
  }
  return true;
}

Result<bool> FileLock::try_lock(std::uint64_t byte, LockMode mode) {
  // No mutex in a forked process: a thread of the parent may have held it.
  if (generation_ != fork_generation::current()) return fail(request_error(EPERM));
  std::lock_guard lock(mutex_);
  auto taken = set_lock(byte, mode == LockMode::Exclusive ? F_WRLCK : F_RDLCK);
  if (taken && *taken) held_[byte] = mode;
  return taken;
}

Result<void> FileLock::wait_lock(std::uint64_t byte, LockMode mode, Deadline deadline,
                                 std::chrono::microseconds cap) {
  auto delay = kFirstLockBackoff;
  while (true) {
    auto taken = try_lock(byte, mode);
    if (!taken) return fail(taken.error());
    if (*taken) return {};
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return fail(Error::busy(path_));
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    std::this_thread::sleep_for(std::min(delay, left + std::chrono::microseconds(1)));
    delay = std::min(delay * 2, cap);
  }
}

void FileLock::unlock(std::uint64_t byte) {
  if (generation_ != fork_generation::current()) return;
  std::lock_guard lock(mutex_);
  if (held_.erase(byte) == 0) return;
  // Unlocking cannot fail for a valid descriptor and range.
  (void)set_lock(byte, F_UNLCK);
}

bool FileLock::holds(std::uint64_t byte) const {
  std::lock_guard lock(mutex_);
  return held_.contains(byte);
}

Result<bool> FileLock::held_by_another(std::uint64_t byte, LockMode mode) const {
  struct flock range = byte_range(mode == LockMode::Exclusive ? F_WRLCK : F_RDLCK, byte, 1);
  while (request(true, range) != 0) {
    if (errno == EINTR) continue;
    return fail(request_error(errno));
  }
  return range.l_type != F_UNLCK;
}

Result<std::optional<std::uint64_t>> FileLock::lowest_held_by_another(std::uint64_t first,
                                                                      std::uint64_t end) const {
  // F_GETLK reports one conflicting lock, not necessarily the lowest: keep
  // asking below the last one found until nothing is left there.
  std::optional<std::uint64_t> lowest;
  std::uint64_t limit = end;
  while (first < limit) {
    struct flock range = byte_range(F_WRLCK, first, limit - first);
    while (request(true, range) != 0) {
      if (errno == EINTR) continue;
      return fail(request_error(errno));
    }
    if (range.l_type == F_UNLCK) break;
    auto start = std::max<std::uint64_t>(static_cast<std::uint64_t>(range.l_start), first);
    lowest = start;
    limit = start;
  }
  return lowest;
}

bool is_network_file_system(std::uint64_t magic) {
  switch (magic) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x01021997:  // 9P
    case 0x00C36400:  // Ceph
    case 0x5346414F:  // AFS
    case 0x6B414653:  // kAFS
    case 0x73757245:  // Coda
    case 0x564C:      // NCP
      return true;
    default:
      return false;
  }
}

namespace {

Result<std::uint64_t> file_system_type(int fd, const std::string& path) {
  struct statfs info;
  int rc;
  do {
    rc = ::fstatfs(fd, &info);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return fail(Error::io_errno(path, errno));
  return static_cast<std::uint64_t>(info.f_type);
}

std::atomic<FileSystemTypeProbe> g_file_system_type{&file_system_type};

}  // namespace

void set_file_system_type_probe(FileSystemTypeProbe probe) {
  g_file_system_type.store(probe != nullptr ? probe : &file_system_type);
}

Status check_local_file_system(int fd, const std::string& path) {
  std::uint64_t type = DZ_TRY(g_file_system_type.load()(fd, path));
  if (is_network_file_system(type)) return fail(Error::unsupported_file_system(path));
  return ok();
}

Status check_local_directory(const std::string& path) {
  int dir = DZ_TRY(fs::open_parent_dir(path));
  Status checked = check_local_file_system(dir, path);
  ::close(dir);
  return checked;
}

}  // namespace deziro
