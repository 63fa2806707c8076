// The Instance's part in the locks between processes and threads: the
// writer, snapshots and their reader bytes, deferred commits and close.
// docs/file-format.md, sections 9 and 10, gives the protocol and why it is
// safe.
#include <algorithm>
#include <thread>

#include "instance.hpp"
#include "lock/lock_protocol.hpp"
#include "text_format.hpp"
#include "txn/commit_verify.hpp"
#include "txn/head.hpp"
#include "txn/read_txn.hpp"

namespace deziro {
namespace {

using Clock = std::chrono::steady_clock;

// The slot of the newest record older than the published one: what a
// selector byte written before the last sync may name.
std::optional<std::uint8_t> previous_slot(const PublishedCommit& state) {
  std::optional<std::uint8_t> best;
  for (std::uint8_t s = 0; s < kRecordSlotCount; ++s) {
    std::uint64_t id = state.slot_txn_ids[s];
    if (s == state.slot || id == 0 || id >= state.record.txn_id) continue;
    if (!best || id > state.slot_txn_ids[*best]) best = s;
  }
  return best;
}

bool in_a_slot(const PublishedCommit& state, std::uint64_t txn_id) {
  return std::ranges::find(state.slot_txn_ids, txn_id) != state.slot_txn_ids.end();
}

// A head read while a writer of another process writes it may catch a
// record half written; the writer finishes within microseconds.
constexpr int kHeadReadAttempts = 5;
constexpr std::chrono::milliseconds kHeadReread{1};

}  // namespace

// ---------------------------------------------------------------- writer

Result<bool> Instance::try_lock_exclusive(FileLock::Deadline deadline) {
  DZ_CHECK(check_process());
  if (!lock_) return true;
  auto alone = try_lock_file_exclusive(*lock_, deadline);
  if (!alone) return fail(alone.error());
  return *alone;
}

Status Instance::lock_shared() {
  DZ_CHECK(check_process());
  if (!lock_) return ok();
  auto deadline = Clock::now() + settings_.busy_timeout;
  auto got = lock_->wait_lock(lock_bytes::kFile, LockMode::Shared, deadline);
  if (!got) return fail(got.error());
  return ok();
}

Status Instance::return_to_shared() {
  DZ_CHECK(check_process());
  if (!lock_) return ok();
  auto turned = lock_->try_lock(lock_bytes::kFile, LockMode::Shared);
  if (turned && *turned) return ok();
  Error error =
      turned ? Error::io(*path_, "the file lock could not be turned shared") : turned.error();
  mark_failed(format_text("the file lock could not be turned shared: {}", error.to_string()));
  return fail(std::move(error));
}

Result<WriterGuard> Instance::begin_write() {
  DZ_CHECK(check_process());
  if (failed()) return fail(sync_failed_error());
  auto deadline = Clock::now() + settings_.busy_timeout;
  {
    std::unique_lock lock(writer_mutex_);
    if (!writer_cv_.wait_until(lock, deadline, [&] { return !writer_busy_; }))
      return fail(Error::busy(*path_));
    writer_busy_ = true;
  }
  WriterGuard guard = guard_writer();
  (void)DZ_TRY(hold_write_lock(deadline));
  if (failed()) return fail(sync_failed_error());
  {
    std::lock_guard lock(writer_mutex_);
    writer_open_ = true;
  }
  // A sync waiting for the slot may now run beside this writer.
  writer_cv_.notify_all();
  return guard;
}

Result<bool> Instance::hold_write_lock(SteadyTime deadline, const PublishedCommit* target) {
  if (!lock_) return true;
  if (!target) {
    auto got = wait_write_lock(*lock_, deadline);
    if (!got) return fail(got.error());
  } else {
    // Waiting to make `target` durable, the head is looked at between
    // attempts: the lock's holder may have done it already.
    std::optional<Error> failure;
    const std::uint64_t own = own_deferred_txn();
    auto durable_elsewhere = [&] {
      auto seen = load_commit_state();
      if (!seen) {
        failure = std::move(seen).error();
        return true;
      }
      adopt_published(*seen);
      std::uint64_t id = target->record.txn_id;
      // A durable commit at or after it synced its pages; a commit of
      // another process after this process's own made it durable first.
      return (!seen->deferred && seen->record.txn_id >= id) ||
             (seen->record.txn_id > id && id == own);
    };
    auto got = wait_write_lock_unless(*lock_, deadline, durable_elsewhere);
    if (!got) return fail(got.error());
    if (failure) return fail(std::move(*failure));
    if (!*got) return false;
  }
  DZ_CHECK(read_commit_state());
  // Which record of the slots is on disk is known only for this process's
  // own deferred commits; another's is made durable before this writer
  // chooses the slot it overwrites.
  bool foreign_deferred;
  bool foreign_selector;
  std::uint64_t published_txn;
  {
    std::lock_guard lock(state_mutex_);
    foreign_deferred = published_.deferred && published_.record.txn_id != local_deferred_txn_;
    published_txn = published_.record.txn_id;
    foreign_selector = !foreign_deferred && published_txn != selector_written_txn_;
  }
  if (foreign_deferred) {
    DZ_CHECK(make_durable(true));
  } else if (foreign_selector) {
    // A selector byte this process did not write: after a failed sync of
    // the process that wrote it, it may be in the system's cache alone, a
    // clean page that no sync of this process would carry, while this
    // process's commits take it for the selector on disk (they lift the
    // guard on the record before it). Written again, the next sync of this
    // writer carries it. The writer is held, so no other selector is
    // written meanwhile.
    std::uint8_t selector = 0;
    DZ_CHECK(storage_->read_exact_at(kSelectorOffset, {&selector, 1}));
    DZ_CHECK(fail_file_unless(storage_->write_at(kSelectorOffset, {&selector, 1})));
    std::lock_guard lock(state_mutex_);
    selector_written_txn_ = published_txn;
  }
  return true;
}

void Instance::end_write(WriterGuard& guard) {
  if (!disarm(guard)) return;
  // A forked child holds neither the parent's slot nor its lock byte.
  if (in_forked_process()) return;
  {
    // A sync running beside the writer ends before the write lock goes.
    std::lock_guard lock(writer_mutex_);
    writer_open_ = false;
    if (lock_) lock_->unlock(lock_bytes::kWrite);
    writer_busy_ = false;
  }
  writer_cv_.notify_all();
}

Status Instance::check_still_published(std::uint64_t txn_id) {
  if (!lock_) return ok();
  // The selector byte and the three slots, in one read.
  std::array<std::uint8_t, record_slot_offset(kRecordSlotCount) - kSelectorOffset> head;
  DZ_CHECK(storage_->read_exact_at(kSelectorOffset, head));
  std::uint64_t found = 0;
  if (auto selector = header::decode_selector(head[0])) {
    auto bytes =
        std::span(head).subspan(record_slot_offset(selector->slot) - kSelectorOffset, kRecordSize);
    auto slot = slot_cache_.parse_one(bytes, selector->slot, fields_, keys_.get());
    if (slot.valid()) found = slot.record.txn_id;
  }
  if (found == txn_id) return ok();
  return fail(Error::corrupted(
      *path_,
      format_text("this write transaction began from commit {}, but the file now "
                  "publishes {}: another writer committed beside it, so it publishes "
                  "nothing",
                  txn_id,
                  found == 0 ? std::string("no valid commit") : format_text("commit {}", found))));
}

// ---------------------------------------------------------------- head

Result<PublishedCommit> Instance::load_commit_state() {
  std::string problem;
  for (int attempt = 0; attempt < kHeadReadAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(kHeadReread);
    std::array<std::uint8_t, head::StateMemo::kBytes> read;
    DZ_CHECK(head::read_from_selector(*storage_, read));
    if (auto known = state_memo_.find(read)) return *known;
    // Worked out on a copy, whose slots that fail authentication the parse
    // empties. Its static header stays zero: nothing below reads it.
    head::Head h;
    std::ranges::copy(read, h.bytes.begin() + kSelectorOffset);
    // In an encrypted file a record the data key did not sign counts as
    // damaged, as at recovery.
    auto slots = slot_cache_.parse(h, fields_, keys_.get());
    auto selector = header::decode_selector(h.bytes[kSelectorOffset]);
    if (!selector) {
      problem = "the selector byte names no slot";
      continue;
    }
    const SlotContent& chosen = slots[selector->slot];
    if (!chosen.valid()) {
      problem = head::published_slot_problem(h, chosen, selector->slot);
      continue;
    }
    PublishedCommit p;
    p.record = chosen.record;
    p.slot = selector->slot;
    p.deferred = selector->deferred;
    for (std::size_t s = 0; s < kRecordSlotCount; ++s)
      p.slot_txn_ids[s] = slots[s].valid() ? slots[s].record.txn_id : 0;
    state_memo_.keep(read, p);
    return p;
  }
  return fail(Error::corrupted(*path_, format_text("the published commit record: {}", problem)));
}

void Instance::adopt_published(const PublishedCommit& seen) {
  bool newly_deferred;
  {
    std::lock_guard lock(state_mutex_);
    std::uint64_t have = published_.record.txn_id;
    std::uint64_t got = seen.record.txn_id;
    // A head read that began before this process's own last commit must
    // not take the cached state back.
    if (got < have) return;
    // This process's own commit, read between its selector byte and
    // committed(), which installs it: taken for another process's, it would
    // drop the due time of the deferred commits before it, and committed()
    // would count the delay afresh from this one.
    if (publishing_txn_ != 0 && got == publishing_txn_) return;
    if (got == have && seen.deferred && !published_.deferred) return;
    newly_deferred = seen.deferred && (got > have || !published_.deferred);
    // Another process committed: what it synced last is unknown here, so
    // the record before its commit stays guarded.
    if (got > have) {
      guarded_slot_ = previous_slot(seen);
      // Its writer made this process's deferred commits durable first.
      own_sync_due_.reset();
    }
    // Another process made the published deferred commit durable: its sync
    // put the deferred selector on disk, which names no slot as durable.
    if (got == have && !seen.deferred && published_.deferred) guarded_slot_.reset();
    published_ = seen;
    if (!seen.deferred) note_durable(got, seen.slot);
  }
  // Another process's deferred commit: this process makes it durable after
  // the delay as well, in case its maker does not. Only with a lock state:
  // without one the sync thread would write the selector byte holding no
  // write lock, and the open that reads the head before it has its lock
  // state requests the sync when it adopts one.
  if (newly_deferred && lock_) request_sync(Clock::now() + settings_.sync_delay);
}

void Instance::adopt_file_lock(std::unique_ptr<FileLock> lock) {
  lock_ = std::move(lock);
  if (lock_ && published().deferred) request_sync(Clock::now() + settings_.sync_delay);
}

Status Instance::read_commit_state() {
  auto seen = DZ_TRY(load_commit_state());
  adopt_published(seen);
  return ok();
}

// ---------------------------------------------------------------- snapshots

Result<PublishedCommit> Instance::begin_snapshot() {
  DZ_CHECK(check_process());
  auto deadline = Clock::now() + settings_.busy_timeout;
  while (true) {
    PublishedCommit p;
    if (lock_) {
      p = DZ_TRY(load_commit_state());
      adopt_published(p);
    } else {
      p = published();
    }
    std::uint64_t t = p.record.txn_id;
    {
      std::lock_guard lock(readers_mutex_);
      ReaderEntry& e = readers_[t];
      ++e.count;
      // Another local reader of this commit already made sure of it, and
      // keeps it safe while this one runs.
      if (e.verified) return p;
    }
    auto kept = take_reader_byte(t);
    if (kept && *kept) return p;
    end_snapshot(t);
    if (!kept) return fail(std::move(kept).error());
    // Three commits passed between the head read and the byte: try again.
    if (Clock::now() >= deadline) return fail(Error::busy(*path_));
  }
}

Result<bool> Instance::take_reader_byte(std::uint64_t txn_id) {
  bool in_slot;
  if (lock_) {
    bool held;
    {
      std::lock_guard lock(readers_mutex_);
      held = readers_[txn_id].byte_held;
    }
    if (!held) {
      auto deadline = Clock::now() + settings_.busy_timeout;
      auto got = lock_->wait_lock(lock_bytes::reader(txn_id), LockMode::Shared, deadline);
      if (!got) return fail(got.error());
      std::lock_guard lock(readers_mutex_);
      readers_[txn_id].byte_held = true;
    }
    // A writer that tested the reader bytes before this one was taken frees
    // only what no record in the slots can see; the commit is safe if it is
    // still in a slot now.
    auto now_state = DZ_TRY(load_commit_state());
    adopt_published(now_state);
    in_slot = in_a_slot(now_state, txn_id);
  } else {
    in_slot = in_a_slot(published(), txn_id);
  }
  if (in_slot) {
    std::lock_guard lock(readers_mutex_);
    readers_[txn_id].verified = true;
  }
  return in_slot;
}

void Instance::end_snapshot(std::uint64_t txn_id) {
  if (in_forked_process()) return;
  bool schedule = false;
  SteadyTime due;
  {
    std::lock_guard lock(readers_mutex_);
    auto it = readers_.find(txn_id);
    if (it == readers_.end() || it->second.count == 0) return;
    ReaderEntry& e = it->second;
    if (--e.count > 0) return;
    // Local writers no longer see this reader: the next one checks again.
    e.verified = false;
    if (!e.byte_held) {
      readers_.erase(it);
      return;
    }
    e.idle_since = Clock::now();
    if (!e.release_scheduled) {
      e.release_scheduled = true;
      schedule = true;
      due = e.idle_since + keeper::kReaderByteLinger;
    }
  }
  if (schedule) keeper::schedule(weak_from_this(), txn_id, due);
}

std::optional<SteadyTime> Instance::release_if_idle(std::uint64_t txn_id, SteadyTime now) {
  std::lock_guard lock(readers_mutex_);
  auto it = readers_.find(txn_id);
  if (it == readers_.end()) return std::nullopt;
  ReaderEntry& e = it->second;
  if (e.count > 0) {
    e.release_scheduled = false;
    return std::nullopt;
  }
  auto due = e.idle_since + keeper::kReaderByteLinger;
  if (now < due) return due;
  if (lock_ && e.byte_held) lock_->unlock(lock_bytes::reader(txn_id));
  readers_.erase(it);
  return std::nullopt;
}

std::optional<std::uint64_t> Instance::oldest_reader() const {
  std::lock_guard lock(readers_mutex_);
  for (const auto& [txn_id, e] : readers_)
    if (e.count > 0) return txn_id;
  return std::nullopt;
}

Result<std::uint64_t> Instance::reclaim_limit(std::uint64_t new_txn_id,
                                              std::uint64_t oldest_group) {
  std::uint64_t limit = new_txn_id > 3 ? new_txn_id - 3 : 0;
  PublishedCommit p = published();
  for (std::uint64_t id : p.slot_txn_ids)
    if (id != 0) limit = std::min(limit, id);
  limit = std::min(limit, durable_txn_id());
  if (auto oldest = oldest_reader()) limit = std::min(limit, *oldest);
  // The bytes only ever lower the limit: below the oldest group it frees
  // nothing either way. Between two syncs of deferred commits the durable
  // commit stays where it is, so most commits skip the test.
  if (lock_ && limit > 1 && limit >= oldest_group) {
    auto held = lock_->lowest_held_by_another(lock_bytes::reader(1), lock_bytes::reader(limit));
    if (!held) return fail(held.error());
    if (*held) limit = std::min(limit, **held - lock_bytes::reader(0));
  }
  return limit;
}

// ---------------------------------------------------------------- durability

bool Instance::deferred_page_limit_reached() const {
  std::lock_guard lock(state_mutex_);
  return page_limit_reached_;
}

void Instance::publishing(std::uint64_t txn_id) {
  std::lock_guard lock(state_mutex_);
  publishing_txn_ = txn_id;
}

void Instance::committed(const PublishedCommit& published, std::uint64_t pages_written) {
  std::optional<SteadyTime> due;
  {
    std::lock_guard lock(state_mutex_);
    // A durable commit synced before its selector byte: the selector synced
    // with it is the one before, which a power loss may leave in place.
    if (!published.deferred)
      guarded_slot_ = published_.deferred ? std::nullopt : std::optional(published_.slot);
    publishing_txn_ = 0;
    selector_written_txn_ = published.record.txn_id;
    published_ = published;
    if (published.deferred) {
      local_deferred_txn_ = published.record.txn_id;
      // The write-ahead syncs follow the deferred commits closely, so that
      // the sync which makes them durable finds little left to write, and
      // a writer that the disk keeps up with never meets the limit.
      std::uint64_t limit = settings_.deferred_page_limit;
      std::uint64_t step = std::max<std::uint64_t>(limit / 32, 1);
      bool ahead = (deferred_pages_ + pages_written) / step > deferred_pages_ / step;
      deferred_pages_ += pages_written;
      if (deferred_pages_ - synced_pages_ >= limit) page_limit_reached_ = true;
      // The delay counts from the first deferred commit still pending.
      if (!own_sync_due_) own_sync_due_ = Clock::now() + settings_.sync_delay;
      due = own_sync_due_;
      if (ahead) {
        write_ahead_due_ = true;
        due = Clock::now();
      }
    } else {
      note_durable(published.record.txn_id, published.slot);
    }
  }
  if (due) request_sync(*due);
}

void Instance::note_durable(std::uint64_t txn_id, std::uint8_t slot) {
  durable_txn_id_ = txn_id;
  durable_slot_ = slot;
  local_deferred_txn_ = 0;
  deferred_pages_ = 0;
  synced_pages_ = 0;
  page_limit_reached_ = false;
  ++durable_points_;
  own_sync_due_.reset();
}

void Instance::keep_free_runs(std::uint64_t txn_id, const ChildPointer& free_tree,
                              space::FreeRuns runs) {
  kept_free_runs_ = KeptFreeRuns{txn_id, free_tree, std::move(runs)};
}

std::optional<space::FreeRuns> Instance::take_free_runs(std::uint64_t txn_id,
                                                        const ChildPointer& free_tree) {
  auto kept = std::exchange(kept_free_runs_, std::nullopt);
  if (!kept || kept->txn_id != txn_id || kept->free_tree != free_tree) return std::nullopt;
  return std::move(kept->runs);
}

void Instance::request_sync(SteadyTime due) {
  if (in_forked_process()) return;
  std::weak_ptr<Instance> self = weak_from_this();
  // Closing: the close publishes what is pending itself.
  if (self.expired()) return;
  sync_thread_.request(std::move(self), due);
}

Result<std::uint8_t> Instance::slot_for_next_commit() {
  for (int pass = 0; pass < 2; ++pass) {
    PublishedCommit p;
    std::uint8_t durable;
    std::optional<std::uint8_t> guarded;
    {
      std::lock_guard lock(state_mutex_);
      p = published_;
      durable = durable_slot_;
      guarded = guarded_slot_;
    }
    // A record in another slot as new as the published one is the orphan
    // of a writer that died before its selector: it is overwritten first,
    // so that no two records of one id compete at recovery. Otherwise the
    // oldest record goes.
    auto rank = [&](std::uint8_t s) {
      std::uint64_t id = p.slot_txn_ids[s];
      return std::pair(id < p.record.txn_id, id);
    };
    std::optional<std::uint8_t> best;
    for (std::uint8_t s = 0; s < kRecordSlotCount; ++s) {
      if (s == p.slot || s == durable || s == guarded) continue;
      if (!best || rank(s) < rank(*best)) best = s;
    }
    if (best) return *best;
    DZ_CHECK(make_durable());
  }
  return fail(Error::internal("no commit record slot is free for the next commit"));
}

Status Instance::sync_guarded_selector() {
  std::uint64_t txn_id;
  {
    std::lock_guard lock(state_mutex_);
    if (!guarded_slot_ || published_.deferred) return ok();
    txn_id = published_.record.txn_id;
  }
  DZ_CHECK(sync_file());
  std::lock_guard lock(state_mutex_);
  // The sync carried the selector byte that names the published commit;
  // no other was written since, as the writer is held.
  if (published_.record.txn_id == txn_id && !published_.deferred) guarded_slot_.reset();
  return ok();
}

Status Instance::sync_file() {
  {
    std::lock_guard lock(sync_mutex_);
    if (failed()) return fail(sync_failed_error());
    ++syncs_running_;
  }
  Status synced = storage_->sync();
  if (!synced) mark_failed(std::string(synced.error().message()));
  {
    // A sync that ran beside this one and failed may have left the pages it
    // lost clean, so that this one succeeded without writing them: its
    // failure is known once it has ended.
    std::unique_lock lock(sync_mutex_);
    --syncs_running_;
    syncs_done_.notify_all();
    syncs_done_.wait(lock, [&] { return syncs_running_ == 0; });
  }
  if (failed()) return fail(sync_failed_error());
  return ok();
}

Status Instance::make_durable(bool made_elsewhere) {
  PublishedCommit p = published();
  bool synced = p.deferred;
  if (p.deferred && made_elsewhere) DZ_CHECK(write_deferred_chain_again(p));
  if (p.deferred) {
    DZ_CHECK(sync_file());
    std::uint8_t selector = header::encode_selector({p.slot, false});
    DZ_CHECK(fail_file_unless(storage_->write_at(kSelectorOffset, {&selector, 1})));
  }
  std::lock_guard lock(state_mutex_);
  if (p.deferred) selector_written_txn_ = p.record.txn_id;
  // The sync put the deferred selector on disk: no stale one names a slot.
  if (synced) guarded_slot_.reset();
  if (published_.record.txn_id == p.record.txn_id) published_.deferred = false;
  note_durable(p.record.txn_id, p.slot);
  return ok();
}

Status Instance::write_deferred_chain_again(const PublishedCommit& p) {
  // The process that made the chain may have had a sync fail, which can
  // leave its pages in the system's cache, seen by reads but never to reach
  // the disk. The chain is checked through reads, and its pages, its record
  // and the selector byte are written again, so that the sync carries them.
  std::vector<PageRunEntry> pages;
  std::uint64_t floor = verify_floor(p.slot_txn_ids, p.record.txn_id);
  if (!DZ_TRY(verify_commit_pages(*reader_, p.record, floor, &pages)))
    return fail(Error::corrupted(
        *path_,
        format_text("the deferred commit {} of another process is not whole", p.record.txn_id)));
  DZ_CHECK(write_again(*storage_, fields_.page_size, pages));
  std::array<std::uint8_t, kRecordSize> record;
  DZ_CHECK(storage_->read_exact_at(record_slot_offset(p.slot), record));
  DZ_CHECK(storage_->write_at(record_slot_offset(p.slot), record));
  std::uint8_t selector = 0;
  DZ_CHECK(storage_->read_exact_at(kSelectorOffset, {&selector, 1}));
  return storage_->write_at(kSelectorOffset, {&selector, 1});
}

Status Instance::sync() {
  DZ_CHECK(check_process());
  if (failed()) return fail(sync_failed_error());
  return sync_published(Clock::now() + settings_.busy_timeout);
}

std::uint64_t Instance::own_deferred_txn() const {
  std::lock_guard lock(state_mutex_);
  return published_.deferred && published_.record.txn_id == local_deferred_txn_
             ? local_deferred_txn_
             : 0;
}

bool Instance::own_commit_pending() const { return own_deferred_txn() != 0; }

Status Instance::sync_published(SteadyTime deadline) {
  PublishedCommit target = published();
  if (!target.deferred) return ok();
  {
    std::unique_lock lock(writer_mutex_);
    writer_cv_.wait_until(lock, deadline, [&] { return !writer_busy_ || writer_open_; });
    if (writer_open_) {
      // This process's writer holds the write lock and keeps it while this
      // mutex is held, so no other process commits meanwhile; the writer's
      // own commit waits at the publishing lock.
      std::lock_guard publishing(publish_mutex_);
      return make_durable();
    }
    if (writer_busy_) return fail(Error::busy(*path_));
    writer_busy_ = true;
  }
  WriterGuard writer = guard_writer();
  if (!DZ_TRY(hold_write_lock(deadline, &target))) return ok();
  if (failed()) return fail(sync_failed_error());
  return make_durable();
}

bool Instance::write_out_ahead() {
  std::uint64_t pages;
  std::uint64_t durable_points;
  {
    std::lock_guard lock(state_mutex_);
    pages = deferred_pages_;
    durable_points = durable_points_;
  }
  // Outside every lock, and the selector byte left alone: the commits stay
  // deferred. A failed sync fails the file, as any sync does: the pages it
  // lost may no longer be dirty for the next one.
  if (!sync_file()) return false;
  // The pages written before the sync began are on disk now. A limit
  // already reached stays so: the writer that meets it syncs anyway.
  std::lock_guard lock(state_mutex_);
  if (durable_points_ == durable_points) synced_pages_ = std::max(synced_pages_, pages);
  return true;
}

std::optional<SteadyTime> Instance::sync_deferred() {
  if (failed() || !published().deferred) return std::nullopt;
  bool foreign;
  bool write_ahead;
  std::optional<SteadyTime> own_due;
  {
    std::lock_guard lock(state_mutex_);
    foreign = published_.record.txn_id != local_deferred_txn_;
    write_ahead = std::exchange(write_ahead_due_, false);
    own_due = own_sync_due_;
  }
  if (!foreign) {
    // This process's own deferred commits. Woken before the delay because
    // they wrote another thirty-second of the page limit, the thread only
    // writes their pages out ahead. After the delay it does the same first,
    // so that the sync which then makes them durable, which a writer of
    // this process waits for, finds little left.
    bool due = !own_due || Clock::now() >= *own_due;
    if ((write_ahead || due) && !write_out_ahead()) return std::nullopt;
    if (!due) return own_due;
  }
  if (foreign && lock_) {
    // Another process's deferred commit: its maker syncs it after its own
    // delay, and while it keeps committing a sync here would only take the
    // writer from it. Only a commit still pending a whole delay after this
    // thread first found it (its maker stopped, or was killed) is made
    // durable here.
    auto seen = load_commit_state();
    if (!seen) return std::nullopt;
    adopt_published(*seen);
    if (!seen->deferred) return std::nullopt;
    std::lock_guard lock(state_mutex_);
    if (seen->record.txn_id != watched_deferred_txn_) {
      watched_deferred_txn_ = seen->record.txn_id;
      return Clock::now() + settings_.sync_delay;
    }
  }
  // A failure marks the instance failed; every later write reports it.
  auto synced = sync_published(Clock::now() + settings_.busy_timeout);
  // Someone held the writer: try again after another delay.
  if (!synced && synced.error().kind() == ErrorKind::Busy)
    return Clock::now() + settings_.sync_delay;
  return std::nullopt;
}

Status Instance::release_handle(std::shared_ptr<Instance> instance,
                                std::shared_ptr<const Schema> schema) {
  Status synced = ok();
  if (instance) {
    synced = instance->check_process();
    if (synced && instance->own_commit_pending()) synced = instance->sync();
  }
  schema.reset();
  instance.reset();
  return synced;
}

void Instance::close() {
  if (in_forked_process()) {
    // The opener's locks, thread and pending commit are the opener's
    // business. The inherited descriptors stay open: closing any descriptor
    // of the file, or unlocking a byte, would drop the locks this process
    // holds on it through an open of its own.
    sync_thread_.abandon();
    if (lock_) lock_->abandon();
    if (storage_) storage_->abandon_descriptor();
  } else {
    // Only a deferred commit of this process's own: another's is its
    // maker's business, and waiting for it here would wait for that
    // process's writer. Gives up without an error when the writer is not
    // had in time; the commit stays published, and the next sync or
    // recovery makes it durable.
    if (own_commit_pending() && !failed())
      (void)sync_published(Clock::now() + settings_.busy_timeout);
    sync_thread_.stop();
  }
  lock_.reset();
  reader_.reset();
  storage_.reset();
  if (closed_) closed_->store(true);
}

Result<ReadTxn> Instance::begin_read(std::shared_ptr<Instance> instance,
                                     std::shared_ptr<const ResolvedSchema> schema) {
  return ReadTxn::begin(std::move(instance), std::move(schema));
}

}  // namespace deziro
