#pragma once

// Test observers and hand-driven sources.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "RvStreams/Create.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Event.h"
#include "RvStreams/Observable.h"
#include "RvStreamsTest/TestKit.h"

namespace rv {

// Lets GoogleTest print events in failure messages.
template <class T>
void PrintTo(const Event<T>& event, std::ostream* out) {
  *out << describe(event);
}

namespace test {

template <class T>
Event<T> next(T element) {
  return Event<T>::next(std::move(element));
}
template <class T>
Event<T> completed() {
  return Event<T>::completed();
}
template <class T>
Event<T> failed(Error error) {
  return Event<T>::error(std::move(error));
}

// An event with the time it was recorded at.
template <class T>
struct Recorded {
  int64_t time;
  Event<T> event;
  bool operator==(const Recorded&) const = default;
};

// Records every event it receives, stamped with the time `clock` gives
// (0 unless a clock is set). Safe to feed from several threads.
template <class T>
class RecordingObserver final : public ObserverType<T> {
 public:
  explicit RecordingObserver(std::function<int64_t()> clock = nullptr) : clock_(std::move(clock)) {}
  static Ref<RecordingObserver> create(std::function<int64_t()> clock = nullptr) {
    return std::make_shared<RecordingObserver>(std::move(clock));
  }

  void on(const Event<T>& event) noexcept override {
    const int64_t time = clock_ ? clock_() : 0;
    std::lock_guard<std::mutex> guard(mutex_);
    recorded_.push_back({time, event});
  }

  std::vector<Recorded<T>> recorded() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return recorded_;
  }
  std::vector<Event<T>> events() const {
    std::vector<Event<T>> out;
    for (const auto& r : recorded()) out.push_back(r.event);
    return out;
  }
  std::vector<T> elements() const {
    std::vector<T> out;
    for (const auto& r : recorded()) {
      if (const T* e = r.event.element()) out.push_back(*e);
    }
    return out;
  }
  int stopCount() const {
    int n = 0;
    for (const auto& r : recorded()) n += r.event.isStopEvent() ? 1 : 0;
    return n;
  }
  int completedCount() const {
    int n = 0;
    for (const auto& r : recorded()) n += r.event.isCompleted() ? 1 : 0;
    return n;
  }
  std::vector<std::string> descriptions() const {
    std::vector<std::string> out;
    for (const auto& r : recorded()) out.push_back(describe(r.event));
    return out;
  }

 private:
  std::function<int64_t()> clock_;
  mutable std::mutex mutex_;
  std::vector<Recorded<T>> recorded_;
};

// Subscribes a new recording observer to `sequence` (an observable, subject,
// relay or trait value) and returns the observer.
template <ObservableConvertible S>
Ref<RecordingObserver<ElementOf<S>>> record(const S& sequence) {
  auto recorder = RecordingObserver<ElementOf<S>>::create();
  rv::asObservable(sequence)->subscribe(recorder);
  return recorder;
}

// A cold source sending `values` and completing, synchronously during
// subscribe.
inline Ref<Observable<int>> elements(std::vector<int> values) {
  return rv::create<int>([values](AnyObserver<int> o) -> Ref<Disposable> {
    for (int v : values) o.onNext(v);
    o.onCompleted();
    return Disposables::create();
  });
}

// A cold source sending `values` and then failing with `text`, synchronously
// during subscribe.
inline Ref<Observable<int>> failingAfter(std::vector<int> values, std::string text) {
  return rv::create<int>([values, text](AnyObserver<int> o) -> Ref<Disposable> {
    for (int v : values) o.onNext(v);
    o.onError(makeError(text));
    return Disposables::create();
  });
}

// A hot source driven by hand: `push` delivers to the observers subscribed at
// that moment. It records how many subscriptions were made and how many were
// disposed, and refuses nothing. Thread-safe.
template <class T>
class TestSource final : public Observable<T> {
 public:
  static Ref<TestSource> create() { return std::make_shared<TestSource>(); }

  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) override {
    std::lock_guard<std::mutex> guard(mutex_);
    const int id = subscriptions_++;
    observers_.push_back({id, std::move(observer)});
    Weak<TestSource> weak = std::static_pointer_cast<TestSource>(this->shared_from_this());
    return Disposables::create([weak, id] {
      if (auto self = weak.lock()) self->unsubscribe(id);
    });
  }

  void push(const Event<T>& event) {
    std::vector<Ref<ObserverType<T>>> snapshot;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      for (auto& entry : observers_) snapshot.push_back(entry.observer);
    }
    for (auto& observer : snapshot) observer->on(event);
  }
  void onNext(T element) { push(Event<T>::next(std::move(element))); }
  void onCompleted() { push(Event<T>::completed()); }
  void onError(Error error) { push(Event<T>::error(std::move(error))); }

  int subscriptionCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return subscriptions_;
  }
  int disposeCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return disposals_;
  }
  int observerCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<int>(observers_.size());
  }

 private:
  struct Entry {
    int id;
    Ref<ObserverType<T>> observer;
  };
  void unsubscribe(int id) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = observers_.begin(); it != observers_.end(); ++it) {
      if (it->id == id) {
        observers_.erase(it);
        ++disposals_;
        return;
      }
    }
  }

  mutable std::mutex mutex_;
  std::vector<Entry> observers_;
  int subscriptions_ = 0;
  int disposals_ = 0;
};

}  // namespace test
}  // namespace rv
