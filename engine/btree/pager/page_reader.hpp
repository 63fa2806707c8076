// The file's page reader: checked nodes through the page cache, for every
// snapshot and write transaction of one open file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "btree/pager/page_io.hpp"
#include "btree/pager/pager.hpp"
#include "btree/pager/slot_tag_cache.hpp"
#include "crypto/page_protection.hpp"
#include "storage/storage.hpp"

namespace deziro {

class PageReader final : public NodeSource {
 public:
  // `storage` must outlive the reader.
  PageReader(Storage& storage, std::uint32_t page_size, PageProtection protection,
             std::size_t cache_size);

  std::uint32_t page_size() const override { return pager_.page_size(); }
  Result<NodeView> fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                              std::optional<std::uint8_t> level) override;
  Status read_pages(std::uint64_t first, std::size_t count, PageRun& run) override;
  Error corrupted(std::string message) const override;
  SlotTagCache* slot_tags() override { return &slot_tags_; }

  const PageProtection& protection() const { return protection_; }
  Pager& pager() { return pager_; }

 private:
  // Declared before the pager, which keeps a reference to it.
  PageProtection protection_;
  Pager pager_;
  // Its budget is a sixteenth of the page cache's.
  SlotTagCache slot_tags_;
};

}  // namespace deziro
