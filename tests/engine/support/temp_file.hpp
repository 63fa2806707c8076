// An empty file in the temporary directory, removed when dropped.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace deziro::testing_support {

class TempFile {
 public:
  TempFile() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dztestXXXXXX").string();
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) std::abort();
    ::close(fd);
    path_ = pattern;
  }
  ~TempFile() { std::filesystem::remove(path_); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace deziro::testing_support
