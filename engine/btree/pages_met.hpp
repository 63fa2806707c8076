// The pages a walk over untrusted pages has met. No page belongs to two
// places of a sound file, so a walk that meets one again has found damage.
// Remembering them bounds a walk over crafted pages (branches whose children
// all name one page) by the size of the file, instead of fan-out to the
// power of the tree's height.
#pragma once

#include <cstdint>
#include <iterator>
#include <map>

namespace deziro {

class PagesMet {
 public:
  // Marks pages [first, first + count) as met: false when one of them was
  // met before, or the run is empty or wraps.
  bool first_meeting(std::uint64_t first, std::uint64_t count) {
    if (count == 0 || first + count < first) return false;
    auto next = runs_.lower_bound(first);
    if (next != runs_.end() && next->first < first + count) return false;
    if (next != runs_.begin() && std::prev(next)->second > first) return false;
    runs_.emplace_hint(next, first, first + count);
    return true;
  }

 private:
  // First page of a run -> one past its last page.
  std::map<std::uint64_t, std::uint64_t> runs_;
};

}  // namespace deziro
