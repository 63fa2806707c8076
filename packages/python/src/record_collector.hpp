// The sink into which the engine copies found records while the interpreter
// lock is released: one growing byte arena and the end offset of each
// record, so that no Python object is made before the lock is back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"

namespace deziro::binding {

class RecordCollector {
 public:
  // Copies one record; never refuses one, so the engine's limit alone
  // decides how many arrive.
  Status push(std::span<const std::uint8_t> record) {
    arena_.insert(arena_.end(), record.begin(), record.end());
    ends_.push_back(arena_.size());
    return ok();
  }

  std::size_t size() const noexcept { return ends_.size(); }
  bool empty() const noexcept { return ends_.empty(); }

  // Record `i`, in the order the engine delivered them.
  std::span<const std::uint8_t> record(std::size_t i) const noexcept {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::span<const std::uint8_t>(arena_).subspan(begin, ends_[i] - begin);
  }

  // The callable the engine's find and get take.
  auto sink() {
    return [this](std::span<const std::uint8_t> record) { return push(record); };
  }

 private:
  std::vector<std::uint8_t> arena_;
  std::vector<std::size_t> ends_;
};

}  // namespace deziro::binding
