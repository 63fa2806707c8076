#include "btree/pager/slot_tag_cache.hpp"

#include <cstring>

namespace deziro {

std::size_t SlotTagCache::KeyHash::operator()(const Key& k) const noexcept {
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  std::memcpy(&a, k.stamp.data(), 8);
  std::memcpy(&b, k.stamp.data() + 8, 8);
  std::uint64_t h = k.page * 0x9E3779B97F4A7C15ULL;
  h ^= a + 0x7F4A7C159E3779B9ULL + (h << 6) + (h >> 2);
  h ^= b + (h << 6) + (h >> 2);
  h ^= k.field_id * 0xC2B2AE3D27D4EB4FULL;
  return static_cast<std::size_t>(h);
}

bool SlotTagCache::admit(std::uint64_t tree_id, std::uint64_t field_id) {
  std::lock_guard lock(mutex_);
  const auto pair = std::make_pair(tree_id, field_id);
  if (admitted_.contains(pair)) return true;
  if (admitted_.size() > kMaxAdmitted) admitted_.clear();
  admitted_.insert(pair);
  return false;
}

std::shared_ptr<const SlotHints> SlotTagCache::lookup(std::uint64_t page, const PageStamp& stamp,
                                                      std::uint64_t field_id) const {
  std::lock_guard lock(mutex_);
  const auto it = map_.find(Key{page, stamp.bytes, field_id});
  return it == map_.end() ? nullptr : it->second;
}

void SlotTagCache::insert_all(std::uint64_t field_id, std::vector<Completed> arrays) {
  std::vector<std::pair<Key, std::shared_ptr<const SlotHints>>> shared;
  shared.reserve(arrays.size());
  for (Completed& c : arrays)
    shared.emplace_back(Key{c.page, c.stamp.bytes, field_id},
                        std::make_shared<const SlotHints>(std::move(c.hints)));
  std::lock_guard lock(mutex_);
  for (auto& [key, hints] : shared) {
    auto it = map_.find(key);
    if (it != map_.end()) {
      it->second = std::move(hints);
      continue;
    }
    charged_ += 2 * hints->size();
    map_.emplace(key, std::move(hints));
    queue_.push_back(key);
  }
  while (charged_ > budget_ && !queue_.empty()) {
    const Key oldest = queue_.front();
    queue_.pop_front();
    auto it = map_.find(oldest);
    if (it == map_.end()) continue;
    charged_ -= 2 * it->second->size();
    map_.erase(it);
  }
}

std::size_t SlotTagCache::charged() const {
  std::lock_guard lock(mutex_);
  return charged_;
}

std::size_t SlotTagCache::entry_count() const {
  std::lock_guard lock(mutex_);
  return map_.size();
}

}  // namespace deziro
