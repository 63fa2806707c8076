#include "tools/salvage.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

#include "btree/pager/page_reader.hpp"
#include "crypto/file_keys.hpp"
#include "database.hpp"
#include "format/record.hpp"
#include "lock/file_lock.hpp"
#include "schema/declare.hpp"
#include "storage/fs.hpp"
#include "storage/random.hpp"
#include "text_format.hpp"
#include "tools/salvage_rebuild.hpp"
#include "tools/target_file.hpp"
#include "txn/commit_verify.hpp"

namespace deziro::salvage {
namespace {

constexpr std::string_view kWhat = "salvage";
// The source reader's cache: at least 16 pages of the largest size.
constexpr std::size_t kSourceCacheBytes = 8388608;
constexpr std::uint64_t kGuessPages = 8;

// The source held alone: its descriptor for reading, its lock state holding
// byte 2^62 exclusively, and the registry's claim, which lives as long as
// the lock state. Opens of the file in this process meanwhile fail with BUSY
// and hand their descriptors to the lock state, so no close drops its locks.
class SourceClaim {
 public:
  static Result<SourceClaim> take(const std::string& path, FileLock::Deadline deadline) {
    registry::Lock registry;
    // A file open here or being salvaged is refused before any descriptor
    // of it is opened; a name that cannot be looked up is left to the open.
    if (auto named = fs::identify(path); named && *named) {
      const registry::FileKey key{(*named)->device, (*named)->inode};
      if (registry.salvage_claim(key) || registry.lookup(key)) return fail(Error::busy(path));
    }
    auto file = DZ_TRY(Database::open_file(path));
    struct stat st {};
    if (::fstat(file->descriptor(), &st) != 0) return fail(Error::io_errno(path, errno));
    const registry::FileKey key{st.st_dev, st.st_ino};
    // Closing this descriptor would drop the locks the process holds on the
    // file: whoever holds them keeps it instead.
    if (auto salvage = registry.salvage_claim(key)) {
      salvage->add_file(file->release_descriptor());
      return fail(Error::busy(path));
    }
    if (auto open = registry.lookup(key)) {
      if (FileLock* lock = open->file_lock()) lock->add_file(file->release_descriptor());
      return fail(Error::busy(path));
    }
    const int lock_fd = ::fcntl(file->descriptor(), F_DUPFD_CLOEXEC, 0);
    if (lock_fd < 0) return fail(Error::io_errno(path, errno));
    auto lock = std::make_shared<FileLock>(lock_fd, path);
    auto locked = lock->wait_lock_file(deadline);
    if (!locked) return fail(locked.error());
    registry.claim_for_salvage(key, lock);
    return SourceClaim(std::move(file), std::move(lock));
  }

  SourceClaim(SourceClaim&&) noexcept = default;
  SourceClaim& operator=(SourceClaim&&) = delete;
  ~SourceClaim() {
    // The descriptors close together with the lock state, which ends the
    // claim.
    if (file_ && lock_) lock_->add_file(file_->release_descriptor());
  }

  DbFile& file() { return *file_; }

 private:
  SourceClaim(std::unique_ptr<DbFile> file, std::shared_ptr<FileLock> lock)
      : file_(std::move(file)), lock_(std::move(lock)) {}

  std::unique_ptr<DbFile> file_;
  std::shared_ptr<FileLock> lock_;
};

// What salvage knows of the source's head.
struct SourceHead {
  StaticFields fields;
  // An encrypted source's keys, with the key block the credential opened.
  std::optional<FileKeyMaterial> keys;
  std::optional<CommitRecord> commit;
  // The static header and its copy failed: the selector byte, in the same
  // sector, is lost with them.
  bool selector_lost = false;
};

Status refuse_credential(const std::string& path, const OpenOptions& options) {
  if (options.credential.is_none()) return ok();
  return fail(Error::invalid_argument(
      format_text("`{}` is not encrypted, so it cannot be salvaged with a key", path)));
}

// The static fields of the head, or substitutes when a plain source's
// header is lost but its pages still show their size.
Result<SourceHead> read_static_fields(Storage& file, std::uint64_t length,
                                      std::span<const std::uint8_t> head,
                                      const OpenOptions& options) {
  const std::string& path = file.path();
  SourceHead out;
  auto checked = header::check_static_fields(head);
  if (checked) {
    out.fields = *checked;
    if (!out.fields.encrypted()) {
      DZ_CHECK(refuse_credential(path, options));
      return out;
    }
    out.keys = DZ_TRY(record::read_commit_records(path, out.fields, head, options.credential));
    return out;
  }
  const HeaderFailure& failure = checked.error();
  if (failure.kind == HeaderFailure::Kind::UnsupportedVersion || !options.credential.is_none())
    return fail(Error::from_header(path, failure));
  auto page_size = guess_page_size(file, length);
  if (!page_size) return fail(Error::from_header(path, failure));
  out.fields.format_version = options.upgrade_format ? kNewestFormatVersion : kOldestFormatVersion;
  out.fields.page_size = *page_size;
  out.fields.cipher = PageCipher::Checksum;
  out.selector_lost = true;
  if (auto random = fill_random(out.fields.file_id); !random)
    return fail(Error::io(path, random.error().to_string()));
  return out;
}

bool usable_record(std::span<const std::uint8_t> head, const SourceHead& source, std::uint8_t slot,
                   CommitRecord* record = nullptr) {
  auto bytes = head.subspan(record_slot_offset(slot), kRecordSize);
  SlotContent content =
      record::parse_commit_record(slot, bytes, source.fields.cipher, source.fields.page_size);
  if (!content.valid()) return false;
  if (source.keys && !record::commit_record_mac_holds(bytes, source.keys->keys.record_mac_key,
                                                      source.fields.file_id, slot))
    return false;
  if (record) *record = content.record;
  return true;
}

// The newest usable record, the earlier slot of two with one id.
std::optional<CommitRecord> newest_record(std::span<const std::uint8_t> head,
                                          const SourceHead& source) {
  std::optional<CommitRecord> newest;
  for (std::uint8_t slot = 0; slot < kRecordSlotCount; ++slot) {
    CommitRecord record;
    if (!usable_record(head, source, slot, &record)) continue;
    // Strictly higher: equal ids keep the earlier slot.
    if (!newest || record.txn_id > newest->txn_id) newest = record;
  }
  return newest;
}

// The commit recovery would publish, of the usable records: newest first,
// of two with one id the selector's first. The record a sound selector
// without the deferred bit names was synced before that selector was
// written, and is taken as it is; beside it only a newer record competes
// (one of the same id is the orphan of a writer that died before its
// selector). Any other record is taken only when the pages its commit wrote
// verify as recovery verifies them: a newer record whose pages did not all
// reach the disk (its writer died before its selector, or the power went
// before its sync) was never published, and rescuing it would mix what of
// it reached the disk with the leaves of the commit before. None when no
// record passes and no durable selector vouches for one.
std::optional<CommitRecord> choose_commit(std::span<const std::uint8_t> head,
                                          const SourceHead& source_head,
                                          std::optional<Selector> selector, NodeSource& source,
                                          std::uint64_t length) {
  std::array<std::optional<CommitRecord>, kRecordSlotCount> records;
  std::array<std::uint64_t, kRecordSlotCount> ids{};
  for (std::uint8_t slot = 0; slot < kRecordSlotCount; ++slot) {
    CommitRecord record;
    if (!usable_record(head, source_head, slot, &record)) continue;
    records[slot] = record;
    ids[slot] = record.txn_id;
  }
  std::array<std::uint8_t, kRecordSlotCount> order = {0, 1, 2};
  std::stable_sort(order.begin(), order.end(), [&](std::uint8_t a, std::uint8_t b) {
    if (ids[a] != ids[b]) return ids[a] > ids[b];
    return selector && selector->slot == a && selector->slot != b;
  });
  std::optional<std::uint8_t> durable;
  if (selector && !selector->deferred && records[selector->slot]) durable = selector->slot;
  const std::uint64_t held =
      std::max<std::uint64_t>(1, pages_held(length, source_head.fields.page_size));
  for (std::uint8_t slot : order) {
    if (!records[slot]) continue;
    // Reached before any record of its id or older.
    if (durable && slot == *durable) return records[slot];
    // Every page of a commit was written before its record: one that
    // counts pages past the end is not this file's.
    if (records[slot]->page_count > held) continue;
    auto verified =
        verify_commit_pages(source, *records[slot], verify_floor(ids, records[slot]->txn_id));
    if (verified && *verified) return records[slot];
  }
  return std::nullopt;
}

// The commit id of the page a root names, when that page reads as the root
// of `tree_id` (stamp, commit id and tree id as the pointer and the tree
// say); 0 for an empty root; none otherwise.
std::optional<std::uint64_t> root_commit(NodeSource& source, const ChildPointer& root,
                                         std::uint64_t tree_id) {
  if (root.page == 0) return std::uint64_t{0};
  if (!source.fetch_node(root, tree_id, std::nullopt)) return std::nullopt;
  return root.commit_id;
}

// The published commit, read from the pages when only its record is
// damaged. The record's roots count only as far as the pages they name
// bear them out: the catalog root must read, and the transaction id must be
// the newest commit id among the roots that read (every commit that changes
// a named tree rewrites the catalog), above every usable record. Anything
// else leaves the published commit lost.
std::optional<CommitRecord> rescue_record(std::span<const std::uint8_t> head, std::uint8_t slot,
                                          NodeSource& source,
                                          const std::optional<CommitRecord>& chosen) {
  const CommitRecord loose =
      record::load_record_roots(head.subspan(record_slot_offset(slot)).first<kRecordSize>());
  if (loose.txn_id == 0 || loose.txn_id > kMaxTxnId || loose.catalog.page == 0) return std::nullopt;
  if (chosen && loose.txn_id <= chosen->txn_id) return std::nullopt;
  const auto catalog = root_commit(source, loose.catalog, kCatalogTreeId);
  if (!catalog) return std::nullopt;
  std::uint64_t newest = *catalog;
  for (auto [root, tree_id] :
       {std::pair{loose.free_tree, kFreeTreeId}, std::pair{loose.retained_tree, kRetainedTreeId}})
    if (auto commit = root_commit(source, root, tree_id)) newest = std::max(newest, *commit);
  if (newest != loose.txn_id) return std::nullopt;
  return loose;
}

// Chooses the commit to rescue and tells whether it is the published one:
// the commit recovery would publish, or the published record's commit read
// from its pages when that record is damaged. A sound selector naming a slot
// whose record neither is usable nor could be rescued marks the published
// commit lost, and so does a head where no record is one recovery would
// publish.
void choose_and_check(std::span<const std::uint8_t> head, const SourceHead& source_head,
                      NodeSource& source, std::uint64_t length, std::optional<CommitRecord>& chosen,
                      SalvageReport& report) {
  const auto selector =
      source_head.selector_lost ? std::nullopt : header::decode_selector(head[kSelectorOffset]);
  if (selector && !usable_record(head, source_head, selector->slot)) {
    if (auto rescued =
            rescue_record(head, selector->slot, source, newest_record(head, source_head))) {
      chosen = rescued;
      report.commit_id = chosen->txn_id;
      return;
    }
    // The published commit is lost, and the rescue is not whole. The other
    // slots hold the commits before it, synced before it was: the newest
    // of them is taken.
    report.published_lost = true;
    chosen = newest_record(head, source_head);
  } else if (auto published = choose_commit(head, source_head, selector, source, length)) {
    chosen = published;
  } else {
    // No record is one recovery would publish: the file is damaged past
    // what recovery mends. The newest is taken, and the rescue is not
    // whole.
    chosen = newest_record(head, source_head);
    report.published_lost = chosen.has_value();
  }
  if (chosen) report.commit_id = chosen->txn_id;
}

// Counts the pages of one size whose checksum holds.
std::uint64_t sound_pages(Storage& storage, std::uint64_t length, std::uint32_t page_size) {
  const std::uint64_t pages = length / page_size;
  if (pages <= 1) return 0;
  std::vector<std::uint8_t> page(page_size);
  std::uint64_t sound = 0;
  for (std::uint64_t n = 1; n < std::min(pages, kGuessPages + 1); ++n) {
    if (!storage.read_exact_at(n * page_size, page)) continue;
    if (page_checksum(n, page) == page_trailer(page)) ++sound;
  }
  return sound;
}

}  // namespace

std::optional<std::uint32_t> guess_page_size(Storage& storage, std::uint64_t length) {
  std::optional<std::uint32_t> best;
  std::uint64_t best_count = 0;
  for (std::uint32_t size = kMinPageSize; size <= kMaxPageSize; size *= 2) {
    const std::uint64_t count = sound_pages(storage, length, size);
    if (count > best_count) {
      best = size;
      best_count = count;
    }
  }
  return best;
}

Result<SalvageReport> salvage(const std::string& source, const std::string& target,
                              const OpenOptions& options, std::uint64_t commit_bytes) {
  DZ_CHECK(declare::validate_options(options));
  DZ_CHECK(target_file::refuse_existing(target, kWhat));
  SourceClaim claim =
      DZ_TRY(SourceClaim::take(source, std::chrono::steady_clock::now() + options.busy_timeout));
  DbFile& file = claim.file();

  const std::uint64_t length = DZ_TRY(file.len_or_error());
  std::array<std::uint8_t, kHeadSize> head{};
  const std::size_t head_bytes = std::min<std::uint64_t>(length, kHeadSize);
  DZ_CHECK(file.read_exact_at(0, std::span(head.data(), head_bytes)));
  SourceHead source_head = DZ_TRY(read_static_fields(file, length, head, options));
  SalvageReport report;
  const FileKeys* keys = source_head.keys ? &source_head.keys->keys : nullptr;
  PageReader reader(file, source_head.fields.page_size,
                    DZ_TRY(keys::page_protection(source_head.fields.cipher, keys)),
                    kSourceCacheBytes);
  choose_and_check(head, source_head, reader, length, source_head.commit, report);
  LeafIndex leaves =
      scan_pages(file, length, source_head.fields.page_size, reader.protection(), report);
  if (source_head.commit) rank_leaves(reader, *source_head.commit, leaves);

  NewFileSpec spec{source_head.fields, std::nullopt};
  spec.fields.read_from_copy = false;
  if (source_head.keys) spec.keys = source_head.keys;
  TargetFile made = DZ_TRY(TargetFile::create(target, spec));
  DZ_CHECK(rebuild(made.instance(), reader, source_head.commit, leaves, report, commit_bytes));
  DZ_CHECK(made.close());
  report.bytes = DZ_TRY(made.size());
  DZ_CHECK(made.place(kWhat));
  return report;
}

}  // namespace deziro::salvage
