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

std::uint64_t PageCache::hash_of(std::uint64_t page, const PageStamp& stamp) {
  // The stamp is a MAC or a strong hash already; mix in the page number and
  // spread the result over all 64 bits.
  std::uint64_t h = load_u64_le(stamp.bytes.data()) ^ (page * 0x9E3779B97F4A7C15ull);
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  h ^= h >> 32;
  return h;
}

std::size_t PageCache::Shard::find(const Key& key, std::uint32_t hash) const {
  if (slots.empty()) return kNoSlot;
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots[i];
    if (slot.entry == 0) return kNoSlot;
    if (slot.hash == hash && entries[slot.entry - 1].key == key) return i;
  }
}

void PageCache::Shard::add_slot(std::uint32_t hash, std::uint32_t entry) {
  // Into the first empty slot from its home.
  auto place = [this](const Slot& s) {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = s.hash & mask;
    while (slots[i].entry != 0) i = (i + 1) & mask;
    slots[i] = s;
  };
  if ((count + 1) * 2 > slots.size()) {
    std::vector<Slot> old(std::max(kFirstSlots, slots.size() * 2));
    old.swap(slots);
    for (const Slot& s : old)
      if (s.entry != 0) place(s);
  }
  place(Slot{hash, entry + 1});
  ++count;
}

void PageCache::Shard::erase_slot(std::size_t at) {
  // Moves back every later slot of the run that may sit at `at`, so that no
  // probe meets an empty slot before its key.
  const std::size_t mask = slots.size() - 1;
  std::size_t hole = at;
  for (std::size_t j = (at + 1) & mask; slots[j].entry != 0; j = (j + 1) & mask) {
    const std::size_t home = slots[j].hash & mask;
    if (((j - home) & mask) >= ((j - hole) & mask)) {
      slots[hole] = slots[j];
      hole = j;
    }
  }
  slots[hole] = Slot{};
  --count;
}

void PageCache::Shard::remove(std::size_t at,
                              std::vector<std::shared_ptr<const CachedPage>>& dropped) {
  const std::uint32_t e = slots[at].entry - 1;
  Entry& entry = entries[e];
  charged -= entry.charge;
  dropped.push_back(std::move(entry.page));
  entry = Entry{};
  free.push_back(e);
  erase_slot(at);
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
  const Key key{page, stamp};
  const std::uint64_t hash = hash_of(page, stamp);
  Shard& shard = shard_of(hash);
  std::lock_guard lock(shard.mutex);
  const std::size_t at = shard.find(key, static_cast<std::uint32_t>(hash));
  if (at == kNoSlot) return nullptr;
  Entry& entry = shard.entries[shard.slots[at].entry - 1];
  if (entry.parser != parser) return nullptr;
  // Marking beats moving the entry: nothing of other entries is touched, so
  // a hit costs no cache misses beyond its own. Only a change is written: a
  // line that every reader of a hot page wrote to would move between their
  // processors on every hit.
  if (!entry.referenced) entry.referenced = true;
  // The first lines of the page, where a node's search starts, are on their
  // way while the reference is taken.
  __builtin_prefetch(entry.bytes);
  __builtin_prefetch(entry.bytes + 64);
  return entry.page;
}

void PageCache::insert(std::shared_ptr<const CachedPage> page, PageParser parser) {
  const Key key{page->page_number(), page->stamp()};
  const std::uint64_t hash = hash_of(key.page, key.stamp);
  const auto low = static_cast<std::uint32_t>(hash);
  const std::size_t charge = page->cache_charge();
  Shard& shard = shard_of(hash);
  // Entries are dropped outside the lock: a parsed node may be large.
  std::vector<std::shared_ptr<const CachedPage>> dropped;
  {
    std::lock_guard lock(shard.mutex);
    if (std::size_t at = shard.find(key, low); at != kNoSlot) shard.remove(at, dropped);
    if (charge > shard_budget_) return;
    while (shard.charged + charge > shard_budget_ && shard.count > 0) {
      if (shard.hand >= shard.entries.size()) shard.hand = 0;
      Entry& victim = shard.entries[shard.hand];
      if (victim.page == nullptr) {
        ++shard.hand;
      } else if (victim.referenced) {
        // Used since the hand last passed: spare it once. Ends, as every
        // spared entry is unmarked.
        victim.referenced = false;
        ++shard.hand;
      } else {
        const std::size_t at = shard.find(
            victim.key, static_cast<std::uint32_t>(hash_of(victim.key.page, victim.key.stamp)));
        DZ_ASSERT(at != kNoSlot);
        shard.remove(at, dropped);
        ++shard.hand;
      }
    }
    std::uint32_t e;
    if (!shard.free.empty()) {
      // The newest free entry: after an eviction, the one just behind the
      // hand, which the hand reaches last.
      e = shard.free.back();
      shard.free.pop_back();
    } else {
      e = static_cast<std::uint32_t>(shard.entries.size());
      shard.entries.emplace_back();
    }
    const std::uint8_t* bytes = page->bytes().data();
    shard.entries[e] =
        Entry{key, std::move(page), bytes, parser, static_cast<std::uint32_t>(charge), false};
    shard.add_slot(low, e);
    shard.charged += charge;
  }
}

void PageCache::clear() {
  for (std::size_t i = 0; i < shard_count_; ++i) {
    std::vector<Entry> gone;
    {
      Shard& shard = shards_[i];
      std::lock_guard lock(shard.mutex);
      gone.swap(shard.entries);
      shard.free.clear();
      shard.slots.clear();
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
