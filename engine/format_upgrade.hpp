// Raising the format version of an open file from 5 to 6 after it was
// opened without the upgrade.
#pragma once

#include "error.hpp"
#include "instance.hpp"

namespace deziro {

// Takes the writer, then the file alone (no other process may have it
// open), re-reads the head and writes the version-6 static header; true when
// it raised the version, false when the file was at 6 already. CLOSED in a
// forked child, SYNC_FAILED once the instance has failed, BUSY when the
// writer or the file alone is not had within the busy timeout; IO when the
// header is not written, and a failed sync of it also marks the instance
// failed, as every failed sync does.
//
// The file lock goes back from exclusive to shared in place, never through
// an unlocked moment; should even that fail, the instance is marked failed
// (writes refused until the file is opened again) and the call fails.
Result<bool> upgrade_format(Instance& instance);

}  // namespace deziro
