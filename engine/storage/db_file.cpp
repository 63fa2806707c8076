#include "storage/db_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "storage/positioned_io.hpp"

namespace deziro {

namespace {

int open_flags(DbFileMode mode) {
  switch (mode) {
    case DbFileMode::ReadWrite:
      return O_RDWR | O_CLOEXEC;
    case DbFileMode::ReadOnly:
      return O_RDONLY | O_CLOEXEC;
    case DbFileMode::CreateNew:
      return O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC;
  }
  return O_RDONLY | O_CLOEXEC;
}

}  // namespace

std::expected<DbFile, int> DbFile::open_or_errno(std::string path, DbFileMode mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), open_flags(mode), 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(errno);
  return DbFile(fd, std::move(path));
}

Result<DbFile> DbFile::open(std::string path, DbFileMode mode) {
  auto file = open_or_errno(path, mode);
  if (file) return std::move(*file);
  if (file.error() == ENOENT && mode != DbFileMode::CreateNew)
    return fail(Error::not_found(std::move(path)));
  return fail(Error::io_errno(std::move(path), file.error()));
}

DbFile DbFile::adopt(int fd, std::string path) { return DbFile(fd, std::move(path)); }

DbFile::DbFile(DbFile&& other) noexcept
    : fd_(other.fd_), path_(std::move(other.path_)), map_(std::move(other.map_)) {
  other.fd_ = -1;
}

DbFile& DbFile::operator=(DbFile&& other) noexcept {
  if (this != &other) {
    close_descriptor();
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    map_ = std::move(other.map_);
    other.fd_ = -1;
  }
  return *this;
}

DbFile::~DbFile() { close_descriptor(); }

void DbFile::close_descriptor() {
  // No retry on EINTR: on Linux the descriptor is gone either way.
  map_.reset();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<std::size_t> DbFile::read_at(std::uint64_t offset, ByteSpan out) {
  if (map_ && map_->copy(offset, out)) return out.size();
  std::int64_t n = positioned_io::read_fully(
      [this](void* buf, std::size_t size, off_t at) { return ::pread(fd_, buf, size, at); },
      out.data(), out.size(), offset);
  if (n < 0) return fail(io_error(static_cast<int>(-n)));
  return static_cast<std::size_t>(n);
}

Status DbFile::write_at(std::uint64_t offset, ConstByteSpan data) {
  int err = positioned_io::write_fully(
      [this](const void* buf, std::size_t size, off_t at) { return ::pwrite(fd_, buf, size, at); },
      data.data(), data.size(), offset);
  if (err != 0) return fail(io_error(err));
  return ok();
}

Status DbFile::write_vectored_at(std::uint64_t offset, std::span<const ConstByteSpan> buffers) {
  int err = positioned_io::write_vectored_fully(
      [this](const iovec* iov, int count, off_t at) { return ::pwritev(fd_, iov, count, at); },
      buffers, offset);
  if (err != 0) return fail(io_error(err));
  return ok();
}

Status DbFile::sync() {
  // The data and what reading it back needs (the length, the blocks
  // allocated), not the file's times: a write moves the modification time
  // on whenever the clock has ticked since the last one, and a full fsync
  // would then write the inode too (a journal commit on a journalled file
  // system) at most durable commits, before or beside the flush of the
  // drive. fdatasync flushes the drive's write cache all the same.
  int rc;
  do {
    rc = ::fdatasync(fd_);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return fail(io_error(errno));
  return ok();
}

Result<std::uint64_t> DbFile::len_or_error() {
  // The length alone. Asking for the file's times too (as fstat does) makes
  // the kernel stamp the next write with a fine-grained time, so that the
  // sync after it must write the inode as well: a commit asks for the
  // length every time, and every sync would pay that metadata write.
  struct statx st;
  if (::statx(fd_, "", AT_EMPTY_PATH, STATX_SIZE, &st) != 0) return fail(io_error(errno));
  return static_cast<std::uint64_t>(st.stx_size);
}

Status DbFile::set_len(std::uint64_t length) {
  if (length > positioned_io::kMaxOffset) return fail(io_error(EFBIG));
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return fail(io_error(errno));
  return ok();
}

}  // namespace deziro
