#include "instance.hpp"

#include <unistd.h>

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
      opener_pid_(::getpid()),
      keys_(std::move(keys)),
      published_(published),
      durable_txn_id_(published.deferred ? 0 : published.record.txn_id),
      durable_slot_(published.slot) {}

Instance::~Instance() {
  // Publish a deferred commit durably before the file closes, unless this is
  // a forked child, which must leave the parent's file alone.
  if (::getpid() == opener_pid_ && !failed()) (void)sync();
}

Status Instance::check_process() const {
  if (::getpid() != opener_pid_) return fail(Error::closed());
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

PublishedCommit Instance::begin_snapshot() {
  std::lock_guard lock(state_mutex_);
  ++readers_[published_.record.txn_id];
  return published_;
}

Status Instance::acquire_writer() {
  DZ_CHECK(check_process());
  if (failed()) return fail(sync_failed_error());
  std::unique_lock lock(writer_mutex_);
  auto deadline = std::chrono::steady_clock::now() + settings_.busy_timeout;
  if (!writer_cv_.wait_until(lock, deadline, [&] { return !writer_busy_; }))
    return fail(Error::busy(*path_));
  writer_busy_ = true;
  return ok();
}

void Instance::release_writer() {
  {
    std::lock_guard lock(writer_mutex_);
    writer_busy_ = false;
  }
  writer_cv_.notify_one();
}

void Instance::register_reader(std::uint64_t txn_id) {
  std::lock_guard lock(state_mutex_);
  ++readers_[txn_id];
}

void Instance::unregister_reader(std::uint64_t txn_id) {
  std::lock_guard lock(state_mutex_);
  auto it = readers_.find(txn_id);
  if (it != readers_.end() && --it->second == 0) readers_.erase(it);
}

std::optional<std::uint64_t> Instance::oldest_reader() const {
  std::lock_guard lock(state_mutex_);
  if (readers_.empty()) return std::nullopt;
  return readers_.begin()->first;
}

Status Instance::sync() {
  DZ_CHECK(check_process());
  if (failed()) return fail(sync_failed_error());
  if (!published().deferred) return ok();
  DZ_CHECK(acquire_writer());
  struct Release {
    Instance* self;
    ~Release() { self->release_writer(); }
  } release{this};
  PublishedCommit p = published();
  if (!p.deferred) return ok();
  if (auto s = storage_->sync(); !s) {
    mark_failed(std::string(s.error().message()));
    return fail(sync_failed_error());
  }
  std::uint8_t selector = header::encode_selector({p.slot, false});
  if (auto s = storage_->write_at(kSelectorOffset, {&selector, 1}); !s) {
    mark_failed(std::string(s.error().message()));
    return fail(sync_failed_error());
  }
  p.deferred = false;
  set_published(p);
  return ok();
}

Status Instance::write_static_header() {
  if (format_version() >= kNewestFormatVersion) return ok();
  StaticFields raised = fields_;
  raised.format_version = format_version();
  DZ_CHECK(head::write_static_header_v6(*storage_, raised));
  format_version_.store(raised.format_version);
  return ok();
}

Status Instance::read_commit_state() {
  head::Head h = DZ_TRY(head::read_head(*storage_));
  auto slots = head::parse_slots(h, fields_.cipher);
  auto selector = header::decode_selector(h.bytes[kSelectorOffset]);
  if (!selector)
    return fail(
        Error::corrupted(*path_, "the published commit record: the selector names no slot"));
  const SlotContent& chosen = slots[selector->slot];
  if (!chosen.valid())
    return fail(Error::corrupted(
        *path_, format_text("the published commit record: {}",
                            chosen.problem.empty() ? "its slot is empty" : chosen.problem)));
  PublishedCommit p;
  p.record = chosen.record;
  p.slot = selector->slot;
  p.deferred = selector->deferred;
  for (std::size_t s = 0; s < kRecordSlotCount; ++s)
    p.slot_txn_ids[s] = slots[s].valid() ? slots[s].record.txn_id : 0;
  set_published(p);
  return ok();
}

Status Instance::release_handle(std::shared_ptr<Instance> handle) {
  Status synced = handle ? handle->sync() : ok();
  handle.reset();
  return synced;
}

namespace registry {
namespace {

struct Entry {
  std::weak_ptr<Instance> instance;
};

std::mutex& registry_mutex() {
  static std::mutex m;
  return m;
}

std::map<FileKey, Entry>& registry_map() {
  static std::map<FileKey, Entry> m;
  return m;
}

}  // namespace

Lock::Lock() : lock_(registry_mutex()) {}
Lock::~Lock() = default;

std::shared_ptr<Instance> Lock::lookup(FileKey key) {
  auto& map = registry_map();
  auto it = map.find(key);
  if (it == map.end()) return nullptr;
  auto live = it->second.instance.lock();
  if (!live) map.erase(it);
  return live;
}

void Lock::insert(FileKey key, const std::shared_ptr<Instance>& instance) {
  registry_map()[key] = Entry{instance};
}

std::size_t Lock::live_count() {
  auto& map = registry_map();
  std::erase_if(map, [](const auto& kv) { return kv.second.instance.expired(); });
  return map.size();
}

}  // namespace registry
}  // namespace deziro
