// Storage over one file descriptor of a file on a local disk.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <utility>

#include "storage/file_map.hpp"
#include "storage/storage.hpp"

namespace deziro {

enum class DbFileMode {
  ReadWrite,  // an existing file
  ReadOnly,   // an existing file, never written
  CreateNew,  // a new file; fails if the name is taken
};

class DbFile final : public Storage {
 public:
  // Opens `path`. A missing file (modes other than CreateNew) is NOT_FOUND;
  // every other failure is IO naming the path.
  static Result<DbFile> open(std::string path, DbFileMode mode);
  // The same, with the raw errno on failure, for callers that must tell
  // EEXIST or ENOENT apart from other failures.
  static std::expected<DbFile, int> open_or_errno(std::string path, DbFileMode mode);
  // Takes ownership of an open descriptor.
  static DbFile adopt(int fd, std::string path);

  DbFile(DbFile&& other) noexcept;
  DbFile& operator=(DbFile&& other) noexcept;
  DbFile(const DbFile&) = delete;
  DbFile& operator=(const DbFile&) = delete;
  // Closing the descriptor drops every fcntl lock this process holds on the
  // file, so whoever holds locks keeps the DbFile alive as long as they are.
  ~DbFile() override;

  // The descriptor, for fstat, fstatfs and locks; still owned by the DbFile.
  int descriptor() const { return fd_; }
  // Gives up the descriptor to the caller (a lock state that must keep it
  // open); the DbFile is closed afterwards.
  int release_descriptor() {
    map_.reset();
    return std::exchange(fd_, -1);
  }

  void abandon_descriptor() override {
    fd_ = -1;
    map_.reset();
  }
  const std::string& path() const override { return path_; }
  // Copied from a mapping of the file where it can be (no system call), else
  // read with pread; the answer is the same either way.
  Result<std::size_t> read_at(std::uint64_t offset, ByteSpan out) override;
  Status write_at(std::uint64_t offset, ConstByteSpan data) override;
  Status write_vectored_at(std::uint64_t offset, std::span<const ConstByteSpan> buffers) override;
  // fdatasync: the data, the length and the blocks, without the file's
  // times; on Linux it flushes the drive's write cache as well.
  Status sync() override;
  // statx for the length alone, never the file's times.
  Result<std::uint64_t> len_or_error() override;
  Status set_len(std::uint64_t length) override;

 private:
  DbFile(int fd, std::string path)
      : fd_(fd), path_(std::move(path)), map_(std::make_unique<FileMap>(fd)) {}
  void close_descriptor();

  int fd_ = -1;
  std::string path_;
  // Null once the descriptor is given up or closed.
  std::unique_ptr<FileMap> map_;
};

}  // namespace deziro
