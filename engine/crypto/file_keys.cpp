#include "crypto/file_keys.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "crypto/record_mac.hpp"
#include "text_format.hpp"

namespace deziro {

FileKeys FileKeys::from_data_key(Key32 data_key) {
  FileKeys keys;
  keys.record_mac_key = keys::record_mac_key(data_key);
  keys.data_key = std::move(data_key);
  return keys;
}

namespace keys {

Result<PageProtection> page_protection(PageCipher cipher, const FileKeys* keys) {
  if (cipher == PageCipher::Checksum) return PageProtection::checksum();
  if (keys == nullptr) return fail(Error::internal("an encrypted file was opened without its key"));
  return PageProtection::with_key(static_cast<std::uint8_t>(cipher), keys->data_key.bytes());
}

}  // namespace keys

namespace record {

namespace {

constexpr std::size_t kMacOffset = kMacInputSize;

}  // namespace

void sign_commit_record(CommitRecord& record, const Key32& record_mac_key, const FileId& file_id,
                        std::uint8_t slot) {
  auto bytes = encode_commit_record(record);
  record.mac = record_mac(record_mac_key, file_id, slot,
                          std::span<const std::uint8_t>(bytes).first(kMacInputSize));
}

bool commit_record_mac_holds(std::span<const std::uint8_t> slot_bytes, const Key32& record_mac_key,
                             const FileId& file_id, std::uint8_t slot) {
  if (slot_bytes.size() < kMacOffset + kRecordMacSize) return false;
  return record_mac_holds(record_mac_key, file_id, slot, slot_bytes.first(kMacInputSize),
                          slot_bytes.subspan(kMacOffset).first<kRecordMacSize>());
}

Result<FileKeyMaterial> read_commit_records(std::string_view path, const StaticFields& fields,
                                            std::span<const std::uint8_t> head,
                                            const Credential& credential,
                                            keys::PasswordKeys* password_keys) {
  if (credential.is_none()) return fail(Error::key_required(std::string(path)));
  const auto cipher = static_cast<PageCipher>(fields.cipher);

  // The records worth trying, published first, then newest first.
  struct Candidate {
    std::uint8_t slot;
    std::uint64_t txn_id;
    bool published;
    KeyBlock key_block;
  };
  std::vector<Candidate> candidates;
  std::string problems;
  auto selector =
      head.size() > kSelectorOffset ? header::decode_selector(head[kSelectorOffset]) : std::nullopt;
  for (std::uint8_t slot = 0; slot < kRecordSlotCount; ++slot) {
    auto offset = record_slot_offset(slot);
    if (head.size() < offset + kRecordSize) break;
    SlotContent content = parse_commit_record(slot, head.subspan(offset, kRecordSize),
                                              fields.cipher, fields.page_size);
    if (content.state == SlotContent::State::Invalid) {
      if (!problems.empty()) problems += "; ";
      problems += content.problem;
    }
    if (!content.valid()) continue;
    candidates.push_back({slot, content.record.txn_id, selector && selector->slot == slot,
                          content.record.key_block});
  }
  if (candidates.empty()) {
    if (problems.empty()) problems = "no commit record slot holds a commit";
    return fail(Error::corrupted(std::string(path), format_text("the head: {}", problems)));
  }
  std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    if (a.published != b.published) return a.published;
    if (a.txn_id != b.txn_id) return a.txn_id > b.txn_id;
    return a.slot < b.slot;
  });

  keys::KeyBlockOpener opener(credential, fields.file_id, cipher, password_keys);
  bool opened_any = false;
  for (const Candidate& candidate : candidates) {
    auto slot_bytes = head.subspan(record_slot_offset(candidate.slot), kRecordSize);
    auto data_key = opener.open(candidate.key_block);
    if (!data_key && candidate.published) return fail(std::move(data_key).error());
    if (!data_key || !*data_key) continue;
    opened_any = true;
    FileKeys keys = FileKeys::from_data_key(std::move(**data_key));
    if (commit_record_mac_holds(slot_bytes, keys.record_mac_key, fields.file_id, candidate.slot)) {
      return FileKeyMaterial{std::move(keys), candidate.key_block};
    }
  }
  if (opened_any) {
    return fail(Error::corrupted(std::string(path),
                                 "the head: no commit record's MAC holds under its data key"));
  }
  return fail(Error::wrong_key(std::string(path)));
}

std::size_t drop_unsigned_records(std::span<std::uint8_t> head, const StaticFields& fields,
                                  const FileKeys& keys,
                                  std::array<bool, kRecordSlotCount>* dropped) {
  std::size_t count = 0;
  for (std::uint8_t slot = 0; slot < kRecordSlotCount; ++slot) {
    auto offset = record_slot_offset(slot);
    if (head.size() < offset + kRecordSize) break;
    auto bytes = head.subspan(offset, kRecordSize);
    if (!parse_commit_record(slot, bytes, fields.cipher, fields.page_size).valid()) continue;
    if (commit_record_mac_holds(bytes, keys.record_mac_key, fields.file_id, slot)) continue;
    std::fill(bytes.begin(), bytes.end(), 0);
    if (dropped != nullptr) (*dropped)[slot] = true;
    ++count;
  }
  return count;
}

}  // namespace record
}  // namespace deziro
