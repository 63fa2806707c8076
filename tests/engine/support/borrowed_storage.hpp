// A Storage that forwards to one the test keeps, so that the test can still
// look at it (its crash images) after the Instance that used it is gone.
#pragma once

#include "storage/storage.hpp"

namespace deziro::testing {

class BorrowedStorage : public Storage {
 public:
  explicit BorrowedStorage(Storage& inner) : inner_(inner) {}
  const std::string& path() const override { return inner_.path(); }
  Result<std::size_t> read_at(std::uint64_t offset, ByteSpan out) override {
    return inner_.read_at(offset, out);
  }
  Status write_at(std::uint64_t offset, ConstByteSpan data) override {
    return inner_.write_at(offset, data);
  }
  Status write_vectored_at(std::uint64_t offset, std::span<const ConstByteSpan> buffers) override {
    return inner_.write_vectored_at(offset, buffers);
  }
  Status sync() override { return inner_.sync(); }
  Result<std::uint64_t> len_or_error() override { return inner_.len_or_error(); }
  Status set_len(std::uint64_t length) override { return inner_.set_len(length); }

 private:
  Storage& inner_;
};

}  // namespace deziro::testing
