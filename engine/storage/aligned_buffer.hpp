// A heap buffer for pages, aligned as the allocator aligns any block (16
// bytes), movable, not copyable. No read or write bypasses the system's page
// cache, so no buffer needs page alignment; asking the allocator for it
// would make it split and coalesce free chunks around every page buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>

namespace deziro {

class AlignedBuffer {
 public:
  static constexpr std::size_t kAlignment = alignof(std::max_align_t);

  AlignedBuffer() = default;
  explicit AlignedBuffer(std::size_t size) : size_(size) {
    if (size == 0) return;
    data_ = static_cast<std::uint8_t*>(std::malloc(size));
    if (data_ == nullptr) throw std::bad_alloc();
  }
  static AlignedBuffer zeroed(std::size_t size) {
    AlignedBuffer buffer(size);
    if (size != 0) std::memset(buffer.data_, 0, size);
    return buffer;
  }

  AlignedBuffer(AlignedBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = other.data_;
      size_ = other.size_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  ~AlignedBuffer() { std::free(data_); }

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::span<std::uint8_t> span() { return {data_, size_}; }
  std::span<const std::uint8_t> span() const { return {data_, size_}; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace deziro
