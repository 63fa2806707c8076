#include "format_upgrade.hpp"

#include <chrono>

#include "format/header.hpp"

namespace deziro {

Result<bool> upgrade_format(Instance& instance) {
  DZ_CHECK(instance.check_process());
  if (instance.failed()) return fail(instance.sync_failed_error());
  if (instance.format_version() >= kNewestFormatVersion) return false;
  WriterGuard writer = DZ_TRY(instance.begin_write());
  // Another handle of this process may have upgraded while this one waited.
  if (instance.format_version() >= kNewestFormatVersion) return false;
  auto deadline = std::chrono::steady_clock::now() + instance.settings().busy_timeout;
  bool alone = DZ_TRY(instance.try_lock_exclusive(deadline));
  if (!alone) return fail(Error::busy(instance.path()));
  Status written = instance.read_commit_state();
  if (written) written = instance.write_static_header();
  // Back to shared in every case; the first error is the one reported.
  Status shared = instance.return_to_shared();
  if (!written) return fail(std::move(written).error());
  if (!shared) return fail(std::move(shared).error());
  return true;
}

}  // namespace deziro
