// Instances of one file in one test process, each behaving as if it ran in a
// process of its own: they share a FaultStorage (the system's cache and the
// disk), and each has a lock state, so that each writer re-reads the head
// and takes the others' deferred commits for another process's. fcntl locks
// never conflict inside one process, so the lock state lies on a side file
// and the test makes the writers take turns.
#pragma once

#include <memory>
#include <string>

#include "database.hpp"
#include "storage/fault_storage.hpp"

namespace deziro::testing {

// Opens `disk` as an Instance with a lock state on `lock_file` (created when
// missing). `alone` runs recovery, as the first process to open it would.
Result<std::shared_ptr<Instance>> open_as_process(FaultStorage& disk, const std::string& lock_file,
                                                  const OpenOptions& options, bool alone);

}  // namespace deziro::testing
