#include "txn/page_reader.hpp"

#include "text_format.hpp"

namespace deziro {
namespace {

// A cached node: the structure of the page is checked once, when it enters
// the cache, and every hit hands out the parsed view.
class CachedNode final : public CachedPage {
 public:
  CachedNode(OpenedPage header_only, NodeView view, std::size_t charge)
      : CachedPage(std::move(header_only)), view_(std::move(view)), charge_(charge) {}
  const NodeView& view() const { return view_; }
  std::size_t cache_charge() const override { return charge_; }

 private:
  NodeView view_;
  std::size_t charge_;
};

Result<std::shared_ptr<const CachedPage>> parse_node(OpenedPage page, std::string_view path) {
  std::size_t size = page.bytes.size();
  auto holder = std::make_shared<AlignedBuffer>(std::move(page.bytes));
  std::shared_ptr<const std::uint8_t> bytes(holder, holder->data());
  auto view = NodeView::from_page(bytes, std::uint32_t(size));
  if (!view)
    return fail(Error::corrupted(std::string(path),
                                 format_text("page {}: {}", page.page_number, view.error())));
  return std::make_shared<CachedNode>(std::move(page), std::move(*view), size + sizeof(CachedNode));
}

}  // namespace

PageReader::PageReader(Storage& storage, std::uint32_t page_size, PageProtection protection,
                       std::size_t cache_size)
    : protection_(std::move(protection)),
      pager_(storage, page_size, protection_, cache_size),
      slot_tags_(cache_size / 16) {}

Result<NodeView> PageReader::fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                                        std::optional<std::uint8_t> level) {
  auto cached = DZ_TRY(pager_.fetch_page(pointer, tree_id, level, &parse_node));
  return static_cast<const CachedNode&>(*cached).view();
}

Status PageReader::read_pages(std::uint64_t first, std::size_t count, PageRun& run) {
  return pager_.read_pages_into(first, count, run);
}

Error PageReader::corrupted(std::string message) const {
  return Error::corrupted(pager_.storage().path(), std::move(message));
}

}  // namespace deziro
