// Salvage's two sources of entries in a damaged file. The page scan reads
// every page once and keeps a summary of each readable leaf, grouped by the
// tree it belongs to. The tree walk follows a tree from its root as the
// engine would read it; whatever it cannot read becomes a gap, a key range
// then filled from the scanned leaves of the same tree, newest leaf first.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "btree/pager/page_io.hpp"
#include "crypto/page_protection.hpp"
#include "error.hpp"
#include "format/record.hpp"
#include "function_ref.hpp"
#include "storage/storage.hpp"

namespace deziro::salvage {

// The counters of one salvage; all but `commit_id` start at 0.
struct SalvageReport {
  std::optional<std::uint64_t> commit_id;
  std::uint64_t pages_scanned = 0;
  std::uint64_t pages_damaged = 0;
  std::uint64_t pages_unread = 0;
  std::uint64_t entries_recovered = 0;
  std::uint64_t values_lost = 0;
  std::uint64_t objects_dropped = 0;
  std::uint64_t trees = 0;
  std::uint64_t entries = 0;
  std::uint64_t bytes = 0;
  // The commit recovery would publish could not be had: the head's selector
  // names a commit whose record is damaged and whose roots could not be
  // read from its pages, or no record's pages verify while no durable
  // selector names one. Another commit was rescued.
  bool published_lost = false;
  // Catalog entries whose trees could not be copied (their descriptors
  // damaged beyond what their root pages make good); indexes not counted.
  std::uint64_t trees_lost = 0;
  // Everything the published commit held is in the new file: a commit was
  // chosen and it is the one recovery would publish, every tree of its
  // catalog was copied, its walks left no gap and no object was dropped.
  bool whole() const {
    return commit_id && !published_lost && trees_lost == 0 && pages_unread == 0 &&
           objects_dropped == 0;
  }
};

// One readable leaf with entries, as the scan found it.
struct LeafRecord {
  std::string first_key;
  std::string last_key;
  PageStamp stamp;
  std::uint64_t page = 0;
  std::uint64_t commit_id = 0;
};

// Leaves by tree id, each list newest commit first (equal commits in page
// order); once a commit is chosen, its own leaves first (rank_leaves).
using LeafIndex = std::unordered_map<std::uint64_t, std::vector<LeafRecord>>;

// Reads pages 1 to length / page size - 1 in batches of up to 1 MiB (a batch
// whose read fails is read again page by page), opens each and keeps the
// leaves. Counts pages_scanned and pages_damaged; never fails: an unreadable
// page is counted as damaged.
LeafIndex scan_pages(Storage& storage, std::uint64_t length, std::uint32_t page_size,
                     const PageProtection& protection, SalvageReport& report);

// One step of the scan, on a page's bytes as read (opened in place).
void read_page(std::uint64_t page_number, std::span<std::uint8_t> bytes, std::uint32_t page_size,
               const PageProtection& protection, SalvageReport& report, LeafIndex& leaves);

// Puts first, in each list, the leaves in pages `commit` holds: below its
// page count and named by neither its free tree nor its retained tree. A
// leaf elsewhere is no rival of the commit's own, whatever its commit id: it
// is an older copy of one, or one a write transaction wrote early and then
// rewrote or dropped (aborted, it leaves its leaves in free pages stamped
// with the id the next commit takes). Each part stays newest commit first.
void rank_leaves(NodeSource& source, const CommitRecord& commit, LeafIndex& leaves);

// A part of a tree still to be filled from scanned leaves: keys in
// [lower, upper), from leaves of `tree_id` written no later than
// `commit_bound`. Wanted keys are taken wherever found, even inside the
// span of a newer leaf that did not give a readable value for them.
struct Gap {
  std::optional<std::string> lower;
  std::optional<std::string> upper;
  std::uint64_t tree_id = 0;
  std::uint64_t commit_bound = 0;
  std::set<std::string> wanted;
};

// Receives each entry read; its error ends the recovery.
using EntryVisitor = FunctionRef<Status(ByteView key, ByteView value)>;

// Walks the tree at `root` depth-first, in key order, handing every
// readable entry to `visitor`; returns what it could not read. A page that
// does not fetch is a gap over its key range; an entry whose value does
// not read is a gap of that key alone. A page met a second time is not
// walked again, so pages of a damaged or crafted file that point at each
// other cannot make the walk endless or exponential.
Result<std::vector<Gap>> walk_tree(NodeSource& source, const ChildPointer& root,
                                   std::uint64_t tree_id, EntryVisitor visitor);

struct GapFill {
  std::uint64_t delivered = 0;
  // Wanted keys no leaf could supply.
  std::uint64_t wanted_left = 0;
};

// Fills a gap from the scanned leaves of its tree, in the order of their
// list: each key takes its value from the first leaf that spans it, so a
// key deleted by a newer leaf is not brought back, unless that leaf's value
// of a wanted key did not read.
Result<GapFill> fill_gap(NodeSource& source, const LeafIndex& leaves, Gap gap,
                         EntryVisitor visitor);

}  // namespace deziro::salvage
