#include "txn/open_file.hpp"

namespace deziro {

WriterGuard& WriterGuard::operator=(WriterGuard&& other) noexcept {
  if (this != &other) {
    release();
    file_ = std::exchange(other.file_, nullptr);
  }
  return *this;
}

void WriterGuard::release() {
  if (file_ != nullptr) file_->end_write(*this);
}

}  // namespace deziro
