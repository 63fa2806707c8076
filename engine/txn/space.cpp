#include "txn/space.hpp"

#include <algorithm>

#include "format/page.hpp"
#include "invariant.hpp"
#include "text_format.hpp"

namespace deziro::space {

namespace {

Error no_pages_left(const PageSpace& space) {
  return Error::internal(format_text("the file cannot grow past {} pages", space.max_page_count));
}

}  // namespace

FreeRuns::FreeRuns(std::initializer_list<Run> runs) {
  for (const auto& [first, length] : runs) set(first, length);
}

void FreeRuns::measure_longest(std::size_t chunk) {
  std::uint64_t longest = 0;
  for (const auto& run : chunks_[chunk]) longest = std::max(longest, run.second);
  longest_[chunk] = longest;
}

std::size_t FreeRuns::chunk_for(std::uint64_t first) const {
  auto after = std::upper_bound(heads_.begin(), heads_.end(), first);
  return after == heads_.begin() ? 0 : std::size_t(after - heads_.begin()) - 1;
}

std::size_t FreeRuns::position_in(std::size_t chunk, std::uint64_t first) const {
  const auto& runs = chunks_[chunk];
  return std::size_t(
      std::ranges::lower_bound(runs, first, {}, [](const Run& r) { return r.first; }) -
      runs.begin());
}

FreeRuns::const_iterator FreeRuns::lower_bound(std::uint64_t first) const {
  if (chunks_.empty()) return end();
  std::size_t chunk = chunk_for(first);
  std::size_t at = position_in(chunk, first);
  // Past the chunk's last run: the next chunk's first run is the next.
  if (at == chunks_[chunk].size()) return {&chunks_, chunk + 1, 0};
  return {&chunks_, chunk, at};
}

FreeRuns::const_iterator FreeRuns::find(std::uint64_t first) const {
  auto it = lower_bound(first);
  return it != end() && it->first == first ? it : end();
}

bool FreeRuns::operator==(const FreeRuns& other) const {
  return size_ == other.size_ && std::equal(begin(), end(), other.begin());
}

void FreeRuns::set(std::uint64_t first, std::uint64_t length) {
  // Runs never overlap: every caller has taken out what the run covers.
  DZ_ASSERT(length > 0 && first + length > first);
  if (chunks_.empty()) {
    chunks_.push_back({Run{first, length}});
    heads_.push_back(first);
    longest_.push_back(length);
    ++size_;
    if (logging_) changed_.push_back(first);
    return;
  }
  std::size_t chunk = chunk_for(first);
  set_at(chunk, position_in(chunk, first), first, length);
}

void FreeRuns::set_at(std::size_t chunk, std::size_t at, std::uint64_t first,
                      std::uint64_t length) {
  auto& runs = chunks_[chunk];
  const bool present = at < runs.size() && runs[at].first == first;
  DZ_ASSERT(at > 0
                ? runs[at - 1].first + runs[at - 1].second <= first
                : chunk == 0 ||
                      chunks_[chunk - 1].back().first + chunks_[chunk - 1].back().second <= first);
  DZ_ASSERT(at + present < runs.size()   ? first + length <= runs[at + present].first
            : chunk + 1 < chunks_.size() ? first + length <= heads_[chunk + 1]
                                         : true);
  if (present) {
    const std::uint64_t was = runs[at].second;
    runs[at].second = length;
    // A shorter run may have been the chunk's longest.
    if (length < was && was == longest_[chunk]) measure_longest(chunk);
  } else {
    runs.insert(runs.begin() + std::ptrdiff_t(at), Run{first, length});
    ++size_;
    if (at == 0) heads_[chunk] = first;
  }
  longest_[chunk] = std::max(longest_[chunk], length);
  if (runs.size() > kMaxChunk) split(chunk);
  if (logging_) changed_.push_back(first);
}

bool FreeRuns::add(std::uint64_t first, std::uint64_t length) {
  if (length == 0 || first + length < first) return false;
  const std::uint64_t end = first + length;
  if (chunks_.empty()) {
    set(first, length);
    return true;
  }
  // Found once: the neighbours are the run where it would go (or the next
  // chunk's first) and the one before that (or the previous chunk's last).
  const std::size_t chunk = chunk_for(first);
  const std::size_t at = position_in(chunk, first);
  const bool after_here = at < chunks_[chunk].size();
  const std::size_t after_chunk = after_here ? chunk : chunk + 1;
  const std::size_t after_at = after_here ? at : 0;
  std::optional<Run> after, before;
  if (after_chunk < chunks_.size()) after = chunks_[after_chunk][after_at];
  if (at > 0)
    before = chunks_[chunk][at - 1];
  else if (chunk > 0)
    before = chunks_[chunk - 1].back();
  if (after && after->first < end) return false;
  if (before && before->first + before->second > first) return false;
  const bool joins_after = after && after->first == end;
  const bool joins_before = before && before->first + before->second == first;
  if (joins_after && joins_before) {
    // It fills the gap between two runs, which become one.
    erase(after->first);
    set(before->first, before->second + length + after->second);
  } else if (joins_before) {
    if (at > 0)
      set_at(chunk, at - 1, before->first, before->second + length);
    else
      set_at(chunk - 1, chunks_[chunk - 1].size() - 1, before->first, before->second + length);
  } else if (joins_after) {
    // The run after it starts at `first` instead: still in page order, in
    // its place.
    Run& run = chunks_[after_chunk][after_at];
    run = Run{first, length + after->second};
    if (after_at == 0) heads_[after_chunk] = first;
    longest_[after_chunk] = std::max(longest_[after_chunk], run.second);
    if (logging_) {
      changed_.push_back(after->first);
      changed_.push_back(first);
    }
  } else {
    set_at(chunk, at, first, length);
  }
  return true;
}

std::uint64_t FreeRuns::take_front(const_iterator it, std::uint64_t count) {
  DZ_ASSERT(it.chunks_ == &chunks_ && it != end() && count > 0);
  Run& run = chunks_[it.chunk_][it.at_];
  const Run was = run;
  DZ_ASSERT(was.second >= count);
  if (was.second == count) {
    erase_at(it.chunk_, it.at_);
    return was.first;
  }
  run = Run{was.first + count, was.second - count};
  if (it.at_ == 0) heads_[it.chunk_] = run.first;
  if (was.second == longest_[it.chunk_]) measure_longest(it.chunk_);
  if (logging_) {
    changed_.push_back(was.first);
    changed_.push_back(run.first);
  }
  return was.first;
}

void FreeRuns::split(std::size_t chunk) {
  // In halves, the upper half a chunk of its own after it.
  auto& runs = chunks_[chunk];
  std::vector<Run> upper(runs.begin() + std::ptrdiff_t(runs.size() / 2), runs.end());
  runs.resize(runs.size() / 2);
  heads_.insert(heads_.begin() + std::ptrdiff_t(chunk) + 1, upper.front().first);
  longest_.insert(longest_.begin() + std::ptrdiff_t(chunk) + 1, 0);
  chunks_.insert(chunks_.begin() + std::ptrdiff_t(chunk) + 1, std::move(upper));
  measure_longest(chunk);
  measure_longest(chunk + 1);
}

void FreeRuns::erase(std::uint64_t first) {
  if (chunks_.empty()) return;
  const std::size_t chunk = chunk_for(first);
  const std::size_t at = position_in(chunk, first);
  if (at == chunks_[chunk].size() || chunks_[chunk][at].first != first) return;
  erase_at(chunk, at);
}

void FreeRuns::erase_at(std::size_t chunk, std::size_t at) {
  auto& runs = chunks_[chunk];
  const std::uint64_t first = runs[at].first;
  const std::uint64_t was = runs[at].second;
  runs.erase(runs.begin() + std::ptrdiff_t(at));
  --size_;
  if (runs.empty()) {
    chunks_.erase(chunks_.begin() + std::ptrdiff_t(chunk));
    heads_.erase(heads_.begin() + std::ptrdiff_t(chunk));
    longest_.erase(longest_.begin() + std::ptrdiff_t(chunk));
  } else {
    if (at == 0) heads_[chunk] = runs.front().first;
    if (was == longest_[chunk]) measure_longest(chunk);
    merge_small(chunk);
  }
  if (logging_) changed_.push_back(first);
}

void FreeRuns::merge_small(std::size_t chunk) {
  if (chunks_[chunk].size() >= kMaxChunk / 4) return;
  // With the neighbour after it, else the one before, when both fit in one.
  auto fits = [&](std::size_t lower) {
    return chunks_[lower].size() + chunks_[lower + 1].size() <= kMaxChunk;
  };
  std::size_t into;
  if (chunk + 1 < chunks_.size() && fits(chunk)) {
    into = chunk;
  } else if (chunk > 0 && fits(chunk - 1)) {
    into = chunk - 1;
  } else {
    return;
  }
  auto& to = chunks_[into];
  auto& from = chunks_[into + 1];
  to.insert(to.end(), from.begin(), from.end());
  longest_[into] = std::max(longest_[into], longest_[into + 1]);
  chunks_.erase(chunks_.begin() + std::ptrdiff_t(into) + 1);
  heads_.erase(heads_.begin() + std::ptrdiff_t(into) + 1);
  longest_.erase(longest_.begin() + std::ptrdiff_t(into) + 1);
}

FreeRuns::const_iterator FreeRuns::first_fit(std::uint64_t count, std::uint64_t limit) const {
  DZ_ASSERT(count > 0);
  for (std::size_t chunk = 0; chunk < chunks_.size(); ++chunk) {
    if (heads_[chunk] >= limit) break;
    if (longest_[chunk] < count) continue;
    const auto& runs = chunks_[chunk];
    auto at = std::ranges::find_if(runs, [&](const Run& r) { return r.second >= count; });
    DZ_ASSERT(at != runs.end());
    if (at == runs.end()) continue;
    if (at->first >= limit || count > limit - at->first) break;
    return {&chunks_, chunk, std::size_t(at - runs.begin())};
  }
  return end();
}

void FreeRuns::start_log() {
  logging_ = true;
  changed_.clear();
}

const std::vector<std::uint64_t>& FreeRuns::take_changes() {
  std::swap(taken_, changed_);
  changed_.clear();
  std::sort(taken_.begin(), taken_.end());
  taken_.erase(std::unique(taken_.begin(), taken_.end()), taken_.end());
  return taken_;
}

std::uint64_t page_limit(std::uint32_t page_size) { return max_page_count(page_size); }

Result<std::uint64_t> allocate_page(PageSpace& space) {
  std::uint64_t page;
  if (!space.released_own.empty()) {
    page = *space.released_own.begin();
    space.released_own.erase(space.released_own.begin());
  } else if (!space.free_runs.empty()) {
    page = space.free_runs.take_front(space.free_runs.begin(), 1);
  } else {
    if (space.page_count >= space.max_page_count) return fail(no_pages_left(space));
    page = space.page_count++;
  }
  space.allocated.insert(page);
  return page;
}

namespace {

std::optional<std::uint64_t> take_run_below(PageSpace& space, std::uint64_t count,
                                            std::uint64_t limit) {
  auto it = space.free_runs.first_fit(count, limit);
  if (it == space.free_runs.end()) return std::nullopt;
  return space.free_runs.take_front(it, count);
}

void record_allocated(PageSpace& space, std::uint64_t first, std::uint64_t count) {
  for (std::uint64_t p = first; p < first + count; ++p) space.allocated.insert(p);
}

}  // namespace

std::optional<std::uint64_t> allocate_run_below(PageSpace& space, std::uint64_t count,
                                                std::uint64_t limit) {
  auto first = take_run_below(space, count, limit);
  if (first) record_allocated(space, *first, count);
  return first;
}

Result<std::uint64_t> allocate_run(PageSpace& space, std::uint64_t count) {
  std::uint64_t first = DZ_TRY(take_run(space, count));
  record_allocated(space, first, count);
  return first;
}

Result<std::uint64_t> take_run(PageSpace& space, std::uint64_t count) {
  if (auto first = take_run_below(space, count, UINT64_MAX)) return *first;
  // No run is long enough: the run goes at the end, beginning inside the
  // last free run when that one reaches the end already.
  std::uint64_t first = space.page_count;
  if (!space.free_runs.empty()) {
    auto last = std::prev(space.free_runs.end());
    if (last->first + last->second == space.page_count) {
      first = last->first;
      space.free_runs.erase(first);
    }
  }
  if (first + count > space.max_page_count || first + count < first) {
    if (first != space.page_count) space.free_runs.set(first, space.page_count - first);
    return fail(no_pages_left(space));
  }
  space.page_count = first + count;
  return first;
}

void release_page(PageSpace& space, std::uint64_t page) {
  if (space.allocated.erase(page) != 0) {
    space.released_own.insert(page);
  } else {
    // Room for a small commit's pages at once, rather than growing page
    // by page.
    if (space.released_published.empty()) space.released_published.reserve(32);
    space.released_published.push_back(page);
  }
}

bool add_free_run(FreeRuns& runs, std::uint64_t first, std::uint64_t length) {
  return runs.add(first, length);
}

void free_own_releases(PageSpace& space) {
  for (std::uint64_t page : space.released_own) {
    [[maybe_unused]] bool added = add_free_run(space.free_runs, page, 1);
    DZ_ASSERT(added);
  }
  space.released_own.clear();
}

void trim_free_tail(PageSpace& space) {
  while (!space.free_runs.empty()) {
    auto last = std::prev(space.free_runs.end());
    if (last->first + last->second != space.page_count) break;
    space.page_count = last->first;
    space.free_runs.erase(last->first);
  }
}

std::uint64_t free_page_count(const FreeRuns& runs) {
  std::uint64_t total = 0;
  for (const auto& [first, length] : runs) total += length;
  return total;
}

}  // namespace deziro::space
