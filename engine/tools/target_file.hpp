// A new database file, written where nothing can see it and put at its
// target, once complete, without replacing anything there: the writer that
// backup and salvage share. The file is made without a name in the
// target's directory, so a process killed part way leaves nothing behind;
// where the file system cannot do that, or the system could not link it to
// a name (no /proc), it has a temporary name beside the target instead.
// Until it is placed, dropping it closes the new file and removes any
// temporary name, so a failure part way leaves nothing behind.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "crypto/file_keys.hpp"
#include "error.hpp"
#include "format/header.hpp"
#include "instance.hpp"

namespace deziro {

// What the new file is: its static fields, and for an encrypted one the
// data key with the key block that wraps it for the file's first record.
struct NewFileSpec {
  StaticFields fields;
  std::optional<FileKeyMaterial> keys;
};

class TargetFile {
 public:
  // Creates the file beside `target` (unnamed, or under a temporary name
  // made exclusively), writes and fully syncs its first page, takes its lock
  // byte 2^62 exclusively (waiting up to 5 s) and opens it, outside the
  // process registry. Any failure after a temporary name exists removes it
  // again. Every error names `target`: IO when the target names no file or
  // the file cannot be made; BUSY, UNSUPPORTED_FILE_SYSTEM or IO when the
  // lock is not had.
  static Result<TargetFile> create(const std::string& target, const NewFileSpec& spec);

  TargetFile(TargetFile&& other) noexcept;
  TargetFile& operator=(TargetFile&&) = delete;
  TargetFile(const TargetFile&) = delete;
  TargetFile& operator=(const TargetFile&) = delete;
  ~TargetFile();

  // The temporary name, empty when the file has none until it is placed.
  const std::string& temp_path() const { return temp_path_; }
  const std::string& target() const { return target_; }
  // The open new file; only the operation that made it uses it.
  const std::shared_ptr<Instance>& instance() const { return instance_; }

  // Makes every commit durable and closes the new file. Whoever else held
  // the instance (a write transaction) has dropped it before.
  Status close();
  // The size of the closed new file.
  Result<std::uint64_t> size() const;
  // Puts the closed file at the target without replacing anything: a link
  // (of the unnamed file, or of the temporary name, else a no-replace
  // rename), else a copy into a file created exclusively and held by its
  // byte 2^62 until it is synced (removed again if the copy fails part
  // way, or if the request for the byte fails while no one else holds it);
  // then the directory is synced. `what` names the operation in the
  // refusal ("a backup"): INVALID_ARGUMENT when something is at the target
  // by now. The temporary name is gone after it in every case; when the
  // directory sync fails, so is the file just placed at the target.
  Status place(std::string_view what);

 private:
  TargetFile(std::string target, std::string temp_path, int fd, std::shared_ptr<Instance> instance);
  void discard();

  std::string target_;
  std::string temp_path_;
  // A descriptor of the new file, kept to place it: it is closed only after
  // the instance, whose locks closing any descriptor of the file would drop.
  int fd_ = -1;
  std::shared_ptr<Instance> instance_;
  bool done_ = false;
};

namespace target_file {

// INVALID_ARGUMENT "`{}` exists already, and {} never replaces a file".
Error exists_error(const std::string& target, std::string_view what);

// Refuses a target at which anything exists (a file, a directory, a
// symbolic link even when dangling); metadata that cannot be read counts
// as nothing there.
Status refuse_existing(const std::string& target, std::string_view what);

}  // namespace target_file
}  // namespace deziro
