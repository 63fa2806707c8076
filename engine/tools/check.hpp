// The complete check of a published commit. It reads one snapshot and
// changes nothing; every finding becomes a Problem and the check goes on to
// the end. Four phases, always in this order:
//   1. trees: every tree reached from the commit's roots and the catalog is
//      walked, each node read and tested, the entries of the catalog, the
//      free tree and the retained tree tested, and each page marked;
//   2. objects: the stored schema, every record of every collection against
//      its fields and its key, every index entry and every counter;
//   3. runs: every free and retained run tested and marked;
//   4. leaks: every page nothing marked, grouped into runs.
// A page is marked before it is read, so a page reachable twice is reported
// once and walked once, and no walk is endless.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"

namespace deziro {

class Instance;
struct ResolvedSchema;

// One finding. Its message is a predicate whose subject is the page or the
// tree named beside it ("is used twice" about page 9).
struct Problem {
  std::optional<std::uint64_t> page;
  // A tree's name, a collection's name, or the name of a run list.
  std::optional<std::string> tree;
  std::string message;

  friend bool operator==(const Problem&, const Problem&) = default;
};

struct CheckReport {
  // In the order found.
  std::vector<Problem> problems;
  std::uint64_t commit_id = 0;
  std::uint64_t page_count = 0;
  // Tree nodes and overflow pages read without error, each at most once.
  std::uint64_t pages_checked = 0;
  // Records read, those that failed to decode included.
  std::uint64_t objects_checked = 0;

  bool ok() const { return problems.empty(); }
};

namespace tools {

// Checks the commit published when the snapshot starts. The only failure is
// that of starting the snapshot (CLOSED in a forked child, BUSY, an error of
// the commit record), returned unchanged; the snapshot ends on every path.
Result<CheckReport> check_commit(std::shared_ptr<Instance> instance,
                                 std::shared_ptr<const ResolvedSchema> schema = nullptr);

}  // namespace tools
}  // namespace deziro
