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

// Takes `count` pages from the start of the run at `it`.
std::uint64_t take_from_run(FreeRuns& runs, FreeRuns::const_iterator it, std::uint64_t count) {
  auto [first, length] = *it;
  DZ_ASSERT(length >= count);
  runs.erase(first);
  if (length > count) runs.set(first + count, length - count);
  return first;
}

}  // namespace

FreeRuns::FreeRuns(std::initializer_list<Map::value_type> runs) : runs_(runs) {
  for (const auto& [first, length] : runs_) index(first, length);
}

void FreeRuns::index(std::uint64_t first, std::uint64_t length) {
  if (length >= 2) by_length(length).insert(first);
}

void FreeRuns::unindex(std::uint64_t first, std::uint64_t length) {
  if (length >= 2) by_length(length).erase(first);
}

void FreeRuns::set(std::uint64_t first, std::uint64_t length) {
  auto [it, added] = runs_.try_emplace(first, length);
  if (!added) {
    unindex(first, it->second);
    it->second = length;
  }
  index(first, length);
  // Runs never overlap: every caller has taken out what the run covers.
  DZ_ASSERT(length > 0 && first + length > first);
  DZ_ASSERT(it == runs_.begin() || std::prev(it)->first + std::prev(it)->second <= first);
  DZ_ASSERT(std::next(it) == runs_.end() || first + length <= std::next(it)->first);
  if (logging_) changed_.push_back(first);
}

void FreeRuns::erase(std::uint64_t first) {
  auto it = runs_.find(first);
  if (it == runs_.end()) return;
  unindex(first, it->second);
  runs_.erase(it);
  if (logging_) changed_.push_back(first);
}

FreeRuns::const_iterator FreeRuns::first_fit(std::uint64_t count, std::uint64_t limit) const {
  DZ_ASSERT(count > 0);
  std::uint64_t best = UINT64_MAX;
  if (count == 1) {
    if (!runs_.empty()) best = runs_.begin()->first;
  } else {
    // The lowest run of each length from `count` on; among the longest
    // ones, the lowest long enough.
    for (std::uint64_t length = count; length < kLongRun; ++length) {
      const auto& runs = by_length_[length - 2];
      if (!runs.empty()) best = std::min(best, *runs.begin());
    }
    for (std::uint64_t first : by_length_[kLongRun - 2]) {
      if (first >= best) break;
      if (runs_.find(first)->second >= count) {
        best = first;
        break;
      }
    }
  }
  if (best == UINT64_MAX || best >= limit || count > limit - best) return runs_.end();
  return runs_.find(best);
}

void FreeRuns::start_log() {
  logging_ = true;
  changed_.clear();
}

std::vector<std::uint64_t> FreeRuns::take_changes() {
  std::vector<std::uint64_t> changed = std::move(changed_);
  changed_.clear();
  std::sort(changed.begin(), changed.end());
  changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
  return changed;
}

std::uint64_t page_limit(std::uint32_t page_size) { return max_page_count(page_size); }

Result<std::uint64_t> allocate_page(PageSpace& space) {
  std::uint64_t page;
  if (!space.released_own.empty()) {
    page = *space.released_own.begin();
    space.released_own.erase(space.released_own.begin());
  } else if (!space.free_runs.empty()) {
    page = take_from_run(space.free_runs, space.free_runs.begin(), 1);
  } else {
    if (space.page_count >= space.max_page_count) return fail(no_pages_left(space));
    page = space.page_count++;
  }
  space.allocated.insert(page);
  return page;
}

std::optional<std::uint64_t> allocate_run_below(PageSpace& space, std::uint64_t count,
                                                std::uint64_t limit) {
  auto it = space.free_runs.first_fit(count, limit);
  if (it == space.free_runs.end()) return std::nullopt;
  std::uint64_t first = take_from_run(space.free_runs, it, count);
  for (std::uint64_t p = first; p < first + count; ++p) space.allocated.insert(p);
  return first;
}

Result<std::uint64_t> allocate_run(PageSpace& space, std::uint64_t count) {
  if (auto first = allocate_run_below(space, count, UINT64_MAX)) return *first;
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
  for (std::uint64_t p = first; p < first + count; ++p) space.allocated.insert(p);
  return first;
}

void release_page(PageSpace& space, std::uint64_t page) {
  if (space.allocated.erase(page) != 0) {
    space.released_own.insert(page);
  } else {
    space.released_published.push_back(page);
  }
}

bool add_free_run(FreeRuns& runs, std::uint64_t first, std::uint64_t length) {
  if (length == 0 || first + length < first) return false;
  std::uint64_t end = first + length;
  auto next = runs.lower_bound(first);
  if (next != runs.end() && next->first < end) return false;
  auto prev = next == runs.begin() ? runs.end() : std::prev(next);
  if (prev != runs.end() && prev->first + prev->second > first) return false;

  if (next != runs.end() && next->first == end) {
    length += next->second;
    runs.erase(next->first);
  }
  if (prev != runs.end() && prev->first + prev->second == first) {
    runs.set(prev->first, prev->second + length);
  } else {
    runs.set(first, length);
  }
  return true;
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
