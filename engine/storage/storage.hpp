// All file I/O of the engine goes through Storage, so that tests can put the
// fault-injecting storage in place of the disk anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "error.hpp"

namespace deziro {

using ByteSpan = std::span<std::uint8_t>;
using ConstByteSpan = std::span<const std::uint8_t>;

class Storage {
 public:
  virtual ~Storage() = default;

  // The path that errors name ("I/O error on `{}`: {}").
  virtual const std::string& path() const = 0;

  // Reads into `out` from `offset`; returns the bytes read, fewer than asked
  // only where the file ends.
  virtual Result<std::size_t> read_at(std::uint64_t offset, ByteSpan out) = 0;

  // Writes all of `data` at `offset`, or fails.
  virtual Status write_at(std::uint64_t offset, ConstByteSpan data) = 0;

  // Writes the buffers one after another from `offset`, or fails. Counts as
  // one write for fault injection.
  virtual Status write_vectored_at(std::uint64_t offset,
                                   std::span<const ConstByteSpan> buffers) = 0;

  // A full sync: everything written so far reaches the disk.
  virtual Status sync() = 0;

  // The file's length as the file system reports it.
  virtual Result<std::uint64_t> len_or_error() = 0;

  // Cuts or extends the file (new bytes read as zero).
  virtual Status set_len(std::uint64_t length) = 0;

  // Lets the file go without closing it, for a forked process that
  // inherited it: closing a descriptor of the file would drop every lock the
  // process holds on it. Storage without a descriptor ignores it.
  virtual void abandon_descriptor() {}

  // Reads exactly `out.size()` bytes; a file that ends first is CORRUPTED
  // "a read of {} bytes at byte {} runs past the end of the file".
  Status read_exact_at(std::uint64_t offset, ByteSpan out);

  Error io_error(int errnum) const { return Error::io_errno(path(), errnum); }
};

}  // namespace deziro
