#include "crypto/secret.hpp"

#include <sodium.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <ostream>

namespace deziro {
namespace {

std::size_t page_rounded(std::size_t size) {
  static const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
  return (std::max<std::size_t>(size, 1) + page - 1) / page * page;
}

}  // namespace

void wipe(std::span<std::uint8_t> bytes) {
  if (!bytes.empty()) sodium_memzero(bytes.data(), bytes.size());
}

bool secret_equal(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

void* KeptOutOfCoreDumps::operator new(std::size_t size) {
  std::size_t length = page_rounded(size);
  void* memory =
      ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  // Best effort: a kernel without it still gets working memory.
  (void)::madvise(memory, length, MADV_DONTDUMP);
  return memory;
}

void KeptOutOfCoreDumps::operator delete(void* memory, std::size_t size) noexcept {
  if (memory == nullptr) return;
  std::size_t length = page_rounded(size);
  sodium_memzero(memory, length);
  ::munmap(memory, length);
}

std::ostream& print_secret_placeholder(std::ostream& out) { return out << "<secret>"; }

SecretBytes::SecretBytes(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  data_ = new std::uint8_t[bytes.size()];
  size_ = bytes.size();
  std::memcpy(data_, bytes.data(), size_);
}

SecretBytes::SecretBytes(const SecretBytes& other) : SecretBytes(other.bytes()) {}

SecretBytes& SecretBytes::operator=(const SecretBytes& other) {
  if (this != &other) {
    SecretBytes copy(other);
    *this = std::move(copy);
  }
  return *this;
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept : data_(other.data_), size_(other.size_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    clear();
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

SecretBytes::~SecretBytes() { clear(); }

void SecretBytes::clear() {
  if (data_ != nullptr) {
    sodium_memzero(data_, size_);
    delete[] data_;
  }
  data_ = nullptr;
  size_ = 0;
}

}  // namespace deziro
