// Owners of key material: data keys, subkeys, wrapping keys, passwords.
// Every buffer that held a secret is overwritten with zeros before it is
// given back, also when its contents move elsewhere, so that no stale copy
// outlives the owner. Neither type can be printed: their stream output shows
// only a placeholder, so that no assertion or log line ever carries a secret.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <span>

namespace deziro {

// Overwrites `bytes` with zeros in a way the compiler cannot drop.
void wipe(std::span<std::uint8_t> bytes);

// A fixed-size secret held inline (no heap copy to forget).
template <std::size_t N>
class SecretKey {
 public:
  static constexpr std::size_t kSize = N;

  SecretKey() { bytes_.fill(0); }
  explicit SecretKey(std::span<const std::uint8_t, N> bytes) {
    for (std::size_t i = 0; i < N; ++i) bytes_[i] = bytes[i];
  }
  SecretKey(const SecretKey& other) = default;
  SecretKey& operator=(const SecretKey& other) = default;
  SecretKey(SecretKey&& other) noexcept : bytes_(other.bytes_) { other.clear(); }
  SecretKey& operator=(SecretKey&& other) noexcept {
    if (this != &other) {
      bytes_ = other.bytes_;
      other.clear();
    }
    return *this;
  }
  ~SecretKey() { clear(); }

  std::span<const std::uint8_t, N> bytes() const { return bytes_; }
  std::span<std::uint8_t, N> mutable_bytes() { return bytes_; }
  const std::uint8_t* data() const { return bytes_.data(); }
  std::uint8_t* data() { return bytes_.data(); }
  static constexpr std::size_t size() { return N; }

  void clear() { wipe(bytes_); }

  // Constant-time comparison, for tests and for telling key blocks apart.
  bool same_as(const SecretKey& other) const;

 private:
  std::array<std::uint8_t, N> bytes_;
};

// A base for types that hold key material for as long as a file is open:
// each object gets pages of its own, marked to be left out of core dumps,
// and zeroed before they are given back. Throws std::bad_alloc as `new`
// does when no pages are had.
struct KeptOutOfCoreDumps {
  static void* operator new(std::size_t size);
  static void operator delete(void* memory, std::size_t size) noexcept;
};

// The data key, every subkey and every wrapping key are 32 bytes.
using Key32 = SecretKey<32>;

bool secret_equal(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

template <std::size_t N>
bool SecretKey<N>::same_as(const SecretKey& other) const {
  return secret_equal(bytes_, other.bytes_);
}

// A secret of any length on the heap (a password). Moving hands the buffer
// over and leaves the source empty; the buffer is zeroed before it is freed.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::span<const std::uint8_t> bytes);
  SecretBytes(const SecretBytes& other);
  SecretBytes& operator=(const SecretBytes& other);
  SecretBytes(SecretBytes&& other) noexcept;
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  ~SecretBytes();

  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Zeroes and frees the buffer.
  void clear();

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Writes the placeholder that stands for any secret in text output.
std::ostream& print_secret_placeholder(std::ostream& out);

template <std::size_t N>
std::ostream& operator<<(std::ostream& out, const SecretKey<N>&) {
  return print_secret_placeholder(out);
}
inline std::ostream& operator<<(std::ostream& out, const SecretBytes&) {
  return print_secret_placeholder(out);
}

}  // namespace deziro
