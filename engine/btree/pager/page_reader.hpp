// The page-reading road of an open file: every page the engine reads comes
// through the pieces of this folder, and this is how.
// - Fetched: a tree asks its NodeSource (page_io.hpp) for the node that a
//   child pointer names. For an open file the source is the PageReader
//   below, shared by all its snapshots and write transactions (PagerSource
//   in pager_source.hpp is the same over a pager its caller owns); both go
//   to Pager::fetch_page (pager.hpp), which reads the page with one
//   positioned read from the file's Storage (for a DbFile, a copy from its
//   mapping of the file where it can be: storage/file_map.hpp). An overflow
//   run is read in batches of consecutive pages, one read a batch
//   (read_pages).
// - Checked: the pager opens every page it reads with the file's
//   PageProtection (the checksum, or the decryption whose tag is the stamp)
//   and then holds a node page against its pointer: stamp, kind, level,
//   commit id and tree id must agree, else CORRUPTED naming the page. The
//   node is then parsed (parse_node_page), which checks its structure.
// - Cached: the opened page and its parsed node go into the PageCache
//   (page_cache.hpp) under the page number and stamp, a key that names one
//   image for good, since a page is never changed in place. A hit costs no
//   read and no parse and is still held against the pointer. A writer puts
//   the node pages it has just written there too (remember_written_node),
//   but for a leaf whose old image the cache did not hold once the cache is
//   full (MemNode::image_was_cached).
//   A page read takes its buffer and its node's block from the block arena
//   (storage/block_arena.hpp), memory backed by huge pages where the system
//   has them, as is the cache's table of places: a lookup reads a few lines
//   of a page at every level, all over the cache.
// - Hinted: a filtered scan keeps in the SlotTagCache (slot_tag_cache.hpp),
//   under the same key and a field id, where that field's value sits in each
//   record of a leaf, so that the next scan of the same image finds the
//   field without walking the records.
//
// The file's page reader: checked nodes through the page cache, for every
// snapshot and write transaction of one open file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "btree/pager/page_io.hpp"
#include "btree/pager/pager.hpp"
#include "btree/pager/pager_source.hpp"
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
                              std::optional<std::uint8_t> level) override {
    return source_.fetch_node(pointer, tree_id, level);
  }
  Result<NodeView> fetch_node_once(const ChildPointer& pointer, std::uint64_t tree_id,
                                   std::optional<std::uint8_t> level, bool* cached) override {
    return source_.fetch_node_once(pointer, tree_id, level, cached);
  }
  EpochDomain* epochs() override { return source_.epochs(); }
  const PageCache* peek_cache() override { return source_.peek_cache(); }
  const NodeView* peek_node(const ChildPointer& pointer, std::uint64_t tree_id,
                            std::optional<std::uint8_t> level) override {
    return source_.peek_node(pointer, tree_id, level);
  }
  Status read_pages(std::uint64_t first, std::size_t count, PageRun& run) override {
    return source_.read_pages(first, count, run);
  }
  Error corrupted(std::string message) const override {
    return source_.corrupted(std::move(message));
  }
  SlotTagCache* slot_tags() override { return &slot_tags_; }

  const PageProtection& protection() const { return protection_; }
  Pager& pager() { return pager_; }

 private:
  // Declared before the pager, which keeps a reference to it.
  PageProtection protection_;
  Pager pager_;
  // Nodes read through the pager's cache, as any pager's source reads them.
  PagerSource source_{pager_};
  // Its budget is a sixteenth of the page cache's.
  SlotTagCache slot_tags_;
};

}  // namespace deziro
