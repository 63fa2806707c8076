// Enumerates the crash images of a workload on the fault-injecting storage:
// for every crash point k (the power cut after k writes, length changes and
// syncs) and every seed, the disk as a power loss could leave it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/fault_storage.hpp"

namespace deziro::testing_support {

// `workload(FaultStorage&)` must be deterministic and may fail once the
// power is off (its errors are ignored). `check(image, point, seed)` is
// called for each crash image. Returns the number of crash points.
template <typename Workload, typename Check>
std::uint64_t for_each_crash_image(const std::vector<std::uint8_t>& initial, Workload&& workload,
                                   Check&& check, std::uint64_t seeds_per_point = 4) {
  FaultStorage dry_run("crash.db", initial);
  workload(dry_run);
  std::uint64_t points = dry_run.operation_count();
  for (std::uint64_t point = 0; point <= points; ++point) {
    FaultStorage storage("crash.db", initial);
    storage.power_off_after(point);
    workload(storage);
    for (std::uint64_t seed = 0; seed < seeds_per_point; ++seed)
      check(storage.crash_image(storage.random_crash_plan(seed)), point, seed);
  }
  return points;
}

}  // namespace deziro::testing_support
