#include "btree/pager/epoch.hpp"

#include <algorithm>

#include "invariant.hpp"

namespace deziro {

EpochDomain::Reader::Reader(EpochDomain* domain) : domain_(domain) {
  if (domain == nullptr) return;
  for (std::size_t i = 0; i < kPlaces; ++i) {
    Place& place = domain->places_[i];
    bool free = false;
    if (!place.taken.load(std::memory_order_relaxed) &&
        place.taken.compare_exchange_strong(free, true, std::memory_order_acquire)) {
      place_ = &place;
      return;
    }
  }
}

EpochDomain::Reader::~Reader() {
  if (place_ == nullptr) return;
  DZ_ASSERT(depth_ == 0);
  place_->taken.store(false, std::memory_order_release);
}

void EpochDomain::Reader::pin() {
  DZ_ASSERT(place_ != nullptr);
  if (depth_++ > 0) return;
  // Announced before anything is looked up: a store then loads, which only
  // sequential consistency keeps in this order.
  place_->pinned.store(domain_->epoch_.load(std::memory_order_seq_cst), std::memory_order_seq_cst);
}

void EpochDomain::Reader::unpin() {
  DZ_ASSERT(depth_ > 0);
  // Release: what the reader read happens before a collector that sees the
  // place empty drops it.
  if (--depth_ == 0) place_->pinned.store(0, std::memory_order_release);
}

EpochDomain::EpochDomain() : places_(std::make_unique<Place[]>(kPlaces)) {}

EpochDomain::~EpochDomain() = default;

void EpochDomain::retire(std::vector<std::shared_ptr<const void>>& objects) {
  if (objects.empty()) return;
  // Advanced after the objects were unlinked: a reader announcing the new
  // epoch cannot find them.
  const std::uint64_t epoch = epoch_.fetch_add(1, std::memory_order_seq_cst);
  std::vector<Retired> gone;
  {
    std::lock_guard lock(mutex_);
    for (auto& object : objects) retired_.push_back(Retired{epoch, std::move(object)});
    if (retired_.size() >= kCollectAfter) take_collectable(gone);
    retired_size_.store(retired_.size(), std::memory_order_relaxed);
  }
  objects.clear();
  // `gone` is dropped here, outside the lock.
}

void EpochDomain::collect() {
  std::vector<Retired> gone;
  std::lock_guard lock(mutex_);
  take_collectable(gone);
  retired_size_.store(retired_.size(), std::memory_order_relaxed);
}

void EpochDomain::take_collectable(std::vector<Retired>& out) {
  std::uint64_t oldest = UINT64_MAX;
  for (std::size_t i = 0; i < kPlaces; ++i) {
    const std::uint64_t pinned = places_[i].pinned.load(std::memory_order_seq_cst);
    if (pinned != 0) oldest = std::min(oldest, pinned);
  }
  // Retired at `epoch`: no reader announcing more can hold it.
  auto keep = std::partition(retired_.begin(), retired_.end(),
                             [&](const Retired& r) { return r.epoch >= oldest; });
  out.reserve(out.size() + static_cast<std::size_t>(retired_.end() - keep));
  std::move(keep, retired_.end(), std::back_inserter(out));
  retired_.erase(keep, retired_.end());
}

}  // namespace deziro
