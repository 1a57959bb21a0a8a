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
// with `mutex_`, has an `Entry` type (a dated history entry) with
// `valueOf(entry)`, the `Observer` and `ServiceObserver` types, a constructor
// of a forked child's copy from an entry (or none), and tells each change of
// its current entry with `changed`.
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
  using ServiceObserver = typename Context::ServiceObserver;
  using Entry = typename Context::Entry;
  // The host's observers at most at once; the crash service's has a slot of
  // its own beside them.
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
    tell(nullptr);
  }
  // Adds `observer` (once: again, it is told only) among the host's, or the
  // service's in its slot, and tells it the current value, under the shared
  // instance's lock, so that no change comes between; false when there is no
  // room for it.
  bool observe(Observer observer) { return observeIn(observers_, observer); }
  bool observe(ServiceObserver observer) { return observeIn(service_, observer); }
  void forget(Observer observer) { forgetIn(observers_, observer); }
  void forget(ServiceObserver observer) { forgetIn(service_, observer); }
  // The context's current entry changed to `current`: under its lock, so that
  // the observers hear the changes in their order.
  void changed(const std::shared_ptr<Entry>& current) {
    publish(current);
    tell(current.get());
  }

 private:
  DUZEContextShare() {
    made_.store(this);
    base::fork_join_or_stop(base::ForkPhase::telemetry, {.child = &renewInChild});
  }

  template <class Slots, class AnObserver>
  bool observeIn(Slots& slots, AnObserver observer) {
    auto context = get();
    base::LockGuard lock(context->mutex_);
    bool added = false;
    for (auto& slot : slots) added = added || slot.load() == observer;
    for (auto& slot : slots) {
      AnObserver empty = nullptr;
      added = added || slot.compare_exchange_strong(empty, observer);
    }
    if (added) tellOne(observer, context->current_.get());
    return added;
  }
  template <class Slots, class AnObserver>
  static void forgetIn(Slots& slots, AnObserver observer) {
    for (auto& slot : slots) {
      AnObserver held = observer;
      slot.compare_exchange_strong(held, nullptr);
    }
  }
  // The host's observers hear the value; the service's also when its entry
  // was recorded, which names the entry in the history.
  static void tellOne(Observer observer, const Entry* current) {
    observer(current ? Context::valueOf(*current) : std::nullopt);
  }
  static void tellOne(ServiceObserver observer, const Entry* current) {
    if (current) {
      observer(Context::valueOf(*current), current->timestamp());
    } else {
      observer(std::nullopt, std::nullopt);
    }
  }
  void tell(const Entry* current) {
    for (auto& slot : observers_) {
      if (Observer observer = slot.load()) tellOne(observer, current);
    }
    if (ServiceObserver observer = service_[0].load()) tellOne(observer, current);
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
      share->tell(context->current_.get());
    }
  }

  static inline std::atomic<DUZEContextShare*> made_{nullptr};
  DUZESharedInstance<Context> instance_;
  std::atomic<Observer> observers_[kObservers] = {};
  std::atomic<ServiceObserver> service_[1] = {};
  std::atomic<std::shared_ptr<Entry>*> published_{nullptr};
};
