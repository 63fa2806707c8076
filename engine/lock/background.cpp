#include "lock/background.hpp"

#include <pthread.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace deziro {

void name_this_thread(const char* name) { ::pthread_setname_np(::pthread_self(), name); }

namespace keeper {
namespace {

struct Item {
  std::weak_ptr<IdleReaderBytes> bytes;
  std::uint64_t txn_id = 0;
  SteadyTime due;
};

struct State {
  std::mutex mutex;
  std::condition_variable wake;
  std::vector<Item> items;
  bool running = false;
  // When the thread looks at the items next without being woken: the
  // earliest due while it sleeps until then, the past while it is at work
  // (it looks again before it sleeps), none while it waits for an item.
  // Dues only grow as snapshots end, so most items need no wake.
  std::optional<SteadyTime> looks_at;
  std::uint64_t wakeups = 0;
  std::chrono::milliseconds idle_end = kKeeperIdleEnd;
};

State* g_state = nullptr;

// A forked child has none of the parent's threads, and the parent's keeper
// may have held the mutex at the fork: the child starts from a fresh state.
// The old one is left behind on purpose; destroying a mutex that may be
// locked is not allowed.
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

void run(State* s) {
  name_this_thread("deziro-keeper");
  std::unique_lock lock(s->mutex);
  auto idle_since = std::chrono::steady_clock::now();
  while (true) {
    if (s->items.empty()) {
      s->looks_at.reset();
      // The idle end is read again after each wake: a test may shorten it.
      while (s->items.empty()) {
        if (std::chrono::steady_clock::now() >= idle_since + s->idle_end) {
          s->running = false;
          return;
        }
        s->wake.wait_until(lock, idle_since + s->idle_end);
      }
    }
    s->looks_at = SteadyTime::min();
    auto now = std::chrono::steady_clock::now();
    auto earliest =
        std::min_element(s->items.begin(), s->items.end(), [](const Item& a, const Item& b) {
          return a.due < b.due;
        })->due;
    if (now < earliest) {
      // The bytes due within the slack after the earliest go with it: one
      // wake for a run of them, not one for each commit readers saw.
      const SteadyTime until = earliest + kKeeperSlack;
      s->looks_at = until;
      s->wake.wait_until(lock, until);
      continue;
    }
    std::vector<Item> due;
    std::erase_if(s->items, [&](Item& item) {
      if (item.due > now) return false;
      due.push_back(std::move(item));
      return true;
    });
    lock.unlock();
    std::vector<Item> again;
    for (Item& item : due) {
      // The file may have closed meanwhile; its bytes went with it.
      if (auto bytes = item.bytes.lock()) {
        if (auto next = bytes->release_if_idle(item.txn_id, now))
          again.push_back(Item{item.bytes, item.txn_id, *next});
      }
    }
    lock.lock();
    for (Item& item : again) s->items.push_back(std::move(item));
    idle_since = std::chrono::steady_clock::now();
  }
}

}  // namespace

void schedule(std::weak_ptr<IdleReaderBytes> bytes, std::uint64_t txn_id, SteadyTime due) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.items.push_back(Item{std::move(bytes), txn_id, due});
  if (s.running) {
    if (!s.looks_at || due < *s.looks_at) {
      // Woken, it looks at every item before it sleeps again.
      s.looks_at = SteadyTime::min();
      ++s.wakeups;
      s.wake.notify_one();
    }
    return;
  }
  s.running = true;
  s.looks_at = SteadyTime::min();
  // Detached: it ends by itself after its idle time, and the state it uses
  // is never destroyed.
  std::thread(run, &s).detach();
}

bool running() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.running;
}

std::chrono::milliseconds set_idle_end_for_tests(std::chrono::milliseconds idle_end) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  auto previous = std::exchange(s.idle_end, idle_end);
  s.wake.notify_one();
  return previous;
}

std::uint64_t wakeups() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.wakeups;
}

}  // namespace keeper

SyncThread::SyncThread() : control_(std::make_shared<Control>()) {}

SyncThread::~SyncThread() { stop(); }

void SyncThread::request(std::weak_ptr<DeferredSyncTarget> target, SteadyTime due) {
  std::unique_ptr<std::thread> finished;
  {
    std::lock_guard thread_lock(thread_mutex_);
    std::lock_guard lock(control_->mutex);
    if (control_->stop) return;
    bool earlier = !control_->due || due < *control_->due;
    if (earlier) control_->due = due;
    if (control_->running) {
      // A later request changes nothing the thread waits for.
      if (earlier) control_->wake.notify_one();
      return;
    }
    control_->running = true;
    // A thread that ended by itself has left its loop; it is joined below.
    finished = std::move(thread_);
    thread_ = std::make_unique<std::thread>(run, control_, std::move(target));
  }
  if (finished && finished->joinable()) finished->join();
}

void SyncThread::stop() {
  if (abandoned_) return;
  std::unique_ptr<std::thread> thread;
  {
    std::lock_guard thread_lock(thread_mutex_);
    thread = std::move(thread_);
    std::lock_guard lock(control_->mutex);
    control_->stop = true;
  }
  control_->wake.notify_all();
  if (!thread || !thread->joinable()) return;
  if (thread->get_id() == std::this_thread::get_id())
    thread->detach();
  else
    thread->join();
}

void SyncThread::abandon() {
  abandoned_ = true;
  (void)thread_.release();
}

bool SyncThread::running() const {
  if (abandoned_) return false;
  std::lock_guard lock(control_->mutex);
  return control_->running;
}

void SyncThread::run(std::shared_ptr<Control> control, std::weak_ptr<DeferredSyncTarget> target) {
  name_this_thread("deziro-sync");
  std::unique_lock lock(control->mutex);
  while (!control->stop && control->due) {
    if (std::chrono::steady_clock::now() < *control->due) {
      control->wake.wait_until(lock, *control->due);
      continue;
    }
    control->due.reset();
    lock.unlock();
    std::optional<SteadyTime> again;
    bool alive = false;
    {
      // Dropping this reference may close the file on this thread; the
      // close then stops this loop through `control`, which it shares.
      if (auto file = target.lock()) {
        alive = true;
        again = file->sync_deferred();
      }
    }
    lock.lock();
    if (!alive) break;
    if (again && (!control->due || *again < *control->due)) control->due = again;
  }
  control->running = false;
}

}  // namespace deziro
