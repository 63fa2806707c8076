#include "btree/pager/page_reader.hpp"

namespace deziro {

PageReader::PageReader(Storage& storage, std::uint32_t page_size, PageProtection protection,
                       std::size_t cache_size)
    : protection_(std::move(protection)),
      pager_(storage, page_size, protection_, cache_size),
      slot_tags_(cache_size / 16) {}

}  // namespace deziro
