// Page allocation for a write transaction. The transaction owns a PageSpace:
// the file's free runs as of its start, its page count, and which pages it
// allocated or released. Nothing here knows the transaction type, the trees
// that store the runs, or the readers that may still see released pages.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "error.hpp"

namespace deziro::space {

// First page of a free run → its length in pages, in page order. Every
// change can be logged by the run's first page, so that a commit writes
// into the free tree only the runs that changed instead of comparing all.
class FreeRuns {
 public:
  using Map = std::map<std::uint64_t, std::uint64_t>;
  using const_iterator = Map::const_iterator;

  FreeRuns() = default;
  FreeRuns(std::initializer_list<Map::value_type> runs);

  const_iterator begin() const { return runs_.begin(); }
  const_iterator end() const { return runs_.end(); }
  const_iterator find(std::uint64_t first) const { return runs_.find(first); }
  const_iterator lower_bound(std::uint64_t first) const { return runs_.lower_bound(first); }
  std::size_t size() const { return runs_.size(); }
  bool empty() const { return runs_.empty(); }
  bool operator==(const FreeRuns& other) const { return runs_ == other.runs_; }

  // Sets the run at `first` to `length` pages, adding it when absent.
  void set(std::uint64_t first, std::uint64_t length);
  void erase(std::uint64_t first);

  // The lowest run at least `count` pages long that starts below `limit`;
  // end() when there is none. Costs about one step per length up to
  // `kLongRun`, not one per run.
  const_iterator first_fit(std::uint64_t count, std::uint64_t limit) const;

  // From now on every change is logged; what was logged before is dropped.
  void start_log();
  // The first pages of the runs changed, added or removed since the last
  // call (or since start_log), sorted and without repeats.
  std::vector<std::uint64_t> take_changes();

 private:
  // Runs of 2 to kLongRun - 1 pages by length, then those of kLongRun pages
  // or more: the first pages of each.
  static constexpr std::uint64_t kLongRun = 34;
  std::set<std::uint64_t>& by_length(std::uint64_t length) {
    return by_length_[std::min(length, kLongRun) - 2];
  }
  void index(std::uint64_t first, std::uint64_t length);
  void unindex(std::uint64_t first, std::uint64_t length);

  Map runs_;
  std::array<std::set<std::uint64_t>, kLongRun - 1> by_length_;
  bool logging_ = false;
  std::vector<std::uint64_t> changed_;
};

// The page count a file of `page_size` pages may reach: its bytes stay
// below 2^62, where the lock bytes begin.
std::uint64_t page_limit(std::uint32_t page_size);

struct PageSpace {
  FreeRuns free_runs;
  // Pages 0 .. page_count - 1 exist; page 0 is the head.
  std::uint64_t page_count = 1;
  std::uint64_t max_page_count = UINT64_MAX;
  // Pages this transaction allocated and still uses.
  std::set<std::uint64_t> allocated;
  // Pages it allocated and released again: no reader ever saw them, so
  // they are reused first and freed outright at commit.
  std::set<std::uint64_t> released_own;
  // Pages of published commits that it released: readers may still see
  // them, so the commit retains them until no reader needs them.
  std::vector<std::uint64_t> released_published;
};

// One page: a page the transaction released itself (the lowest), else the
// first page of the lowest free run (the run shortened), else a new page at
// the end (the page count grows). The page is recorded as allocated.
Result<std::uint64_t> allocate_page(PageSpace& space);

// `count` consecutive pages (for an overflow run): the first free run long
// enough (first fit, from its start), else at the end of the file, starting
// inside a free run that reaches the end when there is one.
Result<std::uint64_t> allocate_run(PageSpace& space, std::uint64_t count);

// The same, only where the whole run lies below page `limit`; nothing when
// no free run fits there. Never grows the file.
std::optional<std::uint64_t> allocate_run_below(PageSpace& space, std::uint64_t count,
                                                std::uint64_t limit);

// Gives up a page: one this transaction allocated becomes reusable at once;
// any other is recorded as released from a published commit.
void release_page(PageSpace& space, std::uint64_t page);

// Adds a free run, merged with the runs it touches. False (and nothing
// changed) when it overlaps a run already free, or is empty.
bool add_free_run(FreeRuns& runs, std::uint64_t first, std::uint64_t length);

// Moves the pages the transaction released itself into the free runs, for
// the commit.
void free_own_releases(PageSpace& space);

// While the highest free run ends at the page count, removes it and lowers
// the page count to its first page.
void trim_free_tail(PageSpace& space);

std::uint64_t free_page_count(const FreeRuns& runs);

}  // namespace deziro::space
