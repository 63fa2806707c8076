// A new database file, written under a temporary name beside its target and
// put at the target, once complete, without replacing anything there: the
// writer that backup and salvage share. Until it is placed, dropping it
// closes the new file and removes its temporary name, so a failure part way
// leaves nothing behind.
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
  // Creates the file under a temporary name beside `target` (written, fully
  // synced, linked without replacing), takes its lock byte 2^62 exclusively
  // (waiting up to 5 s) and opens it, outside the process registry. Any
  // failure after the temporary file exists removes it again. IO when the
  // target names no file or the file cannot be made; BUSY,
  // UNSUPPORTED_FILE_SYSTEM or IO (naming the temporary path) when the lock
  // is not had.
  static Result<TargetFile> create(const std::string& target, const NewFileSpec& spec);

  TargetFile(TargetFile&& other) noexcept;
  TargetFile& operator=(TargetFile&&) = delete;
  TargetFile(const TargetFile&) = delete;
  TargetFile& operator=(const TargetFile&) = delete;
  ~TargetFile();

  const std::string& temp_path() const { return temp_path_; }
  const std::string& target() const { return target_; }
  // The open new file; only the operation that made it uses it.
  const std::shared_ptr<Instance>& instance() const { return instance_; }

  // Makes every commit durable and closes the new file. Whoever else held
  // the instance (a write transaction) has dropped it before.
  Status close();
  // The size of the closed temporary file.
  Result<std::uint64_t> size() const;
  // Puts the closed file at the target without replacing anything; `what`
  // names the operation in the refusal ("a backup"). INVALID_ARGUMENT when
  // something is at the target by now. The temporary name is gone after it
  // in every case.
  Status place(std::string_view what);

 private:
  TargetFile(std::string target, std::string temp_path, std::shared_ptr<Instance> instance);
  void discard();

  std::string target_;
  std::string temp_path_;
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

// Puts the finished file at `temp` under `target` without replacing
// anything: a hard link, else a no-replace rename, else a copy (which
// removes what it wrote if it fails part way); then removes `temp` and
// syncs the target's directory. False, with nothing changed at the target,
// when something is there already.
Result<bool> place_file(const std::string& temp, const std::string& target);

}  // namespace target_file
}  // namespace deziro
