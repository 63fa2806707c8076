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

// Copies all of `from` into the open descriptor `out` (of the file `to`) in
// 8192-byte chunks from offset 0, then syncs it fully.
Status copy_contents(const std::string& from, int out, const std::string& to);
// The same from the open descriptor `in`; `from` is what a failed read names.
Status copy_contents(int in, const std::string& from, int out, const std::string& to);

// A new file without a name (O_TMPFILE) in the directory that is to hold
// `target`, open for reading and writing: a process killed while it is
// being written leaves nothing behind. None when the file system cannot
// make one, or when the system has no /proc to link it by later; IO naming
// `target` for any other failure (no such directory).
Result<std::optional<int>> create_unnamed_beside(const std::string& target);

// Gives the unnamed file open as `fd` the name `to`, without replacing
// anything (a link through /proc/self/fd). NotPossible when the system
// cannot link it there; the caller copies instead.
Result<LinkOutcome> link_unnamed(int fd, const std::string& to);

// The device and inode that `path` names now, or none when nothing is there
// (ENOENT); IO for any other failure.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};
Result<std::optional<FileIdentity>> identify(const std::string& path);

// Removes `path` when it still names the file open as `fd`, or the file
// `placed`: a copy that failed part way must not stay under the final name,
// and a file someone else put there since must not be lost.
void remove_if_same_file(const std::string& path, int fd);
void remove_if_same_file(const std::string& path, const FileIdentity& placed);

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
