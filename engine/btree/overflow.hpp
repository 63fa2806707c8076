// Overflow runs: a value too long for its leaf lives in consecutive pages of
// kind 3, each carrying its commit, its tree and its index in the run. Runs
// are read and written in batches of max(1, 1 MiB / page size) pages, and the
// leaf's reference holds the run check, an XXH3-128 over the run's page
// stamps. docs/file-format.md section 4 has the byte table.
#pragma once

#include <cstdint>
#include <string>

#include "btree/pager/page_io.hpp"
#include "error.hpp"
#include "format/node.hpp"

namespace deziro {

namespace load {
// Reads the whole value of a run into `out`. Every page must be an overflow
// page of the reference's commit and of `tree_id`, at its index, holding its
// share of the value; the stamps must match the run check.
Status read_overflow_run(NodeSource& source, const OverflowRef& ref, std::uint64_t tree_id,
                         std::string& out);
}  // namespace load

namespace write {
// Writes `value` into a new run from the sink and returns its reference.
Result<OverflowRef> write_overflow_run(PageSink& sink, std::uint32_t page_size,
                                       std::uint64_t commit_id, std::uint64_t tree_id,
                                       ByteView value);
}  // namespace write

// The run check over the stamps of a run's pages, in order.
PageStamp overflow_run_check(std::span<const PageStamp> stamps);

}  // namespace deziro
