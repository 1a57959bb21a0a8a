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

template <class T, class Key, class Selector>
class GroupBy final : public Producer<GroupedObservable<Key, T>> {
  using Group = GroupedObservable<Key, T>;

 public:
  GroupBy(Ref<Observable<T>> source, Selector selector)
      : source_(std::move(source)), selector_(std::move(selector)) {}

 protected:
  typename Producer<Group>::SinkAndSubscription run(Ref<ObserverType<Group>> observer,
                                                    Ref<Cancelable> cancel) override {
    auto sink = std::make_shared<GroupBySink<T, Key, Selector>>(std::move(observer),
                                                                std::move(cancel), selector_);
    Ref<Disposable> subscription = sink->run(source_);
    return {std::move(sink), std::move(subscription)};
  }

 private:
  Ref<Observable<T>> source_;
  Selector selector_;
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
class AddRef final : public Producer<T> {
 public:
  AddRef(Ref<Observable<T>> source, Ref<RefCountDisposable> refCount)
      : source_(std::move(source)), refCount_(std::move(refCount)) {}

 protected:
  typename Producer<T>::SinkAndSubscription run(Ref<ObserverType<T>> observer,
                                                Ref<Cancelable> cancel) override {
    Ref<Disposable> release = refCount_->retain();
    auto sink = std::make_shared<AddRefSink<T>>(std::move(observer), std::move(cancel));
    Ref<Disposable> subscription = source_->subscribe(sink);
    return {std::move(sink), Disposables::create(std::move(release), std::move(subscription))};
  }

 private:
  Ref<Observable<T>> source_;
  Ref<RefCountDisposable> refCount_;
};

template <class T>
Ref<Observable<T>> addRef(Ref<Observable<T>> source, Ref<RefCountDisposable> refCount) {
  return std::make_shared<AddRef<T>>(std::move(source), std::move(refCount));
}

template <class Selector>
struct GroupByOp : OperatorTag {
  Selector keySelector;
  template <class S>
  auto operator()(const S& source) && {
    using T = ElementOf<S>;
    using Key = std::decay_t<std::invoke_result_t<Selector&, const T&>>;
    return Ref<Observable<GroupedObservable<Key, T>>>(std::make_shared<GroupBy<T, Key, Selector>>(
        rv::asObservable(source), std::move(keySelector)));
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
