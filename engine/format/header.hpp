// The head of a database file: the 64-byte static header (with its copy at
// 128 from format version 6 on), the selector byte naming the published
// commit-record slot, and the three 512-byte slots; 2048 bytes in all at the
// start of page 0.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "format/key_block.hpp"
#include "format/page.hpp"

namespace deziro {

inline constexpr std::size_t kHeadSize = 2048;
inline constexpr std::size_t kStaticHeaderSize = 64;
inline constexpr std::size_t kStaticHeaderCopyOffset = 128;
inline constexpr std::size_t kSelectorOffset = 64;
inline constexpr std::size_t kRecordSlotCount = 3;
inline constexpr std::size_t kRecordSize = 512;
inline constexpr std::uint32_t kOldestFormatVersion = 5;

inline constexpr std::size_t record_slot_offset(std::size_t slot) { return 512 + 512 * slot; }

struct StaticFields {
  std::uint32_t format_version = kNewestFormatVersion;
  std::uint32_t page_size = kMinPageSize;
  FileId file_id{};
  PageCipher cipher = PageCipher::Checksum;
  // The first header failed and these fields came from the copy at 128;
  // recovery writes them back.
  bool read_from_copy = false;

  bool encrypted() const { return cipher != PageCipher::Checksum; }
};

// Why a static header was refused.
struct HeaderFailure {
  enum class Kind : std::uint8_t { NotOurs, UnsupportedVersion, Damaged };
  Kind kind;
  std::uint32_t found_version = 0;
  std::string message;
};

// The published slot and whether its commit still waits for a sync.
struct Selector {
  std::uint8_t slot = 0;
  bool deferred = false;
};

namespace header {

// Checks the static header at the start of `head` (at least 64 bytes; 192
// to reach the copy): magic, format version 5 or 6, check, page size and
// cipher. A failed first header falls back to the copy at 128, except when
// the file is of a version this build does not read.
std::expected<StaticFields, HeaderFailure> check_static_fields(std::span<const std::uint8_t> head);

// The 64 bytes of a static header with its check.
std::array<std::uint8_t, kStaticHeaderSize> encode_static_fields(const StaticFields& fields);

std::uint8_t encode_selector(Selector selector);
// None when the byte names no slot or sets bits that mean nothing.
std::optional<Selector> decode_selector(std::uint8_t byte);

// The first page of a new file: static header (and its copy for version 6),
// selector 0, and `record` (the commit record of transaction 1, already
// encoded with its key block and MAC) in slot 0.
std::vector<std::uint8_t> first_page(const StaticFields& fields,
                                     std::span<const std::uint8_t, kRecordSize> record);

}  // namespace header
}  // namespace deziro
