#include "btree/pager/page_cache.hpp"

#include <algorithm>
#include <bit>

#include "format/bytes.hpp"
#include "invariant.hpp"

namespace deziro {

namespace {

// One shard per 64 pages of budget, at most 16: small caches keep a single
// clock (and so the exact floor of entries), large ones spread their locks.
std::size_t shard_count_for(std::size_t budget, std::size_t page_size) {
  std::size_t pages = budget / std::max<std::size_t>(page_size, 1);
  std::size_t shards = std::bit_floor(std::max<std::size_t>(pages / 64, 1));
  return std::min<std::size_t>(shards, 16);
}

constexpr std::size_t kFirstSlots = 16;
constexpr std::size_t kNoSlot = SIZE_MAX;

}  // namespace

std::uint64_t PageCache::hash_of(std::uint64_t page) {
  std::uint64_t h = page * 0x9E3779B97F4A7C15ull;
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  h ^= h >> 32;
  return h;
}

std::size_t PageCache::Shard::find(const Key& key, std::uint64_t hash) const {
  if (slots.empty()) return kNoSlot;
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots[i];
    if (slot.page == nullptr) return kNoSlot;
    if (slot.key == key) return i;
  }
}

void PageCache::Shard::place(Slot&& slot) {
  const std::size_t mask = slots.size() - 1;
  std::size_t i = hash_of(slot.key.page) & mask;
  while (slots[i].page != nullptr) i = (i + 1) & mask;
  clock[slot.clock].slot = static_cast<std::uint32_t>(i);
  slots[i] = std::move(slot);
}

void PageCache::Shard::grow_for_one_more() {
  if ((count + 1) * 2 <= slots.size()) return;
  std::vector<Slot> old(std::max(kFirstSlots, slots.size() * 2));
  old.swap(slots);
  for (Slot& s : old)
    if (s.page != nullptr) place(std::move(s));
}

void PageCache::Shard::remove(std::size_t at,
                              std::vector<std::shared_ptr<const CachedPage>>& dropped) {
  Slot& gone = slots[at];
  Place& place_of = clock[gone.clock];
  charged -= place_of.charge;
  place_of = Place{};
  free.push_back(gone.clock);
  dropped.push_back(std::move(gone.page));
  // Moves back every later slot of the run that may sit at `at`, so that no
  // probe meets an empty slot before its key.
  const std::size_t mask = slots.size() - 1;
  std::size_t hole = at;
  for (std::size_t j = (at + 1) & mask; slots[j].page != nullptr; j = (j + 1) & mask) {
    const std::size_t home = hash_of(slots[j].key.page) & mask;
    if (((j - home) & mask) >= ((j - hole) & mask)) {
      clock[slots[j].clock].slot = static_cast<std::uint32_t>(hole);
      slots[hole] = std::move(slots[j]);
      hole = j;
    }
  }
  slots[hole] = Slot{};
  --count;
}

PageCache::PageCache(std::size_t capacity_bytes, std::size_t page_size)
    : budget_(std::max(capacity_bytes, kMinEntries * page_size)),
      shard_count_(shard_count_for(budget_, page_size)) {
  shard_budget_ = budget_ / shard_count_;
  shards_ = std::make_unique<Shard[]>(shard_count_);
}

PageCache::Shard& PageCache::shard_of(std::uint64_t hash) const {
  return shards_[(hash >> 48) & (shard_count_ - 1)];
}

std::shared_ptr<const CachedPage> PageCache::get(std::uint64_t page, const PageStamp& stamp,
                                                 PageParser parser) const {
  const std::uint64_t hash = hash_of(page);
  Shard& shard = shard_of(hash);
  std::lock_guard lock(shard.mutex);
  const std::size_t at = shard.find(Key{page, stamp}, hash);
  if (at == kNoSlot) return nullptr;
  Slot& slot = shard.slots[at];
  if (slot.parser != parser) return nullptr;
  // Marking beats moving the entry: nothing of other entries is touched, so
  // a hit costs no cache misses beyond its own. Only a change is written: a
  // line that every reader of a hot page wrote to would move between their
  // processors on every hit.
  if (!slot.referenced) slot.referenced = true;
  // The first lines of the page, where a node's search starts, are on their
  // way while the reference is taken.
  __builtin_prefetch(slot.bytes);
  __builtin_prefetch(slot.bytes + 64);
  return slot.page;
}

void PageCache::insert(std::shared_ptr<const CachedPage> page, PageParser parser) {
  const Key key{page->page_number(), page->stamp()};
  const std::uint64_t hash = hash_of(key.page);
  const std::size_t charge = page->cache_charge();
  Shard& shard = shard_of(hash);
  // Entries are dropped outside the lock: a parsed node may be large.
  std::vector<std::shared_ptr<const CachedPage>> dropped;
  {
    std::lock_guard lock(shard.mutex);
    // The one under the same stamp is replaced, the others are dead.
    shard.remove_images(key.page, hash, dropped);
    if (charge > shard_budget_) return;
    while (shard.charged + charge > shard_budget_ && shard.count > 0) {
      if (shard.hand >= shard.clock.size()) shard.hand = 0;
      const Place& at = shard.clock[shard.hand];
      if (at.slot == kFreePlace) {
        ++shard.hand;
        continue;
      }
      Slot& victim = shard.slots[at.slot];
      if (victim.referenced) {
        // Used since the hand last passed: spare it once. Ends, as every
        // spared entry is unmarked.
        victim.referenced = false;
      } else {
        shard.remove(at.slot, dropped);
      }
      ++shard.hand;
    }
    std::uint32_t c;
    if (!shard.free.empty()) {
      // The newest free place: after an eviction, the one just behind the
      // hand, which the hand reaches last.
      c = shard.free.back();
      shard.free.pop_back();
    } else {
      c = static_cast<std::uint32_t>(shard.clock.size());
      shard.clock.emplace_back();
    }
    shard.clock[c].charge = static_cast<std::uint32_t>(charge);
    const std::uint8_t* bytes = page->bytes().data();
    shard.grow_for_one_more();
    shard.place(Slot{key, std::move(page), bytes, parser, c, false});
    ++shard.count;
    shard.charged += charge;
  }
}

void PageCache::Shard::remove_images(std::uint64_t page, std::uint64_t hash,
                                     std::vector<std::shared_ptr<const CachedPage>>& dropped) {
  if (slots.empty()) return;
  // Every image of a page number sits in the run from its home.
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = hash & mask; slots[i].page != nullptr;) {
    if (slots[i].key.page == page) {
      // The run shifts back into `i`: look at it again.
      remove(i, dropped);
    } else {
      i = (i + 1) & mask;
    }
  }
}

void PageCache::drop(std::uint64_t page) {
  const std::uint64_t hash = hash_of(page);
  Shard& shard = shard_of(hash);
  // Freed outside the lock, as in `insert`.
  std::vector<std::shared_ptr<const CachedPage>> dropped;
  std::lock_guard lock(shard.mutex);
  shard.remove_images(page, hash, dropped);
}

void PageCache::clear() {
  for (std::size_t i = 0; i < shard_count_; ++i) {
    std::vector<Slot> gone;
    {
      Shard& shard = shards_[i];
      std::lock_guard lock(shard.mutex);
      gone.swap(shard.slots);
      shard.clock.clear();
      shard.free.clear();
      shard.hand = 0;
      shard.count = 0;
      shard.charged = 0;
    }
  }
}

std::size_t PageCache::sum_over_shards(std::size_t Shard::*field) const {
  std::size_t total = 0;
  for (std::size_t i = 0; i < shard_count_; ++i) {
    std::lock_guard lock(shards_[i].mutex);
    total += shards_[i].*field;
  }
  return total;
}

std::size_t PageCache::charged_bytes() const { return sum_over_shards(&Shard::charged); }

std::size_t PageCache::entry_count() const { return sum_over_shards(&Shard::count); }

}  // namespace deziro
