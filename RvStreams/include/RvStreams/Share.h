#pragma once

// share(replay, scope): one observable sharing a single subscription to its
// source among all current observers; a new observer first receives up to
// `replay` of the latest elements.
//   whileConnected: the shared state ends when the last observer leaves or the
//     source stops; the next observer starts afresh with a new subscription.
//   forever: one subject for the life of the returned observable; once the
//     source has stopped, new observers get what it replays and its stop
//     event, and the source is not subscribed again.
// Replay 0 and 1 while connected need no subject: a connection object keeps
// the observers (and the last element) itself. Registry and cached element
// change under one recursive lock per share; every event is delivered after
// it is released, the cached element replayed to a new observer included, so
// the share never holds its lock while an observer takes its own.

#include <atomic>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvStreams/Bag.h"
#include "RvStreams/Lock.h"
#include "RvStreams/Multicast.h"
#include "RvStreams/Subject.h"

namespace rv {

enum class SubjectLifetimeScope { whileConnected, forever };

namespace detail {

template <class T, bool ReplayOne>
class ShareWhileConnected;

// An observer joining a connection that has an element to replay. The
// element is replayed outside the share's lock; events that the connection
// delivers meanwhile wait here until it has been, so the observer still gets
// the replayed element first and every later event in order.
template <class T>
class JoiningObserver final : public ObserverType<T> {
 public:
  explicit JoiningObserver(Ref<ObserverType<T>> observer) : observer_(std::move(observer)) {}

  void on(const Event<T>& event) noexcept override {
    if (!caughtUp_.load(std::memory_order_acquire)) {
      base::LockGuard guard(mutex_);
      if (!caughtUp_.load(std::memory_order_relaxed)) {
        waiting_.push_back(event);
        return;
      }
    }
    observer_->on(event);
  }

  // Delivers `replayed`, then what arrived meanwhile, until nothing waits.
  void catchUp(const T& replayed) noexcept {
    observer_->on(Event<T>::next(replayed));
    std::vector<Event<T>> arrived;
    for (;;) {
      {
        base::LockGuard guard(mutex_);
        if (waiting_.empty()) {
          caughtUp_.store(true, std::memory_order_release);
          return;
        }
        std::swap(arrived, waiting_);
      }
      for (const Event<T>& event : arrived) observer_->on(event);
      arrived.clear();
    }
  }

 private:
  const Ref<ObserverType<T>> observer_;
  std::atomic<bool> caughtUp_{false};
  base::Mutex mutex_;  // nothing is called under it
  std::vector<Event<T>> waiting_ KX_GUARDED_BY(mutex_);
};

template <class T, bool ReplayOne>
class ShareWhileConnectedConnection final
    : public ObserverType<T>,
      public SynchronizedUnsubscribeType<BagKey>,
      public std::enable_shared_from_this<ShareWhileConnectedConnection<T, ReplayOne>> {
  using Parent = ShareWhileConnected<T, ReplayOne>;

 public:
  ShareWhileConnectedConnection(Ref<Parent> parent, Ref<RecursiveLock> lock)
      : parent_(std::move(parent)), lock_(std::move(lock)) {}

  // Subscribes this connection to the source, outside the lock.
  void connect() {
    subscription_->setDisposable(parent_->source_->subscribe(this->shared_from_this()));
  }

  // Called under the share's lock, which this connection shares: the check
  // knows it by the share's handle on it and cannot tell the two apart.
  std::size_t observerCount() const KX_NO_THREAD_SAFETY_ANALYSIS { return observers_.count(); }

  // Registers `observer` and returns the disposable that unregisters it.
  // With a cached element to replay, what is registered is a joining observer
  // (`joining`), to which the caller replays `replayed` after the lock.
  Ref<Disposable> synchronizedSubscribe(const Ref<ObserverType<T>>& observer,
                                        Ref<JoiningObserver<T>>& joining,
                                        std::optional<T>& replayed) {
    LockGuard guard(*lock_);
    Ref<ObserverType<T>> registered = observer;
    if constexpr (ReplayOne) {
      if (element_) {
        joining = std::make_shared<JoiningObserver<T>>(observer);
        replayed = *element_;
        registered = joining;
      }
    }
    const BagKey key = observers_.insert(std::move(registered));
    return std::make_shared<SubscriptionDisposable<BagKey>>(
        Weak<SynchronizedUnsubscribeType<BagKey>>(this->shared_from_this()), key);
  }

  void on(const Event<T>& event) noexcept override {
    ObserverBag<T> snapshot;
    Ref<ShareWhileConnectedConnection> detached;  // released after the lock
    {
      LockGuard guard(*lock_);
      if (disposed_) return;
      if (const T* element = event.element()) {
        if constexpr (ReplayOne) element_ = *element;
        snapshot = observers_;
      } else {
        snapshot = observers_;
        detached = synchronizedDispose();
      }
    }
    deliverEvent(snapshot, event);
  }

  // Unregisters one observer; the last one to leave disconnects.
  void synchronizedUnsubscribe(BagKey key) noexcept override {
    std::optional<Ref<ObserverType<T>>> removed;
    Ref<ShareWhileConnectedConnection> detached;
    bool disconnect = false;
    {
      LockGuard guard(*lock_);
      removed = observers_.removeKey(key);
      if (removed && observers_.count() == 0) {
        detached = synchronizedDispose();
        disconnect = true;
      }
    }
    if (disconnect) subscription_->dispose();
  }

 private:
  // Ends this connection's shared state; returns the parent's reference to
  // it, for release after the lock.
  Ref<ShareWhileConnectedConnection> synchronizedDispose() KX_REQUIRES(*lock_) {
    disposed_ = true;
    Ref<ShareWhileConnectedConnection> detached;
    if (parent_->connection_.get() == this) {
      detached = std::move(parent_->connection_);
      parent_->connection_.reset();
    }
    observers_.removeAll();
    return detached;
  }

  struct NoElement {};

  Ref<Parent> parent_;
  Ref<SingleAssignmentDisposable> subscription_ = SingleAssignmentDisposable::create();
  Ref<RecursiveLock> lock_;
  bool disposed_ KX_GUARDED_BY(*lock_) = false;
  ObserverBag<T> observers_ KX_GUARDED_BY(*lock_);
  [[no_unique_address]] std::conditional_t<ReplayOne, std::optional<T>, NoElement> element_
      KX_GUARDED_BY(*lock_);
};

template <class T, bool ReplayOne>
class ShareWhileConnected final : public Observable<T> {
  using Connection = ShareWhileConnectedConnection<T, ReplayOne>;
  friend Connection;

 public:
  explicit ShareWhileConnected(Ref<Observable<T>> source) : source_(std::move(source)) {}

  // The first observer of a connection is registered before the source is
  // subscribed, so it misses nothing the source emits at once.
  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) override {
    Ref<Connection> connection;
    Ref<Disposable> disposable;
    Ref<JoiningObserver<T>> joining;
    std::optional<T> replayed;
    bool first = false;
    {
      LockGuard guard(*lock_);
      if (!connection_) {
        connection_ = std::make_shared<Connection>(
            std::static_pointer_cast<ShareWhileConnected>(this->shared_from_this()), lock_);
      }
      connection = connection_;
      first = connection->observerCount() == 0;
      disposable = connection->synchronizedSubscribe(observer, joining, replayed);
    }
    if (joining) joining->catchUp(*replayed);
    if (first) connection->connect();
    return disposable;
  }

 private:
  Ref<Observable<T>> source_;
  Ref<RecursiveLock> lock_ = std::make_shared<RecursiveLock>();
  // Guarded by lock_; not told to the lock check, as the connection reaches
  // it under its own handle on the same lock.
  Ref<Connection> connection_;
};

template <bool ReplayOne>
struct ShareWhileConnectedOp : OperatorTag {
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    return std::make_shared<ShareWhileConnected<ElementOf<S>, ReplayOne>>(rv::asObservable(source));
  }
};

struct ShareOp : OperatorTag {
  int64_t replay;
  SubjectLifetimeScope scope;

  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    Ref<Observable<T>> observable = rv::asObservable(source);
    if (scope == SubjectLifetimeScope::forever) {
      if (replay == 0) return observable | multicast(PublishSubject<T>::create()) | refCount();
      return observable | multicast(ReplaySubject<T>::create(replay)) | refCount();
    }
    if (replay == 0) return observable | ShareWhileConnectedOp<false>{};
    if (replay == 1) return observable | ShareWhileConnectedOp<true>{};
    return observable | multicast(MakeReplaySubject<T>{replay}) | refCount();
  }
};

}  // namespace detail

// Shares one subscription to the source; see the top of this header.
inline detail::ShareOp share(int64_t replay = 0,
                             SubjectLifetimeScope scope = SubjectLifetimeScope::whileConnected) {
  return {{}, replay, scope};
}

// share(Replay, whileConnected) with the replay, 0 or 1, fixed when compiled:
// the same sharing, without the subject-based forms that a replay chosen at
// run time brings into every element type it is used with.
template <int Replay>
requires(Replay == 0 ||
         Replay == 1) detail::ShareWhileConnectedOp<Replay == 1> shareWhileConnected() {
  return {};
}

}  // namespace rv
