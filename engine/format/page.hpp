// The page format shared by every node and overflow page: a 56-byte header,
// the content, and a 16-byte trailer, the page's stamp. docs/file-format.md
// section 2 has the byte table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "format/bytes.hpp"

namespace deziro {

inline constexpr std::uint32_t kMinPageSize = 4096;
inline constexpr std::uint32_t kMaxPageSize = 65536;
inline constexpr std::uint32_t kDefaultPageSize = 4096;

// Every byte of the file lies below 2^62, where the lock bytes begin: the
// most pages a file of `page_size` bytes per page can hold.
constexpr std::uint64_t max_page_count(std::uint32_t page_size) {
  return (std::uint64_t{1} << 62) / page_size;
}

// The byte length of `page_count` pages, none when it passes 2^62: how
// every cut of the file measures its length.
constexpr std::optional<std::uint64_t> length_of_pages(std::uint64_t page_count,
                                                       std::uint32_t page_size) {
  if (page_count > max_page_count(page_size)) return std::nullopt;
  return page_count * page_size;
}

// The pages a file of `length` bytes holds, a last page cut short counted
// whole: a commit counting more pages than that cannot be the file's.
constexpr std::uint64_t pages_held(std::uint64_t length, std::uint32_t page_size) {
  return length / page_size + (length % page_size != 0 ? 1 : 0);
}

inline constexpr std::size_t kPageHeaderSize = 56;
inline constexpr std::size_t kPageStampSize = 16;
inline constexpr std::size_t kPageNonceSize = 24;

// Offsets inside a page.
inline constexpr std::size_t kPageNonceOffset = 0;
inline constexpr std::size_t kPageKindOffset = 24;
inline constexpr std::size_t kPageLevelOffset = 25;
inline constexpr std::size_t kPageCommitIdOffset = 32;
inline constexpr std::size_t kPageTreeIdOffset = 40;
inline constexpr std::size_t kPageContentOffset = 56;
// A sealed page encrypts everything from the kind byte up to the trailer.
inline constexpr std::size_t kPageSealedBodyOffset = 24;

// A power of two from 4096 to 65536.
bool is_valid_page_size(std::uint64_t page_size);

// Bytes between the header and the trailer.
constexpr std::size_t page_content_room(std::size_t page_size) {
  return page_size - kPageHeaderSize - kPageStampSize;
}

// Page kinds as stored at byte 24. Node codes of the parsed form are a
// different numbering and belong to the node layouts.
enum class PageKind : std::uint8_t {
  FixedLeaf = 1,
  Branch = 2,
  Overflow = 3,
  VarintLeaf = 4,
};

bool is_known_page_kind(std::uint8_t kind);
// Leaves and overflow pages sit at level 0; branches above it.
bool page_kind_allows_level(std::uint8_t kind, std::uint8_t level);

// The 16-byte trailer: the authentication tag of a sealed page or the
// XXH3-128 checksum of a plain one. A parent keeps its child's stamp, so a
// stamp names one exact image of a page.
struct PageStamp {
  std::array<std::uint8_t, kPageStampSize> bytes{};

  // Inline, as the child pointers' below: a branch loaded or written moves
  // a hundred of them.
  static PageStamp load(const std::uint8_t* p) {
    PageStamp stamp;
    std::memcpy(stamp.bytes.data(), p, kPageStampSize);
    return stamp;
  }
  void store(std::uint8_t* p) const { std::memcpy(p, bytes.data(), kPageStampSize); }
  bool is_zero() const;

  friend bool operator==(const PageStamp&, const PageStamp&) = default;
};

PageStamp page_trailer(std::span<const std::uint8_t> page);
void set_page_trailer(std::span<std::uint8_t> page, const PageStamp& stamp);

// A branch's reference to a child, 32 bytes: page number u64, the child's
// commit id u64, the child's stamp.
struct ChildPointer {
  static constexpr std::size_t kSize = 32;

  std::uint64_t page = 0;
  std::uint64_t commit_id = 0;
  PageStamp stamp;

  static ChildPointer load(const std::uint8_t* p) {
    ChildPointer pointer;
    pointer.page = load_u64_le(p);
    pointer.commit_id = load_u64_le(p + 8);
    pointer.stamp = PageStamp::load(p + 16);
    return pointer;
  }
  void store(std::uint8_t* p) const {
    store_u64_le(p, page);
    store_u64_le(p + 8, commit_id);
    stamp.store(p + 16);
  }

  friend bool operator==(const ChildPointer&, const ChildPointer&) = default;
};

// The header fields every page carries. The kind is kept as its raw byte so
// that an unknown kind read from a damaged page can still be reported.
struct PageHeader {
  std::uint8_t kind = 0;
  std::uint8_t level = 0;
  std::uint64_t commit_id = 0;
  std::uint64_t tree_id = 0;

  static PageHeader read(std::span<const std::uint8_t> page);
  // Writes these four fields only; the rest of the header is the layout's.
  void write(std::span<std::uint8_t> page) const;

  friend bool operator==(const PageHeader&, const PageHeader&) = default;
};

}  // namespace deziro
