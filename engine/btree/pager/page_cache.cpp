#include "btree/pager/page_cache.hpp"

#include <algorithm>
#include <bit>

#include "format/bytes.hpp"

namespace deziro {

namespace {

// One shard per 64 pages of budget, at most 16: small caches keep a single
// clock (and so the exact floor of entries), large ones spread their locks.
std::size_t shard_count_for(std::size_t budget, std::size_t page_size) {
  std::size_t pages = budget / std::max<std::size_t>(page_size, 1);
  std::size_t shards = std::bit_floor(std::max<std::size_t>(pages / 64, 1));
  return std::min<std::size_t>(shards, 16);
}

}  // namespace

std::size_t PageCache::KeyHash::operator()(const Key& key) const {
  // The stamp is a MAC or a strong hash already; mix in the page number.
  std::uint64_t h = load_u64_le(key.stamp.bytes.data()) ^ (key.page * 0x9E3779B97F4A7C15ull);
  return static_cast<std::size_t>(h ^ (h >> 29));
}

PageCache::PageCache(std::size_t capacity_bytes, std::size_t page_size)
    : budget_(std::max(capacity_bytes, kMinEntries * page_size)),
      shard_count_(shard_count_for(budget_, page_size)) {
  shard_budget_ = budget_ / shard_count_;
  shards_ = std::make_unique<Shard[]>(shard_count_);
}

PageCache::Shard& PageCache::shard_of(const Key& key) const {
  std::size_t h = KeyHash{}(key);
  return shards_[(h >> 7) & (shard_count_ - 1)];
}

std::shared_ptr<const CachedPage> PageCache::get(std::uint64_t page, const PageStamp& stamp,
                                                 PageParser parser) const {
  Key key{page, stamp};
  Shard& shard = shard_of(key);
  std::lock_guard lock(shard.mutex);
  auto found = shard.index.find(key);
  if (found == shard.index.end() || found->second->parser != parser) return nullptr;
  // Marking beats moving the entry to the front: no list links of other
  // entries are touched, so a hit costs no cache misses beyond its own.
  found->second->referenced = true;
  return found->second->page;
}

void PageCache::insert(std::shared_ptr<const CachedPage> page, PageParser parser) {
  Key key{page->page_number(), page->stamp()};
  std::size_t charge = page->cache_charge();
  Shard& shard = shard_of(key);
  // Entries are dropped outside the lock: a parsed node may be large.
  std::vector<std::shared_ptr<const CachedPage>> dropped;
  {
    std::lock_guard lock(shard.mutex);
    if (auto found = shard.index.find(key); found != shard.index.end()) {
      shard.charged -= found->second->charge;
      dropped.push_back(std::move(found->second->page));
      shard.ring.erase(found->second);
      shard.index.erase(found);
    }
    if (charge > shard_budget_) return;
    while (shard.charged + charge > shard_budget_ && !shard.ring.empty()) {
      Entry& victim = shard.ring.back();
      if (victim.referenced) {
        // Used since the hand last passed: spare it once. Ends, as every
        // spared entry is unmarked.
        victim.referenced = false;
        shard.ring.splice(shard.ring.begin(), shard.ring, std::prev(shard.ring.end()));
        continue;
      }
      shard.charged -= victim.charge;
      dropped.push_back(std::move(victim.page));
      shard.index.erase(victim.key);
      shard.ring.pop_back();
    }
    shard.ring.push_front(Entry{key, std::move(page), parser, charge, false});
    shard.index.emplace(key, shard.ring.begin());
    shard.charged += charge;
  }
}

void PageCache::clear() {
  for (std::size_t i = 0; i < shard_count_; ++i) {
    std::list<Entry> gone;
    {
      std::lock_guard lock(shards_[i].mutex);
      gone.swap(shards_[i].ring);
      shards_[i].index.clear();
      shards_[i].charged = 0;
    }
  }
}

std::size_t PageCache::charged_bytes() const {
  std::size_t total = 0;
  for (std::size_t i = 0; i < shard_count_; ++i) {
    std::lock_guard lock(shards_[i].mutex);
    total += shards_[i].charged;
  }
  return total;
}

std::size_t PageCache::entry_count() const {
  std::size_t total = 0;
  for (std::size_t i = 0; i < shard_count_; ++i) {
    std::lock_guard lock(shards_[i].mutex);
    total += shards_[i].index.size();
  }
  return total;
}

}  // namespace deziro
