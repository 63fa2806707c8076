// The retry loops behind DbFile's positioned reads and writes. A call may
// move fewer bytes than asked or be interrupted by a signal; these loops
// carry on until the whole request is done. They take the system call as a
// parameter so that tests can hand in one that misbehaves on purpose.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace deziro::positioned_io {

inline constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(INT64_MAX);

// Reads until `size` bytes are in or the file ends. Returns the bytes read,
// or -errno. `pread_fn(void* buf, size_t n, off_t offset) -> ssize_t`.
template <typename Pread>
std::int64_t read_fully(Pread&& pread_fn, std::uint8_t* out, std::size_t size,
                        std::uint64_t offset) {
  if (offset > kMaxOffset || size > kMaxOffset - offset) return -EINVAL;
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = pread_fn(out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (n == 0) break;  // end of file
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

// Writes all `size` bytes. Returns 0 or an errno value.
// `pwrite_fn(const void* buf, size_t n, off_t offset) -> ssize_t`.
template <typename Pwrite>
int write_fully(Pwrite&& pwrite_fn, const std::uint8_t* data, std::size_t size,
                std::uint64_t offset) {
  if (offset > kMaxOffset || size > kMaxOffset - offset) return EINVAL;
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite_fn(data + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // A regular file never takes zero bytes of a non-empty write; treat it
    // as a failure rather than spin.
    if (n == 0) return EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

// Writes the buffers back to back from `offset`, at most IOV_MAX at a time,
// resuming after a short write in the middle of a buffer. Returns 0 or an
// errno value. `pwritev_fn(const iovec* iov, int count, off_t offset) -> ssize_t`.
template <typename Pwritev>
int write_vectored_fully(Pwritev&& pwritev_fn,
                         std::span<const std::span<const std::uint8_t>> buffers,
                         std::uint64_t offset) {
  std::uint64_t total = 0;
  for (auto b : buffers) total += b.size();
  if (offset > kMaxOffset || total > kMaxOffset - offset) return EINVAL;

  std::vector<iovec> iov;
  iov.reserve(buffers.size());
  for (auto b : buffers)
    if (!b.empty()) iov.push_back(iovec{const_cast<std::uint8_t*>(b.data()), b.size()});

  std::size_t first = 0;  // first iovec not yet fully written
  std::uint64_t position = offset;
  while (first < iov.size()) {
    int count = static_cast<int>(std::min<std::size_t>(iov.size() - first, IOV_MAX));
    ssize_t n = pwritev_fn(&iov[first], count, static_cast<off_t>(position));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    position += static_cast<std::uint64_t>(n);
    auto left = static_cast<std::size_t>(n);
    while (left > 0 && first < iov.size()) {
      if (left >= iov[first].iov_len) {
        left -= iov[first].iov_len;
        ++first;
      } else {
        iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + left;
        iov[first].iov_len -= left;
        left = 0;
      }
    }
  }
  return 0;
}

}  // namespace deziro::positioned_io
