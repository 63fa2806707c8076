// A file whose creation was cut short. The copy fallback of creating a file
// gives the final name to an empty file and fills it afterwards, so a crash
// part way leaves a file that holds part of a first page, or nothing. Such a
// file holds no commit anyone could have seen: a creating open makes it a
// new database in place. See docs/file-format.md, section 5.5.
#pragma once

#include <span>

#include "error.hpp"
#include "storage/storage.hpp"

namespace deziro::creation {

// Whether `file` holds only what a creation cut short can leave: at most the
// largest page, nothing from slot 1 on, and either no static header (slot 0
// empty or holding a first commit record) or a valid static header with
// slot 0 empty. A foreign file, or one with any commit beyond the first,
// never qualifies.
Result<bool> cut_short(Storage& file);

// Writes a new file's first page over a file cut short, in two synced
// writes, and cuts the file to that page. Every crash point leaves a file
// that `cut_short` accepts again, or the whole first page. The caller holds
// the file alone (byte 2^62 exclusively).
Status write_first_page(Storage& file, std::span<const std::uint8_t> first_page);

}  // namespace deziro::creation
