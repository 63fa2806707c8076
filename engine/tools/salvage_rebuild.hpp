// The second half of a salvage: the catalog of the damaged file recovered,
// every named tree but the indexes copied into the new file, then the
// object pass over what was copied.
#pragma once

#include <memory>
#include <optional>

#include "btree/pager/page_io.hpp"
#include "error.hpp"
#include "format/record.hpp"
#include "instance.hpp"
#include "tools/salvage_pages.hpp"

namespace deziro::salvage {

// `source` reads the damaged file; `commit` is the commit record chosen, or
// none when no slot held a usable one (every scanned catalog leaf then
// counts). Only failures of the target are errors; the write transaction in
// hand is aborted on one. The copy commits (deferred) every `commit_bytes`
// of keys and values.
Status rebuild(const std::shared_ptr<Instance>& target, NodeSource& source,
               const std::optional<CommitRecord>& commit, const LeafIndex& leaves,
               SalvageReport& report, std::uint64_t commit_bytes);

}  // namespace deziro::salvage
