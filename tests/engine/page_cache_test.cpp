#include "btree/pager/page_cache.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <thread>

#include "btree/pager/pager.hpp"
#include "storage/fault_storage.hpp"
#include "support/sealed_pages.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

constexpr std::size_t kPage = 4096;

std::shared_ptr<const CachedPage> entry(std::uint64_t number, std::uint8_t stamp_byte = 0) {
  OpenedPage page;
  page.page_number = number;
  page.stamp.bytes.fill(stamp_byte);
  page.bytes = AlignedBuffer::zeroed(kPage);
  return std::make_shared<const CachedPage>(std::move(page));
}

PageStamp stamp_of(std::uint8_t byte) {
  PageStamp s;
  s.bytes.fill(byte);
  return s;
}

// An entry that names its parser, so that peek() finds it. Its page and its
// own field carry a mark of its page number and stamp, and its destructor
// clears the field: a reader that finds a wrong mark read an entry that
// was freed, or one that was not yet whole.
class Marked final : public CachedPage {
 public:
  static Result<std::shared_ptr<const CachedPage>> parser(OpenedPage page, std::string_view) {
    return std::make_shared<const Marked>(std::move(page));
  }
  static std::uint64_t mark_of(std::uint64_t number, std::uint64_t stamp) {
    return number << 32 | stamp;
  }
  static std::shared_ptr<const Marked> make(std::uint64_t number, std::uint64_t stamp) {
    OpenedPage page;
    page.page_number = number;
    std::memcpy(page.stamp.bytes.data(), &stamp, sizeof stamp);
    page.bytes = AlignedBuffer::zeroed(kPage);
    const std::uint64_t mark = mark_of(number, stamp);
    for (std::size_t at = 0; at < kPage; at += 512) std::memcpy(page.bytes.data() + at, &mark, 8);
    return std::make_shared<const Marked>(std::move(page));
  }
  explicit Marked(OpenedPage page)
      : CachedPage(std::move(page), &Marked::parser),
        mark_(mark_of(page_number(), stamp_number(stamp()))) {
    live.fetch_add(1, std::memory_order_relaxed);
  }
  ~Marked() override {
    mark_.store(0, std::memory_order_relaxed);
    live.fetch_sub(1, std::memory_order_relaxed);
  }
  static std::uint64_t stamp_number(const PageStamp& stamp) {
    std::uint64_t n;
    std::memcpy(&n, stamp.bytes.data(), sizeof n);
    return n;
  }
  // Whether the entry is whole and names (number, stamp).
  bool holds(std::uint64_t number, std::uint64_t stamp) const {
    const std::uint64_t mark = mark_of(number, stamp);
    if (mark_.load(std::memory_order_relaxed) != mark) return false;
    for (std::size_t at = 0; at < kPage; at += 512)
      if (std::memcmp(bytes().data() + at, &mark, 8) != 0) return false;
    return true;
  }

  static inline std::atomic<long> live{0};

 private:
  std::atomic<std::uint64_t> mark_;
};

PageStamp stamp_number(std::uint64_t n) {
  PageStamp s;
  std::memcpy(s.bytes.data(), &n, sizeof n);
  return s;
}

TEST(PageCache, tiny_budget_still_holds_sixteen_pages) {
  PageCache cache(0, kPage);
  EXPECT_EQ(cache.budget_bytes(), 16 * kPage);
  for (std::uint64_t i = 0; i < 16; ++i) cache.insert(entry(i), nullptr);
  EXPECT_EQ(cache.entry_count(), 16u);
  for (std::uint64_t i = 0; i < 16; ++i) EXPECT_NE(cache.get(i, stamp_of(0), nullptr), nullptr);
  cache.insert(entry(16), nullptr);
  EXPECT_EQ(cache.entry_count(), 16u);
  EXPECT_LE(cache.charged_bytes(), cache.budget_bytes());
}

TEST(PageCache, evicts_the_least_recently_used) {
  PageCache cache(16 * kPage, kPage);
  for (std::uint64_t i = 0; i < 16; ++i) cache.insert(entry(i), nullptr);
  ASSERT_NE(cache.get(0, stamp_of(0), nullptr), nullptr);  // 0 is now the most recent
  cache.insert(entry(100), nullptr);
  EXPECT_NE(cache.get(0, stamp_of(0), nullptr), nullptr);
  EXPECT_EQ(cache.get(1, stamp_of(0), nullptr), nullptr);
  EXPECT_NE(cache.get(100, stamp_of(0), nullptr), nullptr);
}

// What a descent asks for ahead of its peeks is a hint: it marks nothing
// (the clock still evicts the entries no lookup used), and it reads no
// memory of entries that left the cache, which the address sanitizer
// would report.
TEST(PageCache, places_and_entries_asked_for_ahead_are_not_marked_or_read) {
  const long live_before = Marked::live.load();
  {
    PageCache cache(16 * kPage, kPage);
    EpochDomain::Reader reader(&cache.epochs());
    for (std::uint64_t i = 0; i < 16; ++i) cache.insert(Marked::make(i, 1), &Marked::parser);
    {
      EpochDomain::Pin pin(reader);
      ASSERT_NE(cache.peek(0, stamp_number(1), &Marked::parser), nullptr);
      for (std::uint64_t i = 0; i < 40; ++i) {
        cache.prefetch_place(i);
        cache.prefetch_entry(i);
      }
    }
    cache.insert(Marked::make(100, 1), &Marked::parser);
    EXPECT_NE(cache.get(0, stamp_number(1), &Marked::parser), nullptr);
    EXPECT_EQ(cache.get(1, stamp_number(1), &Marked::parser), nullptr);
    // Dropped and freed: their places still name their bytes.
    for (std::uint64_t i = 2; i < 16; ++i) cache.drop(i);
    cache.epochs().collect();
    EXPECT_EQ(cache.epochs().retired_count(), 0u);
    EpochDomain::Pin pin(reader);
    for (std::uint64_t i = 0; i < 40; ++i) {
      cache.prefetch_place(i);
      cache.prefetch_entry(i);
      EXPECT_EQ(cache.peek(i, stamp_number(1), &Marked::parser) != nullptr, i == 0);
    }
  }
  EXPECT_EQ(Marked::live.load(), live_before);
}

TEST(PageCache, same_page_number_with_another_stamp_misses) {
  PageCache cache(1 << 20, kPage);
  cache.insert(entry(5, 1), nullptr);
  EXPECT_NE(cache.get(5, stamp_of(1), nullptr), nullptr);
  EXPECT_EQ(cache.get(5, stamp_of(2), nullptr), nullptr);
  EXPECT_EQ(cache.get(6, stamp_of(1), nullptr), nullptr);
}

Result<std::shared_ptr<const CachedPage>> own_parser(OpenedPage page, std::string_view) {
  return std::make_shared<const CachedPage>(std::move(page), &own_parser);
}

// peek() holds the whole stamp against the entry's: an image whose stamp
// differs in any one byte is another image, and is not found.
TEST(PageCache, peek_misses_a_stamp_that_differs_in_any_byte) {
  PageCache cache(1 << 20, kPage);
  EpochDomain::Reader reader(&cache.epochs());
  for (std::size_t i = 0; i < kPageStampSize; ++i) {
    OpenedPage page;
    page.page_number = 9;
    page.stamp.bytes.fill(0x5A);
    page.bytes = AlignedBuffer::zeroed(kPage);
    const PageStamp cached = page.stamp;
    cache.insert(std::make_shared<const CachedPage>(std::move(page), &own_parser), &own_parser);
    PageStamp other = cached;
    other.bytes[i] ^= 0x01;
    EpochDomain::Pin pin(reader);
    EXPECT_NE(cache.peek(9, cached, &own_parser), nullptr) << "byte " << i;
    EXPECT_EQ(cache.peek(9, other, &own_parser), nullptr) << "byte " << i;
    EXPECT_EQ(cache.get(9, other, &own_parser), nullptr) << "byte " << i;
  }
}

TEST(PageCache, reinserting_a_key_does_not_double_its_charge) {
  PageCache cache(1 << 20, kPage);
  cache.insert(entry(5), nullptr);
  cache.insert(entry(5), nullptr);
  EXPECT_EQ(cache.entry_count(), 1u);
  EXPECT_EQ(cache.charged_bytes(), kPage);
  cache.clear();
  EXPECT_EQ(cache.entry_count(), 0u);
  EXPECT_EQ(cache.charged_bytes(), 0u);
}

TEST(PageCache, evicted_page_stays_valid_for_its_holder) {
  PageCache cache(0, kPage);
  auto held = entry(1, 9);
  cache.insert(held, nullptr);
  for (std::uint64_t i = 2; i < 100; ++i) cache.insert(entry(i), nullptr);
  EXPECT_EQ(cache.get(1, stamp_of(9), nullptr), nullptr);
  EXPECT_EQ(held->page_number(), 1u);
  EXPECT_EQ(held->bytes().size(), kPage);
}

// A writer drops the cached image of each node it loads, and the lists that
// carry what leaves the cache are kept from one drop to the next: an image
// dropped goes as the drop ends, not with a later drop.
TEST(PageCache, a_dropped_image_goes_as_its_drop_ends) {
  PageCache cache(0, kPage);
  std::weak_ptr<const CachedPage> first, second;
  {
    auto one = entry(1), two = entry(2);
    first = one;
    second = two;
    cache.insert(std::move(one), nullptr);
    cache.insert(std::move(two), nullptr);
  }
  ASSERT_FALSE(first.expired());
  cache.drop(1);
  EXPECT_TRUE(first.expired());
  EXPECT_FALSE(second.expired());
  cache.drop(2);
  EXPECT_TRUE(second.expired());
}

// A page number is written again only once nothing can reach its old image:
// adding an image drops those under its other stamps at once, and leaves the
// images of every other page number where they were, those sharing its
// index run included (a budget of 16 pages keeps one small index).
TEST(PageCache, a_new_image_of_a_page_number_drops_its_older_ones) {
  PageCache cache(0, kPage);
  for (std::uint64_t i = 0; i < 12; ++i) cache.insert(entry(i, 1), nullptr);
  struct Step {
    std::uint64_t page;
    std::uint8_t stamp;
  };
  const Step steps[] = {{3, 2}, {3, 3}, {7, 2}, {0, 5}, {11, 2}, {3, 1}, {7, 2}};
  std::map<std::uint64_t, std::uint8_t> newest;
  for (std::uint64_t i = 0; i < 12; ++i) newest[i] = 1;
  for (const Step& step : steps) {
    cache.insert(entry(step.page, step.stamp), nullptr);
    newest[step.page] = step.stamp;
    for (const auto& [page, stamp] : newest) {
      for (std::uint8_t s = 1; s <= 5; ++s) {
        const bool found = cache.get(page, stamp_of(s), nullptr) != nullptr;
        EXPECT_EQ(found, s == stamp) << "page " << page << " stamp " << int(s) << " after page "
                                     << step.page << " stamp " << int(step.stamp);
      }
    }
    EXPECT_EQ(cache.entry_count(), 12u);
    EXPECT_EQ(cache.charged_bytes(), 12 * kPage);
  }
}

// An image of a node from commit `commit` under succession mark `mark`.
class Successive final : public CachedPage {
 public:
  static std::shared_ptr<const CachedPage> make(std::uint64_t number, std::uint64_t commit,
                                                std::uint64_t mark) {
    OpenedPage page;
    page.page_number = number;
    page.stamp = stamp_of(static_cast<std::uint8_t>(commit));
    page.header.commit_id = commit;
    page.bytes = AlignedBuffer::zeroed(kPage);
    return std::make_shared<const Successive>(std::move(page), mark);
  }
  // Whether the image of page `number` that make() made for `commit` is
  // cached.
  static bool cached(const PageCache& cache, std::uint64_t number, std::uint64_t commit) {
    return cache.get(number, stamp_of(static_cast<std::uint8_t>(commit)), nullptr) != nullptr;
  }
  Successive(OpenedPage page, std::uint64_t mark) : CachedPage(std::move(page)), mark_(mark) {}
  std::uint64_t succession() const override { return mark_; }

 private:
  std::uint64_t mark_;
};

// A cache of the smallest budget (eight buckets of succession marks) that
// takes images made by Successive::make.
struct Successions {
  PageCache cache{0, kPage};
  void insert(std::uint64_t number, std::uint64_t commit, std::uint64_t mark) {
    cache.insert(Successive::make(number, commit, mark), nullptr);
  }
  bool cached(std::uint64_t number, std::uint64_t commit) const {
    return Successive::cached(cache, number, commit);
  }
};

TEST(PageCache, a_newer_image_under_a_mark_drops_the_older_and_an_older_one_drops_nothing) {
  Successions marks;
  marks.insert(5, 1, 77);
  marks.insert(6, 1, 78);
  // The node of mark 77 rewritten by commit 2 into page 9.
  marks.insert(9, 2, 77);
  EXPECT_FALSE(marks.cached(5, 1));
  EXPECT_TRUE(marks.cached(9, 2));
  EXPECT_TRUE(marks.cached(6, 1));
  EXPECT_EQ(marks.cache.entry_count(), 2u);
  // A snapshot of commit 1 reads its image again: both stay.
  marks.insert(5, 1, 77);
  EXPECT_TRUE(marks.cached(5, 1));
  EXPECT_TRUE(marks.cached(9, 2));
  // Commit 3 replaces the newest image, which goes, and the one read again
  // for the older snapshot with it; unmarked pages never do.
  marks.insert(12, 3, 77);
  marks.insert(13, 3, 0);
  marks.insert(14, 4, 0);
  EXPECT_FALSE(marks.cached(9, 2));
  EXPECT_FALSE(marks.cached(5, 1));
  EXPECT_TRUE(marks.cached(12, 3));
  EXPECT_TRUE(marks.cached(13, 3));
  EXPECT_TRUE(marks.cached(14, 4));
  EXPECT_EQ(marks.cache.entry_count(), 4u);
  EXPECT_EQ(marks.cache.charged_bytes(), 4 * kPage);
}

// The image a mark last noted is dropped by its own stamp, not by its page
// number: once a later commit has written that page number again, for a
// node of another mark, the new image stays when a successor of the first
// mark arrives.
TEST(PageCache, a_successor_drops_only_the_image_its_mark_noted_not_a_later_one_of_its_page) {
  Successions marks;
  marks.insert(5, 1, 77);
  // Commit 2 rewrites page 5 for the node of mark 78 (the image of commit 1
  // went as its page number was written again).
  marks.insert(5, 2, 78);
  EXPECT_FALSE(marks.cached(5, 1));
  EXPECT_TRUE(marks.cached(5, 2));
  // Commit 3 replaces the node of mark 77, noted in page 5 under commit 1.
  marks.insert(9, 3, 77);
  EXPECT_TRUE(marks.cached(5, 2));
  EXPECT_TRUE(marks.cached(9, 3));
  // Commit 4 replaces the node of mark 78: its image in page 5 goes.
  marks.insert(11, 4, 78);
  EXPECT_FALSE(marks.cached(5, 2));
  EXPECT_TRUE(marks.cached(11, 4));
  EXPECT_EQ(marks.cache.entry_count(), 2u);
}

// Marks share buckets of two places (a cache of 16 pages has eight, so
// marks 1, 17 and 33 share one): two marks of one bucket each drop their
// older image, and a third takes the place of the mark noted longest ago,
// whose next successor leaves its older image to the clock.
TEST(PageCache, marks_that_share_a_bucket_each_drop_their_older_image) {
  Successions marks;
  marks.insert(5, 1, 1);
  marks.insert(6, 2, 17);
  marks.insert(7, 3, 1);
  marks.insert(8, 4, 17);
  EXPECT_FALSE(marks.cached(5, 1));
  EXPECT_FALSE(marks.cached(6, 2));
  EXPECT_TRUE(marks.cached(7, 3));
  EXPECT_TRUE(marks.cached(8, 4));
  // Mark 33 takes the place of mark 1, noted at commit 3 (mark 17 at 4).
  marks.insert(9, 5, 33);
  marks.insert(10, 6, 17);
  marks.insert(11, 7, 1);
  EXPECT_FALSE(marks.cached(8, 4));
  EXPECT_TRUE(marks.cached(7, 3));
  EXPECT_TRUE(marks.cached(9, 5));
  EXPECT_TRUE(marks.cached(10, 6));
  EXPECT_TRUE(marks.cached(11, 7));
  EXPECT_EQ(marks.cache.entry_count(), 4u);
}

// An image older than the newest under its mark, read late for an older
// snapshot, is noted beside it when its bucket has room, and the successor
// drops both; with no room (another mark holds the bucket's other place) it
// is left to the clock and the other mark keeps its place.
TEST(PageCache, an_image_read_late_for_an_older_snapshot_goes_with_the_successor) {
  Successions marks;  // eight buckets: marks 1 and 17 share one
  marks.insert(5, 3, 1);
  marks.insert(6, 2, 1);  // late
  marks.insert(7, 1, 1);  // later still, and older
  EXPECT_TRUE(marks.cached(5, 3));
  EXPECT_TRUE(marks.cached(6, 2));
  EXPECT_TRUE(marks.cached(7, 1));  // left to the clock
  marks.insert(8, 4, 1);
  EXPECT_FALSE(marks.cached(5, 3));
  EXPECT_FALSE(marks.cached(6, 2));
  EXPECT_TRUE(marks.cached(8, 4));
  EXPECT_EQ(marks.cache.entry_count(), 2u);

  marks.insert(9, 5, 17);
  marks.insert(10, 3, 1);  // late, and no room
  marks.insert(11, 6, 17);
  marks.insert(12, 7, 1);
  EXPECT_FALSE(marks.cached(9, 5));
  EXPECT_FALSE(marks.cached(8, 4));
  EXPECT_TRUE(marks.cached(10, 3));
  EXPECT_TRUE(marks.cached(11, 6));
  EXPECT_TRUE(marks.cached(12, 7));
}

// Threads insert images of the same few marks at once, each from a later
// commit than any before it: whatever order their notes and drops meet in,
// the newest image of each mark stays, and most older ones went (an image
// noted after a newer one is left to the clock; the budget holds them all).
TEST(PageCache, images_of_one_mark_inserted_at_once_keep_the_newest) {
  PageCache cache(16384 * kPage, kPage);
  std::atomic<std::uint64_t> next_commit{1};
  std::atomic<std::uint64_t> newest[4];
  for (auto& n : newest) n.store(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(400 + t);
      for (int n = 0; n < 3000; ++n) {
        const std::uint64_t mark = rng() % 4;
        const std::uint64_t commit = next_commit.fetch_add(1);
        cache.insert(Successive::make(commit, commit, 1 + mark), nullptr);
        std::uint64_t seen = newest[mark].load();
        while (seen < commit && !newest[mark].compare_exchange_weak(seen, commit)) {
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& n : newest) {
    const std::uint64_t commit = n.load();
    EXPECT_NE(cache.get(commit, stamp_of(static_cast<std::uint8_t>(commit)), nullptr), nullptr)
        << "commit " << commit;
  }
  EXPECT_LT(cache.entry_count(), 4 * 3000u / 2);
}

// Random inserts, replacements, drops and evictions against a model of what
// was inserted last under each key: a hit is always that exact entry, the page
// just inserted is always found, and the count and charge agree with the
// entries still found.
TEST(PageCache, index_agrees_with_a_model_through_churn) {
  for (std::size_t budget_pages : {16u, 64u, 200u}) {
    PageCache cache(budget_pages * kPage, kPage);
    std::map<std::pair<std::uint64_t, std::uint8_t>, std::shared_ptr<const CachedPage>> last;
    std::mt19937_64 rng(budget_pages);
    for (int n = 0; n < 20000; ++n) {
      const std::uint64_t number = rng() % 400;
      const auto stamp = static_cast<std::uint8_t>(rng() % 3);
      if (rng() % 8 == 0) {
        // A writer's page released: no image of it is found after.
        cache.drop(number);
        for (std::uint8_t s = 0; s < 3; ++s) {
          last.erase({number, s});
          ASSERT_EQ(cache.get(number, stamp_of(s), nullptr), nullptr) << "page " << number;
        }
        continue;
      }
      if (rng() % 3 == 0) {
        auto hit = cache.get(number, stamp_of(stamp), nullptr);
        auto it = last.find({number, stamp});
        if (hit) {
          ASSERT_NE(it, last.end());
          ASSERT_EQ(hit, it->second) << "page " << number;
        }
        continue;
      }
      auto page = entry(number, stamp);
      last[{number, stamp}] = page;
      cache.insert(page, nullptr);
      ASSERT_EQ(cache.get(number, stamp_of(stamp), nullptr), page) << "page " << number;
      ASSERT_LE(cache.charged_bytes(), cache.budget_bytes());
    }
    std::size_t found = 0;
    for (const auto& [key, page] : last) {
      auto hit = cache.get(key.first, stamp_of(key.second), nullptr);
      if (!hit) continue;
      EXPECT_EQ(hit, page);
      ++found;
    }
    EXPECT_EQ(found, cache.entry_count());
    EXPECT_EQ(cache.charged_bytes(), found * kPage);
    EXPECT_GE(found, std::min<std::size_t>(budget_pages, last.size()) / 2);
  }
}

// surely_missing() never calls a page missing that get() finds, through
// inserts of page numbers that share places in the table (16 pages of
// budget, 64 places, 300 numbers), entries of another parser, which never
// go there, replacements, drops, evictions and clearing; and it does call
// missing every page of a cache that holds none.
TEST(PageCache, a_page_surely_missing_is_never_found) {
  PageCache cache(16 * kPage, kPage);
  std::mt19937_64 rng(11);
  int missing = 0;
  for (int n = 0; n < 30000; ++n) {
    const std::uint64_t number = rng() % 300;
    const std::uint64_t stamp = rng() % 3;
    if (n % 7000 == 6999) cache.clear();
    switch (rng() % 6) {
      case 0:
        cache.drop(number);
        break;
      case 1:
        cache.insert(entry(number, static_cast<std::uint8_t>(stamp)), nullptr);
        break;
      default:
        cache.insert(Marked::make(number, stamp), &Marked::parser);
    }
    for (std::uint64_t page = 0; page < 300; ++page) {
      if (!cache.surely_missing(page)) continue;
      ++missing;
      for (std::uint64_t s = 0; s < 3; ++s) {
        ASSERT_EQ(cache.get(page, stamp_number(s), &Marked::parser), nullptr)
            << "page " << page << " step " << n;
        ASSERT_EQ(cache.get(page, stamp_of(static_cast<std::uint8_t>(s)), nullptr), nullptr)
            << "page " << page << " step " << n;
      }
    }
  }
  EXPECT_GT(missing, 10000);
  cache.clear();
  for (std::uint64_t page = 0; page < 300; ++page) EXPECT_TRUE(cache.surely_missing(page));
}

// Threads insert and drop page numbers that share places in the table from
// two shards at once, and one clears: once the cache is empty again, no
// entry is left counted as out of its place (every page is surely missing).
TEST(PageCache, places_taken_from_other_shards_at_once_are_all_given_back) {
  PageCache cache(128 * kPage, kPage);  // two shards, 512 places
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(300 + t);
      for (int n = 0; n < 20000; ++n) {
        const std::uint64_t number = (rng() % 4) * 512 + rng() % 8;
        if (t == 0 && n % 4999 == 4998) cache.clear();
        if (rng() % 4 == 0)
          cache.drop(number);
        else
          cache.insert(Marked::make(number, rng() % 3), &Marked::parser);
      }
    });
  }
  for (auto& t : threads) t.join();
  cache.clear();
  for (std::uint64_t number = 0; number < 4 * 512; ++number)
    ASSERT_TRUE(cache.surely_missing(number)) << "page " << number;
  cache.epochs().collect();
}

// Many readers fetch through one pager whose cache holds a fraction of the
// pages: every page they get is the right one, and the cache never holds
// more than its budget.
TEST(PageCache, stays_within_budget_under_concurrent_readers) {
  const std::uint64_t pages = 600;
  auto protection = testing_support::protection_for(PageCipher::Checksum);
  FaultStorage storage("mem.db", std::vector<std::uint8_t>(kPage * (pages + 1), 0));
  std::vector<ChildPointer> pointers;
  for (std::uint64_t i = 1; i <= pages; ++i) {
    auto page = testing_support::sealed_page(
        protection, kPage, i, PageHeader{.kind = 4, .level = 0, .commit_id = 3, .tree_id = 20}, i);
    testing_support::put_page(storage, kPage, i, page.bytes);
    pointers.push_back(page.pointer);
  }
  // 128 pages of budget: several shards, each far smaller than the set.
  Pager pager(storage, kPage, protection, 128 * kPage);
  const std::size_t budget = pager.cache().budget_bytes();
  std::atomic<bool> over_budget{false}, wrong_page{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&, t] {
      std::mt19937_64 rng(t);
      for (int n = 0; n < 3000; ++n) {
        // Skewed: a hot set of 64 pages and a cold tail.
        std::size_t i = (rng() % 4 != 0) ? rng() % 64 : rng() % pages;
        auto page = pager.fetch_page(pointers[i], 20, 0);
        if (!page) {
          failures++;
          continue;
        }
        if ((*page)->page_number() != pointers[i].page || (*page)->stamp() != pointers[i].stamp)
          wrong_page = true;
        if (n % 64 == 0 && pager.cache().charged_bytes() > budget) over_budget = true;
      }
    });
  }
  for (auto& r : readers) r.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(wrong_page.load());
  EXPECT_FALSE(over_budget.load());
  EXPECT_LE(pager.cache().charged_bytes(), budget);
  EXPECT_GT(pager.cache().entry_count(), 16u);
}

// An object retired while readers are pinned lives until every reader that
// pinned before it was retired has unpinned; readers pinned after it do not
// hold it, and nested pins hold it until the outermost one ends.
TEST(EpochDomain, a_retired_object_outlives_the_pins_taken_before_it) {
  EpochDomain domain;
  EpochDomain::Reader before(&domain), after(&domain);
  ASSERT_TRUE(before.has_place() && after.has_place());
  auto retire = [&](std::weak_ptr<const int>& watch) {
    auto object = std::make_shared<const int>(7);
    watch = object;
    std::vector<std::shared_ptr<const void>> objects{std::move(object)};
    domain.retire(objects);
    EXPECT_TRUE(objects.empty());
  };
  std::weak_ptr<const int> first, second;
  before.pin();
  before.pin();  // nested
  retire(first);
  after.pin();
  before.unpin();
  domain.collect();
  EXPECT_FALSE(first.expired()) << "freed under a nested pin";
  before.unpin();
  domain.collect();
  EXPECT_TRUE(first.expired()) << "held by a pin taken after it was retired";
  retire(second);
  domain.collect();
  EXPECT_FALSE(second.expired()) << "freed under a pin taken before it was retired";
  after.unpin();
  domain.collect();
  EXPECT_TRUE(second.expired());
  EXPECT_EQ(domain.retired_count(), 0u);
}

// Threads retire into bins of their own: what any of them retired while a
// reader was pinned lives until that reader unpins, however many times the
// bins were looked at meanwhile, and the count covers every bin.
TEST(EpochDomain, objects_retired_by_many_threads_outlive_a_pin_taken_before_them) {
  EpochDomain domain;
  EpochDomain::Reader early(&domain);
  early.pin();
  constexpr int kThreads = 6;
  constexpr int kEach = 5 * static_cast<int>(EpochDomain::kCollectAfter);
  std::vector<std::vector<std::weak_ptr<const int>>> watched(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        auto object = std::make_shared<const int>(i);
        watched[t].push_back(object);
        std::vector<std::shared_ptr<const void>> objects{std::move(object)};
        domain.retire(objects);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(domain.retired_count(), std::size_t{kThreads * kEach});
  for (const auto& list : watched)
    for (const auto& object : list) ASSERT_FALSE(object.expired());
  early.unpin();
  domain.collect();
  EXPECT_EQ(domain.retired_count(), 0u);
  for (const auto& list : watched)
    for (const auto& object : list) ASSERT_TRUE(object.expired());
}

TEST(EpochDomain, readers_beyond_the_places_go_without_and_a_freed_place_is_taken_again) {
  EpochDomain domain;
  std::vector<std::unique_ptr<EpochDomain::Reader>> readers;
  for (std::size_t i = 0; i < EpochDomain::kPlaces; ++i) {
    readers.push_back(std::make_unique<EpochDomain::Reader>(&domain));
    ASSERT_TRUE(readers.back()->has_place()) << i;
  }
  EpochDomain::Reader extra(&domain);
  EXPECT_FALSE(extra.has_place());
  EpochDomain::Pin none(extra);
  EXPECT_FALSE(none.held());
  readers[5].reset();
  EpochDomain::Reader again(&domain);
  EXPECT_TRUE(again.has_place());
  EXPECT_FALSE(EpochDomain::Reader(nullptr).has_place());
}

// Entries of their own parser are found by peek() exactly when get() finds
// them and they were the last added at their place in the table (page
// numbers share places), through inserts, replacements, evictions and
// clearing; every entry that left is freed once no reader is pinned.
TEST(PageCache, peek_finds_the_last_entry_added_at_its_place_while_it_is_cached) {
  const long live_before = Marked::live.load();
  {
    PageCache cache(16 * kPage, kPage);  // a table of 64 places
    EpochDomain::Reader reader(&cache.epochs());
    std::map<std::uint64_t, const CachedPage*> last_at;
    std::mt19937_64 rng(5);
    int peeked_hits = 0;
    for (int n = 0; n < 20000; ++n) {
      const std::uint64_t number = rng() % 300;
      const std::uint64_t stamp = rng() % 3;
      if (n % 5000 == 4999) cache.clear();
      if (rng() % 2 == 0) {
        auto page = Marked::make(number, stamp);
        last_at[number % 64] = page.get();
        cache.insert(std::move(page), &Marked::parser);
      }
      EpochDomain::Pin pin(reader);
      const CachedPage* peeked = cache.peek(number, stamp_number(stamp), &Marked::parser);
      auto got = cache.get(number, stamp_number(stamp), &Marked::parser);
      const bool last = got && last_at[number % 64] == got.get();
      ASSERT_EQ(peeked, last ? got.get() : nullptr) << "page " << number << " step " << n;
      if (peeked) {
        ASSERT_TRUE(static_cast<const Marked*>(peeked)->holds(number, stamp));
        ++peeked_hits;
      }
      // Lookups for another parser never find these entries.
      ASSERT_EQ(cache.peek(number, stamp_number(stamp), nullptr), nullptr);
      ASSERT_EQ(cache.get(number, stamp_number(stamp), nullptr), nullptr);
    }
    EXPECT_GT(peeked_hits, 1000);
    // Nor entries of no parser at all.
    cache.insert(entry(1), nullptr);
    {
      EpochDomain::Pin pin(reader);
      EXPECT_EQ(cache.peek(1, stamp_of(0), nullptr), nullptr);
    }
    cache.clear();
    cache.epochs().collect();
    EXPECT_EQ(cache.epochs().retired_count(), 0u);
    EXPECT_EQ(Marked::live.load(), live_before);
  }
}

// Readers peek and read entries in place under their pins while writers
// replace and evict them and clear the cache: every entry a reader finds is
// whole until its pin ends (a freed one shows as a wrong mark, or to the
// sanitizers as a use after free or a race), and once everyone is done every
// entry that left is freed.
TEST(PageCache, entries_found_under_a_pin_stay_whole_while_others_evict_or_drop_them) {
  constexpr std::uint64_t kNumbers = 200;
  const long live_before = Marked::live.load();
  {
    // 16 pages of budget in one shard, a table of 64 places shared by the
    // 200 page numbers.
    PageCache cache(16 * kPage, kPage);
    std::atomic<std::uint64_t> newest[kNumbers];
    for (auto& n : newest) n.store(0);
    for (std::uint64_t i = 0; i < kNumbers; ++i) cache.insert(Marked::make(i, 0), &Marked::parser);
    std::atomic<int> readers_left{4};
    std::atomic<long> inserts{0}, hits{0}, wrong{0}, retired_under_pin{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        EpochDomain::Reader reader(&cache.epochs());
        std::mt19937_64 rng(100 + t);
        for (int round = 0; round < 300; ++round) {
          EpochDomain::Pin pin(reader);
          const Marked* found[8];
          std::uint64_t number[8], stamp[8];
          int held = 0;
          for (int i = 0; i < 8; ++i) {
            number[held] = rng() % kNumbers;
            stamp[held] = newest[number[held]].load(std::memory_order_relaxed);
            auto* hit = cache.peek(number[held], stamp_number(stamp[held]), &Marked::parser);
            if (hit) found[held++] = static_cast<const Marked*>(hit);
          }
          hits += held;
          // Reads them again and again until the writers have added twice
          // the cache's worth of entries, which evicts what was found; a
          // nested pin, as a lookup made from a visitor takes, on the way.
          const long until = inserts.load() + 96;
          for (int pass = 0; inserts.load() < until || pass < 2; ++pass) {
            std::optional<EpochDomain::Pin> inner;
            if (pass == 1) inner.emplace(reader);
            for (int i = 0; i < held; ++i)
              if (!found[i]->holds(number[i], stamp[i])) ++wrong;
          }
          retired_under_pin += cache.epochs().retired_count() > 0;
        }
        --readers_left;
      });
    }
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937_64 rng(200 + t);
        std::uint64_t stamp = 1 + t;
        for (int n = 0; readers_left.load() > 0; ++n) {
          const std::uint64_t number = rng() % kNumbers;
          if (n % 997 == 996) cache.clear();
          // A writer letting go of a page it released: the image leaves
          // the cache as an evicted one does.
          if (n % 5 == 4) cache.drop(rng() % kNumbers);
          cache.insert(Marked::make(number, stamp), &Marked::parser);
          newest[number].store(stamp, std::memory_order_relaxed);
          ++inserts;
          stamp += 2;
        }
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(hits.load(), 300);
    EXPECT_GT(retired_under_pin.load(), 300);
    cache.clear();
    cache.epochs().collect();
    EXPECT_EQ(cache.epochs().retired_count(), 0u);
    EXPECT_EQ(Marked::live.load(), live_before);
  }
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
