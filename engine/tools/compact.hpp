// Compaction in place: pages of the trees move from the end of the file into
// free pages nearer its start, poorly filled trees are rebuilt, and ordinary
// commits give the free tail back to the file system. Every step is an
// ordinary write transaction committed durably, so a crash at any point
// leaves an ordinary published commit; an error ends the operation and keeps
// what was committed before it. No second file is ever written.
#pragma once

#include <cstdint>
#include <memory>

#include "error.hpp"
#include "instance.hpp"

namespace deziro {
struct ResolvedSchema;
}

namespace deziro::repack {

// Relocation passes at most.
inline constexpr int kMaxRelocationPasses = 4;
// A file with at most this many spare (free or retained) pages, and at
// most twice a relocation pass's slack, is compact: relocation is not tried.
inline constexpr std::uint64_t kCompactSpare = 16;

struct CompactFigures {
  // The file's length before any work and after the last step.
  std::uint64_t bytes_before = 0;
  std::uint64_t bytes_after = 0;
  // Pages moved by the committed relocation passes (not by rebuilds).
  std::uint64_t pages_moved = 0;
};

// Empty durable commits after a commit that released pages: those pages
// stay retained while an older commit record may still name them. Two
// commits push that record out of the slots; the third transaction frees
// them (when no snapshot needs them), and its commit gives a free tail of
// the file back to the file system.
inline constexpr int kCycleCommits = 3;
Status cycle_commits(const std::shared_ptr<Instance>& instance,
                     const std::shared_ptr<const ResolvedSchema>& schema);

// The relocation passes: each moves every page at or above the used pages
// plus a slack below it (named trees first, then the catalog, free and
// retained trees) in one durable commit. They end when a pass has nothing
// to move, cannot move it below the limit, would need a page past the page
// count it began with (for the free and retained trees its commit writes),
// or does not shorten the file. Returns the pages moved by the committed
// passes.
Result<std::uint64_t> relocate_passes(const std::shared_ptr<Instance>& instance,
                                      const std::shared_ptr<const ResolvedSchema>& schema);

// The whole operation: empty commits, relocation, the tree pass, and when a
// tree was rebuilt empty commits and relocation once more. Nothing at all
// is committed when the file is compact: no more spare pages than
// kCompactSpare and twice the slack, and no tree worth rebuilding in them.
// The file never ends longer than it began: a rebuild that would take it
// past its first page count, with the pages its commit writes, is dropped.
Result<CompactFigures> compact(const std::shared_ptr<Instance>& instance,
                               const std::shared_ptr<const ResolvedSchema>& schema = nullptr);

}  // namespace deziro::repack
