#include "txn/space.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "format/bytes.hpp"
#include "invariant.hpp"
#include "sanitizers.hpp"
#include "txn/free_space.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using space::FreeRuns;
using space::PageSet;
using space::PageSpace;

TEST(AllocatePage, prefers_own_released_then_lowest_free_run_then_the_end) {
  PageSpace s;
  s.page_count = 100;
  s.free_runs = {{40, 3}, {10, 2}};
  EXPECT_EQ(space::allocate_page(s).value(), 10u);
  EXPECT_EQ(space::allocate_page(s).value(), 11u);
  // Releasing a page this transaction allocated makes it the next one.
  space::release_page(s, 10);
  EXPECT_EQ(space::allocate_page(s).value(), 10u);
  EXPECT_EQ(space::allocate_page(s).value(), 40u);
  EXPECT_EQ(space::allocate_page(s).value(), 41u);
  EXPECT_EQ(space::allocate_page(s).value(), 42u);
  EXPECT_TRUE(s.free_runs.empty());
  EXPECT_EQ(space::allocate_page(s).value(), 100u);
  EXPECT_EQ(s.page_count, 101u);
  EXPECT_EQ(s.allocated, (PageSet{10, 11, 40, 41, 42, 100}));
}

// The pages a transaction allocates and releases are kept in sets whose
// nodes its thread keeps when it ends: the next transaction's sets take
// them, and hold only its own pages.
TEST(AllocatePage, the_next_transactions_page_sets_take_the_nodes_the_last_one_left) {
  using Pages = std::vector<std::uint64_t>;
  auto pages = [](const PageSet& set) { return Pages(set.begin(), set.end()); };
  std::thread([&] {
    using Nodes = PageSet::allocator_type;
    {
      PageSpace s;
      s.page_count = 10;
      for (int i = 0; i < 5; ++i) ASSERT_TRUE(space::allocate_page(s));  // 10 .. 14
      space::release_page(s, 12);
      EXPECT_EQ(pages(s.allocated), (Pages{10, 11, 13, 14}));
      EXPECT_EQ(pages(s.released_own), (Pages{12}));
      EXPECT_EQ(Nodes::spare_count(), 0u);
    }
    const std::size_t kept = kAddressSanitizer ? 0 : 5;
    EXPECT_EQ(Nodes::spare_count(), kept);
    PageSpace next;
    next.page_count = 20;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(space::allocate_page(next));
    EXPECT_EQ(pages(next.allocated), (Pages{20, 21, 22}));
    EXPECT_TRUE(next.released_own.empty());
    EXPECT_EQ(Nodes::spare_count(), kept - std::min<std::size_t>(kept, 3));
  }).join();
}

// A commit's group of released pages goes into the retained tree in chunks
// of at most runs_per_chunk runs, a run longer than 2^32 - 1 pages in
// pieces: every chunk full but the last, the runs in order.
TEST(EncodeGroup, the_runs_fill_whole_chunks_in_order_and_long_runs_go_in_pieces) {
  constexpr std::uint32_t kPageSize = 4096;
  const std::size_t per_chunk = free_space::runs_per_chunk(kPageSize);
  FreeRuns runs;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> expected;
  for (std::uint64_t i = 0; i < 2 * per_chunk + 7; ++i) {
    runs.add(10 + 2 * i, 1);
    expected.emplace_back(10 + 2 * i, 1);
  }
  const std::uint64_t long_first = std::uint64_t{1} << 40, long_count = 0xFFFFFFFFull + 5;
  runs.add(long_first, long_count);
  expected.emplace_back(long_first, 0xFFFFFFFFu);
  expected.emplace_back(long_first + 0xFFFFFFFFull, 5);
  const std::vector<std::string> chunks = free_space::encode_group(runs, kPageSize);
  ASSERT_EQ(chunks.size(), 3u);
  std::vector<std::pair<std::uint64_t, std::uint32_t>> decoded;
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    const std::string& chunk = chunks[c];
    ASSERT_EQ(chunk.size() % 12, 0u);
    EXPECT_EQ(chunk.size() / 12, c + 1 < chunks.size() ? per_chunk : 9u) << c;
    const auto* b = reinterpret_cast<const std::uint8_t*>(chunk.data());
    for (std::size_t at = 0; at < chunk.size(); at += 12)
      decoded.emplace_back(load_u64_le(b + at), load_u32_le(b + at + 8));
  }
  EXPECT_EQ(decoded, expected);
}

TEST(AllocatePage, lowest_own_released_page_goes_first) {
  PageSpace s;
  s.page_count = 10;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(space::allocate_page(s));  // 10, 11, 12
  space::release_page(s, 12);
  space::release_page(s, 10);
  EXPECT_EQ(space::allocate_page(s).value(), 10u);
  EXPECT_EQ(space::allocate_page(s).value(), 12u);
  EXPECT_EQ(space::allocate_page(s).value(), 13u);
}

TEST(AllocatePage, takes_a_run_from_its_start_and_shortens_it) {
  PageSpace s;
  s.page_count = 50;
  s.free_runs = {{20, 5}};
  EXPECT_EQ(space::allocate_page(s).value(), 20u);
  EXPECT_EQ(s.free_runs, (FreeRuns{{21, 4}}));
}

TEST(AllocatePage, published_page_released_is_not_reused_in_the_same_transaction) {
  PageSpace s;
  s.page_count = 10;
  space::release_page(s, 5);  // a page of the published commit: readers may see it
  EXPECT_EQ(s.released_published, (std::vector<std::uint64_t>{5}));
  EXPECT_EQ(space::allocate_page(s).value(), 10u);
}

TEST(AllocatePage, refuses_to_grow_past_the_limit) {
  PageSpace s;
  s.page_count = 8;
  s.max_page_count = 9;
  EXPECT_EQ(space::allocate_page(s).value(), 8u);
  auto refused = space::allocate_page(s);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::Internal);
  EXPECT_EQ(s.page_count, 9u);
  EXPECT_EQ(space::page_limit(4096), 1ull << 50);
}

TEST(AllocateRun, first_fit_skips_runs_too_short) {
  PageSpace s;
  s.page_count = 100;
  s.free_runs = {{5, 2}, {10, 4}, {30, 8}};
  EXPECT_EQ(space::allocate_run(s, 3).value(), 10u);
  EXPECT_EQ(s.free_runs, (FreeRuns{{5, 2}, {13, 1}, {30, 8}}));
  EXPECT_EQ(space::allocate_run(s, 8).value(), 30u);
  EXPECT_EQ(s.free_runs, (FreeRuns{{5, 2}, {13, 1}}));
  for (std::uint64_t p : {10u, 11u, 12u, 30u, 37u}) EXPECT_TRUE(s.allocated.contains(p)) << p;
}

TEST(AllocateRun, extends_a_free_run_that_reaches_the_end) {
  PageSpace s;
  s.page_count = 20;
  s.free_runs = {{2, 1}, {18, 2}};
  EXPECT_EQ(space::allocate_run(s, 5).value(), 18u);
  EXPECT_EQ(s.page_count, 23u);
  EXPECT_EQ(s.free_runs, (FreeRuns{{2, 1}}));
  EXPECT_EQ(space::allocate_run(s, 2).value(), 23u);
  EXPECT_EQ(s.page_count, 25u);
}

TEST(AllocateRun, below_a_limit_uses_only_runs_that_end_below_it) {
  PageSpace s;
  s.page_count = 100;
  s.free_runs = {{10, 3}, {40, 10}};
  EXPECT_EQ(space::allocate_run_below(s, 4, 43), std::nullopt);
  EXPECT_EQ(space::allocate_run_below(s, 4, 44).value(), 40u);
  EXPECT_EQ(space::allocate_run_below(s, 2, 50).value(), 10u);
  EXPECT_EQ(s.page_count, 100u);
  EXPECT_EQ(s.free_runs, (FreeRuns{{12, 1}, {44, 6}}));
}

// A run set aside for pages placed later (the commit's roots): taken from
// the free space as an overflow run would be, but none of its pages counts
// as allocated until it is handed out.
TEST(TakeRun, places_the_run_as_allocate_run_without_recording_it) {
  PageSpace s;
  s.page_count = 50;
  s.free_runs = {{5, 2}, {10, 4}, {46, 4}};
  EXPECT_EQ(space::take_run(s, 3).value(), 10u);
  EXPECT_EQ(s.free_runs, (FreeRuns{{5, 2}, {13, 1}, {46, 4}}));
  // None long enough: at the end, from inside the run that reaches it.
  EXPECT_EQ(space::take_run(s, 6).value(), 46u);
  EXPECT_EQ(s.page_count, 52u);
  EXPECT_EQ(s.free_runs, (FreeRuns{{5, 2}, {13, 1}}));
  EXPECT_TRUE(s.allocated.empty());
  s.max_page_count = 53;
  EXPECT_FALSE(space::take_run(s, 3));
  EXPECT_EQ(s.page_count, 52u);
}

// The free tree takes in only the runs logged since it last did.
TEST(FreeRunMap, each_take_of_the_changes_answers_only_those_since_the_last) {
  FreeRuns runs{{4, 1}, {9, 2}};
  runs.start_log();
  runs.set(20, 1);
  runs.set(4, 3);
  runs.erase(9);
  runs.set(20, 2);
  EXPECT_EQ(runs.take_changes(), (std::vector<std::uint64_t>{4, 9, 20}));
  EXPECT_TRUE(runs.take_changes().empty());
  runs.erase(20);
  runs.set(1, 1);
  EXPECT_EQ(runs.take_changes(), (std::vector<std::uint64_t>{1, 20}));
  EXPECT_TRUE(runs.take_changes().empty());
}

// The first fit comes from the runs indexed by length: after any mix of
// adds, takes, resizes and removals it must be the run a scan in page order
// finds, for short and long runs (past the longest length indexed alone)
// and for limits that cut a run off.
TEST(FreeRunMap, first_fit_is_the_lowest_run_long_enough_below_the_limit) {
  std::mt19937_64 rng(7);
  FreeRuns runs;
  auto scan = [&](std::uint64_t count, std::uint64_t limit) -> std::optional<std::uint64_t> {
    for (auto [first, length] : runs) {
      if (first >= limit || count > limit - first) break;
      if (length >= count) return first;
    }
    return std::nullopt;
  };
  for (int step = 0; step < 20000; ++step) {
    std::uint64_t first = rng() % 4000;
    switch (rng() % 4) {
      case 0:
      case 1:
        space::add_free_run(runs, first, 1 + (rng() % 3 == 0 ? rng() % 80 : rng() % 4));
        break;
      case 2:
        if (auto it = runs.lower_bound(first); it != runs.end())
          runs.set(it->first, 1 + rng() % it->second);
        break;
      default:
        if (auto it = runs.lower_bound(first); it != runs.end()) runs.erase(it->first);
    }
    std::uint64_t count = 1 + (rng() % 2 ? rng() % 6 : rng() % 90);
    std::uint64_t limit = rng() % 2 ? UINT64_MAX : rng() % 4200;
    auto fit = runs.first_fit(count, limit);
    ASSERT_EQ(fit == runs.end() ? std::nullopt : std::optional(fit->first), scan(count, limit))
        << "step " << step << ", " << count << " pages below " << limit;
  }
}

// Model check of the chunked runs against a sorted map: through growth to
// many chunks (splits) and back to a few (merges, emptied chunks), every
// run is found where the map has it, a lower bound in a gap between chunks
// lands on the next chunk's first run, and both directions of iteration
// visit the map's runs, and the first fit is the map's lowest run long
// enough.
TEST(FreeRunMap, holds_what_a_sorted_map_holds_through_splits_and_merges) {
  std::mt19937_64 rng(11);
  FreeRuns runs;
  std::map<std::uint64_t, std::uint64_t> model;
  auto room_at = [&](std::uint64_t first) -> std::uint64_t {
    auto next = model.upper_bound(first);
    if (next != model.begin()) {
      auto prev = std::prev(next);
      if (prev->first + prev->second > first) return 0;
    }
    return next == model.end() ? 64 : std::min<std::uint64_t>(64, next->first - first);
  };
  const std::uint64_t span = 40 * FreeRuns::kMaxChunk * 4;
  for (int step = 0; step < 30000; ++step) {
    // Grows towards 20 chunks' worth of runs, then shrinks, then grows.
    const bool growing = (step / 10000) % 2 == 0;
    std::uint64_t at = rng() % span;
    if (rng() % 3 < (growing ? 2u : 1u)) {
      if (std::uint64_t room = room_at(at)) {
        // Mostly short, as a file's free runs are: a chunk's longest varies.
        std::uint64_t length =
            1 + rng() % (rng() % 16 == 0 ? room : std::min<std::uint64_t>(room, 3));
        runs.set(at, length);
        model[at] = length;
      }
    } else if (auto it = model.lower_bound(at); it != model.end()) {
      if (rng() % 4 == 0) {
        std::uint64_t length = 1 + rng() % it->second;
        runs.set(it->first, length);
        it->second = length;
      } else {
        runs.erase(it->first);
        model.erase(it);
      }
    }
    ASSERT_EQ(runs.size(), model.size()) << "step " << step;
    auto found = runs.lower_bound(at);
    auto expected = model.lower_bound(at);
    ASSERT_EQ(found == runs.end(), expected == model.end()) << "step " << step;
    if (expected != model.end()) {
      ASSERT_EQ(*found, FreeRuns::Run(*expected)) << "step " << step;
      ASSERT_EQ(runs.find(at) != runs.end(), expected->first == at);
    }
    if (expected != model.begin()) {
      ASSERT_EQ(*std::prev(found), FreeRuns::Run(*std::prev(expected))) << "step " << step;
    }
    // The first fit steps over chunks by their longest run: long runs are
    // rare, so the fit often lies chunks away.
    std::uint64_t count = 1 + rng() % 64;
    auto fit = std::ranges::find_if(model, [&](const auto& r) { return r.second >= count; });
    ASSERT_EQ(runs.first_fit(count, UINT64_MAX) == runs.end()
                  ? std::nullopt
                  : std::optional(runs.first_fit(count, UINT64_MAX)->first),
              fit == model.end() ? std::nullopt : std::optional(fit->first))
        << "step " << step << ", " << count << " pages";
    if (step % 97 == 0) {
      std::vector<FreeRuns::Run> want(model.begin(), model.end()), forward, backward;
      for (const auto& run : runs) forward.push_back(run);
      for (auto it = runs.end(); it != runs.begin();) backward.insert(backward.begin(), *--it);
      ASSERT_EQ(forward, want) << "step " << step;
      ASSERT_EQ(backward, want) << "step " << step;
    }
  }
}

TEST(FreeRunMap, adding_runs_merges_neighbours_on_both_sides) {
  FreeRuns runs;
  EXPECT_TRUE(space::add_free_run(runs, 10, 2));
  EXPECT_TRUE(space::add_free_run(runs, 14, 3));
  EXPECT_TRUE(space::add_free_run(runs, 12, 2));  // fills the gap exactly
  EXPECT_EQ(runs, (FreeRuns{{10, 7}}));
  EXPECT_TRUE(space::add_free_run(runs, 5, 5));
  EXPECT_EQ(runs, (FreeRuns{{5, 12}}));
  EXPECT_EQ(space::free_page_count(runs), 12u);
}

// What adding the run [first, first + length), which overlaps none, makes
// of a map of runs: merged with the runs that end where it starts and start
// where it ends. Answers the first pages of the runs changed, as the free
// runs log them.
std::vector<std::uint64_t> merge_into(std::map<std::uint64_t, std::uint64_t>& model,
                                      std::uint64_t first, std::uint64_t length) {
  std::vector<std::uint64_t> logged;
  auto next = model.lower_bound(first);
  std::uint64_t start = first, total = length;
  if (next != model.end() && next->first == first + length) {
    logged.push_back(next->first);
    total += next->second;
    next = model.erase(next);
  }
  if (next != model.begin() && std::prev(next)->first + std::prev(next)->second == first) {
    start = std::prev(next)->first;
    total += std::prev(next)->second;
  }
  model[start] = total;
  logged.push_back(start);
  std::sort(logged.begin(), logged.end());
  return logged;
}

// The runs answer a lower bound at `probe` and a first fit of `count` pages
// as the model does.
void expect_lookups_as_the_model(const FreeRuns& runs,
                                 const std::map<std::uint64_t, std::uint64_t>& model,
                                 std::uint64_t probe, std::uint64_t count, int step) {
  auto found = runs.lower_bound(probe);
  auto expected = model.lower_bound(probe);
  ASSERT_EQ(found == runs.end(), expected == model.end()) << "step " << step;
  if (expected != model.end()) {
    ASSERT_EQ(*found, FreeRuns::Run(*expected)) << "step " << step;
  }
  auto fit = std::ranges::find_if(model, [&](const auto& r) { return r.second >= count; });
  auto got = runs.first_fit(count, UINT64_MAX);
  ASSERT_EQ(got == runs.end() ? std::nullopt : std::optional(got->first),
            fit == model.end() ? std::nullopt : std::optional(fit->first))
      << "step " << step;
}

bool same_runs(const FreeRuns& runs, const std::map<std::uint64_t, std::uint64_t>& model) {
  return std::equal(runs.begin(), runs.end(), model.begin(), model.end(),
                    [](const FreeRuns::Run& r, const auto& m) { return r == FreeRuns::Run(m); });
}

// Adding a run finds its neighbours once and changes the chunks in place:
// over many chunks, with neighbours across chunk borders, it must hold what
// a map merged the same way holds, log the runs the free tree must take in,
// and keep the lookups and the first fit right.
TEST(FreeRunMap, adding_runs_holds_what_a_merged_map_holds_and_logs_each_change) {
  std::mt19937_64 rng(5);
  FreeRuns runs;
  std::map<std::uint64_t, std::uint64_t> model;
  runs.start_log();
  const std::uint64_t span = 6 * FreeRuns::kMaxChunk * 8;
  for (int step = 0; step < 20000; ++step) {
    std::uint64_t first = 1 + rng() % span, length = 1 + rng() % (rng() % 8 == 0 ? 9 : 2);
    // The model: refused when it overlaps a run, else merged with the runs
    // that end where it starts and start where it ends.
    auto next = model.lower_bound(first);
    bool overlaps =
        (next != model.end() && next->first < first + length) ||
        (next != model.begin() && std::prev(next)->first + std::prev(next)->second > first);
    std::vector<std::uint64_t> logged;
    if (!overlaps) logged = merge_into(model, first, length);
    ASSERT_EQ(space::add_free_run(runs, first, length), !overlaps) << "step " << step;
    ASSERT_EQ(runs.take_changes(), logged) << "step " << step;
    // Now and then a run taken out again, as allocations do, so that the
    // runs keep splitting and merging chunks.
    if (step % 3 == 0 && !model.empty()) {
      auto it = model.lower_bound(1 + rng() % span);
      if (it == model.end()) it = model.begin();
      runs.erase(it->first);
      model.erase(it);
      runs.take_changes();
    }
    ASSERT_EQ(runs.size(), model.size()) << "step " << step;
    std::uint64_t probe = 1 + rng() % span;
    std::uint64_t count = 1 + rng() % 12;
    ASSERT_NO_FATAL_FAILURE(expect_lookups_as_the_model(runs, model, probe, count, step));
  }
  EXPECT_TRUE(same_runs(runs, model));
}

// Pages taken from the front of a run shorten it in its place: over many
// chunks, taking whole runs and parts of runs (the first of a chunk, its
// longest) must leave what a map holds, log the runs the free tree must
// take in, and keep the lookups and the first fit right.
TEST(FreeRunMap, taking_from_the_front_of_runs_holds_what_a_map_holds_and_logs_each_change) {
  std::mt19937_64 rng(17);
  FreeRuns runs;
  std::map<std::uint64_t, std::uint64_t> model;
  const std::uint64_t span = 8 * FreeRuns::kMaxChunk * 16;
  auto add_some = [&](int count) {
    for (int i = 0; i < count; ++i) {
      const std::uint64_t first = 1 + rng() % span, length = 1 + rng() % (rng() % 8 == 0 ? 12 : 3);
      if (space::add_free_run(runs, first, length)) merge_into(model, first, length);
    }
  };
  add_some(3000);
  ASSERT_EQ(runs.size(), model.size());
  runs.start_log();
  for (int step = 0; step < 20000; ++step) {
    if (model.empty() || step % 50 == 0) {
      add_some(40);
      runs.take_changes();
    }
    // Mostly the lowest run, as single pages are allocated; else any run,
    // as an overflow run's first fit takes it.
    auto want = step % 2 == 0 ? model.begin() : model.lower_bound(1 + rng() % span);
    if (want == model.end()) want = model.begin();
    const auto [first, length] = *want;
    const std::uint64_t count = rng() % 3 == 0 ? length : 1 + rng() % length;
    auto it = runs.find(first);
    ASSERT_NE(it, runs.end()) << "step " << step;
    ASSERT_EQ(runs.take_front(it, count), first) << "step " << step;
    model.erase(want);
    std::vector<std::uint64_t> logged{first};
    if (count < length) {
      model[first + count] = length - count;
      logged.push_back(first + count);
    }
    ASSERT_EQ(runs.take_changes(), logged) << "step " << step;
    ASSERT_EQ(runs.size(), model.size()) << "step " << step;
    const std::uint64_t any = 1 + rng() % span, fit_count = 1 + rng() % 12;
    for (std::uint64_t probe : {first, first + count, any})
      ASSERT_NO_FATAL_FAILURE(expect_lookups_as_the_model(runs, model, probe, fit_count, step));
  }
  EXPECT_TRUE(same_runs(runs, model));
}

TEST(FreeRunMap, overlapping_or_empty_runs_are_refused) {
  FreeRuns runs{{10, 5}};
  EXPECT_FALSE(space::add_free_run(runs, 14, 3));
  EXPECT_FALSE(space::add_free_run(runs, 8, 3));
  EXPECT_FALSE(space::add_free_run(runs, 11, 1));
  EXPECT_FALSE(space::add_free_run(runs, 5, 20));
  EXPECT_FALSE(space::add_free_run(runs, 30, 0));
  EXPECT_FALSE(space::add_free_run(runs, UINT64_MAX - 1, 5));
  EXPECT_EQ(runs, (FreeRuns{{10, 5}}));
}

#ifndef NDEBUG
TEST(FreeRunMap, setting_a_run_over_its_neighbours_breaks_an_invariant) {
  // Where the checks are compiled in, a run set over a neighbour (or empty)
  // stops the call instead of leaving two runs that share pages.
  struct Case {
    std::uint64_t first, length;
  };
  for (Case c : {Case{8, 3}, Case{12, 9}, Case{24, 1}, Case{5, 0}}) {
    SCOPED_TRACE(::testing::Message() << c.first << "+" << c.length);
    FreeRuns runs = {{10, 5}, {20, 5}};
    EXPECT_THROW(runs.set(c.first, c.length), InvariantFailure);
  }
  FreeRuns runs = {{10, 5}, {20, 5}};
  runs.set(15, 5);
  runs.set(10, 4);
  EXPECT_EQ(runs, (FreeRuns{{10, 4}, {15, 5}, {20, 5}}));
}
#endif

TEST(FreeRunMap, trimming_drops_runs_that_end_the_file) {
  PageSpace s;
  s.page_count = 30;
  s.free_runs = {{5, 5}, {20, 10}};
  space::trim_free_tail(s);
  EXPECT_EQ(s.page_count, 20u);
  EXPECT_EQ(s.free_runs, (FreeRuns{{5, 5}}));
  space::trim_free_tail(s);
  EXPECT_EQ(s.page_count, 20u);
}

TEST(FreeRunMap, own_releases_become_free_at_commit) {
  PageSpace s;
  s.page_count = 10;
  s.free_runs = {{3, 1}};
  ASSERT_TRUE(space::allocate_page(s));  // 3
  ASSERT_TRUE(space::allocate_page(s));  // 10
  ASSERT_TRUE(space::allocate_page(s));  // 11
  space::release_page(s, 3);
  space::release_page(s, 11);
  space::free_own_releases(s);
  EXPECT_EQ(s.free_runs, (FreeRuns{{3, 1}, {11, 1}}));
  EXPECT_TRUE(s.released_own.empty());
  space::trim_free_tail(s);
  EXPECT_EQ(s.page_count, 11u);
}

// Model check: under random allocations, releases and frees, no page is
// ever handed out while it is in use or free, and the run map stays sorted,
// disjoint, merged and inside the file.
TEST(AllocatePage, random_workload_never_hands_out_a_page_twice) {
  std::mt19937_64 rng(77);
  for (int round = 0; round < 20; ++round) {
    PageSpace s;
    s.page_count = 1 + rng() % 50;
    std::set<std::uint64_t> in_use;  // by this model: pages handed out and not released
    for (std::uint64_t p = 1; p < s.page_count; ++p) {
      if (rng() % 3 == 0) {
        ASSERT_TRUE(space::add_free_run(s.free_runs, p, 1));
      }
    }
    for (int step = 0; step < 400; ++step) {
      int op = static_cast<int>(rng() % 10);
      if (op < 5) {
        std::uint64_t p = space::allocate_page(s).value();
        ASSERT_FALSE(in_use.contains(p)) << p;
        ASSERT_LT(p, s.page_count);
        ASSERT_GT(p, 0u);
        in_use.insert(p);
      } else if (op < 7) {
        std::uint64_t n = 1 + rng() % 4;
        std::uint64_t first = space::allocate_run(s, n).value();
        for (std::uint64_t p = first; p < first + n; ++p) {
          ASSERT_FALSE(in_use.contains(p)) << p;
          in_use.insert(p);
        }
        ASSERT_LE(first + n, s.page_count);
      } else if (!in_use.empty()) {
        auto it = in_use.begin();
        std::advance(it, rng() % in_use.size());
        space::release_page(s, *it);
        in_use.erase(it);
      }
      if (step % 50 == 49) {
        space::free_own_releases(s);
        space::trim_free_tail(s);
      }
      std::uint64_t previous_end = 0;
      for (auto [first, length] : s.free_runs) {
        ASSERT_GT(length, 0u);
        ASSERT_GT(first, previous_end);  // disjoint and merged
        ASSERT_LE(first + length, s.page_count);
        for (std::uint64_t p = first; p < first + length; ++p) ASSERT_FALSE(in_use.contains(p));
        previous_end = first + length;
      }
    }
  }
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
