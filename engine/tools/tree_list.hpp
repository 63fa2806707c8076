// The names of a commit's trees, as its catalog lists them: what compaction,
// backup and salvage walk, one tree after another.
#pragma once

#include <string>
#include <vector>

#include "btree/pager/page_io.hpp"
#include "error.hpp"
#include "format/page.hpp"

namespace deziro::repack {

// Every catalog entry's name, in key order, the engine's own trees among
// them; empty when the catalog root is page 0. A name that is not UTF-8 is
// CORRUPTED "the catalog: a tree name is not UTF-8".
Result<std::vector<std::string>> list_trees(NodeSource& source, const ChildPointer& catalog_root);

}  // namespace deziro::repack
