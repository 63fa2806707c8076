#include "instance.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "fork_generation.hpp"
#include "text_format.hpp"
#include "txn/head.hpp"

namespace deziro {

Instance::Instance(std::unique_ptr<Storage> storage, StaticFields fields, PageProtection protection,
                   PublishedCommit published, InstanceSettings settings,
                   std::unique_ptr<const FileKeys> keys)
    : storage_(std::move(storage)),
      reader_(std::make_unique<PageReader>(*storage_, fields.page_size, std::move(protection),
                                           std::size_t(settings.cache_size))),
      fields_(fields),
      format_version_(fields.format_version),
      settings_(settings),
      path_(std::make_shared<const std::string>(storage_->path())),
      opener_generation_(fork_generation::current()),
      keys_(std::move(keys)),
      published_(published),
      durable_txn_id_(published.deferred ? 0 : published.record.txn_id),
      durable_slot_(published.slot) {
  // Whether the selector byte reached the disk is not known at open: the
  // record before the published one stays until the first sync.
  for (std::uint8_t s = 0; s < kRecordSlotCount; ++s) {
    std::uint64_t id = published.slot_txn_ids[s];
    if (s == published.slot || id == 0 || id >= published.record.txn_id) continue;
    if (!guarded_slot_ || id > published.slot_txn_ids[*guarded_slot_]) guarded_slot_ = s;
  }
}

Instance::~Instance() { close(); }

bool Instance::in_forked_process() const {
  return fork_generation::current() != opener_generation_;
}

Status Instance::check_process() const {
  if (in_forked_process()) return fail(Error::closed());
  return ok();
}

void Instance::mark_failed(std::optional<std::string> os_error) {
  std::lock_guard lock(state_mutex_);
  if (!failed_.load()) failure_os_error_ = std::move(os_error);
  failed_.store(true);
}

Error Instance::sync_failed_error() const {
  std::lock_guard lock(state_mutex_);
  return Error::sync_failed(*path_, failure_os_error_);
}

PublishedCommit Instance::published() const {
  std::lock_guard lock(state_mutex_);
  return published_;
}

void Instance::set_published(const PublishedCommit& published) {
  std::lock_guard lock(state_mutex_);
  published_ = published;
  if (!published.deferred) {
    durable_txn_id_ = published.record.txn_id;
    durable_slot_ = published.slot;
  }
}

std::uint64_t Instance::durable_txn_id() const {
  std::lock_guard lock(state_mutex_);
  return durable_txn_id_;
}

std::uint8_t Instance::durable_slot() const {
  std::lock_guard lock(state_mutex_);
  return durable_slot_;
}

Status Instance::write_static_header() {
  if (format_version() >= kNewestFormatVersion) return ok();
  StaticFields raised = fields_;
  raised.format_version = format_version();
  // A failed sync fails the instance, as every failed sync of the file
  // does; the upgrade itself answers IO.
  DZ_CHECK(head::write_static_header_v6(*storage_, raised, [this](const Error& error) {
    mark_failed(std::string(error.message()));
  }));
  format_version_.store(raised.format_version);
  return ok();
}

namespace registry {
namespace {

struct Entry {
  std::weak_ptr<Instance> instance;
  // Set when that Instance has closed its descriptors.
  std::shared_ptr<std::atomic<bool>> closed;
  // The lock state of a salvage that claimed the file.
  std::weak_ptr<FileLock> salvage;
};

struct State {
  std::mutex mutex;
  std::map<FileKey, Entry> map;
};

State* g_state = nullptr;

// A forked child starts with an empty registry: the parent's files are not
// its own (their handles answer CLOSED), and another thread of the parent
// may have held the mutex at the fork. The old state is left behind on
// purpose, since a mutex that may be locked cannot be destroyed.
void reset_in_child() { g_state = new State(); }

State& state() {
  static State* first = [] {
    g_state = new State();
    ::pthread_atfork(nullptr, nullptr, reset_in_child);
    return g_state;
  }();
  (void)first;
  return *g_state;
}

std::mutex& registry_mutex() { return state().mutex; }

std::map<FileKey, Entry>& registry_map() { return state().map; }

}  // namespace

Lock::Lock() : lock_(registry_mutex()) {}
Lock::~Lock() = default;

std::shared_ptr<Instance> Lock::lookup(FileKey key) {
  while (true) {
    auto& map = registry_map();
    auto it = map.find(key);
    if (it == map.end() || !it->second.salvage.expired()) return nullptr;
    if (auto live = it->second.instance.lock()) return live;
    if (it->second.closed->load()) {
      map.erase(it);
      return nullptr;
    }
    // Its last handle is gone but its close still runs (it may be making a
    // deferred commit durable): wait, since locks taken now would be dropped
    // when it closes its descriptors.
    lock_.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lock_.lock();
  }
}

void Lock::insert(FileKey key, const std::shared_ptr<Instance>& instance) {
  registry_map()[key] = Entry{instance, instance->closed_, {}};
}

void Lock::claim_for_salvage(FileKey key, const std::shared_ptr<FileLock>& lock) {
  registry_map()[key] = Entry{{}, std::make_shared<std::atomic<bool>>(true), lock};
}

std::shared_ptr<FileLock> Lock::salvage_claim(FileKey key) {
  auto& map = registry_map();
  auto it = map.find(key);
  if (it == map.end()) return nullptr;
  auto live = it->second.salvage.lock();
  if (!live && it->second.instance.expired() && it->second.closed->load()) map.erase(it);
  return live;
}

std::size_t Lock::live_count() {
  auto& map = registry_map();
  std::erase_if(map, [](const auto& kv) {
    return kv.second.instance.expired() && kv.second.closed->load() && kv.second.salvage.expired();
  });
  return std::ranges::count_if(map, [](const auto& kv) { return !kv.second.instance.expired(); });
}

}  // namespace registry
}  // namespace deziro
