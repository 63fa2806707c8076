// Reads of a file's bytes without a system call: a shared read-only mapping
// of the file, copied from. A positioned read costs a system call each
// (microseconds on a machine with the kernel's speculation guards), which a
// reader that re-reads the pages another process rewrote pays on every miss.
//
// The mapping goes past the file's end as the file grows, and the file can
// be cut while mapped (a durable commit cuts it to its page count; another
// program may cut it), so touching a mapped byte past the end raises SIGBUS.
// A copy therefore runs under a guard: a SIGBUS inside it ends the copy and
// the copy reports failure, and the caller reads with a system call, which
// tells the end of the file as it always has. Any other SIGBUS goes to the
// action that was in place before the guard's handler.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "storage/storage.hpp"

namespace deziro {

class FileMap {
 public:
  // The file is mapped in chunks of this size, each the first time a copy
  // needs it; a copy across two chunks, or past the last one, is left to the
  // caller.
  static constexpr std::uint64_t kChunkBytes = std::uint64_t(1) << 30;
  static constexpr std::size_t kChunks = 256;

  // `fd` must stay open while copies run; the mapping outlives it harmlessly.
  explicit FileMap(int fd) : fd_(fd) {}
  ~FileMap();
  FileMap(const FileMap&) = delete;
  FileMap& operator=(const FileMap&) = delete;

  // Copies `out.size()` bytes from `offset`. False when the bytes could not
  // be copied from the mapping (no chunk, a range across chunks, the file
  // shorter than the range, the mapping refused): `out` then holds nothing
  // reliable and the caller reads the range with a system call. Safe from
  // many threads at once.
  bool copy(std::uint64_t offset, ByteSpan out);

 private:
  const std::uint8_t* chunk(std::size_t index);

  int fd_;
  std::array<std::atomic<const std::uint8_t*>, kChunks> chunks_{};
  // How often a chunk is not mapped because the file ends inside a page of
  // memory, before the file is read with system calls for good.
  static constexpr int kUnevenLooks = 16;

  // Set once a mapping was refused (address space, a file system without
  // mappings, every chunk slot of the process taken, a file that kept ending
  // inside a page of memory): every read goes to the system call from then
  // on.
  std::atomic<bool> refused_{false};
  std::atomic<int> uneven_looks_{0};
};

}  // namespace deziro
