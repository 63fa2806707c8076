#include "txn/relocate.hpp"

#include "text_format.hpp"

namespace deziro::write {

namespace {

// The transaction's sink, except that pages come only from free runs below
// the limit: relocation that grew the file would defeat its purpose.
class BelowLimit final : public PageSink {
 public:
  BelowLimit(space::PageSpace& space, PageSink& pages, std::uint64_t limit)
      : space_(space), pages_(pages), limit_(limit) {}

  Result<std::uint64_t> allocate_page() override {
    if (auto page = space::allocate_run_below(space_, 1, limit_)) return *page;
    return fail(Error::invalid_argument(format_text("no free page below page {}", limit_)));
  }
  Result<std::uint64_t> allocate_run(std::uint32_t count) override {
    if (auto first = space::allocate_run_below(space_, count, limit_)) return *first;
    return fail(Error::invalid_argument("an overflow run too long"));
  }
  Status write_pages(std::uint64_t first, std::span<std::uint8_t> pages,
                     std::span<PageStamp> stamps) override {
    return pages_.write_pages(first, pages, stamps);
  }
  Status write_node_page(std::uint64_t page_number, AlignedBuffer& page, PageStamp& stamp,
                         bool keep) override {
    return pages_.write_node_page(page_number, page, stamp, keep);
  }
  void release_pages(std::uint64_t first, std::uint64_t count) override {
    pages_.release_pages(first, count);
  }

 private:
  space::PageSpace& space_;
  PageSink& pages_;
  std::uint64_t limit_;
};

}  // namespace

Result<std::uint64_t> write_overflow(WriteTxn& txn, std::uint64_t tree_id, std::uint64_t limit) {
  DZ_CHECK(txn.check_writable());
  TreeRoot* root = nullptr;
  TreeEntry* entry = nullptr;
  switch (tree_id) {
    case kCatalogTreeId:
      root = &txn.catalog_;
      break;
    case kFreeTreeId:
      root = &txn.commit_space_.free_tree();
      break;
    case kRetainedTreeId:
      root = &txn.commit_space_.retained_tree();
      break;
    default:
      for (auto& [name, e] : txn.trees_)
        if (e.tree_id == tree_id) entry = &e;
      if (!entry)
        return fail(Error::internal(format_text("no loaded tree with id {} to relocate", tree_id)));
      root = &entry->root;
  }
  BelowLimit sink(txn.space_, txn.pages_, limit);
  const WriteContext cx{txn.source(), tree_id, txn.txn_id_, txn.layout_, sink};
  const bool was_in_memory = root->mem() != nullptr;
  auto moved = [&]() -> Result<std::uint64_t> {
    std::uint64_t count = DZ_TRY(btree::relocate(cx, *root, limit));
    // The loaded nodes are written now, through the same sink, so that they
    // too land below the limit rather than wherever the commit would put
    // them. A moved run keeps a reference of the same size, so every leaf
    // still fits its page and no parent changes shape.
    DZ_TRY(btree::write_tree(cx, *root));
    return count;
  }();
  if (!moved) {
    txn.mark_failed();
    return fail(moved.error());
  }
  if (entry && (*moved > 0 || was_in_memory)) entry->changed = true;
  return *moved;
}

}  // namespace deziro::write
