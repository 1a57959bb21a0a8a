#pragma once

// groupBy(keySelector): splits a sequence into one inner sequence per key. The
// first element of a key emits a GroupedObservable for it, then the element
// goes to that group; later elements of the key go to the group only. A
// subscriber that subscribes to a group while handling its arrival receives
// the group's first element; one that subscribes later does not.
//
// Each group is backed by a publish subject. The subscription to the source
// lives while the outer subscription or any group subscription does: it is
// shared through a RefCountDisposable that every group subscription retains.
// The sink takes no lock: the source delivers serially.
//
// AddRef ties any sequence to such a RefCountDisposable (windowing uses it).

#include <optional>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Producer.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreams/SerialDisposable.h"

namespace rv {

// One group: its key and its sequence of elements.
template <class Key, class T>
class GroupedObservable {
 public:
  using Element = T;

  GroupedObservable(Key key, Ref<Observable<T>> source)
      : key_(std::move(key)), source_(std::move(source)) {}

  const Key& key() const noexcept { return key_; }
  const Ref<Observable<T>>& asObservable() const noexcept { return source_; }
  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) const {
    return source_->subscribe(std::move(observer));
  }

 private:
  Key key_;
  Ref<Observable<T>> source_;
};

namespace detail {

// A group's sequence: subscribing retains the shared source subscription for
// as long as the group subscription lives.
template <class T>
class GroupedObservableImpl final : public Observable<T> {
 public:
  GroupedObservableImpl(Ref<PublishSubject<T>> subject, Ref<RefCountDisposable> refCount)
      : subject_(std::move(subject)), refCount_(std::move(refCount)) {}

  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) override {
    Ref<Disposable> release = refCount_->retain();
    Ref<Disposable> subscription = subject_->subscribe(std::move(observer));
    return Disposables::create(std::move(release), std::move(subscription));
  }

 private:
  Ref<PublishSubject<T>> subject_;
  Ref<RefCountDisposable> refCount_;
};

template <class T, class Key, class Selector>
class GroupBySink final : public Sink<GroupedObservable<Key, T>>,
                          public ObserverType<T>,
                          public std::enable_shared_from_this<GroupBySink<T, Key, Selector>> {
  using Group = GroupedObservable<Key, T>;

 public:
  GroupBySink(Ref<ObserverType<Group>> observer, Ref<Cancelable> cancel, Selector selector)
      : Sink<Group>(std::move(observer), std::move(cancel)), selector_(std::move(selector)) {}

  // Returns the shared source subscription: disposing it ends the source
  // subscription once no group subscription retains it.
  Ref<Disposable> run(const Ref<Observable<T>>& source) {
    refCountDisposable_ = RefCountDisposable::create(subscription_);
    subscription_->setDisposable(source->subscribe(this->shared_from_this()));
    return refCountDisposable_;
  }

  void on(const Event<T>& event) noexcept override {
    if (const T* element = event.element()) {
      std::optional<Key> key;
      try {
        key.emplace(selector_(*element));
      } catch (...) {
        stop(Event<T>::error(std::current_exception()));
        return;
      }
      onGroupEvent(std::move(*key), event);
    } else {
      stop(event);
    }
  }

 private:
  void onGroupEvent(Key key, const Event<T>& event) {
    auto found = groupedSubjectTable_.find(key);
    if (found != groupedSubjectTable_.end()) {
      found->second->on(event);
      return;
    }
    auto subject = PublishSubject<T>::create();
    groupedSubjectTable_.emplace(key, subject);
    this->forwardOn(Event<Group>::next(Group(
        std::move(key), std::make_shared<GroupedObservableImpl<T>>(subject, refCountDisposable_))));
    subject->on(event);
  }

  // Sends the stop event to every group, then downstream, and ends the
  // source subscription.
  void stop(const Event<T>& event) noexcept {
    for (auto& [key, subject] : groupedSubjectTable_) subject->on(event);
    if (const Error* error = event.error()) {
      this->forwardOn(Event<Group>::error(*error));
    } else {
      this->forwardOn(Event<Group>::completed());
    }
    subscription_->dispose();
    this->dispose();
  }

  Selector selector_;
  Ref<SingleAssignmentDisposable> subscription_ = SingleAssignmentDisposable::create();
  Ref<RefCountDisposable> refCountDisposable_;
  // Groups are never removed while the sink lives: a key seen once keeps its
  // subject.
  std::unordered_map<Key, Ref<PublishSubject<T>>> groupedSubjectTable_;
};

template <class T>
class AddRefSink final : public Sink<T>, public ObserverType<T> {
 public:
  using Sink<T>::Sink;
  void on(const Event<T>& event) noexcept override {
    if (event.isNext()) {
      this->forwardOn(event);
    } else {
      this->forwardStop(event);
    }
  }
};

// Forwards `source` while retaining `refCount` for the subscription's life.
template <class T>
Ref<Observable<T>> addRef(Ref<Observable<T>> source, Ref<RefCountDisposable> refCount) {
  return makeProducer<T>([source = std::move(source), refCount = std::move(refCount)](
                             Ref<ObserverType<T>> observer, Ref<Cancelable> cancel) {
    Ref<Disposable> release = refCount->retain();
    auto sink = std::make_shared<AddRefSink<T>>(std::move(observer), std::move(cancel));
    Ref<Disposable> subscription = source->subscribe(sink);
    return SinkAndSubscription{std::move(sink),
                               Disposables::create(std::move(release), std::move(subscription))};
  });
}

template <class Selector>
struct GroupByOp : SourceOperator<GroupByOp<Selector>> {
  template <class T>
  using Key = std::decay_t<std::invoke_result_t<Selector&, const T&>>;
  template <class T>
  using Output = GroupedObservable<Key<T>, T>;
  Selector keySelector;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<Output<T>>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(std::make_shared<GroupBySink<T, Key<T>, Selector>>(
                       std::move(observer), std::move(cancel), keySelector),
                   source);
  }
};

}  // namespace detail

// Splits the source by `keySelector(const T&) -> Key`; Key must be hashable
// with std::hash and comparable with ==.
template <class Selector>
detail::GroupByOp<std::decay_t<Selector>> groupBy(Selector&& keySelector) {
  return {{}, std::forward<Selector>(keySelector)};
}

}  // namespace rv
