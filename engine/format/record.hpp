// Commit records: the 512-byte entries of the head's three slots, each
// naming one commit's roots. See docs/file-format.md section 5.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "format/header.hpp"
#include "format/page.hpp"

namespace deziro {

inline constexpr std::uint64_t kMaxTxnId = 0x3FFFFFFFFFFFFFBFull;
inline constexpr std::size_t kRecordMacSize = 16;
// Tree ids below this belong to the engine; 1, 2 and 3 are the catalog, the
// free tree and the retained tree.
inline constexpr std::uint64_t kFirstNamedTreeId = 16;
inline constexpr std::uint64_t kCatalogTreeId = 1;
inline constexpr std::uint64_t kFreeTreeId = 2;
inline constexpr std::uint64_t kRetainedTreeId = 3;

struct CommitRecord {
  std::uint64_t txn_id = 0;
  // Pages 0 .. page_count - 1 belong to this commit's file.
  std::uint64_t page_count = 1;
  // Roots of the catalog, free tree and retained tree; page 0 = empty tree.
  ChildPointer catalog;
  ChildPointer free_tree;
  ChildPointer retained_tree;
  // The id the next new named tree gets; ids are never reused.
  std::uint64_t next_tree_id = kFirstNamedTreeId;
  // Zero in plain files.
  KeyBlock key_block{};
  std::array<std::uint8_t, kRecordMacSize> mac{};

  friend bool operator==(const CommitRecord&, const CommitRecord&) = default;
};

// What a slot holds.
struct SlotContent {
  enum class State : std::uint8_t { Empty, Invalid, Valid };
  State state = State::Empty;
  CommitRecord record;
  // Why an invalid slot was refused.
  std::string problem;

  bool valid() const { return state == State::Valid; }
};

namespace record {

// Bytes 0..479: what the MAC of an encrypted file's record covers.
inline constexpr std::size_t kMacInputSize = 480;

std::array<std::uint8_t, kRecordSize> encode_commit_record(const CommitRecord& record);

// Parses one slot of a file of `page_size` pages. Transaction id 0 is an
// empty slot; otherwise the record must pass its XXH3-128 check and its
// rules (ids in range, a page count the page size allows, roots inside the
// file, reserved bytes zero, key block and MAC present exactly when the file
// is encrypted). The MAC itself is verified by the caller that holds the key.
SlotContent parse_commit_record(std::size_t slot, std::span<const std::uint8_t> bytes,
                                PageCipher cipher, std::uint32_t page_size);

// The transaction id and the three roots of a record as they stand, nothing
// checked: what a record that fails its check may still tell, for a caller
// that tests each root against the page it names.
CommitRecord load_record_roots(std::span<const std::uint8_t, kRecordSize> bytes);

}  // namespace record
}  // namespace deziro
