// Node layouts: cell sizes, the overflow threshold, branch pointers, the
// refusal of pages whose structure is broken, and the writer's views and
// copies of pages it built.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <latch>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "format/bytes.hpp"
#include "format/node.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

std::size_t leb(std::size_t x) { return x < 0x80 ? 1 : (x < 0x4000 ? 2 : 3); }

std::shared_ptr<const std::uint8_t> share(const std::vector<std::uint8_t>& page) {
  auto copy = std::make_shared<std::vector<std::uint8_t>>(page);
  return std::shared_ptr<const std::uint8_t>(copy, copy->data());
}

NodeView parse(const std::vector<std::uint8_t>& page) {
  auto view = NodeView::from_page(share(page), static_cast<std::uint32_t>(page.size()));
  EXPECT_TRUE(view.has_value()) << view.error();
  return *view;
}

std::string refusal(const std::vector<std::uint8_t>& page) {
  auto view = NodeView::from_page(share(page), static_cast<std::uint32_t>(page.size()));
  return view ? std::string("accepted") : view.error();
}

struct Item {
  std::string key;
  std::string value;
  bool overflow;
};

std::vector<std::uint8_t> leaf_page(std::uint32_t page_size, LeafLayout layout,
                                    const std::vector<Item>& items, OverflowRef& ref) {
  std::vector<LeafItem> laid;
  for (const Item& item : items)
    laid.push_back(
        LeafItem{bytes_view(item.key), bytes_view(item.value), item.overflow ? &ref : nullptr});
  std::vector<std::uint8_t> page(page_size, 0xEE);
  node::build_leaf(page, layout, laid, 7, 21);
  return page;
}

// Key order is unsigned bytewise with a proper prefix first, whether two
// keys differ in their first eight bytes, after them, or only in length;
// compared through their heads (zero-padded when shorter than eight bytes)
// they order the same.
TEST(KeyOrderTest, compare_keys_is_unsigned_bytewise_with_a_prefix_first) {
  auto sign = [](int c) { return (c > 0) - (c < 0); };
  auto expected = [](const std::string& a, const std::string& b) {
    auto ua = [](char c) { return static_cast<unsigned char>(c); };
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
      if (ua(a[i]) != ua(b[i])) return ua(a[i]) < ua(b[i]) ? -1 : 1;
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
  };
  const std::vector<std::string> keys = {"",
                                         "a",
                                         "ab",
                                         "abcdefg",
                                         std::string("a\x80", 2),
                                         std::string("\xff", 1),
                                         std::string("\0", 1),
                                         "abcdefgh",
                                         "abcdefgi",
                                         "abcdefgh\x01",
                                         "abcdefghij",
                                         "abcdefghik",
                                         std::string("abcdefgh\x80", 9),
                                         std::string("\x80"
                                                     "bcdefgh",
                                                     9),
                                         std::string("\xff\xff\xff\xff\xff\xff\xff\xff", 8),
                                         std::string(8, '\0'),
                                         std::string(9, '\0'),
                                         std::string("\x01\0\0\0\0\0\0\0", 8),
                                         "abcdefgha",
                                         std::string("abcdefg\xff", 8),
                                         "bbcdefgh",
                                         "abcdefghijklmnop",
                                         "abcdefghijklmnoq",
                                         "abcdefghijklmnopq",
                                         "abcdefghijklmnoa",
                                         "abcdefghIjklmnop",
                                         "abcdefghijkl",
                                         "abcdefghijkm"};
  for (const std::string& a : keys) {
    for (const std::string& b : keys) {
      const ByteView x = bytes_view(a);
      const ByteView y = bytes_view(b);
      EXPECT_EQ(sign(compare_keys(x, y)), expected(a, b))
          << ::testing::PrintToString(a) << " vs " << ::testing::PrintToString(b);
      EXPECT_EQ(sign(compare_headed_keys(key_head(x), x, key_head(y), y)), expected(a, b))
          << ::testing::PrintToString(a) << " vs " << ::testing::PrintToString(b);
    }
  }
}

TEST(LeafLayoutTest, cells_take_the_documented_sizes_in_both_layouts) {
  OverflowRef ref{900, 3, 10000, 6, {}};
  ref.check.bytes[0] = 0xAB;
  std::vector<Item> items = {{"", "", false},
                             {"a", std::string(63, 'v'), false},
                             {"b", std::string(64, 'w'), false},
                             {std::string(127, 'k'), "x", false},
                             {std::string(128, 'l'), std::string(300, 'y'), false},
                             {"over", "", true}};
  for (LeafLayout layout : {LeafLayout::Fixed, LeafLayout::Varint}) {
    std::size_t expected = 0;
    for (const Item& item : items) {
      std::size_t k = item.key.size();
      std::size_t v = item.value.size();
      if (layout == LeafLayout::Fixed) {
        expected += item.overflow ? k + 47 : k + v + 5;
      } else {
        expected += item.overflow ? k + leb(k) + 45 : k + v + leb(k) + leb(2 * v);
      }
      expected += 2;
    }
    std::vector<std::uint8_t> page = leaf_page(4096, layout, items, ref);
    NodeView view = parse(page);
    EXPECT_EQ(view.code(),
              layout == LeafLayout::Fixed ? NodeCode::FixedLeaf : NodeCode::VarintLeaf);
    EXPECT_EQ(page[24], layout == LeafLayout::Fixed ? 1 : 4);
    EXPECT_EQ(view.used_bytes(), expected);
    EXPECT_EQ(view.count(), items.size());
    EXPECT_EQ(view.commit_id(), 7u);
    EXPECT_EQ(view.tree_id(), 21u);
    for (std::size_t i = 0; i < items.size(); ++i) {
      LeafCell cell = node::entry_at(page.data(), layout, i);
      EXPECT_EQ(to_string(cell.key), items[i].key);
      EXPECT_EQ(cell.overflow, items[i].overflow);
      if (cell.overflow) {
        EXPECT_EQ(cell.ref, ref);
      } else {
        EXPECT_EQ(to_string(cell.value), items[i].value);
      }
    }
  }
}

TEST(LeafLayoutTest, four_longest_keys_with_overflow_values_fill_a_leaf_exactly) {
  for (std::uint32_t page_size = 4096; page_size <= 65536; page_size *= 2) {
    std::size_t k = node::max_key_len(page_size);
    EXPECT_EQ(k, (page_size - 268) / 4);
    for (LeafLayout layout : {LeafLayout::Fixed, LeafLayout::Varint}) {
      EXPECT_EQ(4 * (node::overflow_cell_size(layout, k) + 2), page_size - 72u);
      EXPECT_EQ(node::leaf_entry_bytes(layout, page_size, k, page_size), (page_size - 72) / 4);
    }
  }
  EXPECT_EQ(node::max_key_len(4096), 957u);
  EXPECT_EQ(node::max_key_len(65536), 16317u);
}

TEST(LeafLayoutTest, value_moves_to_an_overflow_run_past_a_quarter_of_the_room) {
  for (std::uint32_t page_size : {4096u, 65536u}) {
    for (LeafLayout layout : {LeafLayout::Fixed, LeafLayout::Varint}) {
      std::size_t quarter = (page_size - 72) / 4;
      std::size_t v = 0;
      while (node::inline_cell_size(layout, 10, v + 1) + 2 <= quarter) ++v;
      EXPECT_TRUE(node::value_fits_inline(layout, page_size, 10, v));
      EXPECT_FALSE(node::value_fits_inline(layout, page_size, 10, v + 1));
      EXPECT_EQ(node::leaf_entry_bytes(layout, page_size, 10, v + 1),
                node::overflow_cell_size(layout, 10) + 2);
    }
  }
  EXPECT_EQ(node::overflow_page_count(4096, 4024), 1u);
  EXPECT_EQ(node::overflow_page_count(4096, 4025), 2u);
  EXPECT_EQ(node::overflow_batch_pages(4096), 256u);
  EXPECT_EQ(node::overflow_batch_pages(65536), 16u);
}

TEST(LeafLayoutTest, overflow_reference_is_44_bytes_in_its_documented_order) {
  OverflowRef ref{0x0102030405060708ull, 9, 0xA0B0C0D0u, 0x1112131415161718ull, {}};
  for (std::size_t i = 0; i < 16; ++i) ref.check.bytes[i] = static_cast<std::uint8_t>(0xC0 + i);
  std::uint8_t bytes[44];
  std::memset(bytes, 0xFF, sizeof bytes);
  ref.store(bytes);
  EXPECT_EQ(load_u64_le(bytes), ref.first_page);
  EXPECT_EQ(load_u32_le(bytes + 8), 9u);
  EXPECT_EQ(load_u32_le(bytes + 12), ref.length);
  EXPECT_EQ(load_u64_le(bytes + 16), ref.commit_id);
  EXPECT_EQ(load_u32_le(bytes + 24), 0u);
  EXPECT_EQ(bytes[28], 0xC0);
  EXPECT_EQ(bytes[43], 0xCF);
  EXPECT_EQ(OverflowRef::load(bytes), ref);
}

TEST(BranchLayoutTest, child_pointers_sit_at_56_plus_32_i_and_keys_route_by_separator) {
  std::vector<std::string> keys = {"b", "d", "f"};
  std::vector<ByteView> views;
  for (const auto& k : keys) views.push_back(bytes_view(k));
  std::vector<ChildPointer> children;
  for (std::uint64_t i = 0; i < 4; ++i) {
    ChildPointer c{100 + i, 5, {}};
    c.stamp.bytes[3] = static_cast<std::uint8_t>(i + 1);
    children.push_back(c);
  }
  std::vector<std::uint8_t> page(4096, 0xEE);
  node::build_branch(page, 2, views, children, 8, 30);
  NodeView view = parse(page);
  EXPECT_EQ(view.code(), NodeCode::Branch);
  EXPECT_EQ(view.level(), 2);
  EXPECT_EQ(view.count(), 3u);
  EXPECT_EQ(view.used_bytes(), 32u + 3 * 37);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(ChildPointer::load(page.data() + 56 + 32 * i), children[i]);
    EXPECT_EQ(view.child_at(i), children[i]);
    EXPECT_EQ(view.child_page(i), 100 + i);
  }
  auto route = [&](const char* key) { return view.child_index(bytes_view(std::string(key))); };
  EXPECT_EQ(route("a"), 0u);
  EXPECT_EQ(route("b"), 1u);  // a separator belongs to the child on its right
  EXPECT_EQ(route("c"), 1u);
  EXPECT_EQ(route("f"), 3u);
  EXPECT_EQ(route("zz"), 3u);
}

// A node's search index (its keys' heads, every stride-th) narrows each
// search to a stride; the answers must be those of a plain binary search
// over the sorted keys, for leaves of both layouts and branches, whatever
// the heads: distinct, all alike, or shorter keys padded to look alike.
TEST(NodeSearchTest, an_indexed_search_answers_as_the_sorted_keys_do) {
  std::mt19937_64 rng(7);
  auto random_key = [&](std::size_t len, const std::string& prefix) {
    std::string k = prefix;
    while (k.size() < len) k.push_back(static_cast<char>(rng() % 4 == 0 ? 0 : rng() & 0xFF));
    return k;
  };
  auto big_endian = [](std::uint64_t i) {
    std::string k(8, '\0');
    for (int b = 0; b < 8; ++b) k[b] = static_cast<char>(i >> (56 - 8 * b));
    return k;
  };
  struct Case {
    const char* name;
    std::vector<std::string> keys;
    std::size_t value_len;
  };
  std::vector<Case> cases;
  {
    Case c{"random 16-byte keys, 100-byte values", {}, 100};
    for (int i = 0; i < 33; ++i) c.keys.push_back(random_key(16, ""));
    cases.push_back(c);
  }
  {
    Case c{"8-byte big-endian numbers", {}, 2};
    for (std::uint64_t i = 0; i < 300; ++i) c.keys.push_back(big_endian(i * 3));
    cases.push_back(c);
  }
  {
    Case c{"one head for all: a common 8-byte prefix", {}, 1};
    for (int i = 0; i < 200; ++i) c.keys.push_back(random_key(9 + rng() % 6, "samehead"));
    cases.push_back(c);
  }
  {
    Case c{"short keys whose padded heads tie", {}, 0};
    for (int len = 1; len <= 9; ++len)
      for (int z = 0; z < len; ++z) c.keys.push_back("ab" + std::string(z, '\0'));
    for (int i = 0; i < 150; ++i) c.keys.push_back(random_key(1 + rng() % 10, "a"));
    cases.push_back(c);
  }
  {
    Case c{"few keys: no index", {"b", "d", "f", "h", "j", "l", "n"}, 3};
    cases.push_back(c);
  }
  {
    // Heads spread wider than the index's 16-bit scale: clusters of
    // neighbours that share a scaled head, far apart, and a last key whose
    // head is the largest there is.
    Case c{"heads spread past the scale, clustered", {}, 3};
    for (std::uint64_t base :
         {std::uint64_t{1} << 20, std::uint64_t{5} << 40, std::uint64_t{9} << 60})
      for (std::uint64_t i = 0; i < 40; ++i) c.keys.push_back(big_endian(base + i * 7));
    c.keys.push_back(std::string(8, '\xff'));
    c.keys.push_back(std::string(8, '\xff') + "z");
    cases.push_back(c);
  }
  {
    Case c{"heads that need the full scale, first key past zero", {}, 3};
    for (std::uint64_t i = 1; i <= 120; ++i) c.keys.push_back(big_endian(0x10000 + i * 541));
    cases.push_back(c);
  }
  {
    Case c{"a stride of one", {}, 5};
    for (int i = 0; i < 32; ++i) c.keys.push_back(random_key(12, ""));
    cases.push_back(c);
  }
  for (Case& c : cases) {
    std::sort(c.keys.begin(), c.keys.end(), [](const std::string& a, const std::string& b) {
      return compare_keys(bytes_view(a), bytes_view(b)) < 0;
    });
    c.keys.erase(std::unique(c.keys.begin(), c.keys.end()), c.keys.end());
    // What is looked for: every key, each with a byte more and less, and
    // keys that fall between, before and after them.
    std::vector<std::string> probes = {"", std::string(1, '\0'), std::string(20, '\xff')};
    for (const std::string& k : c.keys) {
      probes.push_back(k);
      probes.push_back(k + std::string(1, '\0'));
      probes.push_back(k.substr(0, k.size() - 1));
      std::string up = k;
      up.back() = static_cast<char>(static_cast<unsigned char>(up.back()) + 1);
      probes.push_back(up);
    }
    for (int i = 0; i < 200; ++i) probes.push_back(random_key(1 + rng() % 16, ""));
    auto expected = [&](const std::string& probe, bool past_equal) {
      std::size_t i = 0;
      while (i < c.keys.size()) {
        int order = compare_keys(bytes_view(c.keys[i]), bytes_view(probe));
        if (order > 0 || (order == 0 && !past_equal)) break;
        ++i;
      }
      return i;
    };
    const std::string value(c.value_len, 'v');
    std::vector<std::vector<std::uint8_t>> pages;
    for (LeafLayout layout : {LeafLayout::Fixed, LeafLayout::Varint}) {
      std::vector<LeafItem> items;
      for (const std::string& k : c.keys)
        items.push_back({bytes_view(k), bytes_view(value), nullptr});
      pages.emplace_back(16384, 0xEE);
      node::build_leaf(pages.back(), layout, items, 7, 21);
    }
    {
      std::vector<ByteView> separators;
      for (const std::string& k : c.keys) separators.push_back(bytes_view(k));
      std::vector<ChildPointer> children;
      for (std::uint64_t i = 0; i <= separators.size(); ++i)
        children.push_back(ChildPointer{9 + i, 5, {}});
      pages.emplace_back(16384, 0xEE);
      node::build_branch(pages.back(), 1, separators, children, 7, 21);
    }
    for (const auto& page : pages) {
      // The index is built by the first search; threads that search the
      // fresh node at once must answer alike, whichever of them builds it
      // and whether or not the others find it built.
      NodeView view = parse(page);
      NodeSearchIndex index;
      const bool indexed = view.attach_index(&index);
      EXPECT_EQ(indexed, c.keys.size() >= 8) << c.name;
      EXPECT_FALSE(index.built()) << c.name;
      constexpr int kThreads = 4;
      std::latch start(kThreads);
      std::mutex wrong_mutex;
      std::vector<std::string> wrong;
      auto search_all = [&] {
        start.arrive_and_wait();
        for (const std::string& probe : probes) {
          const ByteView key = bytes_view(probe);
          // What the index alone narrows a search to holds both answers,
          // and a branch's search within it answers as the whole one.
          const NodeView::SlotRange range = view.narrow(key);
          const std::size_t below = expected(probe, false);
          const std::size_t past = expected(probe, true);
          if (view.lower_bound(key) != below || view.upper_bound(key) != past || range.lo > below ||
              past > range.hi ||
              (!view.is_leaf() && (view.child_index(key, range) != past ||
                                   view.child_page(past) != view.child_at(past).page))) {
            std::lock_guard lock(wrong_mutex);
            wrong.push_back(::testing::PrintToString(probe));
          }
        }
      };
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) threads.emplace_back(search_all);
      for (std::thread& t : threads) t.join();
      EXPECT_EQ(index.built(), indexed) << c.name;
      ASSERT_TRUE(wrong.empty()) << c.name << ", kind " << int(page[kPageKindOffset]) << ": "
                                 << wrong.front();
    }
  }
}

TEST(NodeStructureTest, pages_with_broken_structure_are_refused) {
  OverflowRef ref;
  std::vector<Item> items = {{"alpha", "one", false}, {"beta", "two", false}};
  const std::vector<std::uint8_t> good = leaf_page(4096, LeafLayout::Varint, items, ref);
  ASSERT_EQ(refusal(good), "accepted");

  auto bad = good;
  store_u16_le(bad.data() + 56, 4090);  // a slot past the cells, at the trailer
  EXPECT_EQ(refusal(bad), "its cells overlap");

  bad = good;
  store_u16_le(bad.data() + 28, 40);  // cell area starting inside the header
  EXPECT_EQ(refusal(bad), "its cells overlap");

  bad = good;
  std::size_t cell = load_u16_le(bad.data() + 56);
  bad[cell] = 0x7F;  // a key length running past the page
  EXPECT_EQ(refusal(bad), "its cell 0 cannot be read");

  bad = good;
  bad[24] = 9;
  EXPECT_EQ(refusal(bad), "its kind 9 is unknown");

  const std::vector<std::uint8_t> fixed = leaf_page(4096, LeafLayout::Fixed, items, ref);
  bad = fixed;
  bad[load_u16_le(bad.data() + 58)] = 2;  // neither inline nor overflow
  EXPECT_EQ(refusal(bad), "its cell 1 cannot be read");

  std::vector<std::uint8_t> branch(4096, 0);
  ChildPointer only{3, 1, {}};
  node::build_branch(branch, 1, {}, std::span<const ChildPointer>(&only, 1), 1, 16);
  EXPECT_EQ(refusal(branch), "it is a branch with one child");
}

TEST(NodeStructureTest, entry_owned_refuses_a_reference_that_cannot_describe_its_run) {
  OverflowRef ref{50, 2, 100, 1, {}};  // 100 bytes need one page, not two
  std::vector<Item> items = {{"k", "", true}};
  NodeView view = parse(leaf_page(4096, LeafLayout::Fixed, items, ref));
  auto entry = view.entry_owned(0);
  ASSERT_FALSE(entry.has_value());
  EXPECT_EQ(entry.error(), "entry 0 refers to an overflow run of 2 pages for 100 bytes");
}

// Separators of assorted lengths (none, one byte, longer than a head) and
// children numbered from `first`.
struct BranchParts {
  std::vector<std::string> keys;
  std::vector<ByteView> views;
  std::vector<ChildPointer> children;
};

BranchParts branch_parts(std::size_t count, std::uint64_t first) {
  BranchParts parts;
  for (std::size_t i = 0; i < count; ++i)
    parts.keys.push_back(std::string(i % 5 == 0 ? 0 : 1 + (i * 7) % 40, char('a' + i % 26)) +
                         std::to_string(1000 + i));
  std::sort(parts.keys.begin(), parts.keys.end());
  for (const auto& k : parts.keys) parts.views.push_back(bytes_view(k));
  for (std::uint64_t i = 0; i <= count; ++i) {
    ChildPointer c{first + i, first, {}};
    c.stamp.bytes[i % 16] = static_cast<std::uint8_t>(first + i);
    parts.children.push_back(c);
  }
  return parts;
}

// Read before the whole page is checked (a hint of where its image goes in
// a cache), the first key is the one a parse finds, and a page that does
// not read as a node with a key has none, whatever its bytes say.
TEST(NodeStructureTest, a_first_key_read_ahead_of_the_check_is_the_parsed_one_or_none) {
  OverflowRef ref{50, 1, 100, 1, {}};
  const std::vector<Item> items = {{"alpha", "one", false}, {"beta", "", true}};
  BranchParts parts = branch_parts(5, 10);
  std::vector<std::uint8_t> branch(4096, 0);
  node::build_branch(branch, 2, parts.views, parts.children, 8, 30);
  const std::vector<std::vector<std::uint8_t>> nodes = {
      leaf_page(4096, LeafLayout::Fixed, items, ref),
      leaf_page(4096, LeafLayout::Varint, items, ref),
      leaf_page(512, LeafLayout::Varint, {{std::string(40, 'k'), "v", false}}, ref), branch};
  for (const auto& page : nodes) {
    const std::optional<ByteView> first = NodeView::first_key_of(page);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(to_string(*first), to_string(parse(page).key_at(0)));
  }

  const std::vector<std::uint8_t> good = leaf_page(4096, LeafLayout::Varint, items, ref);
  const std::size_t cell = load_u16_le(good.data() + 56);
  const struct {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> damage;
  } none[] = {
      {"no entries", [](auto& p) { store_u16_le(p.data() + node::kEntryCountOffset, 0); }},
      {"an unknown kind", [](auto& p) { p[24] = 9; }},
      {"an overflow page", [](auto& p) { p[24] = static_cast<std::uint8_t>(PageKind::Overflow); }},
      {"a slot at the trailer", [](auto& p) { store_u16_le(p.data() + 56, 4090); }},
      {"a key running past the page", [&](auto& p) { p[cell] = 0x7F; }},
      {"a key length that never ends",
       [&](auto& p) { std::fill(p.begin() + cell, p.end(), 0xFF); }},
      {"slots past the page",
       [](auto& p) {
         p[24] = static_cast<std::uint8_t>(PageKind::Branch);
         p[25] = 1;
         store_u16_le(p.data() + node::kEntryCountOffset, 0xFFFF);
       }},
      {"a page shorter than a header", [](auto& p) { p.resize(40); }},
  };
  for (const auto& c : none) {
    std::vector<std::uint8_t> bad = good;
    c.damage(bad);
    EXPECT_FALSE(NodeView::first_key_of(bad).has_value()) << c.what;
  }
}

// The view a writer takes of a page it has just built, from the header
// alone, must be the view a read parses out of it: same node, same slots.
TEST(BuiltNodeTest, a_built_page_is_viewed_from_its_header_as_a_parse_sees_it) {
  auto expect_same = [](const std::vector<std::uint8_t>& page) {
    NodeView parsed = parse(page);
    NodeView built = NodeView::of_built_page(share(page), static_cast<std::uint32_t>(page.size()));
    EXPECT_EQ(built.code(), parsed.code());
    EXPECT_EQ(built.level(), parsed.level());
    ASSERT_EQ(built.count(), parsed.count());
    EXPECT_EQ(built.used_bytes(), parsed.used_bytes());
    for (std::size_t i = 0; i < parsed.count(); ++i) {
      EXPECT_EQ(to_string(built.key_at(i)), to_string(parsed.key_at(i))) << i;
      if (parsed.is_leaf()) {
        EXPECT_EQ(to_string(built.cell_at(i).value), to_string(parsed.cell_at(i).value));
      }
    }
    for (std::size_t i = 0; i < parsed.child_count(); ++i)
      EXPECT_EQ(built.child_at(i), parsed.child_at(i)) << i;
  };
  OverflowRef ref{900, 1, 100, 6, {}};
  for (LeafLayout layout : {LeafLayout::Fixed, LeafLayout::Varint}) {
    expect_same(leaf_page(4096, layout, {}, ref));
    std::vector<Item> items;
    for (int i = 0; i < 40; ++i)
      items.push_back({"key" + std::to_string(100 + i), std::string(i * 3, 'v'), i % 9 == 4});
    expect_same(leaf_page(4096, layout, items, ref));
  }
  for (std::size_t count : {1, 2, 60}) {
    BranchParts parts = branch_parts(count, 40);
    for (std::uint8_t level : {1, 3}) {
      std::vector<std::uint8_t> page(4096, 0xEE);
      node::build_branch(page, level, parts.views, parts.children, 8, 30);
      expect_same(page);
    }
  }
}

// A write transaction holds an entry's value right after its key, and the
// builder copies such a pair in one go: the page must be the one made of
// the same keys and values held apart, whatever their lengths (empty keys
// and values too) and whichever entries lie between.
TEST(BuiltNodeTest, a_leaf_of_values_held_after_their_keys_is_the_leaf_of_values_held_apart) {
  OverflowRef ref{900, 1, 5000, 6, {}};
  std::mt19937 rng(17);
  for (LeafLayout layout : {LeafLayout::Fixed, LeafLayout::Varint}) {
    std::vector<std::string> keys, values, joined;
    for (int i = 0; i < 60; ++i) {
      keys.push_back(i == 0 ? std::string() : "key" + std::to_string(1000 + i));
      values.push_back(std::string(i % 7 == 3 ? 0 : rng() % 60, char('a' + i % 26)));
      joined.push_back(keys.back() + values.back());
    }
    std::vector<LeafItem> apart, together;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const bool overflow = i % 11 == 5;
      apart.push_back(
          LeafItem{bytes_view(keys[i]), bytes_view(values[i]), overflow ? &ref : nullptr});
      const ByteView whole = bytes_view(joined[i]);
      together.push_back(LeafItem{whole.first(keys[i].size()),
                                  overflow ? ByteView{} : whole.subspan(keys[i].size()),
                                  overflow ? &ref : nullptr});
    }
    std::vector<std::uint8_t> expected(4096, 0xEE), built(4096, 0x11);
    node::build_leaf(expected, layout, apart, 7, 21);
    node::build_leaf(built, layout, together, 7, 21);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end() - kPageStampSize, built.begin()));
    NodeView view = parse(built);
    ASSERT_EQ(view.count(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
      LeafCell cell = view.cell_at(i);
      EXPECT_EQ(to_string(cell.key), keys[i]) << i;
      EXPECT_EQ(cell.overflow, apart[i].ref != nullptr) << i;
      if (!cell.overflow) {
        EXPECT_EQ(to_string(cell.value), values[i]) << i;
      }
    }
  }
}

// A write transaction copies the cells of a leaf it loaded as they lie, a
// run of neighbouring cells at once, between entries it changed, added or
// removed: the page must be the one made of the same keys and values held
// apart, in both layouts, with empty keys and values, values at the inline
// limit, two-byte lengths and overflow references beside the copied cells.
TEST(BuiltNodeTest, a_leaf_of_cells_copied_as_they_lie_is_the_leaf_of_entries_held_apart) {
  OverflowRef ref{900, 1, 5000, 6, {}};
  constexpr std::uint32_t kPage = 4096;
  for (LeafLayout layout : {LeafLayout::Fixed, LeafLayout::Varint}) {
    std::size_t at_limit = 0;
    for (std::size_t v = 1; v < kPage; ++v)
      if (node::inline_cell_size(layout, 5, v) + node::kSlotSize == node::max_entry_bytes(kPage))
        at_limit = v;
    ASSERT_NE(at_limit, 0u);
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
      std::mt19937 rng(seed);
      // The old leaf.
      std::vector<Item> old_items;
      std::size_t used = 0;
      for (int i = 0; used + node::max_entry_bytes(kPage) < node::capacity(kPage) - 900; ++i) {
        Item item{i == 0 && seed % 2 == 0 ? std::string() : "k" + std::to_string(1000 + i), "",
                  rng() % 9 == 0};
        const std::size_t len =
            rng() % 5 == 0 ? 0 : (rng() % 4 == 0 ? 64 + rng() % 100 : rng() % 40);
        item.value = std::string(rng() % 17 == 0 ? at_limit : len, char('a' + i % 26));
        used += node::leaf_entry_bytes(layout, kPage, item.key.size(),
                                       item.overflow ? node::kOverflowRefSize : item.value.size());
        old_items.push_back(item);
      }
      NodeView old_leaf = parse(leaf_page(kPage, layout, old_items, ref));
      // The new one: each old entry copied, changed or gone, new ones between.
      std::vector<std::string> held;
      held.reserve(4 * old_items.size());
      std::vector<LeafItem> copied, apart;
      for (std::size_t i = 0; i < old_items.size(); ++i) {
        const Item& item = old_items[i];
        const unsigned fate = rng() % 8;
        if (fate == 0) continue;  // removed
        if (fate == 1) {          // a new key before it
          const std::string& key = held.emplace_back(item.key + "-");
          const std::string& value = held.emplace_back(std::string(rng() % 20, 'n'));
          copied.push_back(LeafItem{bytes_view(key), bytes_view(value), nullptr});
          apart.push_back(copied.back());
        }
        if (fate == 2 || item.overflow) {  // changed, or held apart
          const std::string& value = held.emplace_back(std::string(rng() % 30, 'c'));
          const OverflowRef* r = item.overflow ? &ref : nullptr;
          copied.push_back(LeafItem{bytes_view(item.key), bytes_view(value), r});
          apart.push_back(copied.back());
          continue;
        }
        const LeafCell cell = old_leaf.cell_at(i);
        ASSERT_EQ(to_string(cell.value), item.value);
        const auto size = static_cast<std::uint32_t>(
            node::inline_cell_size(layout, cell.key.size(), cell.value.size()));
        copied.push_back(LeafItem{cell.key, cell.value, nullptr, size});
        apart.push_back(LeafItem{bytes_view(item.key), bytes_view(item.value), nullptr});
      }
      std::size_t bytes = 0;
      for (const LeafItem& item : apart)
        bytes += item.ref ? node::overflow_cell_size(layout, item.key.size()) + node::kSlotSize
                          : node::inline_cell_size(layout, item.key.size(), item.value.size()) +
                                node::kSlotSize;
      ASSERT_LE(bytes, node::capacity(kPage));
      std::vector<std::uint8_t> expected(kPage, 0xEE), built(kPage, 0x11);
      node::build_leaf(expected, layout, apart, 7, 21);
      node::build_leaf(built, layout, copied, 7, 21);
      ASSERT_TRUE(std::equal(expected.begin(), expected.end() - kPageStampSize, built.begin()))
          << "seed " << seed;
      NodeView view = parse(built);
      ASSERT_EQ(view.count(), apart.size());
      for (std::size_t i = 0; i < apart.size(); ++i) {
        EXPECT_EQ(to_string(view.key_at(i)), to_string(apart[i].key)) << i;
        if (!view.cell_at(i).overflow) {
          EXPECT_EQ(to_string(view.cell_at(i).value), to_string(apart[i].value)) << i;
        }
      }
    }
  }
}

// A branch whose separators did not change is laid out from its old page,
// its changed children stored over the old ones: the page must be the one
// the builder makes of the same separators and the new children, byte for
// byte up to the trailer. The bytes of the old page's separators, read
// from their cells alone, are their lengths.
TEST(BuiltNodeTest, a_branch_built_like_its_page_is_the_page_the_builder_makes) {
  for (std::uint32_t page_size : {4096u, 65536u}) {
    for (std::size_t count : {1, 2, 17, 50}) {
      BranchParts old_parts = branch_parts(count, 40);
      std::vector<std::uint8_t> old_page(page_size, 0xEE);
      node::build_branch(old_page, 2, old_parts.views, old_parts.children, 8, 30);
      NodeView image = parse(old_page);
      std::size_t key_bytes = 0;
      for (const ByteView& key : old_parts.views) key_bytes += key.size();
      EXPECT_EQ(image.separator_key_bytes(), key_bytes) << page_size << " " << count;

      // Every third child changed (the first among them), the others kept.
      BranchParts new_parts = branch_parts(count, 500);
      ASSERT_EQ(new_parts.keys, old_parts.keys);
      for (std::size_t i = 0; i < new_parts.children.size(); ++i)
        if (i % 3 != 0) new_parts.children[i] = old_parts.children[i];
      std::vector<std::uint8_t> like(page_size, 0xDD);
      ASSERT_EQ(new_parts.children.size(), image.child_count());
      node::build_branch_like(like, image, 9, 31);
      for (std::size_t i = 0; i < new_parts.children.size(); i += 3)
        node::store_child(like, i, new_parts.children[i]);
      std::vector<std::uint8_t> built(page_size, 0xDD);
      node::build_branch(built, 2, new_parts.views, new_parts.children, 9, 31);
      EXPECT_TRUE(std::equal(like.begin(), like.end() - kPageStampSize, built.begin()))
          << page_size << " " << count;
      NodeView view = parse(like);
      EXPECT_EQ(view.level(), 2);
      EXPECT_EQ(view.commit_id(), 9u);
      EXPECT_EQ(view.tree_id(), 31u);
      for (std::size_t i = 0; i <= count; ++i) EXPECT_EQ(view.child_at(i), new_parts.children[i]);
    }
  }
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
