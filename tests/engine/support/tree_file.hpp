// A stand-in for a write transaction over one tree file, for the B-tree
// tests: it hands out pages from a Storage (lowest free page first, runs
// first fit, else at the end), seals and writes them, reads nodes through the
// file's pager, and keeps the free pages. Pages released by a commit become
// free when the next commit ends, as if no reader held them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "btree/check.hpp"
#include "btree/pager/page_io.hpp"
#include "btree/pager/pager_source.hpp"
#include "btree/tree.hpp"
#include "crypto/page_protection.hpp"
#include "storage/storage.hpp"

namespace deziro::testing {

class TreeFile final : public PageSink {
 public:
  TreeFile(Storage& storage, std::uint32_t page_size, PageProtection protection,
           std::size_t cache_size = 1 << 20);

  NodeSource& source() { return source_; }
  Pager& pager() { return pager_; }
  const PageProtection& protection() const { return protection_; }

  // Opens page `page` into plaintext, lets `change` edit it, then seals it
  // again in place: a valid page image that its parent does not expect.
  void rewrite_page(std::uint64_t page, const std::function<void(std::span<std::uint8_t>)>& change);
  // Lays out and writes one node page of this transaction.
  Result<ChildPointer> write_leaf(LeafLayout layout, std::span<const LeafItem> items,
                                  std::uint64_t tree_id);
  Result<ChildPointer> write_branch(std::uint8_t level, std::span<const ByteView> keys,
                                    std::span<const ChildPointer> children, std::uint64_t tree_id);
  WriteContext write_context(std::uint64_t tree_id, LeafLayout layout) {
    return WriteContext{source_, tree_id, txn_id_, layout, *this};
  }

  // PageSink
  Result<std::uint64_t> allocate_page() override;
  Result<std::uint64_t> allocate_run(std::uint32_t count) override;
  Status write_pages(std::uint64_t first, std::span<std::uint8_t> pages,
                     std::span<PageStamp> stamps) override;
  // Records each node page's level and `keep` (node_writes), then writes it.
  Status write_node_page(std::uint64_t page_number, AlignedBuffer& page, PageStamp& stamp,
                         bool keep) override;
  void release_pages(std::uint64_t first, std::uint64_t count) override;

  // Every node page written through write_node_page, in order.
  struct NodeWrite {
    std::uint64_t page;
    std::uint8_t level;
    bool keep;
  };
  const std::vector<NodeWrite>& node_writes() const { return node_writes_; }

  // The transaction being written: its id is the commit id of new pages.
  std::uint64_t txn_id() const { return txn_id_; }
  // Ends the transaction: pages released by the one before become free.
  void commit();
  // Forgets the transaction's allocations and releases, as an abort does.
  void abort();

  std::uint64_t page_count() const { return page_count_; }
  const std::set<std::uint64_t>& free_pages() const { return free_; }
  // Pages released in this transaction that an older commit still uses.
  const std::set<std::uint64_t>& retained() const { return retained_; }

  // Every page from 1 to the page count is exactly one of: used by the
  // report's tree, free, or retained; problems otherwise.
  std::vector<std::string> account(const TreeCheckReport& report) const;

 private:
  std::uint32_t page_size_;
  PageProtection protection_;
  Pager pager_;
  PagerSource source_;
  std::uint64_t page_count_ = 1;  // page 0 is the head
  std::uint64_t txn_id_ = 1;
  std::set<std::uint64_t> free_;
  std::set<std::uint64_t> allocated_;        // by the transaction in hand
  std::set<std::uint64_t> retained_;         // released by it, older
  std::set<std::uint64_t> retained_before_;  // released by the last commit
  std::uint64_t committed_page_count_ = 1;
  std::set<std::uint64_t> committed_free_;
  std::vector<NodeWrite> node_writes_;
};

}  // namespace deziro::testing
