#include "btree/pager/page_cache.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "btree/pager/pager.hpp"
#include "storage/fault_storage.hpp"
#include "support/sealed_pages.hpp"

namespace deziro {
namespace {

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

TEST(PageCache, same_page_number_with_another_stamp_misses) {
  PageCache cache(1 << 20, kPage);
  cache.insert(entry(5, 1), nullptr);
  EXPECT_NE(cache.get(5, stamp_of(1), nullptr), nullptr);
  EXPECT_EQ(cache.get(5, stamp_of(2), nullptr), nullptr);
  EXPECT_EQ(cache.get(6, stamp_of(1), nullptr), nullptr);
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

}  // namespace
}  // namespace deziro
