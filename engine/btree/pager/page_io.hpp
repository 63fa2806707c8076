// What the B-trees need of the layers around them: a source of checked
// nodes and pages to read (the pager and its cache), and a sink of pages to
// write (the write transaction's allocator and its sealed writes).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "btree/pager/pager.hpp"
#include "error.hpp"
#include "format/node.hpp"
#include "format/page.hpp"
#include "storage/aligned_buffer.hpp"

namespace deziro {

class SlotTagCache;

// Reads nodes and pages of one file.
class NodeSource {
 public:
  virtual ~NodeSource() = default;

  virtual std::uint32_t page_size() const = 0;

  // The node a pointer names, checked against it: its stamp equals the
  // pointer's, its commit id is the pointer's, its tree id is `tree_id`, its
  // kind and level agree and, when given, its level is `level`. Failures are
  // CORRUPTED naming the page, or IO.
  virtual Result<NodeView> fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                                      std::optional<std::uint8_t> level) = 0;
  // The same for a node read once and not again (one a write transaction
  // wrote early and now loads back, or loads to change and releases): a
  // cache need not keep it. `cached`, when given, tells whether a cache held
  // it (true for a source without one).
  virtual Result<NodeView> fetch_node_once(const ChildPointer& pointer, std::uint64_t tree_id,
                                           std::optional<std::uint8_t> level,
                                           bool* cached = nullptr) {
    if (cached != nullptr) *cached = true;
    return fetch_node(pointer, tree_id, level);
  }

  // Nodes found without a reference: the domain a caller pins in, and the
  // node `pointer` names, checked as fetch_node checks it, valid until the
  // caller's pin ends. None for a source without that road, and null when
  // the node is not at hand (fetch_node then gets it).
  virtual EpochDomain* epochs() { return nullptr; }
  virtual const NodeView* peek_node(const ChildPointer& /*pointer*/, std::uint64_t /*tree_id*/,
                                    std::optional<std::uint8_t> /*level*/) {
    return nullptr;
  }
  // The cache peek_node looks in, whose places a caller may ask for ahead
  // (PageCache::prefetch_place); null for a source without one.
  virtual const PageCache* peek_cache() { return nullptr; }

  // Reads `count` consecutive pages from `first` into `run` (reusing its
  // buffer), opens each one (checksum or decryption) and keeps their stamps;
  // a page that fails its check is CORRUPTED "page {} fails its check".
  virtual Status read_pages(std::uint64_t first, std::size_t count, PageRun& run) = 0;

  // CORRUPTED holding the file's path: how the trees report damage.
  virtual Error corrupted(std::string message) const = 0;

  // The file's cache of slot hints for query scans; none for a source
  // without one.
  virtual SlotTagCache* slot_tags() { return nullptr; }
};

// Pages for a write transaction's trees. Implemented by the transaction
// layer over its page allocator; every page handed out is new to this
// transaction, so nothing a reader may see is ever written over.
class PageSink {
 public:
  virtual ~PageSink() = default;

  // One page for a node.
  virtual Result<std::uint64_t> allocate_page() = 0;
  // `count` consecutive pages for an overflow run; returns the first.
  virtual Result<std::uint64_t> allocate_run(std::uint32_t count) = 0;

  // Seals `pages` (consecutive pages from `first`, page-size bytes each) in
  // place, writes them, and stores each page's stamp in `stamps`.
  virtual Status write_pages(std::uint64_t first, std::span<std::uint8_t> pages,
                             std::span<PageStamp> stamps) = 0;
  // As write_pages for one node page, built in `page`, whose stamp goes in
  // `stamp`. The sink may keep the buffer (the transaction's keeps it as
  // the page's cache entry instead of a copy), leaving `page` empty for the
  // caller to allocate again. Without `keep`, a cache need not take it.
  virtual Status write_node_page(std::uint64_t page_number, AlignedBuffer& page, PageStamp& stamp,
                                 bool /*keep*/) {
    return write_pages(page_number, page.span(), std::span<PageStamp>(&stamp, 1));
  }

  // Pages the tree stopped using: a node copied on write, merged away or
  // dropped, or an overflow run whose value was replaced or deleted. Readers
  // of older commits may still see them unless this transaction allocated
  // them itself.
  virtual void release_pages(std::uint64_t first, std::uint64_t count) = 0;
};

}  // namespace deziro
