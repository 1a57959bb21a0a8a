#pragma once

// Sharing one subscription to a source among many observers.
//   multicast(subject), multicast(makeSubject), publish(), replay(n),
//   replayAll(): a connectable observable. Subscribing attaches an observer to
//     an intermediate subject; connect() subscribes that subject to the source.
//     When a connection ends (disposed, or the source stopped) the next
//     connect() asks the factory for a subject again; multicast(subject)
//     reuses its one subject forever, even after it has stopped.
//   refCount(): connects on the first subscriber and disconnects after the
//     last; a stop event ends the current generation for every subscriber.
//   multicast(subjectSelector, selector): a private subject and connection per
//     subscription, with the selector building the output from the shared
//     sequence.

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Lock.h"
#include "RvStreams/Producer.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreams/ReplaySubject.h"

namespace rv {

// A sequence whose shared subscription to its source starts on connect().
template <class T>
class ConnectableObservable : public Observable<T> {
 public:
  // Connects, or returns the live connection. Disposing the result ends the
  // connection.
  virtual Ref<Disposable> connect() = 0;
};

namespace detail {

// The observer side of a subject, and the element it accepts.
template <class Subject>
using SubjectObserverElement =
    typename decltype(std::declval<Subject&>().asObserver())::element_type::Element;

// One connection of an adapter to its source. Shares the adapter's lock.
template <class In, class Adapter>
class Connection final : public ObserverType<In>, public Disposable {
 public:
  Connection(Ref<Adapter> parent, Ref<ObserverType<In>> subjectObserver, Ref<RecursiveLock> lock,
             Ref<SingleAssignmentDisposable> subscription)
      : lock_(std::move(lock)),
        parent_(std::move(parent)),
        subscription_(std::move(subscription)),
        subjectObserver_(std::move(subjectObserver)) {}

  // A stop event detaches the connection first, so the subject sees it after
  // the adapter is free to connect again.
  void on(const Event<In>& event) noexcept override {
    if (disposed_.testBits(1)) return;
    if (event.isStopEvent()) dispose();
    subjectObserver_->on(event);
  }

  void dispose() noexcept override {
    // What the adapter lets go of is released after the lock: it may be the
    // last reference to this connection.
    Ref<Adapter> parent;
    typename Adapter::Released released;
    LockGuard guard(*lock_);
    disposed_.fetchOr(1);
    if (!parent_) return;
    parent = std::move(parent_);
    parent_.reset();
    released = parent->connectionEnded(this);
    Ref<Disposable> subscription = std::move(subscription_);
    subscription_.reset();
    subscription->dispose();
  }

 private:
  Ref<RecursiveLock> lock_;
  Ref<Adapter> parent_ KX_GUARDED_BY(*lock_);
  Ref<Disposable> subscription_ KX_GUARDED_BY(*lock_);
  Ref<ObserverType<In>> subjectObserver_;
  AtomicInt disposed_;
};

// The connectable over a source and a subject factory.
template <class In, class Subject, class Factory>
class ConnectableObservableAdapter final : public ConnectableObservable<ElementOf<Ref<Subject>>> {
  using T = ElementOf<Ref<Subject>>;
  using ConnectionType = Connection<In, ConnectableObservableAdapter>;
  friend ConnectionType;

 public:
  ConnectableObservableAdapter(Ref<Observable<In>> source, Factory makeSubject)
      : source_(std::move(source)), makeSubject_(std::move(makeSubject)) {}

  // Attaches the observer to the current subject without connecting.
  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) override {
    return lazySubject()->subscribe(std::move(observer));
  }

  Ref<Disposable> connect() override {
    LockGuard guard(*lock_);
    if (connection_) return connection_;
    auto subscription = SingleAssignmentDisposable::create();
    Ref<ObserverType<In>> subjectObserver = lazySubject()->asObserver();
    connection_ = std::make_shared<ConnectionType>(
        std::static_pointer_cast<ConnectableObservableAdapter>(this->shared_from_this()),
        std::move(subjectObserver), lock_, subscription);
    Ref<ConnectionType> connection = connection_;
    // Still under the lock: a source that emits at once delivers under it.
    subscription->setDisposable(source_->subscribe(connection));
    return connection;
  }

 private:
  // The subject of the current connection, made on first use. Its own small
  // lock keeps two racing first uses from making two subjects; nothing is
  // called under it but the factory.
  Ref<Subject> lazySubject() {
    base::LockGuard guard(subjectMutex_);
    if (!subject_) subject_ = makeSubject_();
    return subject_;
  }

  struct Released {
    Ref<ConnectionType> connection;
    Ref<Subject> subject;
  };

  // Called by `connection` under the shared lock: the adapter forgets it and
  // its subject when it is the current one, and hands both back for release.
  Released connectionEnded(const ConnectionType* connection) noexcept {
    Released released;
    if (connection_.get() != connection) return released;
    released.connection = std::move(connection_);
    connection_.reset();
    base::LockGuard guard(subjectMutex_);
    released.subject = std::move(subject_);
    subject_.reset();
    return released;
  }

  Ref<Observable<In>> source_;
  Factory makeSubject_;
  Ref<RecursiveLock> lock_ = std::make_shared<RecursiveLock>();
  base::Mutex subjectMutex_;
  Ref<Subject> subject_ KX_GUARDED_BY(subjectMutex_);
  // Guarded by the shared lock, which `connectionEnded` is called under
  // through the connection's handle on it: the lock check cannot tell the two
  // apart, so it is not told.
  Ref<ConnectionType> connection_;
};

template <class T>
class RefCount;

// A subscriber of a refCount. Its snapshot of the generation is -1 while it
// subscribes, so a stop event a stopped subject replays then never ends the
// current generation.
template <class T>
class RefCountSink final : public Sink<T>,
                           public ObserverType<T>,
                           public std::enable_shared_from_this<RefCountSink<T>> {
 public:
  RefCountSink(Ref<RefCount<T>> parent, Ref<ObserverType<T>> observer, Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)), parent_(std::move(parent)) {}

  Ref<Disposable> run() {
    RefCount<T>& parent = *parent_;
    Ref<Disposable> subscription = parent.source_->subscribe(this->shared_from_this());
    LockGuard guard(parent.lock_);
    connectionIdSnapshot_ = parent.connectionId_;
    if (this->isDisposed()) return Disposables::create();
    if (parent.count_ == 0) {
      parent.count_ = 1;
      parent.connectableSubscription_ = parent.source_->connect();
    } else {
      ++parent.count_;
    }
    return Disposables::create(
        [self = this->shared_from_this(), subscription] { self->leave(subscription); });
  }

  void on(const Event<T>& event) noexcept override {
    if (event.isNext()) {
      this->forwardOn(event);
      return;
    }
    {
      RefCount<T>& parent = *parent_;
      LockGuard guard(parent.lock_);
      if (parent.connectionId_ == connectionIdSnapshot_) {
        Ref<Disposable> connection = std::move(parent.connectableSubscription_);
        parent.connectableSubscription_.reset();
        parent.count_ = 0;
        parent.connectionId_ =
            static_cast<int64_t>(static_cast<uint64_t>(parent.connectionId_) + 1u);
        if (connection) connection->dispose();
      }
    }
    this->forwardStop(event);
  }

 private:
  void leave(const Ref<Disposable>& subscription) noexcept {
    subscription->dispose();
    RefCount<T>& parent = *parent_;
    LockGuard guard(parent.lock_);
    if (parent.connectionId_ != connectionIdSnapshot_) return;  // that generation has ended
    if (parent.count_ == 1) {
      parent.count_ = 0;
      if (!parent.connectableSubscription_) return;
      Ref<Disposable> connection = std::move(parent.connectableSubscription_);
      parent.connectableSubscription_.reset();
      connection->dispose();
    } else if (parent.count_ > 1) {
      --parent.count_;
    } else {
      fatalError("Something went wrong with RefCount disposing mechanism");
    }
  }

  Ref<RefCount<T>> parent_;
  int64_t connectionIdSnapshot_ = -1;
};

template <class T>
class RefCount final : public Producer<T> {
 public:
  explicit RefCount(Ref<ConnectableObservable<T>> source) : source_(std::move(source)) {}

 protected:
  typename Producer<T>::SinkAndSubscription run(Ref<ObserverType<T>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink = std::make_shared<RefCountSink<T>>(
        std::static_pointer_cast<RefCount>(this->shared_from_this()), std::move(observer),
        std::move(cancel));
    Ref<Disposable> subscription = sink->run();
    return {std::move(sink), std::move(subscription)};
  }

 private:
  friend class RefCountSink<T>;

  RecursiveLock lock_;
  int64_t count_ KX_GUARDED_BY(lock_) = 0;
  int64_t connectionId_ KX_GUARDED_BY(lock_) = 0;  // wraps
  Ref<Disposable> connectableSubscription_ KX_GUARDED_BY(lock_);
  Ref<ConnectableObservable<T>> source_;
};

template <class R>
class MulticastSink final : public Sink<R>, public ObserverType<R> {
 public:
  using Sink<R>::Sink;

  void on(const Event<R>& event) noexcept override {
    if (event.isNext()) {
      this->forwardOn(event);
    } else {
      this->forwardStop(event);
    }
  }

  void fail(Error error) noexcept { this->forwardStop(Event<R>::error(std::move(error))); }
};

template <class Factory>
struct MulticastFactoryOp : OperatorTag {
  Factory makeSubject;
  template <class S>
  auto operator()(const S& source) && {
    using In = ElementOf<S>;
    using Subject = typename std::invoke_result_t<Factory&>::element_type;
    static_assert(std::is_same_v<SubjectObserverElement<Subject>, In>,
                  "the subject must accept the source's elements");
    using T = ElementOf<Ref<Subject>>;
    return Ref<ConnectableObservable<T>>(
        std::make_shared<ConnectableObservableAdapter<In, Subject, Factory>>(
            rv::asObservable(source), std::move(makeSubject)));
  }
};

// A private subject and connection per subscription.
template <class SubjectSelector, class Selector>
struct MulticastSelectorOp : SourceOperator<MulticastSelectorOp<SubjectSelector, Selector>> {
  using Subject = typename std::invoke_result_t<SubjectSelector&>::element_type;
  using T = ElementOf<Ref<Subject>>;
  template <class In>
  using Output = ElementOf<std::invoke_result_t<Selector&, Ref<Observable<T>>>>;
  SubjectSelector subjectSelector;
  Selector selector;
  template <class In>
  SinkAndSubscription run(const Ref<Observable<In>>& source, Ref<ObserverType<Output<In>>> observer,
                          Ref<Cancelable> cancel) {
    auto sink = std::make_shared<MulticastSink<Output<In>>>(std::move(observer), std::move(cancel));
    Ref<Observable<Output<In>>> output;
    Ref<ConnectableObservable<T>> connectable;
    try {
      Ref<Subject> subject = subjectSelector();
      auto makeSubject = [subject] { return subject; };
      connectable =
          std::make_shared<ConnectableObservableAdapter<In, Subject, decltype(makeSubject)>>(
              source, std::move(makeSubject));
      output = rv::asObservable(selector(Ref<Observable<T>>(connectable)));
    } catch (...) {
      sink->fail(std::current_exception());
      return {std::move(sink), Disposables::create()};
    }
    Ref<Disposable> subscription = output->subscribe(sink);
    Ref<Disposable> connection = connectable->connect();
    return {std::move(sink), Disposables::create(std::move(subscription), std::move(connection))};
  }
};

struct RefCountOp : OperatorTag {
  template <class T>
  Ref<Observable<T>> operator()(const Ref<ConnectableObservable<T>>& source) && {
    return std::make_shared<RefCount<T>>(source);
  }
};

template <class Subject>
struct ReturnSubject {
  Ref<Subject> subject;
  Ref<Subject> operator()() const { return subject; }
};

template <class T>
struct MakePublishSubject {
  Ref<PublishSubject<T>> operator()() const { return PublishSubject<T>::create(); }
};

template <class T>
struct MakeReplaySubject {
  std::optional<int64_t> bufferSize;  // none: unbounded
  Ref<ReplaySubject<T>> operator()() const {
    return bufferSize ? ReplaySubject<T>::create(*bufferSize) : ReplaySubject<T>::createUnbound();
  }
};

// The factory-based connectables whose subject type follows the source.
template <template <class> class MakeSubject>
struct SubjectPerConnectionOp : OperatorTag {
  std::optional<int64_t> bufferSize;
  template <class S>
  auto operator()(const S& source) && {
    using T = ElementOf<S>;
    MakeSubject<T> factory;
    if constexpr (requires { factory.bufferSize; }) factory.bufferSize = bufferSize;
    return MulticastFactoryOp<MakeSubject<T>>{{}, std::move(factory)}(source);
  }
};

}  // namespace detail

// A connectable whose every connection goes through `subject`, reused forever.
template <class Subject>
requires requires(Subject& s) { s.asObserver(); }
detail::MulticastFactoryOp<detail::ReturnSubject<Subject>> multicast(Ref<Subject> subject) {
  return {{}, {std::move(subject)}};
}

// A connectable that asks `makeSubject()` for a subject for each connection.
template <class Factory>
requires std::is_invocable_v < std::decay_t<Factory>
& > detail::MulticastFactoryOp<std::decay_t<Factory>> multicast(Factory&& makeSubject) {
  return {{}, std::forward<Factory>(makeSubject)};
}

// Per subscription: a subject from `subjectSelector()`, the output from
// `selector(shared sequence)`, then the connection. A throwing callable
// delivers its error and subscribes nothing.
template <class SubjectSelector, class Selector>
detail::MulticastSelectorOp<std::decay_t<SubjectSelector>, std::decay_t<Selector>> multicast(
    SubjectSelector&& subjectSelector, Selector&& selector) {
  return {{}, std::forward<SubjectSelector>(subjectSelector), std::forward<Selector>(selector)};
}

// A connectable through a new publish subject per connection.
inline detail::SubjectPerConnectionOp<detail::MakePublishSubject> publish() { return {}; }

// A connectable through a new replay subject of `bufferSize` per connection.
inline detail::SubjectPerConnectionOp<detail::MakeReplaySubject> replay(int64_t bufferSize) {
  return {{}, bufferSize};
}

// A connectable through a new unbounded replay subject per connection.
inline detail::SubjectPerConnectionOp<detail::MakeReplaySubject> replayAll() {
  return {{}, std::nullopt};
}

// Connects on the first subscriber and disconnects after the last.
inline detail::RefCountOp refCount() { return {}; }

}  // namespace rv
