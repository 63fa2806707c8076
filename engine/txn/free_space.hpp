// Free space of a write transaction: the free-run map it loads from the free
// tree (tree id 2), and the groups of pages that commits released while
// older snapshots could still see them, kept in the retained tree (tree id
// 3) until no reader needs them. See docs/file-format.md section 8.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "btree/pager/page_io.hpp"
#include "format/node.hpp"
#include "txn/space.hpp"

namespace deziro {

struct PageRunEntry {
  std::uint64_t first = 0;
  std::uint32_t count = 0;
};

namespace free_space {

// Free tree: key = first page u64 big-endian, value = length u64 LE.
std::array<std::uint8_t, 8> free_key(std::uint64_t first);
std::array<std::uint8_t, 8> free_value(std::uint64_t count);
// The run an entry names; CORRUPTED "the free tree: ..." from `source`
// when it is not one.
Result<PageRunEntry> decode_free(const NodeSource& source, ByteView key, ByteView value);

// Retained tree: key = the releasing commit's id u64 big-endian, then the
// chunk number u32 big-endian; value = runs of 12 bytes (first page u64 LE,
// length u32 LE).
std::array<std::uint8_t, 12> retained_key(std::uint64_t commit_id, std::uint32_t chunk);
std::uint64_t retained_commit(ByteView key);
// The runs of a chunk; CORRUPTED "the retained tree: ..." from `source` when
// the entry holds none.
Result<std::vector<PageRunEntry>> decode_retained(const NodeSource& source, ByteView key,
                                                  ByteView value);
// Runs per chunk, so that a chunk's value always stays inside its leaf.
std::size_t runs_per_chunk(std::uint32_t page_size);
// The chunk values of one group, `runs` split into runs of at most 2^32 - 1.
std::vector<std::string> encode_group(const space::FreeRuns& runs, std::uint32_t page_size);

// The page at the start of the lowest run, taken from it; none when empty.
std::optional<std::uint64_t> take_lowest(space::FreeRuns& runs);
// The last page of the highest run, taken from it.
std::uint64_t take_highest(space::FreeRuns& runs);

}  // namespace free_space
}  // namespace deziro
