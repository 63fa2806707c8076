#include "support/temp_dir.hpp"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

namespace deziro::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "deziro-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace deziro::testing
