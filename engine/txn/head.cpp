#include "txn/head.hpp"

#include <algorithm>
#include <cstring>

#include "format/page.hpp"
#include "invariant.hpp"
#include "text_format.hpp"
#include "txn/commit_verify.hpp"

namespace deziro::head {

namespace {

// Reads `out` from `offset` on, with zeros for what lies past the end of
// the file.
Status read_up_to_end(Storage& storage, std::uint64_t offset, ByteSpan out) {
  std::size_t got = 0;
  while (got < out.size()) {
    std::size_t n = DZ_TRY(storage.read_at(offset + got, out.subspan(got)));
    if (n == 0) break;
    got += n;
  }
  if (got < out.size()) std::memset(out.data() + got, 0, out.size() - got);
  return ok();
}

}  // namespace

Result<Head> read_head(Storage& storage, bool with_length) {
  Head head;
  if (with_length) head.file_length = DZ_TRY(storage.len_or_error());
  std::size_t want =
      with_length ? std::size_t(std::min<std::uint64_t>(head.file_length, kHeadSize)) : kHeadSize;
  DZ_CHECK(read_up_to_end(storage, 0, ByteSpan(head.bytes).first(want)));
  return head;
}

Status read_from_selector(Storage& storage, std::span<std::uint8_t, StateMemo::kBytes> out) {
  return read_up_to_end(storage, kSelectorOffset, out);
}

std::array<SlotContent, kRecordSlotCount> parse_slots(const Head& head, PageCipher cipher,
                                                      std::uint32_t page_size) {
  std::array<SlotContent, kRecordSlotCount> slots;
  for (std::size_t s = 0; s < kRecordSlotCount; ++s)
    slots[s] = record::parse_commit_record(
        s, ConstByteSpan(head.bytes).subspan(record_slot_offset(s), kRecordSize), cipher,
        page_size);
  return slots;
}

SlotCache::Parsed SlotCache::lookup(ConstByteSpan slot_bytes, std::uint8_t slot,
                                    const StaticFields& fields, const FileKeys* keys) {
  DZ_ASSERT(slot < kRecordSlotCount && slot_bytes.size() == kRecordSize);
  {
    std::lock_guard lock(mutex_);
    const Slot& kept = slots_[slot];
    if (kept.filled && std::ranges::equal(kept.bytes, slot_bytes))
      return Parsed{kept.content, kept.unauthentic};
  }
  // Parsed outside the lock: two threads that both miss parse the same.
  Slot fresh;
  fresh.filled = true;
  std::ranges::copy(slot_bytes, fresh.bytes.begin());
  fresh.content = record::parse_commit_record(slot, slot_bytes, fields.cipher, fields.page_size);
  fresh.unauthentic =
      keys != nullptr && fresh.content.valid() &&
      !record::commit_record_mac_holds(slot_bytes, keys->record_mac_key, fields.file_id, slot);
  Parsed parsed{fresh.content, fresh.unauthentic};
  std::lock_guard lock(mutex_);
  slots_[slot] = std::move(fresh);
  return parsed;
}

std::array<SlotContent, kRecordSlotCount> SlotCache::parse(Head& head, const StaticFields& fields,
                                                           const FileKeys* keys) {
  std::array<SlotContent, kRecordSlotCount> contents;
  for (std::uint8_t s = 0; s < kRecordSlotCount; ++s) {
    auto bytes = ByteSpan(head.bytes).subspan(record_slot_offset(s), kRecordSize);
    Parsed found = lookup(bytes, s, fields, keys);
    if (found.unauthentic) {
      // As drop_unsigned_records leaves it: the slot reads as empty.
      std::ranges::fill(bytes, std::uint8_t{0});
      head.unauthentic[s] = true;
      contents[s] = record::parse_commit_record(s, bytes, fields.cipher, fields.page_size);
    } else {
      contents[s] = std::move(found.content);
    }
  }
  return contents;
}

SlotContent SlotCache::parse_one(ConstByteSpan slot_bytes, std::uint8_t slot,
                                 const StaticFields& fields, const FileKeys* keys) {
  return lookup(slot_bytes, slot, fields, keys).content;
}

std::optional<PublishedCommit> StateMemo::find(ConstByteSpan from_selector) const {
  DZ_ASSERT(from_selector.size() == kBytes);
  std::lock_guard lock(mutex_);
  if (!filled_ || std::memcmp(bytes_.data(), from_selector.data(), kBytes) != 0)
    return std::nullopt;
  return state_;
}

void StateMemo::keep(ConstByteSpan from_selector, const PublishedCommit& state) {
  DZ_ASSERT(from_selector.size() == kBytes);
  std::lock_guard lock(mutex_);
  std::memcpy(bytes_.data(), from_selector.data(), kBytes);
  state_ = state;
  filled_ = true;
}

namespace {

std::string unauthentic_problem(std::size_t slot) {
  return format_text("commit record slot {}: it fails authentication", slot);
}

}  // namespace

std::string published_slot_problem(const Head& head, const SlotContent& content, std::size_t slot) {
  if (content.state == SlotContent::State::Invalid) return content.problem;
  if (head.unauthentic[slot]) return unauthentic_problem(slot);
  // A durable selector is written only after its record: a record that
  // reads as no commit was lost after it was written.
  return format_text("commit record slot {}: the selector names it, but its record is blank", slot);
}

Result<Recovery> choose_published(const std::string& path, const Head& head,
                                  const StaticFields& fields, const CommitVerifier& verify) {
  auto slots = parse_slots(head, fields.cipher, fields.page_size);
  auto selector = header::decode_selector(head.bytes[kSelectorOffset]);
  auto id = [&](std::uint8_t s) { return slots[s].valid() ? slots[s].record.txn_id : 0; };

  // A selector without the deferred bit is written only after its record
  // and pages were synced, and that record's slot is not written again
  // until a later selector is synced: no crash leaves it naming a record
  // that fails. Such a record is damaged, and falling back past it would
  // drop an acknowledged commit for good; the file is left as it is.
  // (With no usable record at all, the head's report below names every slot.)
  std::optional<std::uint8_t> durable;
  bool any_valid = std::ranges::any_of(slots, [](const SlotContent& c) { return c.valid(); });
  if (selector && !selector->deferred && any_valid) {
    if (!slots[selector->slot].valid())
      return fail(Error::corrupted(
          path, format_text("the published commit record: {}",
                            published_slot_problem(head, slots[selector->slot], selector->slot))));
    durable = selector->slot;
  }

  // Newest first; of two records with one id (a writer killed after its
  // record, and another's commit of the same id), the selector's first.
  std::array<std::uint8_t, kRecordSlotCount> order = {0, 1, 2};
  std::sort(order.begin(), order.end(), [&](std::uint8_t a, std::uint8_t b) {
    if (id(a) != id(b)) return id(a) > id(b);
    bool a_named = selector && selector->slot == a, b_named = selector && selector->slot == b;
    if (a_named != b_named) return a_named;
    return a < b;
  });

  // A durable selector's record is taken as it is, unless another slot is
  // damaged or newer: then the selector's slot may hold an older record put
  // back by whoever can write the file (a replay), whose pages later commits
  // may have reused. It is verified like the others then, and refused, not
  // rolled back past, when it fails.
  auto vouched_for = [&](std::uint8_t s) {
    for (std::uint8_t o = 0; o < kRecordSlotCount; ++o) {
      if (o == s) continue;
      if (slots[o].state == SlotContent::State::Invalid) return false;
      if (slots[o].valid() && slots[o].record.txn_id > slots[s].record.txn_id) return false;
    }
    return true;
  };

  Recovery r;
  for (std::size_t s = 0; s < kRecordSlotCount; ++s) r.published.slot_txn_ids[s] = id(s);
  std::string problems;
  for (std::uint8_t s : order) {
    if (!slots[s].valid()) {
      if (slots[s].state == SlotContent::State::Invalid || head.unauthentic[s]) {
        if (!problems.empty()) problems += "; ";
        problems += head.unauthentic[s] ? unauthentic_problem(s) : slots[s].problem;
      }
      continue;
    }
    // Beside a durable selector only strictly newer records compete with
    // its own: an equal id is an orphan of a writer that died before its
    // selector.
    if (durable && s != *durable && id(s) <= id(*durable)) continue;
    // Every commit after the oldest other record may be unsynced.
    std::uint64_t floor = verify_floor(r.published.slot_txn_ids, id(s));
    bool trusted = durable && *durable == s;
    // A commit's pages were all written before its record was synced, so a
    // record counting pages past the file's end is not that file's (a
    // commit on it would write at offsets far past the end); one that a
    // deferred commit left before its pages reached the disk fails here as
    // its verification would.
    const std::uint64_t held =
        std::max<std::uint64_t>(1, pages_held(head.file_length, fields.page_size));
    if (slots[s].record.page_count > held) {
      if (trusted)
        return fail(Error::corrupted(
            path, format_text("the published commit record: commit record slot {}: it counts {} "
                              "pages, and the file holds {}",
                              s, slots[s].record.page_count, held)));
      r.clear_slot[s] = true;
      r.published.slot_txn_ids[s] = 0;
      continue;
    }
    r.unsynced_pages.clear();
    if (!(trusted && vouched_for(s)) &&
        !DZ_TRY(verify(slots[s].record, floor, trusted ? nullptr : &r.unsynced_pages))) {
      if (trusted)
        return fail(Error::corrupted(
            path, format_text("the published commit record: the pages of commit {} fail their "
                              "checks",
                              slots[s].record.txn_id)));
      r.clear_slot[s] = true;
      r.published.slot_txn_ids[s] = 0;
      continue;
    }
    r.published.record = slots[s].record;
    r.published.slot = s;
    r.published.deferred = false;
    r.rewrite_selector = !trusted;
    // Older invalid slots need no clearing: they never outrank this one.
    for (std::size_t o = 0; o < kRecordSlotCount; ++o)
      if (slots[o].state == SlotContent::State::Invalid) r.published.slot_txn_ids[o] = 0;
    return r;
  }
  if (problems.empty()) problems = "no commit record slot holds a commit";
  return fail(Error::corrupted(path, format_text("the head: {}", problems)));
}

Status repair(Storage& storage, const Head& head, const StaticFields& fields,
              const Recovery& recovery) {
  bool changed = false;
  if (fields.read_from_copy) {
    auto primary = header::encode_static_fields(fields);
    DZ_CHECK(storage.write_at(0, primary));
    changed = true;
  }
  static const std::array<std::uint8_t, kRecordSize> kZeroSlot{};
  for (std::size_t s = 0; s < kRecordSlotCount; ++s) {
    if (!recovery.clear_slot[s]) continue;
    DZ_CHECK(storage.write_at(record_slot_offset(s), kZeroSlot));
    changed = true;
  }
  if (recovery.rewrite_selector) {
    // The adopted record and its pages must be on disk before the selector
    // names them. They were verified through reads, which also see pages
    // that a failed sync left only in the system's cache: written again,
    // the sync carries them to the disk.
    DZ_CHECK(write_again(storage, fields.page_size, recovery.unsynced_pages));
    std::size_t slot = recovery.published.slot;
    DZ_CHECK(
        storage.write_at(record_slot_offset(slot),
                         ConstByteSpan(head.bytes).subspan(record_slot_offset(slot), kRecordSize)));
    DZ_CHECK(storage.sync());
    std::uint8_t selector = header::encode_selector({recovery.published.slot, false});
    DZ_CHECK(storage.write_at(kSelectorOffset, {&selector, 1}));
    changed = true;
  } else {
    // The selector byte is kept, but a failed sync may have left it only in
    // the system's cache: written again, the next sync carries it, and until
    // then the record before it stays guarded.
    DZ_CHECK(
        storage.write_at(kSelectorOffset, ConstByteSpan(head.bytes).subspan(kSelectorOffset, 1)));
  }
  auto length = length_of_pages(recovery.published.record.page_count, fields.page_size);
  if (!length)
    return fail(Error::corrupted(storage.path(),
                                 "the published commit counts more pages than a "
                                 "file can hold"));
  if (head.file_length > *length) {
    DZ_CHECK(storage.set_len(*length));
    changed = true;
  }
  if (changed) DZ_CHECK(storage.sync());
  return ok();
}

Status write_static_header_v6(Storage& storage, StaticFields& fields,
                              FunctionRef<void(const Error&)> sync_failed) {
  StaticFields raised = fields;
  raised.format_version = 6;
  raised.read_from_copy = false;
  auto h = header::encode_static_fields(raised);
  auto sync = [&]() -> Status {
    Status synced = storage.sync();
    if (!synced) sync_failed(synced.error());
    return synced;
  };
  // The copy first: until the version changes it is ignored, and once it
  // does the copy is already there to fall back on.
  DZ_CHECK(storage.write_at(kStaticHeaderCopyOffset, h));
  DZ_CHECK(sync());
  DZ_CHECK(storage.write_at(8, ConstByteSpan(h).subspan(8, 8)));
  DZ_CHECK(sync());
  DZ_CHECK(storage.write_at(48, ConstByteSpan(h).subspan(48, 16)));
  DZ_CHECK(sync());
  fields = raised;
  return ok();
}

}  // namespace deziro::head
