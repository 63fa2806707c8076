#include "format/header.hpp"

#include <cstring>

#include "format/header_bytes.hpp"
#include "text_format.hpp"

namespace deziro {
namespace {

// "DeziRO" then CR LF, so that a file mangled by a text-mode copy no longer
// passes for a database.
constexpr std::array<std::uint8_t, 8> kMagic = {'D', 'e', 'z', 'i', 'R', 'O', 0x0d, 0x0a};

constexpr std::size_t kVersionOffset = 8;
constexpr std::size_t kPageSizeOffset = 12;
constexpr std::size_t kFileIdOffset = 16;
constexpr std::size_t kCipherOffset = 32;
constexpr std::size_t kCheckOffset = 48;

constexpr std::uint8_t kSelectorSlotMask = 0x03;
constexpr std::uint8_t kSelectorDeferredBit = 0x80;

HeaderFailure damaged(std::string message) {
  return {HeaderFailure::Kind::Damaged, 0, std::move(message)};
}

bool readable_version(std::uint32_t version) {
  return version >= kOldestFormatVersion && version <= kNewestFormatVersion;
}

// The magic, then the check, then the version: a flipped bit in the version
// field is damage (and the copy may stand in), not a newer format.
std::expected<StaticFields, HeaderFailure> check_one(std::span<const std::uint8_t> h) {
  if (std::memcmp(h.data(), kMagic.data(), kMagic.size()) != 0)
    return std::unexpected(HeaderFailure{HeaderFailure::Kind::NotOurs, 0, {}});
  StaticFields f;
  f.format_version = load_u32_le(h.data() + kVersionOffset);
  auto check = bytes::xxh3_128(h.first(kCheckOffset));
  if (std::memcmp(check.data(), h.data() + kCheckOffset, check.size()) != 0)
    return std::unexpected(damaged("the static header fails its check"));
  if (!readable_version(f.format_version))
    return std::unexpected(
        HeaderFailure{HeaderFailure::Kind::UnsupportedVersion, f.format_version, {}});
  f.page_size = load_u32_le(h.data() + kPageSizeOffset);
  if (f.page_size < kMinPageSize || f.page_size > kMaxPageSize ||
      (f.page_size & (f.page_size - 1)) != 0)
    return std::unexpected(
        damaged(format_text("the static header holds the page size {}", f.page_size)));
  std::memcpy(f.file_id.data(), h.data() + kFileIdOffset, f.file_id.size());
  std::uint8_t cipher = h[kCipherOffset];
  if (cipher > 2)
    return std::unexpected(
        damaged(format_text("the static header holds the unknown cipher {}", int(cipher))));
  f.cipher = static_cast<PageCipher>(cipher);
  if (!bytes::all_zero(h.subspan(kCipherOffset + 1, kCheckOffset - kCipherOffset - 1)))
    return std::unexpected(damaged("the static header has bytes set that must be zero"));
  return f;
}

}  // namespace

Error Error::from_header(std::string path, const HeaderFailure& failure) {
  switch (failure.kind) {
    case HeaderFailure::Kind::NotOurs:
      return Error::not_a_database(std::move(path));
    case HeaderFailure::Kind::UnsupportedVersion:
      return Error::unsupported_format_version(std::move(path), failure.found_version);
    case HeaderFailure::Kind::Damaged:
      break;
  }
  return Error::corrupted(std::move(path), failure.message);
}

namespace header {

std::expected<StaticFields, HeaderFailure> check_static_fields(std::span<const std::uint8_t> head) {
  if (head.size() < kStaticHeaderSize)
    return std::unexpected(HeaderFailure{HeaderFailure::Kind::NotOurs, 0, {}});
  auto primary = check_one(head.first(kStaticHeaderSize));
  if (primary || primary.error().kind == HeaderFailure::Kind::UnsupportedVersion) return primary;
  if (head.size() < kStaticHeaderCopyOffset + kStaticHeaderSize) return primary;
  auto copy = check_one(head.subspan(kStaticHeaderCopyOffset, kStaticHeaderSize));
  // Only version 6 keeps a copy; anything else there is not one.
  if (copy && copy->format_version == 6) {
    copy->read_from_copy = true;
    return copy;
  }
  // Report the first header's fault, unless it is not ours at all while the
  // copy shows that it once was.
  if (primary.error().kind == HeaderFailure::Kind::NotOurs && !copy &&
      copy.error().kind != HeaderFailure::Kind::NotOurs)
    return copy;
  // With no copy to stand in, a version this build does not read is named
  // as such: a later format may protect its header differently.
  std::uint32_t version = load_u32_le(head.data() + kVersionOffset);
  if (primary.error().kind == HeaderFailure::Kind::Damaged && !readable_version(version))
    return std::unexpected(HeaderFailure{HeaderFailure::Kind::UnsupportedVersion, version, {}});
  return primary;
}

std::array<std::uint8_t, kStaticHeaderSize> encode_static_fields(const StaticFields& fields) {
  std::array<std::uint8_t, kStaticHeaderSize> h{};
  std::memcpy(h.data(), kMagic.data(), kMagic.size());
  store_u32_le(h.data() + kVersionOffset, fields.format_version);
  store_u32_le(h.data() + kPageSizeOffset, fields.page_size);
  std::memcpy(h.data() + kFileIdOffset, fields.file_id.data(), fields.file_id.size());
  h[kCipherOffset] = static_cast<std::uint8_t>(fields.cipher);
  auto check = bytes::xxh3_128(std::span<const std::uint8_t>(h).first(kCheckOffset));
  std::memcpy(h.data() + kCheckOffset, check.data(), check.size());
  return h;
}

std::uint8_t encode_selector(Selector selector) {
  return std::uint8_t(selector.slot | (selector.deferred ? kSelectorDeferredBit : 0));
}

std::optional<Selector> decode_selector(std::uint8_t byte) {
  std::uint8_t slot = byte & kSelectorSlotMask;
  if (slot >= kRecordSlotCount) return std::nullopt;
  if ((byte & ~(kSelectorSlotMask | kSelectorDeferredBit)) != 0) return std::nullopt;
  return Selector{slot, (byte & kSelectorDeferredBit) != 0};
}

std::vector<std::uint8_t> first_page(const StaticFields& fields,
                                     std::span<const std::uint8_t, kRecordSize> record) {
  std::vector<std::uint8_t> page(fields.page_size, 0);
  auto h = encode_static_fields(fields);
  std::memcpy(page.data(), h.data(), h.size());
  if (fields.format_version >= 6)
    std::memcpy(page.data() + kStaticHeaderCopyOffset, h.data(), h.size());
  page[kSelectorOffset] = encode_selector({0, false});
  std::memcpy(page.data() + record_slot_offset(0), record.data(), record.size());
  return page;
}

}  // namespace header
}  // namespace deziro
