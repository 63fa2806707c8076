#include "storage/fault_storage.hpp"

#include <algorithm>
#include <random>

#include "invariant.hpp"

namespace deziro {

FaultStorage::FaultStorage(std::string path, std::vector<std::uint8_t> image)
    : path_(std::move(path)), current_(image), synced_(std::move(image)) {}

namespace {

// Counts one call against a one-shot fault; true when this call must fail.
bool countdown_fires(std::uint64_t& countdown) {
  if (countdown == 0) return false;
  return --countdown == 0;
}

}  // namespace

std::optional<Error> FaultStorage::before_mutation(std::uint64_t& fail_countdown,
                                                   const char* what) {
  if (power_left_ && *power_left_ == 0) return Error::io(path_, "the power is off");
  ++operations_;
  if (power_left_) --*power_left_;
  if (countdown_fires(fail_countdown)) return Error::io(path_, std::string("injected ") + what);
  return std::nullopt;
}

Result<std::size_t> FaultStorage::read_at(std::uint64_t offset, ByteSpan out) {
  std::lock_guard lock(mutex_);
  if (power_left_ && *power_left_ == 0) return fail(Error::io(path_, "the power is off"));
  if (countdown_fires(fail_read_in_)) return fail(Error::io(path_, "injected read failure"));
  if (offset >= current_.size()) return 0;
  std::size_t n = std::min<std::uint64_t>(out.size(), current_.size() - offset);
  std::copy_n(current_.begin() + static_cast<std::ptrdiff_t>(offset), n, out.begin());
  return n;
}

Status FaultStorage::apply_write(std::uint64_t offset, std::vector<std::uint8_t> data) {
  if (auto err = before_mutation(fail_write_in_, "write failure")) return fail(std::move(*err));
  Change change{.is_length = false, .offset = offset, .data = std::move(data)};
  apply(current_, change, pieces_of(change));
  pending_.push_back(std::move(change));
  return ok();
}

Status FaultStorage::write_at(std::uint64_t offset, ConstByteSpan data) {
  std::lock_guard lock(mutex_);
  return apply_write(offset, std::vector<std::uint8_t>(data.begin(), data.end()));
}

Status FaultStorage::write_vectored_at(std::uint64_t offset,
                                       std::span<const ConstByteSpan> buffers) {
  std::lock_guard lock(mutex_);
  std::vector<std::uint8_t> joined;
  for (auto b : buffers) joined.insert(joined.end(), b.begin(), b.end());
  return apply_write(offset, std::move(joined));
}

Status FaultStorage::sync() {
  std::lock_guard lock(mutex_);
  bool powered = !(power_left_ && *power_left_ == 0);
  if (auto err = before_mutation(fail_sync_in_, "sync failure")) {
    // Dropped: current_ keeps them, the disk never gets them.
    if (powered && sync_failure_ == SyncFailure::DropsWrites) pending_.clear();
    return fail(std::move(*err));
  }
  for (const Change& change : pending_) apply(synced_, change, pieces_of(change));
  pending_.clear();
  return ok();
}

Result<std::uint64_t> FaultStorage::len_or_error() {
  std::lock_guard lock(mutex_);
  if (power_left_ && *power_left_ == 0) return fail(Error::io(path_, "the power is off"));
  return current_.size();
}

Status FaultStorage::set_len(std::uint64_t length) {
  std::lock_guard lock(mutex_);
  if (auto err = before_mutation(fail_write_in_, "write failure")) return fail(std::move(*err));
  Change change{.is_length = true, .offset = length, .data = {}};
  apply(current_, change, 0);
  pending_.push_back(std::move(change));
  return ok();
}

void FaultStorage::fail_nth_read(std::uint64_t n) {
  std::lock_guard lock(mutex_);
  fail_read_in_ = n;
}

void FaultStorage::fail_nth_write(std::uint64_t n) {
  std::lock_guard lock(mutex_);
  fail_write_in_ = n;
}

void FaultStorage::fail_nth_sync(std::uint64_t n, SyncFailure failure) {
  std::lock_guard lock(mutex_);
  fail_sync_in_ = n;
  sync_failure_ = failure;
}

void FaultStorage::power_off_after(std::uint64_t n) {
  std::lock_guard lock(mutex_);
  power_left_ = n;
}

bool FaultStorage::powered_off() const {
  std::lock_guard lock(mutex_);
  return power_left_ && *power_left_ == 0;
}

std::uint64_t FaultStorage::operation_count() const {
  std::lock_guard lock(mutex_);
  return operations_;
}

std::size_t FaultStorage::pending_count() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

std::size_t FaultStorage::pieces_of(const Change& change) {
  if (change.is_length || change.data.empty()) return 0;
  std::uint64_t first = change.offset / kSectorSize;
  std::uint64_t last = (change.offset + change.data.size() - 1) / kSectorSize;
  return static_cast<std::size_t>(last - first + 1);
}

std::size_t FaultStorage::pending_pieces(std::size_t i) const {
  std::lock_guard lock(mutex_);
  return pieces_of(pending_.at(i));
}

// Applies the first `pieces` sector-aligned pieces of a write (all of them
// for a whole write), or a length change.
void FaultStorage::apply(std::vector<std::uint8_t>& image, const Change& change,
                         std::size_t pieces) {
  if (change.is_length) {
    image.resize(change.offset, 0);
    return;
  }
  std::uint64_t end = change.offset + change.data.size();
  if (pieces < pieces_of(change))
    end = std::min(end, (change.offset / kSectorSize + pieces) * kSectorSize);
  if (end <= change.offset) return;
  if (image.size() < end) image.resize(end, 0);
  std::copy_n(change.data.begin(), end - change.offset,
              image.begin() + static_cast<std::ptrdiff_t>(change.offset));
}

std::vector<std::uint8_t> FaultStorage::crash_image(const CrashPlan& plan) const {
  std::lock_guard lock(mutex_);
  DZ_ASSERT(plan.applied.size() == pending_.size());
  std::vector<std::uint8_t> image = synced_;
  for (std::size_t i = 0; i < pending_.size() && i < plan.applied.size(); ++i) {
    if (!plan.applied[i]) continue;
    std::size_t pieces = pieces_of(pending_[i]);
    if (plan.torn == i) pieces = std::min(plan.torn_sectors, pieces);
    apply(image, pending_[i], pieces);
  }
  return image;
}

CrashPlan FaultStorage::random_crash_plan(std::uint64_t seed) const {
  std::lock_guard lock(mutex_);
  // mt19937_64 is specified exactly by the standard, so a seed gives the
  // same plan on every platform.
  std::mt19937_64 rng(seed);
  CrashPlan plan = CrashPlan::keep_none(pending_.size());
  std::vector<std::size_t> tearable;
  for (std::size_t i = 0; i < pending_.size(); ++i) {
    plan.applied[i] = (rng() & 1) != 0;
    if (plan.applied[i] && pieces_of(pending_[i]) >= 2) tearable.push_back(i);
  }
  if ((seed & 1) != 0 && !tearable.empty()) {
    std::size_t victim = tearable[rng() % tearable.size()];
    plan.torn = victim;
    plan.torn_sectors = 1 + rng() % (pieces_of(pending_[victim]) - 1);
  }
  return plan;
}

std::vector<std::uint8_t> FaultStorage::current_image() const {
  std::lock_guard lock(mutex_);
  return current_;
}

std::vector<std::uint8_t> FaultStorage::synced_image() const {
  std::lock_guard lock(mutex_);
  return synced_;
}

}  // namespace deziro
