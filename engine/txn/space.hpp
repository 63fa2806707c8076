// Page allocation for a write transaction. The transaction owns a PageSpace:
// the file's free runs as of its start, its page count, and which pages it
// allocated or released. Nothing here knows the transaction type, the trees
// that store the runs, or the readers that may still see released pages.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <set>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"
#include "storage/spare_blocks.hpp"

namespace deziro::space {

// First page of a free run → its length in pages, in page order. Every
// change can be logged by the run's first page, so that a commit writes
// into the free tree only the runs that changed instead of comparing all.
//
// A file holds thousands of free runs, most of them single pages, and a
// commit changes a few dozen: the runs are kept in sorted chunks of at most
// `kMaxChunk`, found through the first page of each, so that a change moves
// a few hundred bytes and allocates nothing, where a node per run would
// cost an allocation and a walk through scattered nodes.
class FreeRuns {
 public:
  // A run: its first page and its length. Trivially copyable, so that a
  // change inside a chunk moves the runs after it as one block of bytes
  // (a std::pair is moved one by one).
  struct Run {
    Run() = default;
    constexpr Run(std::uint64_t first_page, std::uint64_t length)
        : first(first_page), second(length) {}
    template <typename A, typename B>
    constexpr Run(const std::pair<A, B>& run) : first(run.first), second(run.second) {}
    friend bool operator==(const Run&, const Run&) = default;

    std::uint64_t first = 0;
    std::uint64_t second = 0;
  };
  static_assert(std::is_trivially_copyable_v<Run>);

  class const_iterator {
   public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = Run;
    using difference_type = std::ptrdiff_t;
    using pointer = const Run*;
    using reference = const Run&;

    const_iterator() = default;
    reference operator*() const { return (*chunks_)[chunk_][at_]; }
    pointer operator->() const { return &**this; }
    const_iterator& operator++() {
      if (++at_ == (*chunks_)[chunk_].size()) ++chunk_, at_ = 0;
      return *this;
    }
    const_iterator operator++(int) {
      auto before = *this;
      ++*this;
      return before;
    }
    const_iterator& operator--() {
      if (at_ == 0) {
        at_ = (*chunks_)[--chunk_].size();
      }
      --at_;
      return *this;
    }
    const_iterator operator--(int) {
      auto before = *this;
      --*this;
      return before;
    }
    bool operator==(const const_iterator& other) const {
      return chunk_ == other.chunk_ && at_ == other.at_;
    }

   private:
    friend class FreeRuns;
    const_iterator(const std::vector<std::vector<Run>>* chunks, std::size_t chunk, std::size_t at)
        : chunks_(chunks), chunk_(chunk), at_(at) {}
    const std::vector<std::vector<Run>>* chunks_ = nullptr;
    std::size_t chunk_ = 0;
    std::size_t at_ = 0;
  };

  FreeRuns() = default;
  FreeRuns(std::initializer_list<Run> runs);

  const_iterator begin() const { return {&chunks_, 0, 0}; }
  const_iterator end() const { return {&chunks_, chunks_.size(), 0}; }
  const_iterator find(std::uint64_t first) const;
  const_iterator lower_bound(std::uint64_t first) const;
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool operator==(const FreeRuns& other) const;

  // Sets the run at `first` to `length` pages, adding it when absent.
  void set(std::uint64_t first, std::uint64_t length);
  void erase(std::uint64_t first);
  // Adds a free run, merged with the runs it touches (see add_free_run):
  // found once, and changed in place unless it joins two runs. Logs what
  // removing the run after it and setting the merged run would log.
  bool add(std::uint64_t first, std::uint64_t length);
  // Takes `count` pages (at most the run's length) from the start of the
  // run at `it` and answers its first page: the run goes when it is used
  // up, else it starts `count` pages later, shortened in its place (it
  // stays in page order). Logs what erasing the run and setting the rest
  // would log.
  std::uint64_t take_front(const_iterator it, std::uint64_t count);

  // The lowest run at least `count` pages long that starts below `limit`;
  // end() when there is none. Steps over whole chunks by their longest run,
  // and looks inside the first chunk that has one long enough.
  const_iterator first_fit(std::uint64_t count, std::uint64_t limit) const;

  // From now on every change is logged; what was logged before is dropped.
  void start_log();
  // The first pages of the runs changed, added or removed since the last
  // call (or since start_log), sorted and without repeats; valid until the
  // next call (the log's buffers are kept for the next commits).
  const std::vector<std::uint64_t>& take_changes();

  // A chunk past this many runs is split in two; one below a quarter of it
  // is merged with its neighbour when they fit in one.
  static constexpr std::size_t kMaxChunk = 128;

 private:
  // The chunk where a run at `first` is or would go: the last whose first
  // run starts at or before it, else the first.
  std::size_t chunk_for(std::uint64_t first) const;
  // Where in chunk `chunk` the run at `first` is or would go.
  std::size_t position_in(std::size_t chunk, std::uint64_t first) const;
  // `set` of the run at `first`, which is or would go at `at` in `chunk`.
  void set_at(std::size_t chunk, std::size_t at, std::uint64_t first, std::uint64_t length);
  // `erase` of the run at `at` in `chunk`.
  void erase_at(std::size_t chunk, std::size_t at);
  void split(std::size_t chunk);
  void merge_small(std::size_t chunk);
  void measure_longest(std::size_t chunk);

  // Sorted chunks, none empty; the first page of each chunk's first run,
  // and the length of its longest run.
  std::vector<std::vector<Run>> chunks_;
  std::vector<std::uint64_t> heads_;
  std::vector<std::uint64_t> longest_;
  std::size_t size_ = 0;
  bool logging_ = false;
  std::vector<std::uint64_t> changed_;
  // What take_changes answered last.
  std::vector<std::uint64_t> taken_;
};

// The page count a file of `page_size` pages may reach: its bytes stay
// below 2^62, where the lock bytes begin.
std::uint64_t page_limit(std::uint32_t page_size);

// Page numbers in order. A commit adds and drops a few dozen: their nodes
// are kept by the thread for the next transaction's, instead of coming from
// the allocator's bins of cold chunks each time.
using PageSet = std::set<std::uint64_t, std::less<>, SpareNodeAllocator<std::uint64_t, 128>>;

struct PageSpace {
  FreeRuns free_runs;
  // Pages 0 .. page_count - 1 exist; page 0 is the head.
  std::uint64_t page_count = 1;
  std::uint64_t max_page_count = UINT64_MAX;
  // Pages this transaction allocated and still uses.
  PageSet allocated;
  // Pages it allocated and released again: no reader ever saw them, so
  // they are reused first and freed outright at commit.
  PageSet released_own;
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

// The run allocate_run would take, taken out of the free space (or added at
// the end) without being recorded as allocated: pages set aside, which are
// recorded one by one as they are handed out.
Result<std::uint64_t> take_run(PageSpace& space, std::uint64_t count);

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
