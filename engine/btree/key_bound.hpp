// Bounds of a key range and the answers of a scan's visitor. Shared by the
// tree access of a transaction and the B-tree scans below it.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace deziro {

enum class BoundKind : std::uint8_t { Unbounded, Included, Excluded };

// One end of a key range. The key is owned, so a scan can reopen its range
// from the last key it read after the leaf it came from is gone.
struct KeyBound {
  BoundKind kind = BoundKind::Unbounded;
  std::vector<std::uint8_t> key;

  static KeyBound unbounded() { return {}; }
  static KeyBound included(std::span<const std::uint8_t> key) {
    return {BoundKind::Included, {key.begin(), key.end()}};
  }
  static KeyBound excluded(std::span<const std::uint8_t> key) {
    return {BoundKind::Excluded, {key.begin(), key.end()}};
  }
  bool is_unbounded() const { return kind == BoundKind::Unbounded; }
};

// What a scan's visitor answers after each entry: go on, stop the scan, or
// end this pass so the scan reopens its range after the last key read.
enum class VisitAnswer : std::uint8_t { Continue, Stop, Pause };

}  // namespace deziro
