// Salvage: what can be read of a damaged database file rescued into a new
// one. The source is taken alone (its lock byte 2^62 held exclusively, its
// file claimed in the process registry) and read page by page, never
// written and never opened as a database, so a file whose head, trees or
// commit records are broken can still be read. The new file is built under
// a temporary name and put at the target, which must not exist, only when
// it is complete.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "error.hpp"
#include "open_options.hpp"
#include "storage/storage.hpp"
#include "tools/salvage_pages.hpp"

namespace deziro::salvage {

// Rescues `source` into a new file at `target`. Of `options` only the
// credential, the busy timeout and upgrade_format act; they are validated
// as an open's. Errors: INVALID_ARGUMENT for refused options, for a
// credential given for a plain file, and for anything at `target` (before
// the work and when placing); BUSY when the source is open in this process
// or claimed by another salvage (at once), or its lock byte is not had in
// the busy timeout; NOT_FOUND, IO, UNSUPPORTED_FILE_SYSTEM for the source;
// KEY_REQUIRED or WRONG_KEY for an encrypted one; UNSUPPORTED_FORMAT_VERSION,
// NOT_A_DATABASE or CORRUPTED for a head that cannot be read at all; the
// new file's errors. On any failure nothing is left at `target` and no
// temporary file remains. Damage is counted in the report, never raised.
// The copy commits (deferred) every `commit_bytes` of keys and values.
inline constexpr std::uint64_t kCommitBytes = 33554432;
Result<SalvageReport> salvage(const std::string& source, const std::string& target,
                              const OpenOptions& options,
                              std::uint64_t commit_bytes = kCommitBytes);

// The page size whose pages 1 to 8 most often carry a sound checksum, the
// smaller on a tie; none when no page of any size does.
std::optional<std::uint32_t> guess_page_size(Storage& storage, std::uint64_t length);

}  // namespace deziro::salvage
