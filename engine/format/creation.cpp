#include "format/creation.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "format/header.hpp"
#include "format/header_bytes.hpp"
#include "format/record.hpp"

namespace deziro::creation {
namespace {

// The head's first 512 bytes: the static header, its copy and the selector.
constexpr std::size_t kHeaderSectorSize = record_slot_offset(0);

// Slot 0 as a creator writes it: the commit record of transaction 1, which
// names no page. Its cipher is unknown without the static header, so either
// kind of record counts.
bool first_commit_record(std::span<const std::uint8_t> slot) {
  for (PageCipher cipher : {PageCipher::Checksum, PageCipher::XChaCha20Poly1305}) {
    SlotContent content = record::parse_commit_record(0, slot, cipher, kMinPageSize);
    if (content.valid()) return content.record.txn_id == 1 && content.record.page_count == 1;
  }
  return false;
}

}  // namespace

Result<bool> cut_short(Storage& file) {
  std::uint64_t length = DZ_TRY(file.len_or_error());
  if (length > kMaxPageSize) return false;
  std::vector<std::uint8_t> bytes(std::max<std::size_t>(length, kHeadSize));
  DZ_CHECK(file.read_exact_at(0, std::span(bytes).first(length)));
  auto all = std::span<const std::uint8_t>(bytes);
  auto header_sector = all.first(kHeaderSectorSize);
  auto slot0 = all.subspan(record_slot_offset(0), kRecordSize);
  if (!bytes::all_zero(all.subspan(record_slot_offset(1)))) return false;
  if (bytes::all_zero(header_sector)) return bytes::all_zero(slot0) || first_commit_record(slot0);
  return header::check_static_fields(all).has_value() && bytes::all_zero(slot0);
}

Status write_first_page(Storage& file, std::span<const std::uint8_t> first_page) {
  // The static header and slot 0 of the file cut short may come from another
  // creator, and at most one of them is set. The one that is set is
  // rewritten and synced first, while the other stays zero, so that no crash
  // pairs one creator's static header with another's first record.
  std::array<std::uint8_t, kHeaderSectorSize> header_now{};
  (void)DZ_TRY(file.read_at(0, header_now));
  auto header = first_page.first(kHeaderSectorSize);
  auto rest = first_page.subspan(kHeaderSectorSize);
  bool header_first = !bytes::all_zero(header_now);
  DZ_CHECK(header_first ? file.write_at(0, header) : file.write_at(header.size(), rest));
  DZ_CHECK(file.sync());
  DZ_CHECK(header_first ? file.write_at(header.size(), rest) : file.write_at(0, header));
  DZ_CHECK(file.set_len(first_page.size()));
  return file.sync();
}

}  // namespace deziro::creation
