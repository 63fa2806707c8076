// Head parsers: any bytes offered as the 2048-byte head of a file, once as
// they are and once with the checks of the static headers and the commit
// records made to hold. What the parsers accept must encode back to the
// same bytes, and an accepted commit record must keep its rules.
#include <cstring>

#include "format/header.hpp"
#include "format/header_bytes.hpp"
#include "format/record.hpp"
#include "support/fuzz_support.hpp"

using namespace deziro;

namespace {

void parse(const std::array<std::uint8_t, kHeadSize>& head) {
  auto fields = header::check_static_fields(head);
  if (fields) {
    const auto again = header::encode_static_fields(*fields);
    const std::size_t at = fields->read_from_copy ? kStaticHeaderCopyOffset : 0;
    FUZZ_CHECK(std::memcmp(again.data(), head.data() + at, again.size()) == 0,
               "an accepted static header encodes to itself");
  } else {
    FUZZ_CHECK(
        fields.error().kind != HeaderFailure::Kind::Damaged || !fields.error().message.empty(),
        "a damaged header says why");
  }
  if (auto selector = header::decode_selector(head[kSelectorOffset]))
    FUZZ_CHECK(header::encode_selector(*selector) == head[kSelectorOffset], "the selector");
  // A record's page count is judged against the page size the header gives.
  const std::uint32_t page_size = fields ? fields->page_size : kMinPageSize;
  for (PageCipher cipher : {PageCipher::Checksum, PageCipher::XChaCha20Poly1305}) {
    for (std::size_t slot = 0; slot < kRecordSlotCount; ++slot) {
      const std::span<const std::uint8_t> bytes(head.data() + record_slot_offset(slot),
                                                kRecordSize);
      const SlotContent content = record::parse_commit_record(slot, bytes, cipher, page_size);
      if (!content.valid()) continue;
      const CommitRecord& r = content.record;
      FUZZ_CHECK(r.txn_id >= 1 && r.txn_id <= kMaxTxnId && r.page_count >= 1, "record ids");
      for (const ChildPointer* root : {&r.catalog, &r.free_tree, &r.retained_tree})
        FUZZ_CHECK(root->page < r.page_count, "a root lies inside the file");
      const auto again = record::encode_commit_record(r);
      FUZZ_CHECK(std::memcmp(again.data(), bytes.data(), kRecordSize) == 0,
                 "an accepted commit record encodes to itself");
    }
  }
}

void put_check(std::uint8_t* at, std::size_t length) {
  const auto check = bytes::xxh3_128({at, length});
  std::memcpy(at + length, check.data(), check.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::array<std::uint8_t, kHeadSize> head{};
  std::memcpy(head.data(), data, std::min(size, head.size()));
  parse(head);
  put_check(head.data(), 48);
  put_check(head.data() + kStaticHeaderCopyOffset, 48);
  for (std::size_t slot = 0; slot < kRecordSlotCount; ++slot)
    put_check(head.data() + record_slot_offset(slot), 496);
  parse(head);
  return 0;
}
