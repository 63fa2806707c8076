// A stand-in for a write transaction over one tree file, for the B-tree
// tests: it hands out pages from a Storage (lowest free page first, runs
// first fit, else at the end), seals and writes them, reads and checks nodes
// as the pager does, and keeps the free pages. Pages released by a commit
// become free when the next commit ends, as if no reader held them.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "btree/check.hpp"
#include "btree/page_io.hpp"
#include "btree/tree.hpp"
#include "crypto/page_protection.hpp"
#include "storage/storage.hpp"

namespace deziro::testing {

class TreeFile final : public NodeSource, public PageSink {
 public:
  TreeFile(Storage& storage, std::uint32_t page_size, PageProtection protection);

  // NodeSource
  std::uint32_t page_size() const override { return page_size_; }
  Result<NodeView> fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                              std::optional<std::uint8_t> level) override;
  Status read_pages(std::uint64_t first, std::span<std::uint8_t> out,
                    std::span<PageStamp> stamps) override;
  Error corrupted(std::string message) const override;

  // PageSink
  Result<std::uint64_t> allocate_page() override;
  Result<std::uint64_t> allocate_run(std::uint32_t count) override;
  Status write_pages(std::uint64_t first, std::span<std::uint8_t> pages,
                     std::span<PageStamp> stamps) override;
  void release_pages(std::uint64_t first, std::uint64_t count) override;

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
  std::uint64_t fetches() const { return fetches_; }

  // Every page from 1 to the page count is exactly one of: used by the
  // report's tree, free, or retained; problems otherwise.
  std::vector<std::string> account(const TreeCheckReport& report) const;

 private:
  Storage& storage_;
  std::uint32_t page_size_;
  PageProtection protection_;
  std::uint64_t page_count_ = 1;  // page 0 is the head
  std::uint64_t txn_id_ = 1;
  std::set<std::uint64_t> free_;
  std::set<std::uint64_t> allocated_;        // by the transaction in hand
  std::set<std::uint64_t> retained_;         // released by it, older
  std::set<std::uint64_t> retained_before_;  // released by the last commit
  std::uint64_t committed_page_count_ = 1;
  std::set<std::uint64_t> committed_free_;
  std::uint64_t fetches_ = 0;
};

}  // namespace deziro::testing
