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

EpochDomain::EpochDomain()
    : places_(std::make_unique<Place[]>(kPlaces)), bins_(std::make_unique<Bin[]>(kBins)) {}

EpochDomain::~EpochDomain() = default;

void EpochDomain::retire(std::vector<std::shared_ptr<const void>>& objects) {
  if (objects.empty()) return;
  // Advanced after the objects were unlinked: a reader announcing the new
  // epoch cannot find them.
  const std::uint64_t epoch = epoch_.fetch_add(1, std::memory_order_seq_cst);
  std::vector<Retired> gone;
  {
    Bin& bin = own_bin();
    std::lock_guard lock(bin.mutex);
    for (auto& object : objects) bin.retired.push_back(Retired{epoch, std::move(object)});
    retired_size_.fetch_add(objects.size(), std::memory_order_relaxed);
    if (bin.retired.size() >= kCollectAfter) take_collectable(bin, gone);
  }
  objects.clear();
  // `gone` is dropped here, outside the lock.
}

void EpochDomain::collect() {
  std::vector<Retired> gone;
  for (std::size_t i = 0; i < kBins; ++i) {
    std::lock_guard lock(bins_[i].mutex);
    take_collectable(bins_[i], gone);
  }
  // `gone` is dropped here, outside every lock.
}

EpochDomain::Bin& EpochDomain::own_bin() {
  // Threads take the bins in turn as they first retire, in any domain.
  static std::atomic<std::size_t> next_thread{0};
  thread_local const std::size_t bin = next_thread.fetch_add(1, std::memory_order_relaxed) % kBins;
  return bins_[bin];
}

void EpochDomain::take_collectable(Bin& bin, std::vector<Retired>& out) {
  std::uint64_t oldest = UINT64_MAX;
  for (std::size_t i = 0; i < kPlaces; ++i) {
    const std::uint64_t pinned = places_[i].pinned.load(std::memory_order_seq_cst);
    if (pinned != 0) oldest = std::min(oldest, pinned);
  }
  // Retired at `epoch`: no reader announcing more can hold it.
  std::vector<Retired>& retired = bin.retired;
  auto keep = std::partition(retired.begin(), retired.end(),
                             [&](const Retired& r) { return r.epoch >= oldest; });
  const auto taken = static_cast<std::size_t>(retired.end() - keep);
  out.reserve(out.size() + taken);
  std::move(keep, retired.end(), std::back_inserter(out));
  retired.erase(keep, retired.end());
  retired_size_.fetch_sub(taken, std::memory_order_relaxed);
}

}  // namespace deziro
