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
// How the B-tree layer plugs in: it derives its parsed node from CachedPage
// (or wraps one), and hands Pager::fetch_page a PageParser that builds it
// from the opened page. The cache stores whatever the parser returned, so a
// hit gives back the parsed node itself, with no parsing and no file read;
// the layer then static_pointer_casts the result to its own type. Entries
// remember their parser, so a page cached by one parser is never handed to
// another as its type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "format/page.hpp"
#include "storage/aligned_buffer.hpp"

namespace deziro {

// A page read from the file and opened: its bytes are plaintext and passed
// their check.
struct OpenedPage {
  std::uint64_t page_number = 0;
  PageStamp stamp;
  PageHeader header;
  AlignedBuffer bytes;
};

// What the cache holds. A parser may derive from it to carry a parsed form
// beside the bytes.
class CachedPage {
 public:
  explicit CachedPage(OpenedPage page) : page_(std::move(page)) {}
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

 private:
  OpenedPage page_;
};

// Builds the cached form of an opened page, or fails (for instance with
// CORRUPTED naming `path` when the layout's structure is broken).
using PageParser = Result<std::shared_ptr<const CachedPage>> (*)(OpenedPage page,
                                                                 std::string_view path);

class PageCache {
 public:
  static constexpr std::size_t kMinEntries = 16;

  // `capacity_bytes` is the configured cache size; the budget is never
  // below kMinEntries pages of `page_size`.
  PageCache(std::size_t capacity_bytes, std::size_t page_size);
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;

  // The entry under (page, stamp) made by `parser`, or null.
  std::shared_ptr<const CachedPage> get(std::uint64_t page, const PageStamp& stamp,
                                        PageParser parser) const;
  // Adds or replaces the entry of `page->page_number()` and `page->stamp()`,
  // evicting others as needed. An entry larger than a shard's budget is not
  // kept.
  void insert(std::shared_ptr<const CachedPage> page, PageParser parser);
  // Drops every image cached under page number `page`: a writer that stops
  // using a page knows its image will not be asked for again by its own
  // later transactions, and its room goes to a page that will be.
  void drop(std::uint64_t page);
  void clear();

  std::size_t budget_bytes() const { return budget_; }
  std::size_t charged_bytes() const;
  std::size_t entry_count() const;

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
  };
  // A place in the clock: the slot of its entry and the entry's charge.
  struct Place {
    std::uint32_t slot = kFreePlace;
    std::uint32_t charge = 0;
  };
  static constexpr std::uint32_t kFreePlace = UINT32_MAX;
  // Each shard is an independent clock under its own mutex, so that readers
  // on different pages rarely wait for each other. The clock's places sit
  // in one array that the hand walks (a place freed by eviction, just
  // behind the hand, takes the next newcomer, so array order is clock
  // order); the index is open-addressed with linear probing and at most half
  // full, and each place knows its slot as the slot knows its place.
  struct Shard {
    mutable std::mutex mutex;
    std::vector<Slot> slots;  // a power of two long
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
    // page goes to `dropped`.
    void remove(std::size_t at, std::vector<std::shared_ptr<const CachedPage>>& dropped);
    // Frees every entry of page number `page` (whose hash is `hash`).
    void remove_images(std::uint64_t page, std::uint64_t hash,
                       std::vector<std::shared_ptr<const CachedPage>>& dropped);
  };

  Shard& shard_of(std::uint64_t hash) const;
  // The sum of one counter of every shard, each read under its lock.
  std::size_t sum_over_shards(std::size_t Shard::*field) const;

  std::size_t budget_;
  std::size_t shard_budget_;
  std::unique_ptr<Shard[]> shards_;
  std::size_t shard_count_;
};

}  // namespace deziro
