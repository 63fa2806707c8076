// A snapshot's tree reader keeps the leaves it met and searches a later key
// in one of them when the key falls in its range: every order of keys must
// find exactly what the snapshot's own lookup finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "btree/pager/page_reader.hpp"
#include "database.hpp"
#include "format/node.hpp"
#include "storage/fault_storage.hpp"
#include "support/spoilt_leaves.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

constexpr int kKeys = 40000;  // even numbers stored, odd ones absent

// The keys' common start: short keys differ within their first eight
// bytes, long ones only after them.
std::string head = "k";

std::string key_of(int n) {
  char text[16];
  std::snprintf(text, sizeof text, "%06d", n);
  return n < 0 ? std::string() : head + text;
}

std::string value_of(int n) {
  // Every thousandth value lies in an overflow run.
  return key_of(n) + std::string(n % 1000 == 0 ? 9000 : 30, static_cast<char>('a' + n % 26));
}

class TreeReaderKeys : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { head = GetParam(); }
};

std::optional<std::string> found(TreeReader& reader, const std::string& key) {
  std::optional<std::string> value;
  auto visitor = [&](ByteView v) -> Status {
    value.emplace(v.begin(), v.end());
    return ok();
  };
  auto r = reader.get(bytes_of(key), visitor);
  EXPECT_TRUE(r && *r == value.has_value());
  return value;
}

// Fetches through another source, counted; with `in_place`, also finds
// nodes in place as that source does, counted too.
class CountedSource final : public NodeSource {
 public:
  explicit CountedSource(NodeSource& inner, bool in_place = false)
      : inner_(inner), in_place_(in_place) {}
  std::uint32_t page_size() const override { return inner_.page_size(); }
  Result<NodeView> fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                              std::optional<std::uint8_t> level) override {
    ++fetches;
    return inner_.fetch_node(pointer, tree_id, level);
  }
  EpochDomain* epochs() override { return in_place_ ? inner_.epochs() : nullptr; }
  const NodeView* peek_node(const ChildPointer& pointer, std::uint64_t tree_id,
                            std::optional<std::uint8_t> level) override {
    const NodeView* view = inner_.peek_node(pointer, tree_id, level);
    peeks += view != nullptr;
    return view;
  }
  Status read_pages(std::uint64_t first, std::size_t count, PageRun& run) override {
    return inner_.read_pages(first, count, run);
  }
  Error corrupted(std::string message) const override {
    return inner_.corrupted(std::move(message));
  }

  int fetches = 0;
  int peeks = 0;

 private:
  NodeSource& inner_;
  bool in_place_;
};

TEST_P(TreeReaderKeys, finds_what_a_fresh_lookup_finds_in_every_order_of_keys) {
  auto storage = std::make_unique<FaultStorage>("/mem/r.db", *Database::new_first_page({}));
  auto instance = Database::open_existing(std::move(storage), {});
  ASSERT_TRUE(instance);
  auto w = WriteTxn::begin(*instance);
  ASSERT_TRUE(w);
  for (int n = 0; n < kKeys; n += 2)
    ASSERT_TRUE((*w)->put(bytes_of("t"), bytes_of(key_of(n)), bytes_of(value_of(n))));
  ASSERT_TRUE((*w)->commit());
  auto snapshot = ReadTxn::begin(*instance);
  ASSERT_TRUE(snapshot);

  std::vector<int> ascending;  // -1: the empty key
  for (int n = -1; n <= kKeys; ++n) ascending.push_back(n);
  // Like the records of an index range: each stride walks the whole tree
  // and the next comes back to nearly the same leaves.
  std::vector<int> strided;
  for (int start = 0; start < 700; ++start)
    for (int n = start; n < kKeys; n += 700) strided.push_back(n);
  std::vector<int> shuffled = ascending;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(23));
  for (const auto* order : {&ascending, &strided, &shuffled}) {
    auto reader = snapshot->tree_reader(bytes_of("t"));
    ASSERT_TRUE(reader && *reader);
    for (int n : *order) {
      const std::optional<std::string> expected =
          n % 2 == 0 && n < kKeys ? std::optional(value_of(n)) : std::nullopt;
      ASSERT_EQ(found(**reader, key_of(n)), expected) << key_of(n);
    }
    for (const std::string& key : {head, head + "000001x", std::string("l"), std::string("\xff")})
      EXPECT_EQ(found(**reader, key), std::nullopt) << key;
  }

  // Keys of leaves met before are found in them, in any order, with no
  // fetch: whether their heads differ or tie, and whether the leaves were
  // met in key order or out of it (each goes in among those kept before).
  for (const bool met_in_order : {true, false}) {
    SCOPED_TRACE(met_in_order ? "met in key order" : "met out of order");
    auto descriptor = snapshot->descriptor(bytes_of("t"));
    ASSERT_TRUE(descriptor && *descriptor);
    CountedSource counted(snapshot->source());
    RootReader reader(counted, (*descriptor)->tree_id, (*descriptor)->root);
    std::vector<int> spread;
    for (int n = 0; n < kKeys; n += 300) spread.push_back(n);
    ASSERT_LT(spread.size(), RootReader::kMaxLeaves);
    if (!met_in_order) std::shuffle(spread.begin(), spread.end(), std::mt19937(31));
    for (int n : spread) ASSERT_EQ(found(reader, key_of(n)), value_of(n));
    std::shuffle(spread.begin(), spread.end(), std::mt19937(29));
    counted.fetches = 0;
    for (int n : spread) {
      ASSERT_EQ(found(reader, key_of(n)), value_of(n));
      ASSERT_EQ(found(reader, key_of(n + 1)), std::nullopt);
    }
    // Only overflow values are fetched: by a lookup of their own, which
    // finds the branches kept and fetches the leaf.
    int overflowing = 0;
    for (int n : spread) overflowing += n % 1000 == 0;
    EXPECT_EQ(counted.fetches, overflowing);
  }

  // A visitor looking up through the same reader meets more leaves than
  // the reader keeps, while the outer value is read in place from a kept
  // leaf. Through the cache, and with leaves whose bytes are spoilt as soon
  // as the last holder lets go.
  auto descriptor = snapshot->descriptor(bytes_of("t"));
  ASSERT_TRUE(descriptor && *descriptor);
  testing::SpoiltLeaves spoilt(snapshot->source());
  auto cached = snapshot->tree_reader(bytes_of("t"));
  ASSERT_TRUE(cached && *cached);
  RootReader spoiling(spoilt, (*descriptor)->tree_id, (*descriptor)->root);
  for (TreeReader* reader : {cached->get(), static_cast<TreeReader*>(&spoiling)}) {
    int asked = 0;
    int right = 0;
    auto visitor = [&](ByteView v) -> Status {
      const std::string before(v.begin(), v.end());
      for (int n = 4; n < kKeys; n += 50, ++asked)
        right += found(*reader, key_of(n)) == value_of(n);
      EXPECT_EQ(std::string(v.begin(), v.end()), before);
      EXPECT_EQ(before, value_of(2));
      return ok();
    };
    // Twice: the second time the reader is full from the start.
    ASSERT_TRUE(reader->get(bytes_of(key_of(2)), visitor));
    ASSERT_TRUE(reader->get(bytes_of(key_of(2)), visitor));
    EXPECT_EQ(right, asked);
    EXPECT_GT(asked, 2 * static_cast<int>(RootReader::kMaxLeaves));
  }
}

INSTANTIATE_TEST_SUITE_P(TreeReader, TreeReaderKeys, ::testing::Values("k", "long-key-head-"));

// Branch nodes made on demand, one per page number and stamp, counting the
// fetches: the first child of a branch names its page and its stamp's first
// byte, so a view tells which image it is.
class MadeBranches final : public NodeSource {
 public:
  static constexpr std::uint32_t kPageSize = 4096;
  static std::uint64_t tag_of(const ChildPointer& p) { return p.page * 256 + p.stamp.bytes[0]; }

  std::uint32_t page_size() const override { return kPageSize; }
  Result<NodeView> fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                              std::optional<std::uint8_t> level) override {
    ++fetches;
    std::shared_ptr<std::uint8_t[]> page(new std::uint8_t[kPageSize]());
    const ChildPointer children[2] = {{tag_of(pointer), 1, {}}, {0, 1, {}}};
    const ByteView keys[1] = {bytes_of("m")};
    if (level == 0)
      node::build_leaf({page.get(), kPageSize}, LeafLayout::Varint, {}, pointer.commit_id, tree_id);
    else
      node::build_branch({page.get(), kPageSize}, level.value_or(1), keys, children,
                         pointer.commit_id, tree_id);
    auto view =
        NodeView::from_page(std::shared_ptr<const std::uint8_t>(page, page.get()), kPageSize);
    if (!view) return fail(corrupted(view.error()));
    return *view;
  }
  Status read_pages(std::uint64_t, std::size_t, PageRun&) override {
    return fail(corrupted("no pages here"));
  }
  Error corrupted(std::string message) const override {
    return Error::corrupted("/mem/made", std::move(message));
  }

  int fetches = 0;
};

TEST(BranchMemo, keeps_each_branch_under_its_own_pointer_until_it_is_full) {
  MadeBranches made;
  BranchMemo memo(made);
  const auto pointer = [](std::uint64_t page, std::uint8_t stamp) {
    ChildPointer p{page, 7, {}};
    p.stamp.bytes[0] = stamp;
    return p;
  };
  // More page numbers than the memo keeps, scattered: many share a place
  // in its table.
  const std::uint64_t pages = BranchMemo::kMaxBranches + 40;
  std::vector<std::uint64_t> numbers;
  std::mt19937_64 rng(5);
  while (numbers.size() < pages) numbers.push_back(1 + rng() % (1ull << 40));
  const auto fetch_all = [&](std::uint8_t stamp) {
    for (std::uint64_t page : numbers) {
      const ChildPointer p = pointer(page, stamp);
      auto view = memo.fetch_node(p, 3, 1);
      ASSERT_TRUE(view) << page;
      EXPECT_EQ(view->child_at(0).page, MadeBranches::tag_of(p)) << page;
    }
  };
  fetch_all(1);
  EXPECT_EQ(made.fetches, static_cast<int>(pages));
  // The kept ones come back without a fetch, the others are fetched again.
  fetch_all(1);
  EXPECT_EQ(made.fetches, static_cast<int>(pages + 40));
  // The same page numbers with other stamps name other images.
  fetch_all(2);
  EXPECT_EQ(made.fetches, static_cast<int>(2 * pages + 40));
  // Reached from another tree or at another level it is fetched and
  // checked afresh, leaving the kept one in place; leaves are never kept.
  made.fetches = 0;
  const ChildPointer first = pointer(numbers[0], 1);
  ASSERT_TRUE(memo.fetch_node(first, 4, 1));
  auto deeper = memo.fetch_node(first, 3, 2);
  ASSERT_TRUE(deeper);
  EXPECT_EQ(deeper->level(), 2);
  ASSERT_TRUE(memo.fetch_node(first, 3, std::nullopt));
  ASSERT_TRUE(memo.fetch_node(first, 3, 1));
  EXPECT_EQ(made.fetches, 2);
  const ChildPointer leaf = pointer(numbers[1] + 1, 1);
  ASSERT_TRUE(memo.fetch_node(leaf, 3, 0));
  ASSERT_TRUE(memo.fetch_node(leaf, 3, 0));
  EXPECT_EQ(made.fetches, 4);
}

class TreeReaderInPlace : public ::testing::Test {
 protected:
  void SetUp() override {
    head = "k";
    auto storage = std::make_unique<FaultStorage>("/mem/p.db", *Database::new_first_page({}));
    auto opened = Database::open_existing(std::move(storage), {});
    ASSERT_TRUE(opened);
    instance = *opened;
    auto w = WriteTxn::begin(instance);
    ASSERT_TRUE(w);
    for (int n = 0; n < kKeys; n += 2)
      ASSERT_TRUE((*w)->put(bytes_of("t"), bytes_of(key_of(n)), bytes_of(value_of(n))));
    ASSERT_TRUE((*w)->commit());
  }
  static PageCache& cache_of(ReadTxn& snapshot) { return snapshot.file().reader().pager().cache(); }

  std::shared_ptr<Instance> instance;
};

// Nodes the cache holds are used in place, with no fetch; a kept leaf whose
// node left the cache since is fetched once when next used, and then held.
TEST_F(TreeReaderInPlace, kept_leaves_that_left_the_cache_are_fetched_once_and_then_held) {
  auto snapshot = ReadTxn::begin(instance);
  ASSERT_TRUE(snapshot);
  auto descriptor = snapshot->descriptor(bytes_of("t"));
  ASSERT_TRUE(descriptor && *descriptor);
  CountedSource peeking(snapshot->source(), true);
  RootReader reader(peeking, (*descriptor)->tree_id, (*descriptor)->root);
  // Keys of as many leaves (far more keys apart than a leaf holds), none
  // with an overflow value.
  std::vector<int> spread;
  for (int n = 2; n < kKeys; n += 1000) spread.push_back(n);
  ASSERT_LT(spread.size(), RootReader::kMaxLeaves);
  {
    auto warming = snapshot->tree_reader(bytes_of("t"));
    ASSERT_TRUE(warming && *warming);
    for (int n : spread) ASSERT_EQ(found(**warming, key_of(n)), value_of(n));
  }
  for (int n : spread) ASSERT_EQ(found(reader, key_of(n)), value_of(n));
  EXPECT_EQ(peeking.fetches, 0);
  EXPECT_GT(peeking.peeks, 2 * static_cast<int>(spread.size()));
  cache_of(*snapshot).clear();
  for (int pass = 0; pass < 2; ++pass) {
    for (int n : spread) {
      ASSERT_EQ(found(reader, key_of(n)), value_of(n));
      ASSERT_EQ(found(reader, key_of(n + 1)), std::nullopt);
    }
    EXPECT_EQ(peeking.fetches, static_cast<int>(spread.size())) << "pass " << pass;
  }
}

// Readers on several threads, each with its own snapshot and tree reader,
// use cached nodes in place while another thread keeps emptying the cache:
// every answer is right (a node freed under a reader shows to the
// sanitizers, or as a wrong answer).
TEST_F(TreeReaderInPlace, readers_on_many_threads_stay_right_while_the_cache_is_emptied) {
  std::atomic<int> running{4};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(40 + t);
      for (int round = 0; round < 40; ++round) {
        auto snapshot = ReadTxn::begin(instance);
        auto reader = snapshot ? snapshot->tree_reader(bytes_of("t")) : nullptr;
        if (!reader || !*reader) {
          ++wrong;
          break;
        }
        for (int i = 0; i < 200; ++i) {
          const int n = static_cast<int>(rng() % kKeys);
          std::optional<std::string> value;
          auto r = (**reader).get(bytes_of(key_of(n)), [&](ByteView v) -> Status {
            value.emplace(v.begin(), v.end());
            return ok();
          });
          const auto expected = n % 2 == 0 ? std::optional(value_of(n)) : std::nullopt;
          if (!r || *r != expected.has_value() || value != expected) ++wrong;
        }
      }
      --running;
    });
  }
  auto snapshot = ReadTxn::begin(instance);
  ASSERT_TRUE(snapshot);
  int clears = 0;
  while (running.load() > 0) {
    cache_of(*snapshot).clear();
    ++clears;
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(clears, 0);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
