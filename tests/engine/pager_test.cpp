#include "btree/pager/pager.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "btree/pager/pager_source.hpp"
#include "format/node.hpp"
#include "sanitizers.hpp"
#include "storage/fault_storage.hpp"
#include "support/sealed_pages.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using testing_support::protection_for;
using testing_support::put_page;
using testing_support::sealed_page;

constexpr std::size_t kPage = 4096;
constexpr std::uint64_t kTree = 17;

PageHeader leaf(std::uint64_t commit = 5, std::uint64_t tree = kTree) {
  return PageHeader{.kind = 4, .level = 0, .commit_id = commit, .tree_id = tree};
}

class PagerModes : public ::testing::TestWithParam<PageCipher> {
 protected:
  PagerModes() : storage("mem.db", std::vector<std::uint8_t>(kPage * 8, 0)) {}
  PageProtection protection = protection_for(GetParam());
  FaultStorage storage;
  Pager pager{storage, kPage, protection, 1 << 20};

  ChildPointer put(std::uint64_t number, PageHeader header, std::uint64_t seed = 1) {
    auto page = sealed_page(protection, kPage, number, header, seed);
    put_page(storage, kPage, number, page.bytes);
    return page.pointer;
  }

  std::string fetch_error(const ChildPointer& pointer, std::uint64_t tree = kTree,
                          std::optional<std::uint8_t> level = std::nullopt) {
    auto fetched = pager.fetch_page(pointer, tree, level);
    if (fetched) return "no error";
    EXPECT_EQ(fetched.error().kind(), ErrorKind::Corrupted);
    return std::string(fetched.error().message());
  }
};

TEST_P(PagerModes, fetch_opens_the_page_and_keeps_it) {
  auto pointer = put(3, leaf());
  auto page = pager.fetch_page(pointer, kTree, 0).value();
  EXPECT_EQ(page->header(), leaf());
  EXPECT_EQ(page->stamp(), pointer.stamp);
  EXPECT_EQ(page->page_number(), 3u);
  // The opened bytes are plaintext: the content matches a fresh build.
  auto fresh = sealed_page(PageProtection::checksum(), kPage, 3, leaf());
  EXPECT_TRUE(
      std::equal(page->bytes().begin() + 24, page->bytes().end() - 16, fresh.bytes.begin() + 24));
  EXPECT_EQ(pager.cache().entry_count(), 1u);
}

TEST_P(PagerModes, cache_hit_reads_nothing_from_the_file) {
  auto pointer = put(3, leaf());
  auto first = pager.fetch_page(pointer, kTree, 0).value();
  storage.fail_nth_read(1);
  auto second = pager.fetch_page(pointer, kTree, 0);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->get(), first.get());
  // The armed failure is still waiting: the next real read takes it.
  auto other = put(4, leaf());
  auto failed = pager.fetch_page(other, kTree, 0);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), ErrorKind::Io);
}

TEST_P(PagerModes, stale_stamp_is_refused_both_ways) {
  auto old_pointer = put(3, leaf(5), 1);
  auto new_pointer = put(3, leaf(6), 2);  // the page rewritten in place of the old image
  EXPECT_EQ(fetch_error(old_pointer), "page 3: its stamp differs from its parent's");
  // And an old image on disk under a pointer to the new one (a lost write).
  put(3, leaf(5), 1);
  EXPECT_EQ(fetch_error(new_pointer), "page 3: its stamp differs from its parent's");
}

TEST_P(PagerModes, page_copied_to_another_number_fails_its_check) {
  auto page = sealed_page(protection, kPage, 3, leaf());
  put_page(storage, kPage, 6, page.bytes);
  ChildPointer moved = page.pointer;
  moved.page = 6;
  EXPECT_EQ(fetch_error(moved), "page 6 fails its check");
}

TEST_P(PagerModes, flipped_bit_fails_its_check_with_the_full_message) {
  auto page = sealed_page(protection, kPage, 2, leaf());
  page.bytes[1000] ^= 0x10;
  put_page(storage, kPage, 2, page.bytes);
  auto fetched = pager.fetch_page(page.pointer, kTree, 0);
  ASSERT_FALSE(fetched);
  EXPECT_EQ(fetched.error().to_string(), "`mem.db` is damaged: page 2 fails its check");
}

TEST_P(PagerModes, never_written_page_fails_its_check) {
  EXPECT_EQ(fetch_error(ChildPointer{.page = 7, .commit_id = 5, .stamp = {}}),
            "page 7 fails its check");
}

TEST_P(PagerModes, header_must_match_pointer_tree_and_level) {
  auto pointer = put(1, leaf(9));
  ChildPointer wrong_commit = pointer;
  wrong_commit.commit_id = 8;
  // A pointer that disagrees on the commit carries the page's true stamp:
  // only the commit is wrong.
  EXPECT_EQ(fetch_error(wrong_commit), "page 1: it belongs to another commit");
  EXPECT_EQ(fetch_error(pointer, 18), "page 1: it belongs to another tree");
  EXPECT_EQ(fetch_error(pointer, kTree, 1), "page 1: its level is 0, not 1");
  auto branch = put(2, PageHeader{.kind = 2, .level = 2, .commit_id = 5, .tree_id = kTree});
  EXPECT_EQ(fetch_error(branch, kTree, 1), "page 2: its level is 2, not 1");
  EXPECT_EQ(fetch_error(branch, kTree, 2), "no error");
}

TEST_P(PagerModes, kinds_that_are_no_node_are_refused) {
  auto unknown = put(1, PageHeader{.kind = 9, .level = 0, .commit_id = 5, .tree_id = kTree});
  EXPECT_EQ(fetch_error(unknown), "page 1: its kind 9 is unknown");
  auto overflow = put(2, PageHeader{.kind = 3, .level = 0, .commit_id = 5, .tree_id = kTree});
  EXPECT_EQ(fetch_error(overflow), "page 2: it is an overflow page, not a node");
  auto flat_branch = put(3, PageHeader{.kind = 2, .level = 0, .commit_id = 5, .tree_id = kTree});
  EXPECT_EQ(fetch_error(flat_branch), "page 3: its kind 2 does not go with level 0");
  auto raised_leaf = put(4, PageHeader{.kind = 1, .level = 1, .commit_id = 5, .tree_id = kTree});
  EXPECT_EQ(fetch_error(raised_leaf), "page 4: its kind 1 does not go with level 1");
}

TEST_P(PagerModes, cached_page_is_still_checked_against_the_caller) {
  auto pointer = put(3, leaf());
  ASSERT_TRUE(pager.fetch_page(pointer, kTree, 0));
  storage.fail_nth_read(1);  // any read would fail: these answers come from the cache
  EXPECT_EQ(fetch_error(pointer, kTree + 1), "page 3: it belongs to another tree");
  EXPECT_EQ(fetch_error(pointer, kTree, 2), "page 3: its level is 0, not 2");
}

Result<std::shared_ptr<const CachedPage>> parse_as_is(OpenedPage page, std::string_view) {
  return std::make_shared<const CachedPage>(std::move(page), &parse_as_is);
}

// A cached page found without a lock is held against the pointer as a
// fetch holds it: an image that is no node (whatever put it in the cache),
// or of another commit, tree or level, is not handed out.
TEST(PagerPeek, a_peeked_page_is_held_against_the_pointer_as_a_fetch_holds_it) {
  auto protection = PageProtection::checksum();
  FaultStorage storage("mem.db", std::vector<std::uint8_t>(kPage * 4, 0));
  Pager pager(storage, kPage, protection, 1 << 20);
  EpochDomain::Reader reader(&pager.cache().epochs());
  std::uint64_t number = 0;
  // Caches an image with `header` under a page number of its own, and
  // peeks at it as `tree` at `level` through a pointer of `commit`.
  const auto peeked = [&](PageHeader header, std::uint64_t commit, std::uint64_t tree,
                          std::optional<std::uint8_t> level) {
    OpenedPage page;
    page.page_number = ++number;
    page.stamp.bytes.fill(static_cast<std::uint8_t>(number));
    page.header = header;
    page.bytes = AlignedBuffer::zeroed(kPage);
    const ChildPointer pointer{.page = number, .commit_id = commit, .stamp = page.stamp};
    pager.cache().insert(std::make_shared<const CachedPage>(std::move(page), &parse_as_is),
                         &parse_as_is);
    EpochDomain::Pin pin(reader);
    return pager.peek_page(pointer, tree, level, &parse_as_is) != nullptr;
  };
  EXPECT_TRUE(peeked(leaf(5), 5, kTree, 0));
  EXPECT_TRUE(peeked(leaf(5), 5, kTree, std::nullopt));
  const PageHeader branch{.kind = 2, .level = 3, .commit_id = 5, .tree_id = kTree};
  EXPECT_TRUE(peeked(branch, 5, kTree, 3));
  EXPECT_FALSE(peeked(leaf(5), 6, kTree, 0));
  EXPECT_FALSE(peeked(leaf(5), 5, kTree + 1, 0));
  EXPECT_FALSE(peeked(leaf(5), 5, kTree, 1));
  EXPECT_FALSE(peeked(branch, 5, kTree, 2));
  for (const PageHeader& no_node : {
           PageHeader{.kind = 9, .level = 0, .commit_id = 5, .tree_id = kTree},
           PageHeader{.kind = 0, .level = 0, .commit_id = 5, .tree_id = kTree},
           PageHeader{.kind = 3, .level = 0, .commit_id = 5, .tree_id = kTree},
           PageHeader{.kind = 2, .level = 0, .commit_id = 5, .tree_id = kTree},
           PageHeader{.kind = 1, .level = 1, .commit_id = 5, .tree_id = kTree},
           PageHeader{.kind = 4, .level = 2, .commit_id = 5, .tree_id = kTree},
       }) {
    EXPECT_FALSE(peeked(no_node, 5, kTree, std::nullopt)) << int{no_node.kind};
    EXPECT_FALSE(peeked(no_node, 5, kTree, no_node.level)) << int{no_node.kind};
  }
}

TEST_P(PagerModes, read_past_the_end_is_corrupted) {
  std::vector<std::uint8_t> buffer(kPage * 2);
  auto read = pager.read_raw(7, buffer);  // the file has 8 pages
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().message(), "a read from page 7 on runs past the end of the file");
  auto huge = pager.read_raw(UINT64_MAX / 2, std::span(buffer).first(kPage));
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().kind(), ErrorKind::Corrupted);
  EXPECT_EQ(fetch_error(ChildPointer{.page = 8, .commit_id = 5, .stamp = {}}),
            "a read from page 8 on runs past the end of the file");
}

TEST_P(PagerModes, read_pages_opens_a_run_and_names_the_page_that_fails) {
  std::vector<ChildPointer> pointers;
  for (std::uint64_t i = 2; i < 6; ++i) pointers.push_back(put(i, leaf(), i));
  auto run = pager.read_pages(2, 4).value();
  ASSERT_EQ(run.count(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(run.stamps[i], pointers[i].stamp);
    EXPECT_EQ(PageHeader::read(run.page(i)), leaf());
  }
  auto damaged = sealed_page(protection, kPage, 4, leaf(), 4);
  damaged.bytes[kPage - 1] ^= 1;
  put_page(storage, kPage, 4, damaged.bytes);
  auto failed = pager.read_pages(2, 4);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(), "page 4 fails its check");
}

TEST_P(PagerModes, written_pages_read_back_through_the_pager) {
  auto a = sealed_page(protection, kPage, 6, leaf(), 10);
  auto b = sealed_page(protection, kPage, 7, leaf(), 11);
  ConstByteSpan pages[] = {a.bytes, b.bytes};
  ASSERT_TRUE(pager.write_pages(6, pages));
  EXPECT_TRUE(pager.fetch_page(a.pointer, kTree, 0));
  EXPECT_TRUE(pager.fetch_page(b.pointer, kTree, 0));
}

INSTANTIATE_TEST_SUITE_P(AllModes, PagerModes,
                         ::testing::Values(PageCipher::Checksum, PageCipher::XChaCha20Poly1305,
                                           PageCipher::XAes256Gcm));

// A parsed form as the B-tree layer would make one.
struct CountedNode : CachedPage {
  explicit CountedNode(OpenedPage page) : CachedPage(std::move(page)) {
    first_byte = bytes()[kPageContentOffset];
  }
  std::uint8_t first_byte = 0;
  std::size_t cache_charge() const override { return CachedPage::cache_charge() + 1000; }
};
int parse_calls = 0;
Result<std::shared_ptr<const CachedPage>> parse_counted(OpenedPage page, std::string_view) {
  ++parse_calls;
  return std::make_shared<const CountedNode>(std::move(page));
}
Result<std::shared_ptr<const CachedPage>> parse_refusing(OpenedPage page, std::string_view path) {
  return fail(Error::corrupted(std::string(path),
                               "page " + std::to_string(page.page_number) + ": its cells overlap"));
}

TEST(PagerParsing, parsed_form_is_cached_and_parsed_once) {
  auto protection = PageProtection::checksum();
  FaultStorage storage("mem.db", std::vector<std::uint8_t>(kPage * 4, 0));
  Pager pager(storage, kPage, protection, 1 << 20);
  auto page = sealed_page(protection, kPage, 1, leaf());
  put_page(storage, kPage, 1, page.bytes);
  parse_calls = 0;
  auto first = pager.fetch_page(page.pointer, kTree, 0, &parse_counted).value();
  auto second = pager.fetch_page(page.pointer, kTree, 0, &parse_counted).value();
  EXPECT_EQ(parse_calls, 1);
  EXPECT_EQ(first.get(), second.get());
  auto node = std::static_pointer_cast<const CountedNode>(second);
  EXPECT_EQ(node->first_byte, page.bytes[kPageContentOffset]);
  EXPECT_EQ(pager.cache().charged_bytes(), kPage + 1000);
  // Another parser never receives this entry as its own type.
  auto plain = pager.fetch_page(page.pointer, kTree, 0).value();
  EXPECT_EQ(dynamic_cast<const CountedNode*>(plain.get()), nullptr);
}

TEST(PagerParsing, parse_failure_is_returned_and_not_cached) {
  auto protection = PageProtection::checksum();
  FaultStorage storage("mem.db", std::vector<std::uint8_t>(kPage * 4, 0));
  Pager pager(storage, kPage, protection, 1 << 20);
  auto page = sealed_page(protection, kPage, 1, leaf());
  put_page(storage, kPage, 1, page.bytes);
  auto fetched = pager.fetch_page(page.pointer, kTree, 0, &parse_refusing);
  ASSERT_FALSE(fetched);
  EXPECT_EQ(fetched.error().to_string(), "`mem.db` is damaged: page 1: its cells overlap");
  EXPECT_EQ(pager.cache().entry_count(), 0u);
}

// A node page opened as a read opens it, `number` its page number.
// With `for_cache`, its bytes come from the block arena, as a page read
// into the cache has them.
OpenedPage opened_node(std::uint64_t number, bool for_cache = false) {
  OpenedPage page;
  page.page_number = number;
  page.bytes = for_cache ? AlignedBuffer::for_cache(kPage) : AlignedBuffer::zeroed(kPage);
  std::ranges::fill(page.bytes.span(), std::uint8_t{0});
  const std::string key = "key" + std::to_string(number);
  const auto bytes = [](std::string_view text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  };
  const LeafItem item{bytes(key), bytes("value"), nullptr};
  node::build_leaf(page.bytes.span(), LeafLayout::Varint, {&item, 1}, 5, kTree);
  page.header = PageHeader::read(page.bytes.span());
  return page;
}

std::shared_ptr<const CachedNode> parsed_node(std::uint64_t number, bool for_cache = false) {
  auto parsed = parse_node_page(opened_node(number, for_cache), "mem.db");
  EXPECT_TRUE(parsed);
  return std::static_pointer_cast<const CachedNode>(parsed.value());
}

ByteView text_bytes(std::string_view text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Writes a leaf of kTree holding `key`, by commit `commit`, sealed as page
// `number`; with `damaged`, a byte of it changes after the seal.
ChildPointer put_leaf(Storage& storage, const PageProtection& protection, std::uint64_t number,
                      std::uint64_t commit, std::string_view key, bool damaged = false) {
  std::vector<std::uint8_t> bytes(kPage, 0);
  const LeafItem item{text_bytes(key), text_bytes("value"), nullptr};
  node::build_leaf(bytes, LeafLayout::Varint, {&item, 1}, commit, kTree);
  const PageStamp stamp = protection.seal_page(number, bytes).value();
  if (damaged) bytes[kPage / 2] ^= 0x10;
  put_page(storage, kPage, number, bytes);
  return ChildPointer{.page = number, .commit_id = commit, .stamp = stamp};
}

TEST_P(PagerModes, a_node_read_from_a_newer_commit_drops_the_image_it_replaced) {
  const auto cached = [&](const ChildPointer& pointer) {
    return pager.cache().get(pointer.page, pointer.stamp, &parse_node_page) != nullptr;
  };
  const ChildPointer first = put_leaf(storage, protection, 2, 5, "m");
  const ChildPointer other = put_leaf(storage, protection, 3, 5, "z");
  const NodeView held = fetch_cached_node(pager, first, kTree, 0).value();
  ASSERT_TRUE(fetch_cached_node(pager, other, kTree, 0));
  // Commit 6 rewrote the leaf that starts at "m" into page 4.
  const ChildPointer second = put_leaf(storage, protection, 4, 6, "m");
  ASSERT_TRUE(fetch_cached_node(pager, second, kTree, 0));
  EXPECT_FALSE(cached(first));
  EXPECT_TRUE(cached(second));
  EXPECT_TRUE(cached(other));
  EXPECT_EQ(pager.cache().entry_count(), 2u);
  // The view taken before still holds its page.
  EXPECT_EQ(held.commit_id(), 5u);
  EXPECT_TRUE(std::ranges::equal(held.key_at(0), text_bytes("m")));
  // A damaged image of a later commit fails its check and drops nothing.
  const ChildPointer third = put_leaf(storage, protection, 5, 7, "m", true);
  EXPECT_EQ(fetch_error(third, kTree, 0), "page 5 fails its check");
  EXPECT_TRUE(cached(second));
  // A snapshot of commit 5 reads its leaf again, and the newer one stays.
  ASSERT_TRUE(fetch_cached_node(pager, first, kTree, 0));
  EXPECT_TRUE(cached(first));
  EXPECT_TRUE(cached(second));
}

// A page another page's entry displaced from its place in the cache's table
// is still found under the lock, without a read, after that entry went; a
// page surely missing is read, and still checked.
TEST(PagerParsing, a_page_out_of_its_table_place_is_found_without_a_read) {
  auto protection = PageProtection::checksum();
  FaultStorage storage("mem.db", std::vector<std::uint8_t>(kPage * 80, 0));
  Pager pager(storage, kPage, protection, 16 * kPage);  // a table of 64 places
  const ChildPointer first = put_leaf(storage, protection, 1, 5, "a");
  const ChildPointer other = put_leaf(storage, protection, 65, 5, "b");
  const ChildPointer damaged = put_leaf(storage, protection, 66, 5, "c", true);
  EXPECT_TRUE(pager.cache().surely_missing(66));
  auto refused = fetch_cached_node(pager, damaged, kTree, 0);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "page 66 fails its check");
  const NodeView held = fetch_cached_node(pager, first, kTree, 0).value();
  ASSERT_TRUE(fetch_cached_node(pager, other, kTree, 0));
  pager.cache().drop(65);
  // Its place is empty, but while an entry is out of its own no empty
  // place proves a miss.
  EXPECT_FALSE(pager.cache().surely_missing(1));
  EXPECT_FALSE(pager.cache().surely_missing(65));
  storage.fail_nth_read(1);
  const NodeView again = fetch_cached_node(pager, first, kTree, 0).value();
  EXPECT_EQ(again.page(), held.page());
  // The armed failure is still waiting for the next real read.
  auto failed = fetch_cached_node(pager, other, kTree, 0);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), ErrorKind::Io);
  ASSERT_TRUE(fetch_cached_node(pager, other, kTree, 0));
}

// A reader pinned on an image that a newer read drops keeps it whole, while
// the pages read next take the buffers the cache let go of.
TEST(PagerPeek, a_dropped_image_stays_whole_for_the_reader_pinned_on_it) {
  auto protection = PageProtection::checksum();
  FaultStorage storage("mem.db", std::vector<std::uint8_t>(kPage * 8, 0));
  Pager pager(storage, kPage, protection, 1 << 20);
  const ChildPointer first = put_leaf(storage, protection, 1, 5, "m");
  ASSERT_TRUE(fetch_cached_node(pager, first, kTree, 0));
  EpochDomain::Reader reader(&pager.cache().epochs());
  {
    EpochDomain::Pin pin(reader);
    const CachedPage* seen = pager.peek_page(first, kTree, 0, &parse_node_page);
    ASSERT_NE(seen, nullptr);
    const std::vector<std::uint8_t> before(seen->bytes().begin(), seen->bytes().end());
    ASSERT_TRUE(fetch_cached_node(pager, put_leaf(storage, protection, 2, 6, "m"), kTree, 0));
    EXPECT_EQ(pager.cache().get(1, first.stamp, &parse_node_page), nullptr);
    for (std::uint64_t n = 3; n < 8; ++n) {
      const std::string key = "k" + std::to_string(n);
      ASSERT_TRUE(fetch_cached_node(pager, put_leaf(storage, protection, n, 6, key), kTree, 0));
    }
    EXPECT_TRUE(std::ranges::equal(seen->bytes(), before));
    EXPECT_EQ(seen->page_number(), 1u);
    EXPECT_GT(pager.cache().epochs().retired_count(), 0u);
  }
  pager.cache().epochs().collect();
  EXPECT_EQ(pager.cache().epochs().retired_count(), 0u);
}

TEST(CachedNodes, a_freed_node_block_is_the_next_node_on_its_thread) {
  std::thread([] {
    auto node = parsed_node(1);
    const CachedNode* freed = node.get();
    // Line-aligned, as the cache's lookups expect.
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(freed) % 64, 0u);
    node.reset();
    if (kAddressSanitizer) {
      // The sanitizer sees every block freed.
      EXPECT_EQ(spare_node_blocks(), 0u);
      return;
    }
    EXPECT_EQ(spare_node_blocks(), 1u);
    const auto again = parsed_node(2);
    EXPECT_EQ(again.get(), freed);
    EXPECT_EQ(spare_node_blocks(), 0u);
    // The reused block holds the new node whole.
    EXPECT_EQ(again->page_number(), 2u);
    EXPECT_EQ(std::string(again->view().key_at(0).begin(), again->view().key_at(0).end()), "key2");
  }).join();
}

TEST(CachedNodes, a_node_block_freed_after_one_of_the_other_kind_is_kept_for_its_kind) {
  // A writer frees the nodes of pages read into the cache (arena blocks)
  // and of pages it wrote (allocator blocks) in turn.
  std::thread([] {
    auto read = parsed_node(1, true);
    auto written = parsed_node(2);
    const CachedNode* written_block = written.get();
    read.reset();
    written.reset();
    if (kAddressSanitizer) {
      EXPECT_EQ(spare_node_blocks(), 0u);
      return;
    }
    EXPECT_EQ(spare_node_blocks(), 2u);
    const auto again = parsed_node(3);
    EXPECT_EQ(again.get(), written_block);
    EXPECT_EQ(spare_node_blocks(), 1u);
  }).join();
}

TEST(CachedNodes, a_thread_keeps_at_most_64_node_blocks_and_another_keeps_its_own) {
  std::thread([] {
    {
      std::vector<std::shared_ptr<const CachedNode>> nodes;
      for (std::uint64_t i = 0; i < 200; ++i) nodes.push_back(parsed_node(i + 1));
    }
    const std::size_t kept = kAddressSanitizer ? 0 : 64;
    EXPECT_EQ(spare_node_blocks(), kept);
    std::thread([] {
      EXPECT_EQ(spare_node_blocks(), 0u);
      auto elsewhere = parsed_node(7);
    }).join();
    EXPECT_EQ(spare_node_blocks(), kept);
  }).join();
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
