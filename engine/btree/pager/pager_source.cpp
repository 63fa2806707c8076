#include "btree/pager/pager_source.hpp"

#include "text_format.hpp"

namespace deziro {

Result<std::shared_ptr<const CachedPage>> parse_node_page(OpenedPage page, std::string_view path) {
  auto bytes = page.bytes.span();
  // The view borrows the bytes; the cache entry that holds both owns them.
  std::shared_ptr<const std::uint8_t> borrowed(std::shared_ptr<const void>(), bytes.data());
  auto view = NodeView::from_page(std::move(borrowed), static_cast<std::uint32_t>(bytes.size()));
  if (!view)
    return fail(Error::corrupted(std::string(path),
                                 format_text("page {}: {}", page.page_number, view.error())));
  return std::make_shared<const CachedNode>(std::move(page), std::move(*view));
}

std::shared_ptr<const CachedPage> remember_written_node(const Pager& pager, OpenedPage page) {
  auto parsed = parse_node_page(std::move(page), pager.storage().path());
  if (!parsed) return nullptr;
  pager.cache().insert(*parsed, &parse_node_page);
  return std::move(*parsed);
}

Result<NodeView> fetch_cached_node(const Pager& pager, const ChildPointer& pointer,
                                   std::uint64_t tree_id, std::optional<std::uint8_t> level,
                                   bool keep) {
  auto cached = DZ_TRY(pager.fetch_page(pointer, tree_id, level, &parse_node_page, keep));
  auto node = std::static_pointer_cast<const CachedNode>(std::move(cached));
  const NodeView& view = node->view();
  const std::uint8_t* bytes = view.page();
  return view.with_owner(std::shared_ptr<const std::uint8_t>(std::move(node), bytes));
}

Result<NodeView> PagerSource::fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                                         std::optional<std::uint8_t> level) {
  return fetch_cached_node(pager_, pointer, tree_id, level);
}

Status PagerSource::read_pages(std::uint64_t first, std::size_t count, PageRun& run) {
  return pager_.read_pages_into(first, count, run);
}

Error PagerSource::corrupted(std::string message) const {
  return Error::corrupted(pager_.storage().path(), std::move(message));
}

}  // namespace deziro
