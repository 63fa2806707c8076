// Salvage's object pass: makes the copied trees a consistent database.
// Record trees the stored schema does not name are dropped (all of them,
// with the metadata tree, when the schema is lost); records that do not
// decode, sit under another key than their own, or repeat a unique value
// held by a record of a lower key are dropped; the indexes are rebuilt from
// the records that stay and the auto-increment counters raised past the
// largest key. Then the new file's trees and entries are counted.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "error.hpp"
#include "instance.hpp"
#include "tools/salvage_pages.hpp"

namespace deziro::salvage {

// `copied`: the names of the trees copied, in name order. Sets
// objects_dropped, trees and entries. Only failures of the target are
// errors.
Status object_pass(const std::shared_ptr<Instance>& target, const std::vector<std::string>& copied,
                   SalvageReport& report);

}  // namespace deziro::salvage
