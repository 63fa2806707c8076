// Nodes read through the file's pager: the parsed node lives in the page
// cache beside the page's bytes, so a cache hit costs no parsing and no read.
#pragma once

#include <memory>

#include "btree/pager/page_cache.hpp"
#include "btree/pager/page_io.hpp"
#include "btree/pager/pager.hpp"

namespace deziro {

// The PageParser of node pages: checks the node's structure (CORRUPTED
// "page {}: {}" naming the page). The node's succession mark is its tree,
// level and first key: a commit that rewrites a node mostly keeps where its
// range starts (a node whose first key changed, or that split or merged,
// leaves its old image to the clock).
Result<std::shared_ptr<const CachedPage>> parse_node_page(OpenedPage page, std::string_view path);

// The cached form of a node page: the opened page with its parsed view.
// Line-aligned, so that a lookup through it touches four lines: the page's
// number, stamp and header; the view; and the search index with its heads.
class alignas(64) CachedNode final : public CachedPage {
 public:
  // `succession`: see CachedPage::succession (0 for a node the cache need
  // not drop early).
  CachedNode(OpenedPage page, NodeView view, std::uint64_t succession = 0)
      : CachedPage(std::move(page), &parse_node_page),
        view_(std::move(view)),
        succession_(succession) {
    view_.attach_index(&index_);
  }
  // The view, not owning the bytes; NodeSource callers get one that does.
  const NodeView& view() const { return view_; }
  // The page and the parsed node around it, its search index included
  // (built on the node's first search).
  std::size_t cache_charge() const override {
    return CachedPage::cache_charge() + sizeof(CachedNode);
  }
  std::uint64_t succession() const override { return succession_; }

 private:
  NodeView view_;
  NodeSearchIndex index_;
  // After the index, on a line no lookup reads.
  std::uint64_t succession_;
};
// PageCache::prefetch_entry asks for the lines a lookup reads ahead.
static_assert(sizeof(CachedNode) <= 64 * PageCache::kEntryLinesAhead);

// How many freed node blocks the calling thread keeps for its next cached
// nodes (none under the address sanitizer). For tests.
std::size_t spare_node_blocks();

// Puts a node page this process has just written into the pager's cache,
// as a later read would open it (`page` holds the opened bytes), so that the
// next transaction finds its own last writes without reading them back. A
// page that does not parse is left out (null): a read reports it. The entry
// returned keeps its bytes alive after the cache lets it go.
std::shared_ptr<const CachedPage> remember_written_node(const Pager& pager, OpenedPage page);
// remember_written_node for a node page the builders have just laid out:
// its view is read from the header, not parsed again cell by cell.
std::shared_ptr<const CachedPage> remember_built_node(const Pager& pager, OpenedPage page);

// The node at `pointer` through the pager's cache, parsed by
// parse_node_page; the view keeps its cache entry alive. A node read
// without `keep` is not added to the cache; `hit`, when given, tells
// whether the cache held it.
Result<NodeView> fetch_cached_node(const Pager& pager, const ChildPointer& pointer,
                                   std::uint64_t tree_id, std::optional<std::uint8_t> level,
                                   bool keep = true, bool* hit = nullptr);

class PagerSource final : public NodeSource {
 public:
  explicit PagerSource(const Pager& pager) : pager_(pager) {}

  std::uint32_t page_size() const override { return pager_.page_size(); }
  Result<NodeView> fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                              std::optional<std::uint8_t> level) override;
  Result<NodeView> fetch_node_once(const ChildPointer& pointer, std::uint64_t tree_id,
                                   std::optional<std::uint8_t> level, bool* cached) override {
    return fetch_cached_node(pager_, pointer, tree_id, level, false, cached);
  }
  EpochDomain* epochs() override { return &pager_.cache().epochs(); }
  const PageCache* peek_cache() override { return &pager_.cache(); }
  const NodeView* peek_node(const ChildPointer& pointer, std::uint64_t tree_id,
                            std::optional<std::uint8_t> level) override {
    const CachedPage* hit = pager_.peek_page(pointer, tree_id, level, &parse_node_page);
    return hit ? &static_cast<const CachedNode*>(hit)->view() : nullptr;
  }
  Status read_pages(std::uint64_t first, std::size_t count, PageRun& run) override;
  Error corrupted(std::string message) const override;

 private:
  const Pager& pager_;
};

}  // namespace deziro
