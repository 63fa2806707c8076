// Checks a published commit of a file completely: every tree reached from
// its roots (catalog, free tree, retained tree and each named tree) passes
// the tree checker, and every page from 1 to the page count is exactly one
// of a tree page, a free page or a retained page.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "btree/pager/page_io.hpp"
#include "format/record.hpp"

namespace deziro::testing {

// Findings, one per line; empty for a sound commit.
std::vector<std::string> check_commit(NodeSource& source, const CommitRecord& record);

// Every named tree's entries, by tree name: the content a test compares
// against its model.
Result<std::map<std::string, std::map<std::string, std::string>>> read_all_trees(
    NodeSource& source, const CommitRecord& record);

}  // namespace deziro::testing
