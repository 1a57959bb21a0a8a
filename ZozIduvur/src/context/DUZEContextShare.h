#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "DUZESharedInstance.h"
#include "base/Fork.h"
#include "base/Mutex.h"
#include "base/ThreadSafety.h"

// What a context class (the session or the user id context) shares across
// the process: its shared instance, the observers of its current value, and
// the current entry as last published, which a forked child starts from when
// a thread that did not come along was using the instance. `Context` names
// this class a friend, guards its state (`history_`, `loaded_`, `current_`)
// with `mutex_`, has an `Entry` type with `valueOf(entry)`, a constructor of a
// forked child's copy from an entry (or none), and tells each change of its
// current entry with `changed`.
//
// Nothing here is held across a fork, and the observers are plain functions
// in atomic slots: a forked child, where only the forking thread lives, finds
// nothing held by a thread that did not come along, and a host that takes
// its own locks in its fork handlers, or uses the context in them, never
// waits for the context's. The instance stays the one a pointer taken before
// the fork names, its lock and state made anew where another thread held it.
template <class Context>
class DUZEContextShare {
 public:
  using Observer = typename Context::Observer;
  using Entry = typename Context::Entry;
  // The host's observers at most at once; the crash service's has a slot of
  // its own after them.
  static constexpr size_t kObservers = 4;

  // The share of `Context`: made once, never destroyed (contexts are used from
  // other static objects' destructors and from fork handlers).
  static DUZEContextShare& of() {
    static DUZEContextShare* const share = new DUZEContextShare();
    return *share;
  }

  std::shared_ptr<Context> get() { return instance_.get(); }
  // Drops the shared instance; the next one has no current value, which the
  // observers are told.
  void reset() {
    instance_.reset();
    publish(nullptr);
    tell(std::nullopt);
  }
  // Adds `observer` (once: again, it is told only) among the host's, or with
  // `service` in the service's slot, and tells it the current value, under
  // the shared instance's lock, so that no change comes between; false when
  // there is no room for it.
  bool observe(Observer observer, bool service) {
    auto context = get();
    base::LockGuard lock(context->mutex_);
    std::atomic<Observer>* const first = service ? &observers_[kObservers] : &observers_[0];
    std::atomic<Observer>* const end = service ? first + 1 : first + kObservers;
    bool added = false;
    for (auto* slot = first; slot != end; ++slot) added = added || slot->load() == observer;
    for (auto* slot = first; slot != end; ++slot) {
      Observer empty = nullptr;
      added = added || slot->compare_exchange_strong(empty, observer);
    }
    if (added) observer(context->current_ ? Context::valueOf(*context->current_) : std::nullopt);
    return added;
  }
  void forget(Observer observer) {
    for (auto& slot : observers_) {
      Observer held = observer;
      slot.compare_exchange_strong(held, nullptr);
    }
  }
  // The context's current entry changed to `current`: under its lock, so that
  // the observers hear the changes in their order.
  void changed(const std::shared_ptr<Entry>& current) {
    publish(current);
    tell(current ? Context::valueOf(*current) : std::nullopt);
  }

 private:
  DUZEContextShare() {
    made_.store(this);
    base::fork_join(base::ForkPhase::telemetry, {.child = &renewInChild});
  }

  void tell(const std::optional<std::string>& value) {
    for (auto& slot : observers_) {
      if (Observer observer = slot.load()) observer(value);
    }
  }
  // The entry a forked child's copy starts from: one a change replaced is
  // freed only once it is no longer published.
  void publish(const std::shared_ptr<Entry>& current) {
    delete published_.exchange(current ? new std::shared_ptr<Entry>(current) : nullptr);
  }
  static std::shared_ptr<Entry> lastPublished() {
    const std::shared_ptr<Entry>* published = made_.load()->published_.load();
    return published ? *published : nullptr;
  }
  static std::shared_ptr<Context> forkedCopy() {
    return std::shared_ptr<Context>(new Context(lastPublished()));
  }
  // The instance as it stands when no thread held its lock at the fork; else
  // with a lock made anew and what the parent last published as its current
  // and only entry (what the thread left is never touched nor freed). It
  // stores nothing either way: it was made in another process.
  static bool renewInstance(Context& context) KX_NO_THREAD_SAFETY_ANALYSIS {
    if (context.mutex_.tryLock()) {
      context.mutex_.unlock();
      return false;
    }
    new (&context.mutex_) base::RecursiveMutex();
    new (&context.history_) decltype(context.history_)();
    new (&context.current_) std::shared_ptr<Entry>(lastPublished());
    context.loaded_ = 0;
    if (context.current_) context.history_.push_back(context.current_);
    return true;
  }
  // Also reached while `of()` is still making the share.
  static void renewInChild() {
    DUZEContextShare* share = made_.load();
    if (share->instance_.renewInChild(&renewInstance, &forkedCopy)) {
      // Its value, which the observers may not have heard yet.
      auto context = share->get();
      base::LockGuard lock(context->mutex_);
      share->tell(context->current_ ? Context::valueOf(*context->current_) : std::nullopt);
    }
  }

  static inline std::atomic<DUZEContextShare*> made_{nullptr};
  DUZESharedInstance<Context> instance_;
  std::atomic<Observer> observers_[kObservers + 1] = {};
  std::atomic<std::shared_ptr<Entry>*> published_{nullptr};
};
