// Reads pages of one file: checks each against its protection and against
// what the referring pointer expects, and keeps opened pages in the cache.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "btree/pager/page_cache.hpp"
#include "crypto/page_protection.hpp"
#include "error.hpp"
#include "format/page.hpp"
#include "storage/aligned_buffer.hpp"
#include "storage/storage.hpp"

namespace deziro {

// Consecutive pages read and opened together.
struct PageRun {
  std::uint64_t first_page = 0;
  std::size_t page_size = 0;
  AlignedBuffer bytes;
  std::vector<PageStamp> stamps;

  std::size_t count() const { return stamps.size(); }
  std::span<const std::uint8_t> page(std::size_t i) const {
    return bytes.span().subspan(i * page_size, page_size);
  }
};

class Pager {
 public:
  // The storage and the protection must outlive the pager; the cache is its
  // own, with a budget of `cache_size` bytes.
  Pager(Storage& storage, std::uint32_t page_size, const PageProtection& protection,
        std::size_t cache_size);

  Storage& storage() const { return storage_; }
  const PageProtection& protection() const { return protection_; }
  PageCache& cache() const { return cache_; }
  std::uint32_t page_size() const { return page_size_; }

  // The node page that `pointer` refers to, from a tree with id `tree_id`,
  // at `expected_level` when given. A page cached under the pointer's page
  // number and stamp comes back without a read. Otherwise the page is read
  // and opened, and must carry the pointer's stamp, a node kind that agrees
  // with its level, the pointer's commit id, `tree_id`, and the expected
  // level. Failures are CORRUPTED "page {} fails its check" or "page {}: {}",
  // or IO. `parser` builds the cached form (plain CachedPage when null); a
  // page read without `keep` is not added to the cache. `hit`, when given,
  // tells whether the cache held the page. `mark_hint`, when given, tells
  // from an opened page the succession mark (CachedPage::succession) the
  // parser will give it, or 0, so that the cache asks ahead for the mark's
  // place while the page is parsed.
  Result<std::shared_ptr<const CachedPage>> fetch_page(const ChildPointer& pointer,
                                                       std::uint64_t tree_id,
                                                       std::optional<std::uint8_t> expected_level,
                                                       PageParser parser = nullptr,
                                                       bool keep = true, bool* hit = nullptr,
                                                       PageMarkHint mark_hint = nullptr) const;

  // The cached node page `pointer` refers to, made by `parser` and held
  // against the pointer as fetch_page holds a hit, found without a lock or
  // a reference (PageCache::peek) by a caller pinned in the cache's epochs;
  // null when it is not at hand or fails a check (fetch_page then reads it
  // or says what is wrong).
  const CachedPage* peek_page(const ChildPointer& pointer, std::uint64_t tree_id,
                              std::optional<std::uint8_t> expected_level, PageParser parser) const {
    const CachedPage* hit = cache_.peek(pointer.page, pointer.stamp, parser);
    if (hit == nullptr) return nullptr;
    // mismatch() == none, with its tests of the kind alone read from the
    // entry's flag.
    const PageHeader& header = hit->header();
    if (!hit->node_kind() || header.commit_id != pointer.commit_id || header.tree_id != tree_id ||
        (expected_level && header.level != *expected_level))
      return nullptr;
    return hit;
  }

  // Reads whole pages from `first_page` into `out` (a multiple of the page
  // size) with one positioned read; nothing is checked. A run past the end
  // of the file is CORRUPTED "a read from page {} on runs past the end of
  // the file".
  Status read_raw(std::uint64_t first_page, std::span<std::uint8_t> out) const;

  // Reads and opens `count` pages from `first_page`; "page {} fails its
  // check" names the first page that does not open.
  Result<PageRun> read_pages(std::uint64_t first_page, std::size_t count) const;
  // The same into `run`, reusing its buffer when large enough.
  Status read_pages_into(std::uint64_t first_page, std::size_t count, PageRun& run) const;

  // Writes already sealed pages from `first_page` on, back to back, with
  // one vectored write.
  Status write_pages(std::uint64_t first_page, std::span<const ConstByteSpan> pages) const;

 private:
  Error corrupted(std::string message) const;
  Error runs_past_end(std::uint64_t first_page) const;
  // How a page's header disagrees with the pointer that led to it (its
  // stamp aside: a cached page's stamp is its key), the first test failed.
  enum class Mismatch : std::uint8_t {
    none,
    unknown_kind,
    overflow,
    kind_level,
    commit,
    tree,
    level
  };
  static Mismatch mismatch(const PageHeader& header, const ChildPointer& pointer,
                           std::uint64_t tree_id, std::optional<std::uint8_t> expected_level) {
    if (!is_known_page_kind(header.kind)) return Mismatch::unknown_kind;
    if (header.kind == static_cast<std::uint8_t>(PageKind::Overflow)) return Mismatch::overflow;
    if (!page_kind_allows_level(header.kind, header.level)) return Mismatch::kind_level;
    if (header.commit_id != pointer.commit_id) return Mismatch::commit;
    if (header.tree_id != tree_id) return Mismatch::tree;
    if (expected_level && header.level != *expected_level) return Mismatch::level;
    return Mismatch::none;
  }
  Status check_against_pointer(const PageStamp& stamp, const PageHeader& header,
                               const ChildPointer& pointer, std::uint64_t tree_id,
                               std::optional<std::uint8_t> expected_level) const;
  std::optional<std::uint64_t> page_offset(std::uint64_t first_page, std::size_t count) const;

  Storage& storage_;
  std::uint32_t page_size_;
  const PageProtection& protection_;
  mutable PageCache cache_;
};

}  // namespace deziro
