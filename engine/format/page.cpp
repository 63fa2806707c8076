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

PageStamp PageStamp::load(const std::uint8_t* p) {
  PageStamp stamp;
  std::memcpy(stamp.bytes.data(), p, kPageStampSize);
  return stamp;
}

void PageStamp::store(std::uint8_t* p) const { std::memcpy(p, bytes.data(), kPageStampSize); }

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

ChildPointer ChildPointer::load(const std::uint8_t* p) {
  ChildPointer pointer;
  pointer.page = load_u64_le(p);
  pointer.commit_id = load_u64_le(p + 8);
  pointer.stamp = PageStamp::load(p + 16);
  return pointer;
}

void ChildPointer::store(std::uint8_t* p) const {
  store_u64_le(p, page);
  store_u64_le(p + 8, commit_id);
  stamp.store(p + 16);
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
