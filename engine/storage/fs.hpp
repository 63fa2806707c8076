// Placing a finished file under its final name without ever replacing
// anything there, and syncing directories so the new name survives a crash.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "error.hpp"

namespace deziro::fs {

struct TempPath {
  // The target's directory ("." when the path names none).
  std::string dir;
  // ".NAME.<16 random hex>.tmp" in that directory.
  std::string path;
};

// IO "the path names no file" when the target has no file name.
Result<TempPath> temp_path_beside(const std::string& target);

enum class LinkOutcome : std::uint8_t {
  Linked,
  // Something already has the final name; nothing was changed there.
  AlreadyExists,
  // This file system can neither hard-link nor rename without replacing;
  // the caller copies instead.
  NotPossible,
};

// A hard link, else renameat2 with RENAME_NOREPLACE. The source may be gone
// afterwards (a rename moves it).
Result<LinkOutcome> link_no_replace(const std::string& from, const std::string& to);

// The copy fallback: a new file created exclusively with mode 0666, filled in
// 8192-byte chunks and fully synced. AlreadyExists when the name is taken.
// The final name exists before its bytes do: whoever may open it meanwhile
// has to be kept out by the caller. A copy that fails part way removes the
// file it created (when the name still names that file), so no truncated
// file is left under `to`.
Result<LinkOutcome> copy_no_replace(const std::string& from, const std::string& to);

// Copies all of `from` into the open descriptor `out` (of the file `to`) in
// 8192-byte chunks from offset 0, then syncs it fully.
Status copy_contents(const std::string& from, int out, const std::string& to);

// The device and inode that `path` names now, or none when nothing is there
// (ENOENT); IO for any other failure.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};
Result<std::optional<FileIdentity>> identify(const std::string& path);

// Opens the directory of `path` ("." when none) for reading; the caller
// closes the descriptor.
Result<int> open_parent_dir(const std::string& path);

// Opens the directory of `path` ("." when none) and syncs it fully.
Status sync_parent_dir(const std::string& path);

// Creates `path` exclusively with mode 0666 for writing; the descriptor or
// IO; AlreadyExists is reported as errno EEXIST through `exists`.
Result<int> create_exclusive(const std::string& path, bool& exists);

// Writes all of `data` to `fd` from offset 0 and syncs it.
Status write_all_and_sync(int fd, const std::string& path, std::span<const std::uint8_t> data);

}  // namespace deziro::fs
