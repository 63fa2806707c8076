#include "format/page.hpp"

#include <algorithm>
#include <cstring>

#include "format/bytes.hpp"
#include "invariant.hpp"

namespace deziro {

bool is_valid_page_size(std::uint64_t page_size) {
  return page_size >= kMinPageSize && page_size <= kMaxPageSize &&
         (page_size & (page_size - 1)) == 0;
}

bool is_known_page_kind(std::uint8_t kind) { return kind >= 1 && kind <= 4; }

bool page_kind_allows_level(std::uint8_t kind, std::uint8_t level) {
  if (kind == static_cast<std::uint8_t>(PageKind::Branch)) return level != 0;
  return level == 0;
}

bool PageStamp::is_zero() const {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

PageStamp page_trailer(std::span<const std::uint8_t> page) {
  DZ_ASSERT(page.size() >= kPageHeaderSize + kPageStampSize);
  return PageStamp::load(page.data() + page.size() - kPageStampSize);
}

void set_page_trailer(std::span<std::uint8_t> page, const PageStamp& stamp) {
  DZ_ASSERT(page.size() >= kPageHeaderSize + kPageStampSize);
  stamp.store(page.data() + page.size() - kPageStampSize);
}

PageHeader PageHeader::read(std::span<const std::uint8_t> page) {
  DZ_ASSERT(page.size() >= kPageHeaderSize);
  PageHeader header;
  header.kind = page[kPageKindOffset];
  header.level = page[kPageLevelOffset];
  header.commit_id = load_u64_le(page.data() + kPageCommitIdOffset);
  header.tree_id = load_u64_le(page.data() + kPageTreeIdOffset);
  return header;
}

void PageHeader::write(std::span<std::uint8_t> page) const {
  DZ_ASSERT(page.size() >= kPageHeaderSize);
  page[kPageKindOffset] = kind;
  page[kPageLevelOffset] = level;
  store_u64_le(page.data() + kPageCommitIdOffset, commit_id);
  store_u64_le(page.data() + kPageTreeIdOffset, tree_id);
}

}  // namespace deziro
