// Reading the head of a file and recovering its published commit.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "adaptive_mutex.hpp"
#include "crypto/file_keys.hpp"
#include "error.hpp"
#include "format/header.hpp"
#include "format/record.hpp"
#include "function_ref.hpp"
#include "storage/storage.hpp"
#include "txn/free_space.hpp"
#include "txn/open_file.hpp"

namespace deziro::head {

// The 2048-byte head as read: a file shorter than that reads as zeros past
// its end, so missing slots look empty.
struct Head {
  std::array<std::uint8_t, kHeadSize> bytes{};
  std::uint64_t file_length = 0;
  // The slots of an encrypted file emptied in `bytes` because their record
  // fails authentication (`record::drop_unsigned_records`).
  std::array<bool, kRecordSlotCount> unauthentic{};
};

// Without `with_length` the file's length is not asked for (left 0): for
// the head as the commits of other processes leave it, where only its bytes
// matter.
Result<Head> read_head(Storage& storage, bool with_length = true);

// Parses the three slots.
std::array<SlotContent, kRecordSlotCount> parse_slots(const Head& head, PageCipher cipher,
                                                      std::uint32_t page_size);

// The slots of the head as last parsed, by their bytes: a slot whose bytes
// are the same as then is not parsed (nor, in an encrypted file,
// authenticated) again. A parse depends only on the slot's bytes and on
// what the file fixes for good (page size, cipher, keys), which every call
// passes the same, so the answer is the one a parse would give. A commit
// rewrites one slot, so a head read after it parses one slot instead of
// three, and a read that finds nothing new parses none. Safe to use from
// several threads.
class SlotCache {
 public:
  // The three slots of `head` as parse_slots answers them after
  // `record::drop_unsigned_records` with `keys` (for an encrypted file): a
  // valid record that fails authentication reads as empty, its bytes are
  // zeroed and `head.unauthentic` says so.
  std::array<SlotContent, kRecordSlotCount> parse(Head& head, const StaticFields& fields,
                                                  const FileKeys* keys);
  // The record of slot `slot` in `slot_bytes` as parse_commit_record answers
  // it, authenticated or not.
  SlotContent parse_one(ConstByteSpan slot_bytes, std::uint8_t slot, const StaticFields& fields,
                        const FileKeys* keys);

 private:
  struct Slot {
    bool filled = false;
    std::array<std::uint8_t, kRecordSize> bytes{};
    // As parse_commit_record answers it, and whether a valid record fails
    // authentication.
    SlotContent content;
    bool unauthentic = false;
  };
  struct Parsed {
    SlotContent content;
    bool unauthentic = false;
  };
  Parsed lookup(ConstByteSpan slot_bytes, std::uint8_t slot, const StaticFields& fields,
                const FileKeys* keys);

  std::mutex mutex_;
  std::array<Slot, kRecordSlotCount> slots_;
};

// The commit state a head gives (Instance::load_commit_state), kept with
// the bytes it was worked out from: the head from the selector byte to its
// end, compared whole. A head read that finds those bytes as they were, as
// most reads between two commits do, takes the state again without parsing
// a slot or copying one out. The state depends only on those bytes and on
// what the file fixes for good (as SlotCache's parses do), so the answer is
// the one the parse would give. Safe to use from several threads.
class StateMemo {
 public:
  static constexpr std::size_t kBytes = kHeadSize - kSelectorOffset;

  // The state kept for `from_selector` (kBytes bytes), if those are the
  // bytes it was kept with.
  std::optional<PublishedCommit> find(ConstByteSpan from_selector) const;
  // Keeps `state` as what `from_selector` gives, in place of the last.
  void keep(ConstByteSpan from_selector, const PublishedCommit& state);

 private:
  mutable AdaptiveMutex mutex_;
  bool filled_ = false;
  std::array<std::uint8_t, kBytes> bytes_{};
  PublishedCommit state_;
};

// The head from the selector byte to its end, with one read as a rule (the
// bytes a commit state is worked out from; zeros past the file's end, as
// read_head reads them).
Status read_from_selector(Storage& storage, std::span<std::uint8_t, StateMemo::kBytes> out);

// Whether every page a commit wrote (the pages and overflow runs carrying
// its commit id, reached from its roots) is intact on disk. An error is a
// read failure that is not damage.
// Pages of commits up to the floor (the oldest other record in the slots,
// which is at or before the last synced commit) are known to be on disk; a
// deferred chain after it is verified whole.
// `checked` receives the pages and overflow runs it read.
using CommitVerifier = std::function<Result<bool>(const CommitRecord&, std::uint64_t floor,
                                                  std::vector<PageRunEntry>* checked)>;

// The commit a recovering open publishes, and what it has to repair.
struct Recovery {
  PublishedCommit published;
  // The selector on disk is wrong, deferred or damaged: rewrite it.
  bool rewrite_selector = false;
  // Slots with records newer than the published one that could not be
  // trusted; they are cleared so they never compete with later commits.
  std::array<bool, kRecordSlotCount> clear_slot{};
  // The pages the adopted record's commits wrote after the floor, as its
  // verification read them: written again before the sync, since reads may
  // see pages that a failed sync left only in the system's cache.
  std::vector<PageRunEntry> unsynced_pages;
};

// Why the record in `slot`, which the selector names, cannot be published:
// its parse problem, or that it fails authentication, or, for a slot
// holding no commit, that the selector names a damaged record.
std::string published_slot_problem(const Head& head, const SlotContent& content, std::size_t slot);

// Chooses the published commit: the newest valid record whose pages are
// known to be on disk. The selector's record is known durable unless its
// deferred bit is set; any other candidate has its pages verified.
Result<Recovery> choose_published(const std::string& path, const Head& head,
                                  const StaticFields& fields, const CommitVerifier& verify);

// Writes what recovery decided: the primary static header from its copy,
// cleared slots, and either the selector byte again as it is (so that the
// next sync carries it to the disk) or the adopted record's pages and
// record again, a full sync, and the selector naming it; then cuts the
// file to the published page count. Finishes with a full sync when a
// repair was written.
Status repair(Storage& storage, const Head& head, const StaticFields& fields,
              const Recovery& recovery);

// Raises a version-5 file to version 6: the copy at 128, the version, the
// check, each followed by a full sync. A sync that fails is told to
// `sync_failed` before its error (IO) is returned: the writes before it
// may be lost to the disk while reads still see them.
Status write_static_header_v6(Storage& storage, StaticFields& fields,
                              FunctionRef<void(const Error&)> sync_failed);

}  // namespace deziro::head
