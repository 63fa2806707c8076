#include "support/process_double.hpp"

#include <fcntl.h>

#include <cerrno>

#include "support/borrowed_storage.hpp"

namespace deziro::testing {

Result<std::shared_ptr<Instance>> open_as_process(FaultStorage& disk, const std::string& lock_file,
                                                  const OpenOptions& options, bool alone) {
  auto instance =
      DZ_TRY(Database::open_existing(std::make_unique<BorrowedStorage>(disk), options, alone));
  int fd = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return fail(Error::io_errno(lock_file, errno));
  instance->adopt_file_lock(std::make_unique<FileLock>(fd, lock_file));
  return instance;
}

}  // namespace deziro::testing
