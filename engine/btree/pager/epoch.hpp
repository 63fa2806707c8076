// Deferred freeing for readers that use shared objects without taking a
// reference to them.
//
// A reader pins the domain for a short while (one lookup), and finds
// objects through some shared table; a writer that unlinks an object from
// that table retires it instead of dropping it. A retired object goes once
// no reader that pinned before its unlinking is still pinned, so what a
// pinned reader found stays valid until it unpins, with no count kept per
// object and no lock on the reader's road.
//
// The order that makes it sound: a reader announces the epoch it read and
// only then loads from the table; a writer unlinks, then advances the epoch,
// and frees what it retired at epoch E only once every announced epoch is
// past E (or none is announced). A reader that announced E or less may hold
// the object; one that announced more read the epoch after the unlinking,
// and so cannot have found it. All of these are sequentially consistent.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "adaptive_mutex.hpp"

namespace deziro {

class EpochDomain {
  // A reader's place: whether it is taken, and the epoch its holder
  // announced (0: not pinned). One line each, so that readers do not share
  // lines.
  struct alignas(64) Place {
    std::atomic<bool> taken{false};
    std::atomic<std::uint64_t> pinned{0};
  };

 public:
  // Readers that may hold a place at once; a reader that finds none taken
  // goes without (its caller then takes references as before).
  static constexpr std::size_t kPlaces = 64;
  // Retired objects gathered in one bin before the readers' places are
  // looked at.
  static constexpr std::size_t kCollectAfter = 32;
  // Bins of retired objects, each under a lock of its own: a thread retires
  // into its own bin, so that threads that each read pages again beside a
  // writer (and retire the images those replace) do not queue for one lock.
  // A bin is looked at when its own thread (or another sharing it) retires
  // there, or by collect(): what a thread that stopped retiring left in its
  // bin, under pins that have since ended, waits for that.
  static constexpr std::size_t kBins = 8;

  // One reader's place, held while the reader lives. A reader is used by
  // one thread at a time.
  class Reader {
   public:
    explicit Reader(EpochDomain* domain);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool has_place() const { return place_ != nullptr; }
    bool pinned() const { return depth_ > 0; }
    // Pins may nest (a lookup made from inside another's callback); the
    // outermost one announces the epoch and the last unpin withdraws it.
    void pin();
    void unpin();

   private:
    EpochDomain* domain_ = nullptr;
    Place* place_ = nullptr;
    int depth_ = 0;
  };

  // Pins a reader for its scope; does nothing for one without a place.
  class Pin {
   public:
    explicit Pin(Reader& reader) : reader_(reader.has_place() ? &reader : nullptr) {
      if (reader_) reader_->pin();
    }
    ~Pin() {
      if (reader_) reader_->unpin();
    }
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    bool held() const { return reader_ != nullptr; }

   private:
    Reader* reader_;
  };

  EpochDomain();
  // No reader may hold a place any more.
  ~EpochDomain();
  EpochDomain(const EpochDomain&) = delete;
  EpochDomain& operator=(const EpochDomain&) = delete;

  // Keeps `objects` (already unlinked from wherever pinned readers look)
  // until no reader pinned now still is; empties the vector.
  void retire(std::vector<std::shared_ptr<const void>>& objects);
  // Drops every retired object no pinned reader can hold.
  void collect();
  // Retired objects not yet dropped; read without the lock (and without
  // ordering anything), so that a reader may watch it.
  std::size_t retired_count() const { return retired_size_.load(std::memory_order_relaxed); }

 private:
  struct Retired {
    std::uint64_t epoch;
    std::shared_ptr<const void> object;
  };
  struct alignas(64) Bin {
    AdaptiveMutex mutex;
    std::vector<Retired> retired;
  };
  // The bin of the calling thread.
  Bin& own_bin();
  // Moves out of `bin` (locked) what can be dropped.
  void take_collectable(Bin& bin, std::vector<Retired>& out);

  std::atomic<std::uint64_t> epoch_{1};
  std::unique_ptr<Place[]> places_;
  std::unique_ptr<Bin[]> bins_;
  // Objects in all bins.
  std::atomic<std::size_t> retired_size_{0};
};

}  // namespace deziro
