#include "btree/pager/page_cache.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <new>

#include "format/bytes.hpp"
#include "invariant.hpp"
#include "storage/block_arena.hpp"

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
  mask_hint.store(slots.size() - 1, std::memory_order_relaxed);
  slots_hint.store(slots.data(), std::memory_order_relaxed);
}

void PageCache::Shard::remove(std::size_t at, Gone& gone, const PageCache& cache) {
  Slot& leaving = slots[at];
  Place& place_of = clock[leaving.clock];
  charged -= place_of.charge;
  place_of = Place{};
  free.push_back(leaving.clock);
  if (leaving.published) {
    cache.unpublish(leaving.page.get(), leaving.key.page);
    gone.retired.push_back(std::move(leaving.page));
  } else {
    cache.unplaced_.fetch_sub(1, std::memory_order_relaxed);
    gone.dropped.push_back(std::move(leaving.page));
  }
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
  // Four places per page the budget holds: a file four times the cache has
  // each of its pages in a place of its own. A reader beside a writer meets
  // page numbers well past the file's length when it opened: what the
  // writer's commits since took at the end, while the pages they freed wait
  // to be reused. With one place per page those shared places, and every
  // entry that lost its place went the locked road. Sixteen bytes a place
  // keep the table of a large cache within the processor's nearer caches,
  // where the index's slots are a line each; a file's pages sit in the
  // table's first places in order, so a larger table spreads them no wider.
  const std::size_t pages = budget_ / std::max<std::size_t>(page_size, 1);
  const std::size_t places =
      std::bit_ceil(std::clamp<std::size_t>(4 * pages, kMinEntries, kMaxTablePlaces));
  // Mapped on its own, backed by huge pages: a lookup reads a place at
  // every level, all over the table.
  auto* table = static_cast<TablePlace*>(block_arena::map_table(places * sizeof(TablePlace)));
  std::uninitialized_default_construct_n(table, places);
  table_ = std::unique_ptr<TablePlace[], block_arena::UnmapTable<TablePlace>>(table, {places});
  table_mask_ = places - 1;
  // A mark per page the budget holds: marks are hashes, spread over all.
  const std::size_t marks =
      std::bit_ceil(std::clamp<std::size_t>(pages, kMinEntries, kMaxTablePlaces));
  successions_ = std::unique_ptr<Succession[], block_arena::UnmapTable<Succession>>(
      static_cast<Succession*>(block_arena::map_table(marks * sizeof(Succession))), {marks});
  // Two marks a line share a bucket (kMarksPerBucket).
  succession_mask_ = marks / kMarksPerBucket - 1;
  succession_locks_ = std::make_unique<SuccessionLock[]>(kSuccessionLocks);
}

void PageCache::unpublish(const CachedPage* entry, std::uint64_t page) const {
  TablePlace& place = table_[page & table_mask_];
  const CachedPage* expected = entry;
  // Before the entry is retired (which advances the epoch): a reader pinned
  // after that cannot find it. The bytes' address stays, as a hint.
  if (!place.entry.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst)) {
    // Another entry took its place (publish), and counted it then.
    unplaced_.fetch_sub(1, std::memory_order_relaxed);
  }
}

void PageCache::publish(const CachedPage* entry, const std::uint8_t* bytes) {
  TablePlace& at = table_[entry->page_number() & table_mask_];
  at.bytes.store(bytes, std::memory_order_relaxed);
  // An entry leaves its place once, here or in unpublish: whichever of the
  // two meets it there counts it.
  if (at.entry.exchange(entry, std::memory_order_acq_rel) != nullptr)
    unplaced_.fetch_add(1, std::memory_order_relaxed);
}

void PageCache::prefetch_slot(std::uint64_t page) const {
  const std::uint64_t hash = hash_of(page);
  const Shard& shard = shard_of(hash);
  const Slot* slots = shard.slots_hint.load(std::memory_order_relaxed);
  if (slots != nullptr)
    __builtin_prefetch(slots + (hash & shard.mask_hint.load(std::memory_order_relaxed)));
}

void PageCache::let_go(Gone& gone) const {
  epochs_.retire(gone.retired);
  gone.dropped.clear();
}

PageCache::~PageCache() { give_back_.armed = charged_bytes() >= block_arena::kGiveBackAfter; }

PageCache::GiveBackFreed::~GiveBackFreed() {
  if (armed) block_arena::give_back_freed_memory();
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
  const std::uint64_t mark = page->succession();
  const std::uint64_t commit = page->header().commit_id;
  Shard& shard = shard_of(hash);
  // The image this one succeeds, when the mark's place names one: its slot
  // and its table place, long untouched, are on their way while the shard
  // takes the new entry, rather than asked for only when supersede drops it.
  if (mark != 0) prefetch_succeeded(mark, key.page);
  // Entries are dropped outside the lock: a parsed node may be large.
  Gone gone;
  bool kept = false;
  {
    std::lock_guard lock(shard.mutex);
    // The one under the same stamp is replaced, the others are dead.
    shard.remove_images(key.page, hash, gone, *this);
    if (charge <= shard_budget_) {
      evict_for(shard, charge, gone);
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
      // Entries of their own parser go into peek()'s table too, over
      // whatever shared their place there (it stays in the cache, and is
      // retired when it leaves).
      const CachedPage* entry = page.get();
      const bool published = parser != nullptr && entry->parsed_by_ == parser;
      shard.grow_for_one_more();
      shard.place(Slot{key, std::move(page), bytes, parser, c, false, published});
      ++shard.count;
      shard.charged += charge;
      if (published)
        publish(entry, bytes);
      else
        unplaced_.fetch_add(1, std::memory_order_relaxed);
      kept = true;
    }
  }
  if (kept && mark != 0) supersede(mark, key.page, commit, key.stamp, gone);
  let_go(gone);
}

PageCache::Succession* PageCache::bucket_of(std::uint64_t mark) const {
  return &successions_[(mark & succession_mask_) * kMarksPerBucket];
}

void PageCache::prefetch_succeeded(std::uint64_t mark, std::uint64_t page) {
  // Read without the lock, as a hint: supersede reads the bucket again
  // under it. Atomic, as supersede's writes of the bucket are.
  Succession* bucket = bucket_of(mark);
  for (std::size_t i = 0; i < kMarksPerBucket; ++i) {
    Succession& noted = bucket[i];
    if (std::atomic_ref(noted.mark).load(std::memory_order_relaxed) != mark) continue;
    const std::uint64_t older = std::atomic_ref(noted.page).load(std::memory_order_relaxed);
    if (older == page) continue;
    prefetch_slot(older);
    __builtin_prefetch(&table_[older & table_mask_]);
  }
}

void PageCache::supersede(std::uint64_t mark, std::uint64_t page, std::uint64_t commit,
                          const PageStamp& stamp, Gone& gone) {
  // Images to drop once the lock is let go: a successor drops the newest
  // image noted and a straggler noted beside it.
  struct Noted {
    std::uint64_t page;
    std::uint64_t stamp_word;
  };
  Noted drops[kMarksPerBucket];
  std::size_t drop_count = 0;
  {
    std::lock_guard lock(succession_locks_[(mark & succession_mask_) % kSuccessionLocks].mutex);
    Succession* bucket = bucket_of(mark);
    // The places noting this mark (its newest image, and at most one older
    // one), and the place of another mark noted longest ago (an empty
    // place's commit is 0).
    Succession* newest = nullptr;
    Succession* straggler = nullptr;
    Succession* other = nullptr;
    for (std::size_t i = 0; i < kMarksPerBucket; ++i) {
      Succession& at = bucket[i];
      if (at.mark != mark) {
        if (other == nullptr || at.commit < other->commit) other = &at;
      } else if (newest == nullptr || at.commit > newest->commit) {
        straggler = newest;
        newest = &at;
      } else {
        straggler = &at;
      }
    }
    const std::uint64_t word = word_of(stamp);
    // Atomic stores of the mark and page: prefetch_succeeded reads the
    // places without the lock.
    const auto note = [&](Succession& at) {
      std::atomic_ref(at.mark).store(mark, std::memory_order_relaxed);
      std::atomic_ref(at.page).store(page, std::memory_order_relaxed);
      at.commit = commit;
      at.stamp_word = word;
    };
    // An image noted that this one replaces: gone, unless it has this
    // page number (inserting this image dropped every other image of it).
    const auto drop = [&](Succession& at) {
      if (at.page != page) drops[drop_count++] = Noted{at.page, at.stamp_word};
    };
    if (newest == nullptr) {
      // The mark's first image here: another mark's place, whose image is
      // then left to the clock.
      note(*other);
    } else if (commit > newest->commit) {
      // The successor: every older image of the node is dead for a reader
      // of this commit or later.
      drop(*newest);
      note(*newest);
      if (straggler != nullptr) {
        drop(*straggler);
        std::atomic_ref(straggler->mark).store(0, std::memory_order_relaxed);
        straggler->commit = 0;
      }
    } else if (commit == newest->commit) {
      // The same image again, or two nodes of one commit whose marks a hash
      // mixed: noted, nothing dropped.
      note(*newest);
    } else if (straggler != nullptr) {
      // An image older than the newest, read for an older snapshot (a
      // thread that took its snapshot before another read the newer one):
      // the older of the two stragglers goes.
      if (commit > straggler->commit) {
        drop(*straggler);
        note(*straggler);
      }
    } else if (other != nullptr && other->mark == 0) {
      // Noted beside the newest, so that the successor drops it too; with
      // no empty place it is left to the clock.
      note(*other);
    }
  }
  // Their slots and table places were asked for as the insert began
  // (prefetch_succeeded).
  // Not under the lock above: a shard's lock is never taken inside it.
  for (std::size_t i = 0; i < drop_count; ++i) {
    const std::uint64_t hash = hash_of(drops[i].page);
    Shard& shard = shard_of(hash);
    std::lock_guard lock(shard.mutex);
    shard.remove_image(drops[i].page, hash, drops[i].stamp_word, gone, *this);
  }
}

void PageCache::evict_for(Shard& shard, std::size_t charge, Gone& gone) {
  while (shard.charged + charge > shard_budget_ && shard.count > 0) {
    if (shard.hand >= shard.clock.size()) shard.hand = 0;
    const Place& at = shard.clock[shard.hand];
    if (at.slot == kFreePlace) {
      ++shard.hand;
      continue;
    }
    Slot& victim = shard.slots[at.slot];
    const CachedPage& entry = *victim.page;
    if (victim.referenced || entry.peeked_.load(std::memory_order_relaxed)) {
      // Used since the hand last passed: spare it once. Ends, as every
      // spared entry is unmarked.
      victim.referenced = false;
      entry.peeked_.store(false, std::memory_order_relaxed);
    } else {
      shard.remove(at.slot, gone, *this);
    }
    ++shard.hand;
  }
}

void PageCache::Shard::remove_image(std::uint64_t page, std::uint64_t hash,
                                    std::uint64_t stamp_word, Gone& gone, const PageCache& cache) {
  if (slots.empty()) return;
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = hash & mask; slots[i].page != nullptr; i = (i + 1) & mask) {
    if (slots[i].key.page == page && word_of(slots[i].key.stamp) == stamp_word) {
      remove(i, gone, cache);
      return;
    }
  }
}

void PageCache::Shard::remove_images(std::uint64_t page, std::uint64_t hash, Gone& gone,
                                     const PageCache& cache) {
  if (slots.empty()) return;
  // Every image of a page number sits in the run from its home.
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = hash & mask; slots[i].page != nullptr;) {
    if (slots[i].key.page == page) {
      // The run shifts back into `i`: look at it again.
      remove(i, gone, cache);
    } else {
      i = (i + 1) & mask;
    }
  }
}

void PageCache::drop(std::uint64_t page) {
  const std::uint64_t hash = hash_of(page);
  Shard& shard = shard_of(hash);
  // Let go of outside the lock, as in `insert`. A writer drops a page for
  // each node it loads: the lists keep their room on its thread (let_go
  // leaves them empty).
  thread_local Gone gone;
  {
    std::lock_guard lock(shard.mutex);
    shard.remove_images(page, hash, gone, *this);
  }
  let_go(gone);
}

void PageCache::clear() {
  for (std::size_t i = 0; i < shard_count_; ++i) {
    Gone gone;
    {
      Shard& shard = shards_[i];
      std::lock_guard lock(shard.mutex);
      for (Slot& slot : shard.slots) {
        if (slot.page == nullptr) continue;
        if (slot.published) {
          unpublish(slot.page.get(), slot.key.page);
          gone.retired.push_back(std::move(slot.page));
        } else {
          unplaced_.fetch_sub(1, std::memory_order_relaxed);
          gone.dropped.push_back(std::move(slot.page));
        }
      }
      shard.slots.clear();
      shard.slots_hint.store(nullptr, std::memory_order_relaxed);
      shard.clock.clear();
      shard.free.clear();
      shard.hand = 0;
      shard.count = 0;
      shard.charged = 0;
    }
    let_go(gone);
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
