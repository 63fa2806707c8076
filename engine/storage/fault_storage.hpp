// An in-memory Storage for tests that fails on request and models a power
// loss. It keeps two images: what reads see now, and what the disk holds for
// certain (the state at the last successful sync). The changes in between
// are kept in order, so that a crash can keep any subset of them, with one
// write torn at a 512-byte sector boundary.
//
// A crash test typically runs its workload once to count the operations,
// then for every k replays it on a fresh storage with power_off_after(k),
// builds crash images from a few seeds and opens each one.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "storage/storage.hpp"

namespace deziro {

inline constexpr std::size_t kSectorSize = 512;

// Which of the changes since the last sync reach the disk in a crash.
struct CrashPlan {
  // One flag per pending change, in the order they were made.
  std::vector<bool> applied;
  // A pending write that lands only in part: its first `torn_sectors`
  // sector-aligned pieces reach the disk, the rest do not. It must also be
  // marked applied.
  std::optional<std::size_t> torn;
  std::size_t torn_sectors = 0;

  static CrashPlan keep_none(std::size_t pending) { return {std::vector<bool>(pending, false)}; }
  static CrashPlan keep_all(std::size_t pending) { return {std::vector<bool>(pending, true)}; }
};

// What a failed sync leaves. A kernel may mark the pages of a failed sync
// clean while keeping their new bytes in its cache: reads still see them,
// the disk never gets them, and a later sync has nothing to write.
enum class SyncFailure : std::uint8_t { KeepsWrites, DropsWrites };

class FaultStorage final : public Storage {
 public:
  explicit FaultStorage(std::string path = "memory.db", std::vector<std::uint8_t> image = {});

  const std::string& path() const override { return path_; }
  Result<std::size_t> read_at(std::uint64_t offset, ByteSpan out) override;
  Status write_at(std::uint64_t offset, ConstByteSpan data) override;
  Status write_vectored_at(std::uint64_t offset, std::span<const ConstByteSpan> buffers) override;
  Status sync() override;
  Result<std::uint64_t> len_or_error() override;
  Status set_len(std::uint64_t length) override;

  // Faults. Counts start at the next call: n = 1 fails the very next one.
  // A failed write or length change changes nothing; a failed sync leaves
  // the pending changes pending, or drops them from the disk's future while
  // reads keep seeing them.
  void fail_nth_read(std::uint64_t n);
  void fail_nth_write(std::uint64_t n);  // writes and length changes
  void fail_nth_sync(std::uint64_t n, SyncFailure failure = SyncFailure::KeepsWrites);
  // After `n` more writes, length changes and syncs, every call fails as if
  // the machine had lost power; the images stay as they were.
  void power_off_after(std::uint64_t n);
  bool powered_off() const;

  // Writes, length changes and syncs made so far (successful or not), the
  // crash points a test can enumerate.
  std::uint64_t operation_count() const;

  // The changes since the last successful sync.
  std::size_t pending_count() const;
  // How many sector-aligned pieces pending change `i` has (0 for a length
  // change): a torn write keeps between 1 and pieces - 1 of them.
  std::size_t pending_pieces(std::size_t i) const;

  // The disk after a power loss under `plan`.
  std::vector<std::uint8_t> crash_image(const CrashPlan& plan) const;
  // A plan drawn deterministically from `seed`: each pending change lands
  // with even odds, and on odd seeds one landed multi-sector write is torn.
  CrashPlan random_crash_plan(std::uint64_t seed) const;

  std::vector<std::uint8_t> current_image() const;
  std::vector<std::uint8_t> synced_image() const;

 private:
  struct Change {
    bool is_length = false;
    std::uint64_t offset = 0;  // or the new length
    std::vector<std::uint8_t> data;
  };

  // Counts a mutating call and reports whether it must fail (and how).
  std::optional<Error> before_mutation(std::uint64_t& fail_countdown, const char* what);
  Status apply_write(std::uint64_t offset, std::vector<std::uint8_t> data);
  static void apply(std::vector<std::uint8_t>& image, const Change& change, std::size_t pieces);
  static std::size_t pieces_of(const Change& change);

  std::string path_;
  mutable std::mutex mutex_;
  // What reads see, and what the disk holds for certain; the disk gets the
  // pending changes at the next sync, never the ones a failed sync dropped.
  std::vector<std::uint8_t> current_;
  std::vector<std::uint8_t> synced_;
  std::vector<Change> pending_;
  std::uint64_t operations_ = 0;
  std::uint64_t fail_read_in_ = 0;
  std::uint64_t fail_write_in_ = 0;
  std::uint64_t fail_sync_in_ = 0;
  SyncFailure sync_failure_ = SyncFailure::KeepsWrites;
  std::optional<std::uint64_t> power_left_;
};

}  // namespace deziro
