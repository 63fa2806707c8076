#include "btree/pager/page_reader.hpp"

#include "btree/pager/pager_source.hpp"

namespace deziro {

PageReader::PageReader(Storage& storage, std::uint32_t page_size, PageProtection protection,
                       std::size_t cache_size)
    : protection_(std::move(protection)),
      pager_(storage, page_size, protection_, cache_size),
      slot_tags_(cache_size / 16) {}

Result<NodeView> PageReader::fetch_node(const ChildPointer& pointer, std::uint64_t tree_id,
                                        std::optional<std::uint8_t> level) {
  return fetch_cached_node(pager_, pointer, tree_id, level);
}

Status PageReader::read_pages(std::uint64_t first, std::size_t count, PageRun& run) {
  return pager_.read_pages_into(first, count, run);
}

Error PageReader::corrupted(std::string message) const {
  return Error::corrupted(pager_.storage().path(), std::move(message));
}

}  // namespace deziro
