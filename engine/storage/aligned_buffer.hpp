// A heap buffer aligned for page I/O (4096 bytes), movable, not copyable.
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
  static constexpr std::size_t kAlignment = 4096;

  AlignedBuffer() = default;
  explicit AlignedBuffer(std::size_t size) : size_(size) {
    if (size == 0) return;
    std::size_t rounded = (size + kAlignment - 1) / kAlignment * kAlignment;
    data_ = static_cast<std::uint8_t*>(std::aligned_alloc(kAlignment, rounded));
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
