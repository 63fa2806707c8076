// The cache of opened (and parsed) pages of one file, shared by all its
// transactions in the process and safe to use from many threads at once.
//
// Entries are keyed by page number and stamp: a page is never changed in
// place, so a (number, stamp) pair names one exact image, and a page number
// reused for new content simply misses. The budget is in bytes, at least 16
// pages' worth; entries not used lately are evicted to stay within it (a
// second-chance clock: a hit only marks its entry, so the hit path does not
// reorder anything).
//
// An image added under a page number drops the images cached under other
// stamps of that number. A page number is written again only once no
// snapshot can reach what it held, so those are dead for good; their memory
// goes back at once (to be reused by the next page read) instead of waiting
// for the clock.
//
// A node image also goes once the cache takes in its successor: an image
// that names the same mark (CachedPage::succession: the same tree, level and
// first key) from a later commit. Every snapshot that sees the later commit
// reaches the successor there, so the older image serves only snapshots
// older still, which a reader beside a writer has mostly ended: left to the
// clock, such images would pile up until the budget is spent, and every
// page read again would take memory the process has never touched. An image
// older than one the cache holds under its mark, read late for an older
// snapshot, goes with that one's successor too.
//
// Lookups that use an entry briefly (a tree reader's descent) may skip the
// lock and the reference count: peek() finds entries through a table indexed
// by page number, read without a lock by a caller pinned in epochs(), and an
// entry that leaves the cache while it may be in that table is retired there
// rather than dropped, so that it outlives every pin that could have found
// it. Callers that keep an entry (cursors, views held past the lookup) take
// the owning road through get().
//
// How the B-tree layer plugs in: it derives its parsed node from CachedPage
// (or wraps one), and hands Pager::fetch_page a PageParser that builds it
// from the opened page. The cache stores whatever the parser returned, so a
// hit gives back the parsed node itself, with no parsing and no file read;
// the layer then static_pointer_casts the result to its own type. Entries
// remember their parser, so a page cached by one parser is never handed to
// another as its type.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "adaptive_mutex.hpp"
#include "btree/pager/epoch.hpp"
#include "error.hpp"
#include "format/page.hpp"
#include "storage/aligned_buffer.hpp"
#include "storage/block_arena.hpp"

namespace deziro {

// A page read from the file and opened: its bytes are plaintext and passed
// their check.
struct OpenedPage {
  std::uint64_t page_number = 0;
  PageStamp stamp;
  PageHeader header;
  AlignedBuffer bytes;
};

class CachedPage;

// Builds the cached form of an opened page, or fails (for instance with
// CORRUPTED naming `path` when the layout's structure is broken).
using PageParser = Result<std::shared_ptr<const CachedPage>> (*)(OpenedPage page,
                                                                 std::string_view path);
// The succession mark (CachedPage::succession) a parser will give an
// opened page, worked out before it parses it; 0 for none.
using PageMarkHint = std::uint64_t (*)(std::span<const std::uint8_t> page);

// What the cache holds. A parser may derive from it to carry a parsed form
// beside the bytes; one that does names itself as `parsed_by`, which lets
// the entry be found without a lock (PageCache::peek).
class CachedPage {
 public:
  explicit CachedPage(OpenedPage page, PageParser parsed_by = nullptr)
      : page_(std::move(page)),
        parsed_by_(parsed_by),
        node_kind_(is_known_page_kind(page_.header.kind) &&
                   page_.header.kind != static_cast<std::uint8_t>(PageKind::Overflow) &&
                   page_kind_allows_level(page_.header.kind, page_.header.level)) {}
  virtual ~CachedPage() = default;
  CachedPage(const CachedPage&) = delete;
  CachedPage& operator=(const CachedPage&) = delete;

  std::uint64_t page_number() const { return page_.page_number; }
  const PageStamp& stamp() const { return page_.stamp; }
  const PageHeader& header() const { return page_.header; }
  std::span<const std::uint8_t> bytes() const { return page_.bytes.span(); }

  // Bytes charged against the cache budget; a parsed form that allocates
  // more than the page should add its own.
  virtual std::size_t cache_charge() const { return page_.bytes.size(); }

  // The mark this image shares with the images that replace it in later
  // commits, 0 for none. Two images of one snapshot never share one; a
  // mark shared by mistake (a hash that mixes two) only has an image read
  // again, never a wrong one returned.
  virtual std::uint64_t succession() const { return 0; }

  PageParser parsed_by() const { return parsed_by_; }
  // Whether the header names a node: a known kind other than overflow, at
  // a level its kind allows. Worked out once, so that a hit found without
  // a lock checks one flag where a fetch checks the three.
  bool node_kind() const { return node_kind_; }

 private:
  friend class PageCache;
  OpenedPage page_;
  PageParser parsed_by_;
  bool node_kind_;
  // Set by a lookup without the lock, which cannot mark its slot; the clock
  // spares an entry with either mark.
  mutable std::atomic<bool> peeked_{false};
};

// Whether two stamps are equal, as two 8-byte loads each (the array's own
// comparison is a call to memcmp, and peek() makes it at every level of
// every lookup).
inline bool same_stamp(const PageStamp& a, const PageStamp& b) {
  static_assert(sizeof a.bytes == 16);
  std::uint64_t x[2], y[2];
  std::memcpy(x, a.bytes.data(), sizeof x);
  std::memcpy(y, b.bytes.data(), sizeof y);
  return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
}

class PageCache {
 public:
  static constexpr std::size_t kMinEntries = 16;
  // The most places peek()'s table has (16 MiB of them).
  static constexpr std::size_t kMaxTablePlaces = std::size_t{1} << 20;
  // The lines of an entry prefetch_entry() asks for: a parsed node's
  // lookup reads four (its number, stamp and header; its view; its search
  // index and heads).
  static constexpr std::size_t kEntryLinesAhead = 4;

  // `capacity_bytes` is the configured cache size; the budget is never
  // below kMinEntries pages of `page_size`.
  PageCache(std::size_t capacity_bytes, std::size_t page_size);
  // A cache that held much gives the allocator's freed memory back to the
  // system once its entries are gone (block_arena::give_back_freed_memory):
  // the pages a writer put in it came from the allocator.
  ~PageCache();
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;

  // The entry under (page, stamp) made by `parser`, or null.
  std::shared_ptr<const CachedPage> get(std::uint64_t page, const PageStamp& stamp,
                                        PageParser parser) const;
  // The same without a lock or a reference, for a caller pinned in
  // epochs(): the entry stays valid until the pin ends. Finds only entries
  // made by the parser they name (CachedPage::parsed_by), and only while no
  // newer entry shares their place in a table indexed by page number; null
  // otherwise, when get() may still find it.
  const CachedPage* peek(std::uint64_t page, const PageStamp& stamp, PageParser parser) const {
    const TablePlace& place = table_[page & table_mask_];
    const CachedPage* entry = place.entry.load(std::memory_order_seq_cst);
    if (entry == nullptr) return nullptr;
    // The first lines of the page, where a node's search starts, are on
    // their way while the entry is read (a hint only: a prefetch of memory
    // since freed does no harm).
    const std::uint8_t* bytes = place.bytes.load(std::memory_order_relaxed);
    __builtin_prefetch(bytes);
    __builtin_prefetch(bytes + 64);
    if (entry->page_number() != page || !same_stamp(entry->stamp(), stamp) ||
        entry->parsed_by_ != parser)
      return nullptr;
    // Written only when it changes, as the slot's mark is.
    if (!entry->peeked_.load(std::memory_order_relaxed))
      entry->peeked_.store(true, std::memory_order_relaxed);
    return entry;
  }
  // Asks for the table place peek(page, ...) reads first, ahead of that
  // call (a hint only): a descent that knows which few children it may go
  // to next has their places on the way while it still searches the parent.
  void prefetch_place(std::uint64_t page) const { __builtin_prefetch(&table_[page & table_mask_]); }
  // Asks for the lines a lookup reads of the entry and of the page bytes
  // that the table place of `page` names (kEntryLinesAhead of the entry,
  // two of the bytes, as peek() asks for them), ahead of a peek() of it: a
  // descent that has chosen its child has them on the way while it still
  // reads the parent, rather than each line of the entry only when the
  // lookup reaches it. Hints only: nothing is read but the place, so the
  // entry may have left (a prefetch of memory since freed does no harm),
  // and nothing is marked.
  void prefetch_entry(std::uint64_t page) const {
    const TablePlace& place = table_[page & table_mask_];
    const auto* entry = reinterpret_cast<const char*>(place.entry.load(std::memory_order_relaxed));
    const std::uint8_t* bytes = place.bytes.load(std::memory_order_relaxed);
    // An empty place has nothing to ask for (and no line past a null).
    if (entry == nullptr || bytes == nullptr) return;
    for (std::size_t line = 0; line < kEntryLinesAhead; ++line)
      __builtin_prefetch(entry + 64 * line);
    __builtin_prefetch(bytes);
    __builtin_prefetch(bytes + 64);
  }
  // Whether get() surely misses every image of `page`: no entry is at its
  // place in peek()'s table, and every entry the cache holds is at its own.
  // Then a fetch need not take a shard's lock to look (a reader beside a
  // writer meets mostly such pages: numbers written again since it cached
  // them, whose old images went with their successors). Neither locks nor
  // orders anything: an insert racing with it may be missed, which costs
  // the caller a read of a page it could have found, never a wrong page.
  bool surely_missing(std::uint64_t page) const {
    return table_[page & table_mask_].entry.load(std::memory_order_relaxed) == nullptr &&
           unplaced_.load(std::memory_order_relaxed) == 0;
  }
  // Asks for the index slot where insert(page) starts (a hint only): a
  // fetch that skipped get() has it on the way while it reads the page.
  void prefetch_slot(std::uint64_t page) const;
  // Asks for the line where insert() looks up the images noted under
  // `mark` (a hint only; none for 0): a fetch that knows the mark of the
  // page it opened has it on the way while it parses the page.
  void prefetch_succession(std::uint64_t mark) const {
    if (mark != 0) __builtin_prefetch(bucket_of(mark));
  }
  // Where readers of peek() pin; entries it may have handed out are
  // retired there when they leave the cache.
  EpochDomain& epochs() const { return epochs_; }
  // Adds or replaces the entry of `page->page_number()` and `page->stamp()`,
  // evicting others as needed, and drops the image it succeeds (see
  // CachedPage::succession) when that one is older. An entry larger than a
  // shard's budget is not kept.
  void insert(std::shared_ptr<const CachedPage> page, PageParser parser);
  // Drops every image cached under page number `page`: a writer that stops
  // using a page knows its image will not be asked for again by its own
  // later transactions, and its room goes to a page that will be.
  void drop(std::uint64_t page);
  void clear();

  std::size_t budget_bytes() const { return budget_; }
  std::size_t charged_bytes() const;
  std::size_t entry_count() const;
  // Whether it holds more than 7/8 of its budget: a full cache evicts until
  // an insert fits, so it sits within an entry a shard below its budget,
  // never at it. Takes every shard's lock in turn.
  bool full() const { return charged_bytes() + budget_ / 8 >= budget_; }

 private:
  struct Key {
    std::uint64_t page;
    PageStamp stamp;
    friend bool operator==(const Key&, const Key&) = default;
  };
  // Mixed from the page number alone, so that every image of one page
  // number is found from the same place: the high bits pick the shard, the
  // low ones the place in its index.
  static std::uint64_t hash_of(std::uint64_t page);
  // An index slot holds the whole entry, so that a hit reads one 64-byte
  // line before the page's reference count.
  struct alignas(64) Slot {
    Key key;
    std::shared_ptr<const CachedPage> page;  // null: the slot is empty
    // The page's bytes, kept here so that a hit asks for them before it
    // waits on the page's reference count, which lives elsewhere.
    const std::uint8_t* bytes = nullptr;
    PageParser parser = nullptr;
    std::uint32_t clock = 0;  // its place in the clock
    // Set by a hit, cleared when the clock hand passes over the entry.
    bool referenced = false;
    // In the table peek() reads (now or before): it is retired, not
    // dropped, when it leaves.
    bool published = false;
  };
  // A place in the clock: the slot of its entry and the entry's charge.
  struct Place {
    std::uint32_t slot = kFreePlace;
    std::uint32_t charge = 0;
  };
  static constexpr std::uint32_t kFreePlace = UINT32_MAX;
  // Entries that left the cache: dropped at once, or retired when peek()
  // may have handed them out.
  struct Gone {
    std::vector<std::shared_ptr<const CachedPage>> dropped;
    std::vector<std::shared_ptr<const void>> retired;
  };
  // Each shard is an independent clock under its own mutex, so that readers
  // on different pages rarely wait for each other. The clock's places sit
  // in one array that the hand walks (a place freed by eviction, just
  // behind the hand, takes the next newcomer, so array order is clock
  // order); the index is open-addressed with linear probing and at most half
  // full, and each place knows its slot as the slot knows its place.
  struct Shard {
    mutable AdaptiveMutex mutex;
    std::vector<Slot> slots;  // a power of two long
    // The slots' address and mask, for prefetch_slot without the lock (the
    // address may be stale: a prefetch of memory since freed does no harm).
    std::atomic<const Slot*> slots_hint{nullptr};
    std::atomic<std::size_t> mask_hint{0};
    std::vector<Place> clock;
    std::vector<std::uint32_t> free;  // free places in the clock
    std::size_t hand = 0;
    std::size_t count = 0;
    std::size_t charged = 0;

    // The slot of `key`, or SIZE_MAX.
    std::size_t find(const Key& key, std::uint64_t hash) const;
    // Puts `slot` into the first empty slot from its home.
    void place(Slot&& slot);
    void grow_for_one_more();
    // Frees the entry of slot `at`, shifting back the run behind it; its
    // page goes to `gone`, and out of the cache's table if it is there.
    void remove(std::size_t at, Gone& gone, const PageCache& cache);
    // Frees every entry of page number `page` (whose hash is `hash`).
    void remove_images(std::uint64_t page, std::uint64_t hash, Gone& gone, const PageCache& cache);
    // Frees the entry of page number `page` whose stamp's word (word_of)
    // is `stamp_word`, if it is cached: found from the slot's key alone, so
    // that the entry itself, long untouched, is not read.
    void remove_image(std::uint64_t page, std::uint64_t hash, std::uint64_t stamp_word, Gone& gone,
                      const PageCache& cache);
  };
  // A stamp folded into one word, which names an image of a page number
  // for a drop: two images of one page number whose words agree by chance
  // cost a read again, never a wrong image returned. The halves are mixed
  // unequally, so that a stamp of two equal halves does not fold to 0.
  static std::uint64_t word_of(const PageStamp& stamp) {
    std::uint64_t halves[2];
    std::memcpy(halves, stamp.bytes.data(), sizeof halves);
    return halves[0] ^ (halves[1] * 0x9E3779B97F4A7C15ull);
  }
  // An image cached under a succession mark: its page number, commit and
  // stamp's word.
  struct Succession {
    std::uint64_t mark = 0;
    std::uint64_t page = 0;
    std::uint64_t commit = 0;
    std::uint64_t stamp_word = 0;
  };
  static_assert(sizeof(Succession) == 32, "two marks a line");
  // The places of a bucket, one line. A mark's newest image is noted in
  // either place of its bucket, so that two marks that share a bucket both
  // find it (with one place each, the image of a mark whose place another
  // took stayed for the clock, and a reader beside a writer filled its
  // budget with such images). An image older than the newest, read late
  // for an older snapshot, is noted in an empty place beside it, so that
  // the successor drops both (threads whose snapshots lag one another read
  // many such images).
  static constexpr std::size_t kMarksPerBucket = 2;
  // The first place of the bucket of `mark`.
  Succession* bucket_of(std::uint64_t mark) const;

  Shard& shard_of(std::uint64_t hash) const;
  // The sum of one counter of every shard, each read under its lock.
  std::size_t sum_over_shards(std::size_t Shard::*field) const;

  // Evicts from `shard` (locked) until `charge` more bytes fit its budget.
  void evict_for(Shard& shard, std::size_t charge, Gone& gone);
  // Notes the image of `page` from `commit` under `stamp` as the newest
  // under `mark`, unless a newer one is, and drops the older one noted
  // before it.
  void supersede(std::uint64_t mark, std::uint64_t page, std::uint64_t commit,
                 const PageStamp& stamp, Gone& gone);
  // Asks for the slot and table place of the image noted under `mark`, the
  // one an image of `page` under that mark would drop (a hint only).
  void prefetch_succeeded(std::uint64_t mark, std::uint64_t page);
  // Takes `entry`, cached under page number `page`, out of the table if it
  // is there.
  void unpublish(const CachedPage* entry, std::uint64_t page) const;
  // Puts `entry` (with its page's `bytes`) at its place in the table, over
  // whatever was there.
  void publish(const CachedPage* entry, const std::uint8_t* bytes);
  // Drops or retires what left the cache, outside any shard's lock.
  void let_go(Gone& gone) const;

  // Declared before the entries' holders, so that it runs after them.
  struct GiveBackFreed {
    bool armed = false;
    ~GiveBackFreed();
  } give_back_;
  std::size_t budget_;
  std::size_t shard_budget_;
  std::unique_ptr<Shard[]> shards_;
  std::size_t shard_count_;
  // The entry last added under each page number modulo its length (a
  // power of two, about four places per page of budget), for peek(), with
  // the address of its page's bytes beside it.
  struct alignas(16) TablePlace {
    std::atomic<const CachedPage*> entry{nullptr};
    std::atomic<const std::uint8_t*> bytes{nullptr};
  };
  std::unique_ptr<TablePlace[], block_arena::UnmapTable<TablePlace>> table_;
  std::size_t table_mask_;
  // Entries held but not at their place in the table: those of another
  // parser, which never go there, and those another entry took the place
  // of. Only while there are none does an empty place mean a miss
  // (surely_missing).
  mutable std::atomic<std::size_t> unplaced_{0};
  // The images noted under succession marks (each mark's newest, and one
  // read late beside it when there is room: see kMarksPerBucket), in the
  // bucket of the mark modulo the count of buckets (a power of two; about
  // one place per page of budget): a mark whose bucket others took is left
  // to the clock.
  // Zeroed by the system as its places are first used (a mapping of its
  // own), so that a cache whose file is smaller than its budget does not
  // pay for it all; backed by huge pages when large, as the table is: an
  // image read again reads a place all over it.
  std::unique_ptr<Succession[], block_arena::UnmapTable<Succession>> successions_;
  std::size_t succession_mask_;
  // The buckets' locks, a bucket's by its index modulo their count: threads
  // that read pages again at once note them under different locks.
  static constexpr std::size_t kSuccessionLocks = 16;
  struct alignas(64) SuccessionLock {
    AdaptiveMutex mutex;
  };
  std::unique_ptr<SuccessionLock[]> succession_locks_;
  mutable EpochDomain epochs_;
};

}  // namespace deziro
