#include "support/fuzz_support.hpp"

#include <cstdio>
#include <cstdlib>

namespace deziro::fuzz {

void failure(std::string_view property, std::string_view detail) {
  std::fprintf(stderr, "property failed: %.*s\n%.*s\n", static_cast<int>(property.size()),
               property.data(), static_cast<int>(detail.size()), detail.data());
  std::abort();
}

std::string hex(ByteView bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool is_file_error(const Error& error) {
  switch (error.kind()) {
    case ErrorKind::NotADatabase:
    case ErrorKind::UnsupportedFormatVersion:
    case ErrorKind::Corrupted:
    case ErrorKind::KeyRequired:
      return true;
    default:
      return false;
  }
}

void require_file_error(const Error& error, std::string_view during) {
  if (!is_file_error(error))
    failure("a damaged file gives a file error", std::string(during) + ": " + error.to_string());
}

}  // namespace deziro::fuzz
