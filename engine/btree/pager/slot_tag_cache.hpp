// Per-file cache of slot hints: for one leaf page and one field id, the
// offset of that field's value in each record of the page, so that a later
// filtered scan of the same page image finds the field without walking the
// record. An entry is keyed by the page number and the page's stamp, so it
// describes exactly one immutable page image and can be shared by every
// snapshot and write transaction of the file. Bounded by a byte budget,
// oldest entries evicted first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "format/page.hpp"

namespace deziro {

using SlotHints = std::vector<std::uint16_t>;

class SlotTagCache {
 public:
  // The admission set is emptied once it holds more than this many pairs.
  static constexpr std::size_t kMaxAdmitted = 1023;

  struct Completed {
    std::uint64_t page = 0;
    PageStamp stamp;
    SlotHints hints;
  };

  explicit SlotTagCache(std::size_t budget_bytes) : budget_(budget_bytes) {}
  SlotTagCache(const SlotTagCache&) = delete;
  SlotTagCache& operator=(const SlotTagCache&) = delete;

  // Whether (tree, field) was scanned before; adds it when not.
  bool admit(std::uint64_t tree_id, std::uint64_t field_id);
  // The hints of a page image for a field, or null.
  std::shared_ptr<const SlotHints> lookup(std::uint64_t page, const PageStamp& stamp,
                                          std::uint64_t field_id) const;
  // Stores the arrays in order (replacing an entry of the same key), then
  // evicts the oldest entries while the arrays take more than the budget.
  void insert_all(std::uint64_t field_id, std::vector<Completed> arrays);

  std::size_t budget() const noexcept { return budget_; }
  std::size_t charged() const;
  std::size_t entry_count() const;

 private:
  struct Key {
    std::uint64_t page;
    std::array<std::uint8_t, kPageStampSize> stamp;
    std::uint64_t field_id;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const noexcept;
  };
  struct PairHash {
    std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& p) const noexcept {
      return std::hash<std::uint64_t>()(p.first * 0x9E3779B97F4A7C15ULL ^ p.second);
    }
  };

  const std::size_t budget_;
  mutable std::mutex mutex_;
  std::unordered_map<Key, std::shared_ptr<const SlotHints>, KeyHash> map_;
  std::deque<Key> queue_;
  std::size_t charged_ = 0;
  std::unordered_set<std::pair<std::uint64_t, std::uint64_t>, PairHash> admitted_;
};

}  // namespace deziro
