#include "format/record.hpp"

#include <cstring>

#include "format/bytes.hpp"
#include "format/header_bytes.hpp"
#include "text_format.hpp"

namespace deziro::record {
namespace {

constexpr std::size_t kTxnIdOffset = 0;
constexpr std::size_t kPageCountOffset = 8;
constexpr std::size_t kCatalogOffset = 16;
constexpr std::size_t kFreeTreeOffset = 48;
constexpr std::size_t kRetainedTreeOffset = 80;
constexpr std::size_t kNextTreeIdOffset = 112;
constexpr std::size_t kReserved1Offset = 120;
constexpr std::size_t kKeyBlockOffset = 128;
constexpr std::size_t kReserved2Offset = 256;
constexpr std::size_t kMacOffset = 480;
constexpr std::size_t kCheckOffset = 496;

SlotContent invalid(std::size_t slot, std::string why) {
  SlotContent c;
  c.state = SlotContent::State::Invalid;
  c.problem = format_text("commit record slot {}: {}", slot, why);
  return c;
}

// A root is either empty (all zero) or a page inside the file written no
// later than the commit naming it.
const char* root_problem(const ChildPointer& root, const CommitRecord& r) {
  if (root.page == 0)
    return (root.commit_id == 0 && root.stamp.is_zero()) ? nullptr : "an empty root carries data";
  if (root.page >= r.page_count) return "a root lies beyond the file";
  if (root.commit_id == 0 || root.commit_id > r.txn_id) return "a root has an impossible commit id";
  return nullptr;
}

}  // namespace

std::array<std::uint8_t, kRecordSize> encode_commit_record(const CommitRecord& r) {
  std::array<std::uint8_t, kRecordSize> b{};
  store_u64_le(b.data() + kTxnIdOffset, r.txn_id);
  store_u64_le(b.data() + kPageCountOffset, r.page_count);
  r.catalog.store(b.data() + kCatalogOffset);
  r.free_tree.store(b.data() + kFreeTreeOffset);
  r.retained_tree.store(b.data() + kRetainedTreeOffset);
  store_u64_le(b.data() + kNextTreeIdOffset, r.next_tree_id);
  std::memcpy(b.data() + kKeyBlockOffset, r.key_block.data(), r.key_block.size());
  std::memcpy(b.data() + kMacOffset, r.mac.data(), r.mac.size());
  auto check = bytes::xxh3_128(std::span<const std::uint8_t>(b).first(kCheckOffset));
  std::memcpy(b.data() + kCheckOffset, check.data(), check.size());
  return b;
}

SlotContent parse_commit_record(std::size_t slot, std::span<const std::uint8_t> b,
                                PageCipher cipher, std::uint32_t page_size) {
  if (b.size() < kRecordSize) return invalid(slot, "it is cut short");
  SlotContent c;
  CommitRecord& r = c.record;
  r.txn_id = load_u64_le(b.data() + kTxnIdOffset);
  if (r.txn_id == 0) return c;
  auto check = bytes::xxh3_128(b.first(kCheckOffset));
  if (std::memcmp(check.data(), b.data() + kCheckOffset, check.size()) != 0)
    return invalid(slot, "it fails its check");
  if (r.txn_id > kMaxTxnId) return invalid(slot, "its transaction id is out of range");
  r.page_count = load_u64_le(b.data() + kPageCountOffset);
  if (r.page_count == 0) return invalid(slot, "it counts no pages");
  // A larger count would make the file's length overflow, and recovery
  // cuts the file to that length.
  if (r.page_count > max_page_count(page_size))
    return invalid(slot, "it counts more pages than a file can hold");
  r.catalog = ChildPointer::load(b.data() + kCatalogOffset);
  r.free_tree = ChildPointer::load(b.data() + kFreeTreeOffset);
  r.retained_tree = ChildPointer::load(b.data() + kRetainedTreeOffset);
  for (const ChildPointer* root : {&r.catalog, &r.free_tree, &r.retained_tree})
    if (const char* why = root_problem(*root, r)) return invalid(slot, why);
  r.next_tree_id = load_u64_le(b.data() + kNextTreeIdOffset);
  if (r.next_tree_id < kFirstNamedTreeId) return invalid(slot, "its next tree id is too small");
  std::memcpy(r.key_block.data(), b.data() + kKeyBlockOffset, r.key_block.size());
  std::memcpy(r.mac.data(), b.data() + kMacOffset, r.mac.size());
  if (!bytes::all_zero(b.subspan(kReserved1Offset, kKeyBlockOffset - kReserved1Offset)) ||
      !bytes::all_zero(b.subspan(kReserved2Offset, kMacOffset - kReserved2Offset)))
    return invalid(slot, "it has bytes set that must be zero");
  bool plain = cipher == PageCipher::Checksum;
  bool keyless = bytes::all_zero(r.key_block) && bytes::all_zero(r.mac);
  if (plain && !keyless) return invalid(slot, "a plain file's record carries a key block");
  if (!plain && (bytes::all_zero(r.key_block) || bytes::all_zero(r.mac)))
    return invalid(slot, "an encrypted file's record lacks its key block or MAC");
  c.state = SlotContent::State::Valid;
  return c;
}

CommitRecord load_record_roots(std::span<const std::uint8_t, kRecordSize> b) {
  CommitRecord r;
  r.txn_id = load_u64_le(b.data() + kTxnIdOffset);
  r.catalog = ChildPointer::load(b.data() + kCatalogOffset);
  r.free_tree = ChildPointer::load(b.data() + kFreeTreeOffset);
  r.retained_tree = ChildPointer::load(b.data() + kRetainedTreeOffset);
  return r;
}

}  // namespace deziro::record
