#pragma once

// The virtual-time test kit: a virtual-time scheduler counting whole ticks,
// hot and cold test sources that send recorded events at virtual times and
// record their subscriptions, and a `start` that creates, subscribes and
// disposes a sequence at fixed times and records what it sends.
//
//   auto scheduler = TestScheduler::create();
//   auto xs = scheduler->createHotObservable<int>({nextAt(150, 1), nextAt(210, 2),
//                                                  completedAt<int>(300)});
//   auto res = scheduler->start([&] { return xs | rv::map(...); });
//   EXPECT_EQ(res->recorded(), (std::vector<Recorded<int>>{nextAt(210, ...), ...}));
//   EXPECT_EQ(xs->subscriptions(), (std::vector<Subscription>{{200, 300}}));
//
// Everything here runs on the main thread (the test runner's thread), as the
// virtual-time scheduler requires.

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <utility>
#include <vector>

#include "RvStreams/CompositeDisposable.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Observable.h"
#include "RvStreams/VirtualTimeScheduler.h"
#include "RvStreamsTest/Recording.h"

namespace rv::test {

// Virtual time in whole ticks; a tick is `resolution` seconds (one second
// unless chosen otherwise). Dates convert to the nearest tick.
struct TestSchedulerConverter {
  using VirtualTimeUnit = int64_t;
  using VirtualTimeIntervalUnit = int64_t;

  double resolution = 1.0;

  Date convertFromVirtualTime(int64_t time) const {
    return Date(static_cast<double>(time) * resolution);
  }
  int64_t convertToVirtualTime(Date date) const {
    return std::llround(date.timeIntervalSinceReferenceDate() / resolution);
  }
  double convertFromVirtualTimeInterval(int64_t interval) const {
    return static_cast<double>(interval) * resolution;
  }
  int64_t convertToVirtualTimeInterval(double seconds) const {
    return std::llround(seconds / resolution);
  }
  int64_t offsetVirtualTime(int64_t time, int64_t offset) const { return time + offset; }
  VirtualTimeComparison compareVirtualTime(int64_t lhs, int64_t rhs) const {
    if (lhs < rhs) return VirtualTimeComparison::lessThan;
    if (lhs > rhs) return VirtualTimeComparison::greaterThan;
    return VirtualTimeComparison::equal;
  }
};

// A subscription to a test source: the ticks it began and ended at
// (`kNever` while it lasts).
struct Subscription {
  static constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
  int64_t subscribe = 0;
  int64_t unsubscribe = kNever;
  bool operator==(const Subscription&) const = default;
};

inline void PrintTo(const Subscription& s, std::ostream* out) {
  *out << "(" << s.subscribe << ", ";
  if (s.unsubscribe == Subscription::kNever) {
    *out << "never)";
  } else {
    *out << s.unsubscribe << ")";
  }
}

template <class T>
void PrintTo(const Recorded<T>& r, std::ostream* out) {
  *out << describe(r.event) << " @ " << r.time;
}

// Recorded events at a tick.
template <class T>
Recorded<T> nextAt(int64_t time, T element) {
  return {time, Event<T>::next(std::move(element))};
}
template <class T>
Recorded<T> completedAt(int64_t time) {
  return {time, Event<T>::completed()};
}
template <class T>
Recorded<T> errorAt(int64_t time, Error error) {
  return {time, Event<T>::error(std::move(error))};
}

class TestScheduler;

// A test source on a TestScheduler. Hot: sends its events at their ticks to
// whoever is subscribed then. Cold: sends them to each subscriber at their
// ticks counted from its subscription. Both record every subscription.
template <class T>
class TestableObservable final : public Observable<T> {
 public:
  enum class Kind { hot, cold };

  TestableObservable(Kind kind, Weak<TestScheduler> scheduler, std::vector<Recorded<T>> messages)
      : kind_(kind), scheduler_(std::move(scheduler)), messages_(std::move(messages)) {}

  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) override;

  const std::vector<Subscription>& subscriptions() const { return subscriptions_; }
  const std::vector<Recorded<T>>& messages() const { return messages_; }

 private:
  friend class TestScheduler;
  struct Entry {
    int id;
    Ref<ObserverType<T>> observer;
  };
  void sendHot(const Event<T>& event) {
    std::vector<Ref<ObserverType<T>>> snapshot;
    for (const Entry& entry : observers_) snapshot.push_back(entry.observer);
    for (const auto& observer : snapshot) observer->on(event);
  }

  const Kind kind_;
  const Weak<TestScheduler> scheduler_;
  const std::vector<Recorded<T>> messages_;
  std::vector<Subscription> subscriptions_;
  std::vector<Entry> observers_;  // hot only
  int nextId_ = 0;
};

class TestScheduler final : public VirtualTimeScheduler<TestSchedulerConverter> {
 public:
  // When `start` creates, subscribes and disposes by default.
  static constexpr int64_t kCreated = 100;
  static constexpr int64_t kSubscribed = 200;
  static constexpr int64_t kDisposed = 1000;

  static Ref<TestScheduler> create(int64_t initialClock = 0, double resolution = 1.0) {
    return std::make_shared<TestScheduler>(initialClock, resolution);
  }
  TestScheduler(int64_t initialClock, double resolution)
      : VirtualTimeScheduler(initialClock, TestSchedulerConverter{resolution}) {}

  // Runs `action` at tick `time`.
  Ref<Disposable> scheduleAt(int64_t time, std::function<void()> action) {
    return scheduleAbsoluteVirtualAction(time, [action = std::move(action)]() -> Ref<Disposable> {
      action();
      return Disposables::create();
    });
  }

  // An observer that stamps each event with the clock.
  template <class T>
  Ref<RecordingObserver<T>> createObserver() {
    Weak<TestScheduler> weak = self();
    return RecordingObserver<T>::create([weak] {
      auto scheduler = weak.lock();
      return scheduler ? scheduler->clock() : int64_t{-1};
    });
  }

  template <class T>
  Ref<TestableObservable<T>> createHotObservable(std::vector<Recorded<T>> messages) {
    auto source = std::make_shared<TestableObservable<T>>(TestableObservable<T>::Kind::hot, self(),
                                                          std::move(messages));
    for (const Recorded<T>& message : source->messages()) {
      scheduleAt(message.time, [source, event = message.event] { source->sendHot(event); });
    }
    return source;
  }

  template <class T>
  Ref<TestableObservable<T>> createColdObservable(std::vector<Recorded<T>> messages) {
    return std::make_shared<TestableObservable<T>>(TestableObservable<T>::Kind::cold, self(),
                                                   std::move(messages));
  }

  // Creates the sequence at `created`, subscribes a recording observer at
  // `subscribed`, disposes the subscription at `disposed`, runs the scheduler
  // to the end and returns the observer.
  template <class Factory>
  auto start(int64_t created, int64_t subscribed, int64_t disposed, Factory factory) {
    using Source = decltype(rv::asObservable(factory()));
    using T = typename Source::element_type::Element;
    struct State {
      Source source;
      Ref<Disposable> subscription;
    };
    auto state = std::make_shared<State>();
    auto observer = createObserver<T>();
    scheduleAt(created, [state, factory] { state->source = rv::asObservable(factory()); });
    scheduleAt(subscribed,
               [state, observer] { state->subscription = state->source->subscribe(observer); });
    scheduleAt(disposed, [state] {
      if (state->subscription) state->subscription->dispose();
    });
    VirtualTimeScheduler::start();
    return observer;
  }
  template <class Factory>
  auto start(Factory factory) {
    return start(kCreated, kSubscribed, kDisposed, std::move(factory));
  }
  using VirtualTimeScheduler::start;

 private:
  Ref<TestScheduler> self() { return std::static_pointer_cast<TestScheduler>(selfReference()); }
};

template <class T>
Ref<Disposable> TestableObservable<T>::subscribe(Ref<ObserverType<T>> observer) {
  Ref<TestScheduler> scheduler = scheduler_.lock();
  if (!scheduler) return Disposables::create();
  const std::size_t index = subscriptions_.size();
  subscriptions_.push_back({scheduler->clock()});
  Weak<TestableObservable> weak =
      std::static_pointer_cast<TestableObservable>(this->shared_from_this());
  auto recordEnd = [weak, index, scheduler = scheduler_] {
    auto self = weak.lock();
    auto clock = scheduler.lock();
    if (self && clock) self->subscriptions_[index].unsubscribe = clock->clock();
  };

  if (kind_ == Kind::hot) {
    const int id = nextId_++;
    observers_.push_back({id, std::move(observer)});
    return Disposables::create([weak, id, recordEnd] {
      recordEnd();
      if (auto self = weak.lock()) {
        std::erase_if(self->observers_, [id](const Entry& e) { return e.id == id; });
      }
    });
  }

  auto pending = CompositeDisposable::create();
  for (const Recorded<T>& message : messages_) {
    pending->insert(scheduler->scheduleRelativeVirtualAction(
        message.time, [observer, event = message.event]() -> Ref<Disposable> {
          observer->on(event);
          return Disposables::create();
        }));
  }
  return Disposables::create([pending, recordEnd] {
    recordEnd();
    pending->dispose();
  });
}

}  // namespace rv::test
